"""The host side of fbbench in LAVA: fbbench-lava-results recovering results
files from job logs that fbbench-lava's blocks went into, the dispatcher
root's supervision, the device configuration taken from the board's QEMU
command, and the check of LAVA's recorded cases."""

import json
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
LAVA = os.path.join(HERE, "..", "lava")
RECOVER = os.path.join(LAVA, "fbbench-lava-results")
# The farm's harness.
FARM = os.path.join(HERE, "..", "board", "farm")
FBBENCH_LAVA = os.environ.get("FBBENCH_LAVA")
# The tools run as from a user's shell, their output buffered.
os.environ.pop("PYTHONUNBUFFERED", None)
FIXTURE = os.path.join(HERE, "fixtures", "results", "d.json")
A_FIXTURE = os.path.join(HERE, "fixtures", "results", "boards", "vexpress", "fbbench-fb1.json")
BOARDS = os.path.join(HERE, "fixtures", "results", "boards")
sys.path.insert(0, FARM)
import dispatcher_root  # noqa: E402
import farm  # noqa: E402
import lava_results  # noqa: E402

if not FBBENCH_LAVA:
    print("FBBENCH_LAVA must name the fbbench-lava program to test with")
    sys.exit(1)


def emit(path, status=0, name=None):
    """fbbench-lava's block for a file, as the board prints it."""
    r = subprocess.run([FBBENCH_LAVA, "--emit", "--status", str(status), *(["--name", name] if name else []), path],
                       capture_output=True, text=True)
    return r.stdout


def as_lava_log(console):
    """The console's lines as a LAVA server's YAML log has them, among others."""
    entries = [{"dt": "2026-12-09T05:00:00", "lvl": "info", "msg": "start: 3.1 lava-test-shell"}]
    entries += [{"dt": "2026-12-09T05:00:01", "lvl": "target", "msg": line} for line in console.splitlines()]
    entries.append({"dt": "2026-12-09T05:00:02", "lvl": "results",
                    "msg": {"definition": "1_fbbench", "case": "fbbench", "result": "pass"}})
    return "".join("- " + json.dumps(e) + "\n" for e in entries)


class Recover(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.dir = self.folder.name
        with open(FIXTURE, "rb") as f:
            self.content = f.read()

    def tearDown(self):
        self.folder.cleanup()

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def run_tool(self, log):
        out = os.path.join(self.dir, "out")
        os.makedirs(out, exist_ok=True)
        return subprocess.run([sys.executable, RECOVER, "--output-dir", out, log], capture_output=True, text=True)

    def test_recovers_the_file_byte_for_byte_from_every_kind_of_log(self):
        block = emit(FIXTURE)
        folder = os.path.join(self.dir, "lava-run")
        os.makedirs(folder)
        with open(os.path.join(folder, "output.yaml"), "w") as f:
            f.write(as_lava_log(block))
        logs = {
            "a server's YAML log": self.write("output.yaml", as_lava_log("lava-board# fbbench\n" + block)),
            "a plain log, lines ending in CR": self.write("plain.log", block.replace("\n", "\r\n")),
            "a lava-run output folder": folder,
        }
        for kind, log in logs.items():
            with self.subTest(kind):
                r = self.run_tool(log)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stderr, "")
                path = r.stdout.strip()
                self.assertEqual(os.path.basename(path), "d.json")
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), self.content)

    def test_bad_input_is_one_line_and_a_failure(self):
        block = emit(FIXTURE)
        lines = block.splitlines()
        damaged = lines[:2] + ["A" + lines[2][1:]] + lines[3:]
        table = {
            "unreadable": (os.path.join(self.dir, "absent.yaml"), "cannot read"),
            "no results": (self.write("none.yaml", as_lava_log("lava-board# ls\n")), "holds no fbbench results"),
            "folder without a log": (self.dir, "holds no job log"),
            "damaged": (self.write("damaged.log", "\n".join(damaged)), "is damaged"),
            "cut short": (self.write("cut.log", "\n".join(lines[:-1])), "has no end"),
            "fbbench left no file": (self.write("missing.log", subprocess.run(
                [FBBENCH_LAVA, "--emit", "--status", "2", os.path.join(self.dir, "x.json")],
                capture_output=True, text=True).stdout), "left no results file x (exit status 2)"),
        }
        for kind, (log, message) in table.items():
            with self.subTest(kind):
                r = self.run_tool(log)
                self.assertEqual(r.returncode, 1)
                self.assertIn(message, r.stderr)
                self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
                self.assertEqual(r.stdout, "")

    def test_every_good_block_is_written_and_every_bad_one_named(self):
        """Two boards' blocks in one log, one of them spoilt in the ways a
        console spoils a log: the good blocks are written, each bad one is
        one line, and the exit status says whether any was bad."""
        vexpress, arm64 = (os.path.join(BOARDS, board, "fbbench-fb0.json") for board in ("vexpress", "arm64"))
        first = emit(vexpress, name="vexpress").splitlines()
        second = emit(arm64, name="arm64").splitlines()
        kernel = "[   12.345678] random: crng init done"
        cases = {
            # (log lines, files written by block name, what stderr names, exit status)
            "kernel lines inside a block": (first + second[:3] + [kernel] + second[3:-1] + [kernel, second[-1]],
                                            {"vexpress": vexpress, "arm64": arm64}, [], 0),
            "a BEGIN line split where the console wrapped": (
                first + [second[0][:45], second[0][45:]] + second[1:], {"vexpress": vexpress, "arm64": arm64}, [], 0),
            "a BEGIN line split inside its marker": (first + [second[0][:12], second[0][12:]] + second[1:],
                                                     {"vexpress": vexpress}, ["arm64 ends, but never began"], 1),
            "a damaged second block": (first + second[:2] + ["A" + second[2][1:]] + second[3:],
                                       {"vexpress": vexpress}, ["block arm64 is damaged"], 1),
            "a kernel line within a line of the block": (
                first + second[:2] + [second[2][:30] + kernel + second[2][30:]] + second[3:],
                {"vexpress": vexpress}, ["block arm64 is damaged"], 1),
            "an END line lost": (first[:-1] + second, {"arm64": arm64}, ["block vexpress has no end"], 1),
            "a log cut inside the second block": (first + second[:5], {"vexpress": vexpress},
                                                  ["block arm64 has no end"], 1),
            "two boards under one name": (emit(vexpress, name="board").splitlines()
                                          + emit(arm64, name="board").splitlines(),
                                          {"board": vexpress, "board-2": arm64},
                                          ["a second block named board: written as board-2.json"], 1),
        }
        for kind, (lines, files, messages, status) in cases.items():
            with self.subTest(kind):
                out = tempfile.mkdtemp(dir=self.dir)
                r = subprocess.run([sys.executable, RECOVER, "--output-dir", out,
                                    self.write("log", "\n".join(lines) + "\n")], capture_output=True, text=True)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertEqual(r.stdout.splitlines(), [os.path.join(out, n + ".json") for n in files])
                self.assertEqual(sorted(os.listdir(out)), sorted(n + ".json" for n in files))
                for name, source in files.items():
                    with open(os.path.join(out, name + ".json"), "rb") as f, open(source, "rb") as g:
                        self.assertEqual(f.read(), g.read(), name)
                self.assertEqual(len(r.stderr.splitlines()), len(messages), r.stderr)
                for message in messages:
                    self.assertIn(message, r.stderr)

    def test_hostile_inputs_give_one_line_and_the_other_blocks(self):
        """Inputs that are no log, or logs made to break the reader: each is
        one line at most, nothing blocks or grows without bound, no terminal
        control gets through, and the good blocks around are written."""
        good = emit(FIXTURE)
        os.mkfifo(os.path.join(self.dir, "fifo"))
        huge = self.write("huge.log", good)
        with open(huge, "r+b") as f:
            # 200 MB of a console gone mad, with no line end: a hole reads as NULs.
            f.truncate(len(good) + (200 << 20))
            f.seek(0, os.SEEK_END)
            f.write(b"\n" + emit(A_FIXTURE).encode())
        # A real MISSING line and END line, their names and reason made hostile.
        missing = subprocess.run([FBBENCH_LAVA, "--emit", "--status", "2", os.path.join(self.dir, "gone.json")],
                                 capture_output=True, text=True).stdout
        hostile = "\x1b]0;owned\x07\x1b[2J\u009b"
        missing = missing.replace("name=gone", "name=gone" + hostile).replace("gone.json", hostile + "gone.json")
        ends_as = good.replace("FBBENCH-RESULTS-END name=d", "FBBENCH-RESULTS-END name=d" + hostile)
        nested = "{" + '"a":{' * 100000 + "}" * 100001
        cases = {
            # (log, stdin, files by name, what the one line on stderr says or None, exit status)
            "/dev/zero": ("/dev/zero", None, [], "/dev/zero: not a regular file", 1),
            "a FIFO": (os.path.join(self.dir, "fifo"), None, [], "fifo: not a regular file", 1),
            "standard input, a pipe": ("-", good, ["d"], None, 0),
            "200 MB with no line end": (huge, None, ["d", "fbbench-fb1"], None, 0),
            "console JSON nested 100,000 deep": (self.write("nested.log", good.replace(
                "\n", "\n" + nested + "\n", 1) + as_lava_log(nested)), None, ["d"], None, 0),
            # fbbench-lava names blocks with at most 200 characters; a log may say otherwise
            "a block name of 300 characters": (self.write("long.log", emit(A_FIXTURE, name="n" * 200).replace(
                "n" * 200, "n" * 300) + good), None, ["d"], "block name of 300 characters is longer than", 1),
            "a hostile MISSING line": (self.write("missing.log", good + missing), None, ["d"],
                                       "left no results file gone\\x1b]0;owned\\x07\\x1b[2J\\x9b", 1),
            "a hostile END name": (self.write("end.log", ends_as + emit(A_FIXTURE)), None, ["fbbench-fb1"],
                                   "block d ends as d\\x1b]0;owned\\x07", 1),
        }
        controls = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f]")
        for kind, (log, stdin, files, message, status) in cases.items():
            with self.subTest(kind):
                out = tempfile.mkdtemp(dir=self.dir)
                with tempfile.TemporaryFile() as stdout, tempfile.TemporaryFile() as stderr:
                    child = subprocess.Popen([sys.executable, RECOVER, "--output-dir", out, log],
                                             stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                             stdout=stdout, stderr=stderr)
                    if stdin:
                        child.stdin.write(stdin.encode())
                        child.stdin.close()
                    _, wait_status, usage = os.wait4(child.pid, 0)
                    child.returncode = os.waitstatus_to_exitcode(wait_status)
                    stdout.seek(0)
                    stderr.seek(0)
                    printed, said = stdout.read().decode(), stderr.read().decode()
                self.assertEqual(child.returncode, status, said)
                # Streamed: far below the log's size (ru_maxrss is in KiB).
                self.assertLess(usage.ru_maxrss, 100 << 10)
                self.assertEqual(printed.splitlines(), [os.path.join(out, n + ".json") for n in files])
                if message is None:
                    self.assertEqual(said, "")
                else:
                    self.assertEqual(len(said.splitlines()), 1, said)
                    self.assertIn(message, said)
                self.assertIsNone(controls.search(printed + said), ascii(said))

    def test_a_full_standard_output_is_one_line(self):
        for args in (["--help"], ["--output-dir", self.dir, self.write("good.log", emit(FIXTURE))]):
            with self.subTest(args[0]), open("/dev/full", "w") as full:
                r = subprocess.run([sys.executable, RECOVER, *args], stdout=full, stderr=subprocess.PIPE, text=True)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stderr, "fbbench-lava-results: cannot write the output: No space left on device\n")

    def test_a_failed_fbbench_still_yields_what_it_measured(self):
        r = self.run_tool(self.write("failed.log", emit(FIXTURE, status=1)))
        self.assertEqual(r.returncode, 1)
        self.assertIn("exited with status 1", r.stderr)
        with open(r.stdout.strip(), "rb") as f:
            self.assertEqual(f.read(), self.content)

    def test_adds_to_a_store(self):
        import sqlite3
        import zlib
        vexpress, arm64 = (os.path.join(BOARDS, b, "fbbench-fb0.json") for b in ("vexpress", "arm64"))
        log = self.write("two.log", emit(vexpress, name="vexpress") + emit(arm64, name="arm64"))
        store = os.path.join(self.dir, "farm.sqlite")
        out = os.path.join(self.dir, "out")
        os.makedirs(out)
        for attempt, said in ((1, ["added as session 1", "added as session 2"]),
                              (2, ["already in the store as session 1, skipped",
                                   "already in the store as session 2, skipped"])):
            with self.subTest(attempt=attempt):
                r = subprocess.run([sys.executable, RECOVER, "--output-dir", out, "--store", store, log],
                                   capture_output=True, text=True)
                self.assertEqual(r.returncode, 0, r.stderr)
                # Standard output stays the paths, for fbbench-compare.
                self.assertEqual(r.stdout.split(), [os.path.join(out, name) for name in ("vexpress.json", "arm64.json")])
                self.assertEqual([line.split(": ", 2)[2] for line in r.stderr.splitlines()], said)
        db = sqlite3.connect(store)
        kept = [zlib.decompress(f) for f, in db.execute("SELECT file FROM sessions ORDER BY id")]
        db.close()
        self.assertEqual(kept, [open(p, "rb").read() for p in (vexpress, arm64)])
        # A store it cannot use: the files are still written, the status says so.
        notes = self.write("notes.sqlite", "not a database\n" * 50)
        r = subprocess.run([sys.executable, RECOVER, "--output-dir", out, "--store", notes, log], capture_output=True,
                           text=True)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, f"fbbench-lava-results: {notes}: not an SQLite database\n")
        self.assertEqual(len(r.stdout.split()), 2)

    def test_never_writes_through_a_link(self):
        out = os.path.join(self.dir, "out")
        os.makedirs(out)
        victim = self.write("victim", "keep")
        os.symlink(victim, os.path.join(out, "d.json"))
        r = self.run_tool(self.write("output.yaml", as_lava_log(emit(FIXTURE))))
        self.assertEqual(r.returncode, 1)
        self.assertIn("not a regular file", r.stderr)
        with open(victim) as f:
            self.assertEqual(f.read(), "keep")


class Supervise(unittest.TestCase):
    def test_status_deadline_and_strays(self):
        self.assertEqual(dispatcher_root.supervise(["sh", "-c", "exit 7"], 30), 7)
        self.assertEqual(dispatcher_root.supervise(["sh", "-c", "kill -KILL $$"], 30), 128 + 9)
        # A child that outlives its deadline, with a grandchild in a session
        # of its own, as QEMU is under the dispatcher: both are ended.
        with tempfile.TemporaryDirectory() as d:
            pid_file = os.path.join(d, "pid")
            script = "setsid sleep 300 & echo $! > %s; exec sleep 300" % pid_file

            def stray():
                try:
                    with open(pid_file) as f:
                        pid = int(f.read())
                    with open("/proc/%d/stat" % pid) as f:
                        # an ended process not yet reaped by its new parent
                        return [] if f.read().rsplit(")", 1)[1].split()[0] == "Z" else [pid]
                except (OSError, ValueError):
                    return []

            started = time.monotonic()
            self.assertEqual(dispatcher_root.supervise(["sh", "-c", script], 2, stray=stray), 124)
            self.assertLess(time.monotonic() - started, 30)
            self.assertEqual(stray(), [])

    def test_a_signal_is_passed_on_and_nothing_outlives_it(self):
        # The supervisor itself gets SIGTERM twice, as from a caller that
        # ends its own group: the command and the process it started in a
        # session of its own are ended all the same, and the status says so.
        with tempfile.TemporaryDirectory() as d:
            stray_file = os.path.join(d, "stray")
            script = "setsid sleep 300 & echo $! > %s.new; mv %s.new %s; wait" % ((stray_file,) * 3)
            program = ("import sys; sys.path.insert(0, %r); import dispatcher_root\n"
                       "def stray():\n"
                       "    try:\n"
                       "        pid = int(open(%r).read())\n"
                       "        return [pid] if open('/proc/%%d/stat' %% pid).read().rsplit(')', 1)[1].split()[0] != 'Z' else []\n"
                       "    except (OSError, ValueError):\n"
                       "        return []\n"
                       "sys.exit(dispatcher_root.supervise(['sh', '-c', %r], 300, stray=stray))\n"
                       % (FARM, stray_file, script))
            supervisor = subprocess.Popen([sys.executable, "-c", program])
            deadline = time.monotonic() + 30
            while not os.path.exists(stray_file) and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertTrue(os.path.exists(stray_file))
            with open(stray_file) as f:
                stray = int(f.read())
            supervisor.send_signal(15)
            supervisor.send_signal(15)
            self.assertEqual(supervisor.wait(timeout=60), 128 + 15)
            try:
                with open("/proc/%d/stat" % stray) as f:
                    state = f.read().rsplit(")", 1)[1].split()[0]
            except OSError:
                state = "gone"
            self.assertIn(state, ("gone", "Z"))


class DeviceConfiguration(unittest.TestCase):
    def test_from_the_boards_own_description(self):
        facts = farm.qemu_facts(farm.boards.BOARDS["arm64"])
        self.assertEqual(facts, {"machine": "virt", "cpu": "cortex-a72", "memory": 512,
                                 "extra_options": ["-device virtio-gpu-pci,id=gpu,xres=800,yres=480"],
                                 "append": "console=ttyAMA0 panic=-1"})
        template = farm.device_template(facts)
        self.assertIn("{% set guestfs_interface = 'virtio' %}", template)
        self.assertIn('{% set extra_options = ["-device virtio-gpu-pci,id=gpu,xres=800,yres=480"] %}', template)

    def test_a_board_it_cannot_carry_is_refused(self):
        table = {
            "qemu-system-arm -M vexpress-a9 -cpu a -m 1": "not qemu-system-aarch64",
            "qemu-system-aarch64 -M virt -cpu a -m 1 -dtb b.dtb": "-dtb has no place",
            "qemu-system-aarch64 -M virt -m 1": "has no cpu",
        }
        for command, message in table.items():
            with self.subTest(command):
                board = {"qemu": command.split(), "append": "console=ttyAMA0", "screen": "800x480x32"}
                with self.assertRaises(farm.FarmError) as caught:
                    farm.qemu_facts(board)
                self.assertIn(message, str(caught.exception))


class RecordedCases(unittest.TestCase):
    def test_what_lava_must_have_recorded(self):
        expected = {"fbbench": ("pass", None, None),
                    "rectangle-bench.fill-rate.fb0.device": ("pass", 44.27, "MPixels/s")}
        good = [{"case": "fbbench", "result": "pass"},
                {"case": "rectangle-bench.fill-rate.fb0.device", "result": "pass", "measurement": "44.27",
                 "units": "MPixels/s"}]
        table = {
            "all there": (good, []),
            "one missing": (good[:1], ["LAVA recorded no case rectangle-bench.fill-rate.fb0.device",
                                       "no case of rectangle-bench with a measurement and units"]),
            "other units": ([good[0], dict(good[1], units="MB/s")],
                            ["case rectangle-bench.fill-rate.fb0.device: 44.27 MB/s, not 44.27 MPixels/s"]),
            "no measurement": ([good[0], {"case": good[1]["case"], "result": "pass"}],
                               ["case rectangle-bench.fill-rate.fb0.device has no measurement",
                                "no case of rectangle-bench with a measurement and units"]),
            "another result": ([dict(good[0], result="fail"), good[1]], ["case fbbench: result fail, not pass"]),
            "a case of its own": (good + [{"case": "extra", "result": "pass"}],
                                  ["LAVA recorded a case fbbench-lava did not give: extra"]),
        }
        for kind, (recorded, problems) in table.items():
            with self.subTest(kind):
                self.assertEqual(lava_results.cases_compare(expected, recorded, ["rectangle-bench"]), problems)

    def test_results_are_read_from_the_log(self):
        with tempfile.TemporaryDirectory() as d:
            log = os.path.join(d, "output.yaml")
            with open(log, "w") as f:
                f.write(as_lava_log("line"))
                # lava-run's own output: no list, and YAML's tags on strings that look like numbers
                f.write('{"dt": "x", "lvl": "results", "msg": {"case": "c", "endtc": ! "528", '
                        '"measurement": ! "15.62", "units": "Hz"}}\n')
            self.assertEqual(lava_results.log_results(log),
                             [{"definition": "1_fbbench", "case": "fbbench", "result": "pass"},
                              {"case": "c", "endtc": "528", "measurement": "15.62", "units": "Hz"}])


if __name__ == "__main__":
    unittest.main()
