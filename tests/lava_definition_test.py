"""The LAVA test definition's own steps, read from lava/fbbench.yaml and run
by a POSIX shell as LAVA's run script runs them, with stand-ins for fbbench
and lava-test-case and this build's fbbench-lava: what each parameter
becomes on fbbench's command line, what is refused before anything runs, and
that the step's folder is gone afterwards."""

import json
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
DEFINITION = os.path.join(HERE, "..", "lava", "fbbench.yaml")
# A results file fbbench wrote on the emulated vexpress board.
FIXTURE = os.path.join(HERE, "fixtures", "results", "boards", "vexpress", "fbbench-fb0.json")
FBBENCH_LAVA = os.environ.get("FBBENCH_LAVA")
SHELL = shutil.which("dash") or "/bin/sh"

try:
    import yaml
except ImportError:
    print("skipped: no python3-yaml to read the test definition with")
    sys.exit(77)
if not FBBENCH_LAVA:
    print("FBBENCH_LAVA must name the fbbench-lava program to test with")
    sys.exit(1)

# fbbench: records its arguments, one a line, and its window, then leaves in
# the folder it runs in the file fbbench wrote, unless told to fail.
STAND_IN_FBBENCH = """#!/bin/sh
printf '%s\\n' "$@" > "$RECORD/args"
for name in WIDTH HEIGHT POSX POSY; do eval "printf '%s=%s\\n' $name \\"\\${$name-unset}\\""; done > "$RECORD/env"
[ "$STAND_IN_STATUS" = 0 ] && cp "$FIXTURE" fbbench-fb0.json
exit "$STAND_IN_STATUS"
"""
STAND_IN_CASE = """#!/bin/sh
printf '%s\\n' "$*" >> "$RECORD/cases"
"""


def steps():
    with open(DEFINITION) as f:
        definition = yaml.safe_load(f)
    return definition["params"], definition["run"]["steps"]


class Definition(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.dir = self.folder.name
        self.bin = os.path.join(self.dir, "bin")
        self.record = os.path.join(self.dir, "record")
        self.tmp = os.path.join(self.dir, "tmp")
        self.work = os.path.join(self.dir, "work")
        for d in (self.bin, self.record, self.tmp, self.work):
            os.mkdir(d)
        # What a glob in a parameter would find in the test's folder.
        for name in ("rectangle-bench", "x.json"):
            open(os.path.join(self.work, name), "w").close()
        for name, text in (("fbbench", STAND_IN_FBBENCH), ("lava-test-case", STAND_IN_CASE)):
            path = os.path.join(self.bin, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        os.symlink(os.path.abspath(FBBENCH_LAVA), os.path.join(self.bin, "fbbench-lava"))

    def tearDown(self):
        self.folder.cleanup()

    def run_steps(self, parameters, status=0):
        """LAVA's run script: the definition's parameters, the job's over them, then the steps under set -e."""
        params, step_list = steps()
        params = dict(params, **parameters)
        script = "".join("%s=%s\n" % (k, shlex.quote(v)) for k, v in params.items())
        script += "set -e\n" + "\n".join(step_list) + "\n"
        for name in ("args", "env", "cases"):
            try:
                os.remove(os.path.join(self.record, name))
            except FileNotFoundError:
                pass
        env = {"PATH": self.bin + ":/usr/bin:/bin", "TMPDIR": self.tmp, "RECORD": self.record,
               "FIXTURE": FIXTURE, "STAND_IN_STATUS": str(status), "LC_ALL": "C"}
        return subprocess.run([SHELL, "-c", script], cwd=self.work, env=env, capture_output=True, text=True)

    def recorded(self, name):
        try:
            with open(os.path.join(self.record, name)) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return None

    def fixture_cases(self):
        """The lava-test-case calls fbbench-lava's cases of the fixture call for."""
        out = subprocess.run([FBBENCH_LAVA, FIXTURE], capture_output=True, text=True, check=True).stdout
        calls = []
        for line in out.splitlines():
            words = line.split()
            call = "%s --result %s" % (words[0], words[1])
            if len(words) == 4:
                call += " --measurement %s --units %s" % (words[2], words[3])
            calls.append(call)
        return calls

    def test_parameters_become_fbbench_options(self):
        device = ["--timeout", "600", "--device", "/dev/fb0"]
        unset = ["WIDTH=unset", "HEIGHT=unset", "POSX=unset", "POSY=unset"]
        table = {
            "defaults": ({}, device + ["--"], unset),
            "two devices": ({"DEVICES": " /dev/fb0\t/dev/dri/card0 "},
                            ["--timeout", "600", "--device", "/dev/fb0", "--device", "/dev/dri/card0", "--"], unset),
            "fbbench's own device and timeout": ({"DEVICES": "", "TIMEOUT": ""}, ["--"], unset),
            "quick, whatever RUNS says": ({"QUICK": "true", "RUNS": "5"}, device + ["--quick", "--"], unset),
            # LAVA gives a YAML true in a job as Python writes it
            "quick as LAVA writes a YAML true": ({"QUICK": "True"}, device + ["--quick", "--"], unset),
            "runs": ({"QUICK": "False", "RUNS": "5"}, device + ["--runs", "5", "--"], unset),
            "sync always": ({"SYNC": "always"}, device + ["--sync", "--"], unset),
            "sync never": ({"SYNC": "never"}, device + ["--no-sync", "--"], unset),
            "programs": ({"PROGRAMS": "rectangle-bench  sierpinski-bench"},
                         device + ["--", "rectangle-bench", "sierpinski-bench"], unset),
            "window": ({"WIDTH": "320", "HEIGHT": "240", "POSX": "0"}, device + ["--"],
                       ["WIDTH=320", "HEIGHT=240", "POSX=0", "POSY=unset"]),
        }
        cases = self.fixture_cases()
        for kind, (parameters, args, window) in table.items():
            with self.subTest(kind):
                r = self.run_steps(parameters)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(self.recorded("args"), args)
                self.assertEqual(self.recorded("env"), window)
                self.assertEqual(self.recorded("cases"), cases)
                self.assertIn("FBBENCH-RESULTS-BEGIN name=fbbench-fb0 status=0 ", r.stdout)
                self.assertEqual(os.listdir(self.tmp), [])

    def test_a_bad_parameter_is_refused_before_anything_runs(self):
        table = {
            "an option among the programs": ({"PROGRAMS": "--output /x.json rectangle-bench"},
                                             'PROGRAMS must be benchmark names, blank-separated, not '
                                             '"--output /x.json rectangle-bench"'),
            "a glob among the programs": ({"PROGRAMS": "*"}, "PROGRAMS must be benchmark names"),
            "an option among the devices": ({"DEVICES": "/dev/fb0 --quick"}, "DEVICES must be device paths"),
            "a glob among the devices": ({"DEVICES": "/dev/fb*"}, "DEVICES must be device paths"),
            "a relative device": ({"DEVICES": "x.json"}, "DEVICES must be device paths"),
            "QUICK in capitals": ({"QUICK": "TRUE"}, 'QUICK must be true or false, not "TRUE"'),
            "QUICK as yes": ({"QUICK": "yes"}, 'QUICK must be true or false, not "yes"'),
            "QUICK empty": ({"QUICK": ""}, 'QUICK must be true or false, not ""'),
            "a bad SYNC": ({"SYNC": "sometimes"}, 'SYNC must be auto, always or never, not "sometimes"'),
            "RUNS with an option": ({"RUNS": "5 --output /x.json"}, "RUNS must be empty or a whole number"),
            "a negative RUNS": ({"RUNS": "-1"}, 'RUNS must be empty or a whole number, not "-1"'),
            "TIMEOUT with a unit": ({"TIMEOUT": "10s"}, 'TIMEOUT must be empty or a whole number, not "10s"'),
            "a word for WIDTH": ({"WIDTH": "wide"}, 'WIDTH must be empty or a whole number, not "wide"'),
            "a negative POSX": ({"POSX": "-8"}, 'POSX must be empty or a whole number, not "-8"'),
            # the value is not echoed where it would take the terminal or split the line
            "an escape in POSY": ({"POSY": "1\x1b]0;x\x07"}, "POSY must be empty or a whole number"),
            "a newline in DEVICES": ({"DEVICES": "/dev/fb0\nFBBENCH-RESULTS-BEGIN"}, "DEVICES must be device paths"),
        }
        for kind, (parameters, message) in table.items():
            with self.subTest(kind):
                r = self.run_steps(parameters)
                self.assertNotEqual(r.returncode, 0)
                self.assertIsNone(self.recorded("args"), "fbbench ran")
                self.assertEqual(self.recorded("cases"), ["fbbench --result fail"])
                lines = r.stderr.splitlines()
                self.assertEqual(len(lines), 1, r.stderr)
                self.assertTrue(lines[0].startswith("fbbench: ") and lines[0].isprintable(), r.stderr)
                self.assertIn(message, lines[0])
                self.assertEqual(r.stdout, "")
                self.assertEqual(os.listdir(self.tmp), [])

    def test_a_failed_fbbench_leaves_a_failed_case_a_missing_line_and_no_folder(self):
        r = self.run_steps({}, status=3)
        self.assertEqual(self.recorded("cases"), ["fbbench --result fail"])
        self.assertRegex(r.stdout, r"(?m)^FBBENCH-RESULTS-MISSING name=\S+ status=3 ")
        self.assertEqual(os.listdir(self.tmp), [])


if __name__ == "__main__":
    unittest.main()
