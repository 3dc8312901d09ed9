"""fbbench-compare over the fixture results files: a.json (the baseline, with
RAM runs and mapping probes), b.json (no board model, incomplete, no RAM
runs) and c.json (no board model or host, two devices)."""

import importlib.machinery
import importlib.util
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest
from xml.etree import ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
PROGRAM = os.environ.get("FBBENCH_COMPARE", os.path.join(HERE, "..", "host", "fbbench-compare"))
FIXTURES = os.path.join(HERE, "fixtures", "results")
A, B, C = (os.path.join(FIXTURES, name) for name in ("a.json", "b.json", "c.json"))


def run(*args):
    return subprocess.run([sys.executable, PROGRAM, *args], capture_output=True, text=True)


def table(stdout):
    """The table's rows by their first cell (the header under 'benchmark')."""
    rows = {}
    for line in stdout.splitlines():
        if line.startswith("| "):
            cells = [cell.strip() for cell in line.strip("|").split(" | ")]
            rows[cells[0]] = cells[1:]
    return rows


class CompareTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def write(self, name, text):
        with open(os.path.join(self.dir.name, name), "w") as f:
            f.write(text)
        return f.name

    def test_table(self):
        result = run(A, B, C)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertEqual(table(result.stdout), {
            "benchmark": ["Board A", "beta (incomplete)", "c.json /dev/fb0", "c.json /dev/dri/card0"],
            # A tie for the best is marked twice.
            "rectangle (MPixels/s)": ["100.00 ±2.0 % · screen/RAM 0.50", "**200.00** ±10.0 % · ×2.00",
                                      "50.00 ±4.0 % · ×0.50", "**200.00** ±4.0 % · ×2.00"],
            # A time: the lowest is best, and half the time is twice as good.
            "Mandelbrot (s)": ["10.00 ±2.0 % · screen/RAM 1.25", "**5.00** ±4.0 % · ×2.00",
                               "20.00 ±10.0 % · ×0.50", "—"],
            "Sierpinski 1024 points (frames/s)": ["**50.00** ±2.0 % · screen/RAM 0.50", "40.00 ±5.0 % · ×0.80", "—", "—"],
            "Sierpinski 2048 points (frames/s)": ["25.00 ±2.0 % · screen/RAM 0.50", "**30.00** ±6.7 % · ×1.20", "—", "—"],
            # Nothing to compare with: no mark and no ratio.
            "Sierpinski 4096 points (frames/s)": ["—", "15.00 ±13.3 %", "—", "—"],
        })

        labelled = table(run("--label", "old kernel", "--label", "new kernel", A, B).stdout)
        self.assertEqual(labelled["benchmark"], ["old kernel", "new kernel (incomplete)"])

    def test_version_2(self):
        """A version 2 file reads as version 1 did, with a killed run that has
        a signal and no exit status among its runs."""
        with open(A) as f:
            data = json.load(f)
        data["schema"] = "fbbench-results/2"
        data["runs"].append({"program": "rectangle-bench", "target": "device", "path": "/dev/fb0", "warmup": False,
                             "signal": "SIGSEGV", "valid": False, "invalid_reason": "killed by SIGSEGV",
                             "stdout": "", "stderr": "", "stdout_truncated": False, "stderr_truncated": False,
                             "values": {}, "wall_seconds": 0.1})
        version_2 = run(self.write("v2.json", json.dumps(data)), B)
        self.assertEqual((version_2.returncode, version_2.stderr), (0, ""))
        version_1 = run(A, B)
        self.assertEqual(table(version_2.stdout)["rectangle (MPixels/s)"], table(version_1.stdout)["rectangle (MPixels/s)"])

    def test_bad_input(self):
        with open(A) as f:
            no_valid = json.load(f)
        for r in no_valid["runs"]:
            r["valid"] = False
        cases = [
            ("missing file", [os.path.join(self.dir.name, "gone.json")], "gone.json: cannot read: No such file"),
            ("not JSON", [self.write("cut.json", '{"schema": ')], "cut.json: not JSON"),
            ("not an object", [self.write("list.json", "[1, 2]")], "list.json: not an fbbench results file"),
            ("other schema", [self.write("v3.json", '{"schema": "fbbench-results/3"}')],
             'v3.json: schema "fbbench-results/3" is not fbbench-results/1 or fbbench-results/2'),
            ("no valid run", [self.write("invalid.json", json.dumps(no_valid))], "invalid.json: no valid run"),
            ("bad median", [self.write("median.json", json.dumps(dict(no_valid, runs=[{"valid": True}], results=[
                {"program": "rectangle-bench", "metric": "fill rate", "device": {"median": "fast"}}])))],
             "median.json: result 'fill rate' has no numeric device median"),
            ("too few labels", ["--label", "x", B], "1 --label for 2 files"),
            ("chart type", ["--chart", os.path.join(self.dir.name, "chart.pdf"), B], "chart.pdf: a chart is .png or .svg"),
            ("unknown option", ["--colour", B], "unrecognized arguments: --colour"),
        ]
        chart = os.path.join(self.dir.name, "chart.png")
        for name, args, message in cases:
            with self.subTest(name):
                # After a good file, and with a chart asked for: neither table nor chart.
                result = run(A, *args, "--chart", chart) if "--chart" not in args else run(A, *args)
                self.assertEqual((result.returncode, result.stdout), (2, ""))
                self.assertRegex(result.stderr, f"^fbbench-compare: .*{re.escape(message)}.*\n$")
                self.assertFalse(os.path.exists(chart))

    def test_chart(self):
        missing = [name for name in ("matplotlib", "PIL") if importlib.util.find_spec(name) is None]
        if missing:
            self.fail(f"the chart needs python3-matplotlib and python3-pil; missing: {', '.join(missing)}")
        from PIL import Image
        for extension in ("png", "svg"):
            with self.subTest(extension):
                path = os.path.join(self.dir.name, "boards." + extension)
                result = run(A, B, C, "--chart", path)
                self.assertEqual(result.returncode, 0, result.stderr)
                if extension == "png":
                    with Image.open(path) as image:
                        self.assertEqual(image.format, "PNG")
                else:
                    self.assertEqual(ElementTree.parse(path).getroot().tag, "{http://www.w3.org/2000/svg}svg")

        loader = importlib.machinery.SourceFileLoader("fbbench_compare", PROGRAM)
        compare = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
        loader.exec_module(compare)

        def series(files):
            columns = compare.make_columns([(f, compare.load(f)) for f in files], None)
            axes = compare.build_figure(columns, compare.make_rows(columns)).axes
            bars = [sum(type(c).__name__ == "BarContainer" for c in ax.containers) for ax in axes]
            lines = axes[1].get_lines()
            return bars, len(lines), sum(line.get_linestyle() == "--" for line in lines)

        # Bars: every column against the baseline, A's RAM ratios, A's probes.
        # Lines: A on screen and in RAM (dashed), B on screen; C has no Sierpinski.
        self.assertEqual(series([A, B, C]), ([4, 0, 1, 1], 3, 1))
        # No file with probes: no probe panel; no RAM runs: no ratio bars.
        self.assertEqual(series([B, C]), ([3, 0, 0], 1, 0))


if __name__ == "__main__":
    unittest.main()
