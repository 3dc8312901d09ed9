#!/usr/bin/python3
"""The set-up scripts. The real .ci/install-packages, in a scratch copy of
the project with a list of its own, against stand-ins for apt-get, dpkg,
dpkg-query, id and sleep that answer as Debian 12's do: a mirror caught
mid-sync, an install that then fails, a list with malformed lines. And
tests/fresh-machine, whose steps a Ctrl-C must reach at once."""

import os
import shutil
import signal
import sys
import time
import stat
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", ".ci", "install-packages")
sys.path.insert(0, os.path.join(HERE, "..", "board"))
from boardlib import apt_state  # noqa: E402
from boardlib.errors import BoardError  # noqa: E402

# What apt-get update prints, and its status, when a mirror serves an index
# of another size than its InRelease promises.
INDEX = ("http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-armhf/Packages.xz  "
         "File has unexpected size (359552 != 360800). Mirror sync in progress? [IP: 151.101.66.132 80]")
UPDATE_FAILS = """Get:1 http://deb.debian.org/debian bookworm InRelease [151 kB]
Err:5 http://deb.debian.org/debian-security bookworm-security/main armhf Packages
  File has unexpected size (359552 != 360800). Mirror sync in progress? [IP: 151.101.66.132 80]
  Hashes of expected file:
   - Filesize:360800 [weak]
Reading package lists...
E: Failed to fetch %s
   Hashes of expected file:
    - Filesize:360800 [weak]
E: Some index files failed to download. They have been ignored, or old ones used instead.
""" % INDEX
# apt's words for it, as install-packages gives them on one line
SAID = " ".join(INDEX.split())
INSTALL_FAILS = """Reading package lists...
Some packages could not be installed.
 libpciaccess0:armhf : Depends: zlib1g:armhf (>= 1:1.1.4) but it is not going to be installed
E: Unable to correct problems, you have held broken packages.
"""

# Each stand-in logs its words to $CALLS. apt-get update answers from the
# files update.N (the Nth call), else succeeds.
STANDINS = {
    "apt-get": """#!/bin/sh
echo "apt-get $*" >> "$CALLS"
case " $* " in
  *" --print-uris update "*) echo "'http://deb.debian.org/debian/dists/bookworm/InRelease' deb.debian.org_debian_dists_bookworm_InRelease 0" ;;
  *" update "*) n=$(grep -c ' update -q' "$CALLS")
          [ -f "$STATE/update.$n" ] || exit 0
          cat "$STATE/update.$n"; exit 100 ;;
  *" install "*|*" download "*) [ -f "$STATE/install" ] || exit 0
           cat "$STATE/install" >&2; exit 100 ;;
esac
""",
    "dpkg": "#!/bin/sh\necho amd64\n",
    "dpkg-query": "#!/bin/sh\ncat \"$STATE/installed\" 2>/dev/null\n",
    "id": "#!/bin/sh\necho \"$UID_STANDIN\"\n",
    "sleep": "#!/bin/sh\necho \"sleep $*\" >> \"$CALLS\"\n",
}


class InstallPackages(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="install-packages.")
        self.addCleanup(shutil.rmtree, self.tmp)
        for d in (".ci", "packaging", "bin", "state"):
            os.makedirs(os.path.join(self.tmp, d))
        shutil.copy(SCRIPT, os.path.join(self.tmp, ".ci", "install-packages"))
        for name, text in STANDINS.items():
            path = os.path.join(self.tmp, "bin", name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, stat.S_IRWXU)

    def answers(self, updates, install):
        state = os.path.join(self.tmp, "state")
        for n, text in enumerate(updates, 1):
            if text:
                with open(os.path.join(state, "update.%d" % n), "w") as f:
                    f.write(text)
        if install:
            with open(os.path.join(state, "install"), "w") as f:
                f.write(install)
        calls = os.path.join(self.tmp, "calls")
        open(calls, "w").close()
        return {"PATH": os.path.join(self.tmp, "bin") + ":/usr/bin:/bin", "CALLS": calls, "STATE": state}

    def run_script(self, packages, updates=(), install=None, installed="", uid=0):
        """Runs it; returns (status, stderr, stdout, the stand-ins' calls)."""
        env = dict(self.answers(updates, install), UID_STANDIN=str(uid))
        state, calls = env["STATE"], env["CALLS"]
        with open(os.path.join(self.tmp, "packaging", "debian-packages"), "w", newline="") as f:
            f.write(packages)
        with open(os.path.join(state, "installed"), "w") as f:
            f.write(installed)
        r = subprocess.run(["bash", os.path.join(self.tmp, ".ci", "install-packages")], env=env,
                           capture_output=True, text=True, timeout=60)
        with open(calls) as f:
            return r.returncode, r.stderr, r.stdout, f.read().splitlines()

    def test_a_failing_index(self):
        install = "apt-get install -y -q --no-install-recommends -- g++ cmake"
        going_on = "install-packages: an index failed, going on without it: " + SAID
        for name, updates, install_fails, status, said, calls in [
                ("fails every time, install goes on", [UPDATE_FAILS] * 3, False, 0, [going_on],
                 ["apt-get update -q", "sleep 5"] * 2 + ["apt-get update -q", install]),
                ("fails once, then passes", [UPDATE_FAILS], False, 0, [],
                 ["apt-get update -q", "sleep 5", "apt-get update -q", install]),
                ("fails, and so does the install", [UPDATE_FAILS] * 3, True, 1,
                 [going_on, "install-packages: apt-get install failed; the mirror looked out of step (%s): "
                  "try again later" % SAID], None),
                ("install fails on its own", [], True, 1, ["install-packages: apt-get install failed (status 100)"],
                 ["apt-get update -q", install])]:
            with self.subTest(name):
                self.setUp()
                got, err, out, log = self.run_script("# the list\ng++\n\ncmake\n", updates,
                                                     INSTALL_FAILS if install_fails else None)
                self.assertEqual(got, status, err)
                self.assertEqual(out, "")
                lines = [line for line in err.splitlines() if line.startswith("install-packages:")]
                self.assertEqual(lines, said)
                if calls is not None:
                    self.assertEqual(log, calls)

    def test_nothing_to_do_or_not_root(self):
        got, err, _, log = self.run_script("g++\ncmake\n", installed="ii g++\nii cmake:amd64\n")
        self.assertEqual((got, err, log), (0, "", []))
        got, err, _, log = self.run_script("g++\ncmake\n", installed="ii g++\n", uid=1000)
        self.assertEqual(got, 1)
        self.assertIn("this machine lacks cmake; run as root:", err)
        self.assertEqual(log, [])

    def test_malformed_lines_are_refused_by_number(self):
        for text, said in [
                ("g++\ncmake make\n", ":2: one package a line: cmake make"),
                ("g++\n-o=APT::Get::Assume-Yes=false\n", ":2: not a package name: -o=APT::Get::Assume-Yes=false"),
                ("libgtest-dev:armhf\n", ":1: not a package name: libgtest-dev:armhf"),
                ("unpack libdrm-dev:armel opt/fbbench/armel\n", ":1: the folder must be an absolute path"),
                ("unpack libdrm-dev /opt/x\n", ":1: not PACKAGE:ARCH: libdrm-dev"),
                ("unpack libdrm-dev:armel\n", ":1: unpack takes PACKAGE:ARCH and a folder"),
                ("# list\r\ng++\r\n", ":1: ends in a carriage return")]:
            with self.subTest(text=text):
                got, err, _, log = self.run_script(text)
                self.assertEqual(got, 3, err)
                self.assertIn("install-packages: packaging/debian-packages" + said, err)
                self.assertEqual(len(err.splitlines()), 1, err)
                self.assertEqual(log, [])

    def test_a_private_state_names_its_failing_index(self):
        """The boards' and the ARM libraries' own apt state: its suites
        alone, an index that fails named, a download that then fails said so."""
        env = self.answers([UPDATE_FAILS] * 3, INSTALL_FAILS)
        saved = dict(os.environ)
        self.addCleanup(os.environ.update, saved)
        os.environ.update(env)
        pause, apt_state.UPDATE_PAUSE = apt_state.UPDATE_PAUSE, 0
        self.addCleanup(setattr, apt_state, "UPDATE_PAUSE", pause)
        state = os.path.join(self.tmp, "apt")
        opts, failed = apt_state.prepare(state, ["bookworm"], ["armhf"])
        self.assertEqual(failed, [SAID])
        with open(os.path.join(state, "sources.list")) as f:
            self.assertEqual([line.split()[-2:] for line in f], [["bookworm", "main"]])
        self.assertIn("APT::Architectures::=armhf", opts)
        with self.assertRaises(BoardError) as e:
            apt_state.download(opts, ["libdrm-dev:armhf"], self.tmp, failed)
        self.assertIn("the mirror looked out of step (%s): try again later" % SAID, str(e.exception))
        with open(env["CALLS"]) as f:
            self.assertEqual(sum(" update -q" in line for line in f), apt_state.UPDATE_TRIES)

    def test_the_real_list_is_well_formed_and_native(self):
        """The project's own list parses, and adds no foreign architecture."""
        with open(os.path.join(HERE, "..", "packaging", "debian-packages")) as f:
            text = f.read()
        got, err, _, log = self.run_script(text, uid=1000)
        self.assertEqual(got, 1, err)
        self.assertIn("this machine lacks", err)
        self.assertFalse(any(line.split()[0] == "architecture" for line in text.splitlines() if line.strip()))


class FreshMachine(unittest.TestCase):
    """SIGINT while a step runs: the step gets SIGTERM at once, the script
    exits 130 and removes its root. Stand-ins make the root (mmdebstrap) and
    run the step (chroot), which waits until it is stopped."""

    @staticmethod
    def kill_left(p, pid_file):
        """What a failed run leaves: the script's group and the step, which
        timeout put in a group of its own."""
        if p.poll() is None:
            os.killpg(p.pid, signal.SIGKILL)
        try:
            with open(pid_file) as f:
                os.kill(int(f.read()), signal.SIGKILL)
        except (OSError, ValueError):
            pass
        p.wait()
        p.stderr.close()

    def test_interrupt_reaches_the_step(self):
        tmp = tempfile.mkdtemp(prefix="fresh-machine.")
        self.addCleanup(shutil.rmtree, tmp)
        bin_dir, mark = os.path.join(tmp, "bin"), os.path.join(tmp, "step")
        os.makedirs(bin_dir)
        for name, text in {
                "mmdebstrap": '#!/bin/sh\nfor a; do last=$a; done\nd=$(mktemp -d)\nmkdir "$d/etc" "$d/root"\n'
                              'tar -C "$d" -cf "$last" .\nrm -r "$d"\n',
                "mount": "#!/bin/sh\n", "umount": "#!/bin/sh\n", "id": "#!/bin/sh\necho 0\n",
                "chroot": '#!/bin/bash\ntrap \'echo TERM >> "$MARK"; exit 143\' TERM\necho $$ > "$MARK.pid"\n'
                          'echo started > "$MARK"\n'
                          'while :; do sleep 1 & wait $!; done\n'}.items():
            with open(os.path.join(bin_dir, name), "w") as f:
                f.write(text)
            os.chmod(os.path.join(bin_dir, name), stat.S_IRWXU)
        env = {"PATH": bin_dir + ":/usr/bin:/bin", "MARK": mark, "XDG_CACHE_HOME": os.path.join(tmp, "cache"),
               "HOME": tmp}
        p = subprocess.Popen(["bash", os.path.join(HERE, "fresh-machine")], env=env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True, start_new_session=True)
        self.addCleanup(self.kill_left, p, mark + ".pid")
        deadline = time.monotonic() + 60
        while not os.path.exists(mark):
            if p.poll() is not None:
                self.fail("fresh-machine ended before its first step: " + p.stderr.read())
            self.assertLess(time.monotonic(), deadline, "the step never started")
            time.sleep(0.05)
        stopped = time.monotonic()
        p.send_signal(signal.SIGINT)
        try:
            status = p.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.fail("fresh-machine did not stop within 20 s of SIGINT")
        self.assertLess(time.monotonic() - stopped, 10)
        err = p.stderr.read()
        self.assertEqual(status, 130, err)
        with open(mark) as f:
            self.assertEqual(f.read().split(), ["started", "TERM"])
        self.assertIn("fresh-machine: interrupted", err)


if __name__ == "__main__":
    unittest.main()
