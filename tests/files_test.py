#!/usr/bin/python3
"""The one atomic replace of the Python tools (host/fbbench_compare/files.py):
what it replaces, what it refuses, and that nothing is left half-done."""

import os
import stat
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "host"))
from fbbench_compare import files  # noqa: E402


class FileReplace(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.umask = os.umask(0o022)
        self.victim = self.path("victim")
        with open(self.victim, "w") as f:
            f.write("another user's file")

    def tearDown(self):
        os.umask(self.umask)
        self.dir.cleanup()

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def content(self, path):
        with open(path, "rb") as f:
            return f.read()

    def test_destinations(self):
        """Each destination: replaced with the mode asked for, or refused and left as it was."""
        def missing(path):
            pass

        def regular(path):
            with open(path, "w") as f:
                f.write("old")
            os.chmod(path, 0o600)

        def link(path):
            os.symlink(self.victim, path)

        def dangling(path):
            os.symlink(self.path("nowhere"), path)

        def fifo(path):
            os.mkfifo(path)

        def directory(path):
            os.mkdir(path)

        cases = [  # name, made by, mode asked, mode expected or None for refused
            ("new", missing, None, 0o644),
            ("regular", regular, None, 0o644),
            ("regular-mode", regular, 0o640, 0o640),
            ("new-mode", missing, 0o644, 0o644),
            ("link", link, None, None),
            ("dangling-link", dangling, None, None),
            ("fifo", fifo, None, None),
            ("directory", directory, None, None),
        ]
        for name, make, mode, expected in cases:
            with self.subTest(name):
                path = self.path(name)
                make(path)
                before = os.lstat(path) if os.path.lexists(path) else None
                if expected is None:
                    with self.assertRaises(files.NotRegular):
                        files.file_replace(path, b"new", mode)
                    after = os.lstat(path)
                    self.assertEqual((after.st_ino, after.st_mode), (before.st_ino, before.st_mode))
                else:
                    files.file_replace(path, b"new", mode)
                    self.assertEqual(self.content(path), b"new")
                    self.assertEqual(stat.S_IMODE(os.lstat(path).st_mode), expected)
                self.assertEqual(self.content(self.victim), b"another user's file")
        self.assertFalse(os.path.lexists(self.path("nowhere")))
        self.assertEqual([n for n in os.listdir(self.dir.name) if n.startswith(".")], [])

    def test_block_that_fails(self):
        """An error or an interrupt inside the block: the old file stays, no temporary file."""
        path = self.path("kept")
        with open(path, "w") as f:
            f.write("old")
        for error in (OSError(28, "No space left on device"), KeyboardInterrupt()):
            with self.subTest(type(error).__name__):
                with self.assertRaises(type(error)):
                    with files.file_replace_open(path) as f:
                        f.write(b"half")
                        raise error
                self.assertEqual(self.content(path), b"old")
                self.assertEqual(sorted(os.listdir(self.dir.name)), ["kept", "victim"])

    def test_replaced_while_written(self):
        """A link put in the destination's place while the file is written is not renamed over."""
        path = self.path("raced")
        with self.assertRaises(files.NotRegular):
            with files.file_replace_open(path) as f:
                f.write(b"new")
                os.symlink(self.victim, path)
        self.assertEqual(os.readlink(path), self.victim)
        self.assertEqual(self.content(self.victim), b"another user's file")
        self.assertEqual(sorted(os.listdir(self.dir.name)), ["raced", "victim"])

    def test_planted_temporary_name(self):
        """A link planted under the temporary name is never written through:
        the write takes another name, or fails with no file written."""
        cases = [("page.html", ["0" * 8, "1" * 8], True), ("other.html", ["0" * 8] * 200, False)]
        original = files.secrets.token_hex
        for name, names, written in cases:
            with self.subTest(name):
                planted = self.path(f".{name}.{'0' * 8}")
                os.symlink(self.victim, planted)
                supply = iter(names)
                files.secrets.token_hex = lambda _: next(supply)
                try:
                    if written:
                        files.file_replace(self.path(name), b"page")
                    else:
                        with self.assertRaisesRegex(FileExistsError, "no free temporary name"):
                            files.file_replace(self.path(name), b"page")
                finally:
                    files.secrets.token_hex = original
                    os.unlink(planted)
                self.assertEqual(self.content(self.victim), b"another user's file")
                self.assertEqual(os.path.exists(self.path(name)), written)
        self.assertEqual(self.content(self.path("page.html")), b"page")


if __name__ == "__main__":
    unittest.main()
