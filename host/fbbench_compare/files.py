"""Writing a file in place of another: never over something that is not a
regular file, never through a link, and never half-written. Standard
library only: fbbench-lava-results, the board tooling and the farm use it
too."""

import contextlib
import os
import secrets
import stat

# A name's limit on Linux file systems; the temporary name must fit it too.
NAME_MAX = 255


class NotRegular(OSError):
    """The destination is there and is not a regular file (a link included)."""


def destination_check(path):
    """Refuses a destination that exists and is not a regular file (a link
    included: it is replaced, never written through): NotRegular, or the
    OSError of looking."""
    try:
        if not stat.S_ISREG(os.lstat(path).st_mode):
            raise NotRegular(f"{path}: not a regular file, left alone")
    except FileNotFoundError:
        pass


def temporary_open(path):
    """A new file beside path, created by this call alone (a name planted
    there, a link included, makes it try another): (descriptor, name)."""
    directory, base = os.path.split(path)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
    for _ in range(100):
        name = os.path.join(directory, f".{base[:NAME_MAX - 10]}.{secrets.token_hex(4)}")
        try:
            return os.open(name, flags, 0o666), name
        except FileExistsError:
            continue
    raise FileExistsError(f"no free temporary name beside {path}")


@contextlib.contextmanager
def file_replace_open(path, mode=None):
    """A binary file to write path's new content to; at the block's end it
    is flushed to the disk and renamed over path. Its mode is the umask's,
    as open() makes it, or mode when given. However the block ends, an
    interrupt included, no temporary file is left behind, and path is only
    replaced when the block ends normally."""
    destination_check(path)
    fd, temporary = temporary_open(path)
    try:
        with os.fdopen(fd, "wb") as f:
            yield f
            f.flush()
            if mode is not None:
                os.fchmod(f.fileno(), mode)
            os.fsync(f.fileno())
        # The check again: what is there now is what the rename replaces.
        destination_check(path)
        os.rename(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    directory_sync(os.path.dirname(path) or ".")


def file_replace(path, data, mode=None):
    """path's content replaced by data (bytes), as file_replace_open does it."""
    with file_replace_open(path, mode) as f:
        f.write(data)


def directory_sync(directory):
    """The rename on the disk too; a directory that cannot be synced (some
    file systems refuse) leaves the file written all the same."""
    try:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
