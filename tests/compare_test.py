"""fbbench-compare over the fixture results files: a.json (the baseline,
schema /1, with RAM runs and mapping probes), b.json (/1, no board model,
incomplete, no RAM runs), c.json (/1, no board model or host, two devices),
d.json (/2, host vm, a 400x240 window, runs killed, not settled, resolution
limited, a device that could not be opened) and e.json (/2, host vm, the
160x120 window of a.json, Sierpinski levels up to 8M points); boards/ holds
three files from the emulated boards, with display runs. The /1
fixtures record their window as /2 files do; the tests take it away where a
file without it is the case.

Exits 77, skipped, when a module the program needs is missing."""

import contextlib
import copy
import csv
import html.parser
import importlib
import importlib.util
import io
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import unittest
from xml.etree import ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
PROGRAM = os.environ.get("FBBENCH_COMPARE", os.path.join(HERE, "..", "host", "fbbench-compare"))
# The command runs as from a user's shell, its output buffered.
os.environ.pop("PYTHONUNBUFFERED", None)
SCHEMA = os.path.join(HERE, "..", "doc", "results.schema.json")
FIXTURES = os.path.join(HERE, "fixtures", "results")
A, B, C, D, E = (os.path.join(FIXTURES, name + ".json") for name in "abcde")
BOARD = os.path.join(FIXTURES, "boards", "vexpress", "fbbench-fb0.json")
# Made-up farms come from the real board file through the speed script's maker.
sys.path.insert(0, os.path.join(HERE, "..", "host", "bench"))
import farm_files  # noqa: E402

missing = [name for name in ("jsonschema", "matplotlib", "PIL", "scipy") if importlib.util.find_spec(name) is None]
if missing:
    print(f"skipped: fbbench-compare needs python3-jsonschema, python3-matplotlib, python3-pil and python3-scipy; "
          f"missing: {', '.join(missing)}")
    sys.exit(77)

# The package beside the program, as the program itself finds it.
sys.path.insert(0, os.path.dirname(os.path.realpath(PROGRAM)))
command = importlib.import_module("fbbench_compare.command")
columns_module = importlib.import_module("fbbench_compare.columns")
chart = importlib.import_module("fbbench_compare.chart")
strip = importlib.import_module("fbbench_compare.strip")
regress = importlib.import_module("fbbench_compare.regress")
loading = importlib.import_module("fbbench_compare.load")


def run(*args):
    return subprocess.run([sys.executable, PROGRAM, *args], capture_output=True, text=True)


def run_inside(*args):
    """The program's main in this process: (status, stdout, stderr). An
    exception other than its exit escapes, as a traceback would."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = command.main(list(args))
        except SystemExit as e:
            status = e.code
    return status, out.getvalue(), err.getvalue()


def table(stdout, first="benchmark"):
    """The rows of the table whose first header is first, by their first cell."""
    rows, inside = {}, False
    for line in stdout.splitlines():
        if line.startswith(f"| {first} |"):
            inside = True
        elif not line.startswith("|"):
            inside = False
        if inside and not line.startswith("|---"):
            cells = [cell.strip() for cell in re.split(r"(?<!\\) \| ", line.strip("| "))]
            rows[cells[0]] = cells[1:]
    return rows


def load(path):
    with open(path) as f:
        return json.load(f)


def figure_of(files):
    """The chart of files, drawn."""
    columns = columns_module.make_columns([(f, loading.load(f, loading.validator_make())) for f in files], None)
    columns_module.headers_make(columns, False)
    result = chart.build_figure(columns, columns_module.make_rows(columns))
    result.canvas.draw()
    return result


def farm_made(folder, prefix, count, seed):
    """count farm files made from the real board file, seeded, in folder."""
    real, rng, paths = load(BOARD), __import__("random").Random(seed), []
    for index in range(count):
        paths.append(os.path.join(folder, f"{prefix}{index:02d}.json"))
        with open(paths[-1], "w") as f:
            json.dump(farm_files.farm_file(real, index, rng), f)
    return paths


def fbbench_made(path):
    """A description written by this build's fbbench on the test framebuffer
    (FBBENCH and TEST_FRAMEBUFFER name them), or None without them."""
    program, library = os.environ.get("FBBENCH"), os.environ.get("TEST_FRAMEBUFFER")
    if not program or not library:
        return None
    # A sanitizer build's fbbench takes the preloaded stand-in before its runtime.
    env = dict(os.environ, LD_PRELOAD=library, TEST_FB_SCREEN="320x240x32",
               TEST_FB_CLOCK_STEP="20000:260,100000:30,1000000",
               ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=1")
    made = subprocess.run([program, "-q", "--describe", "--no-probe", "-o", path], env=env, capture_output=True,
                          text=True, timeout=300)
    if made.returncode != 0:
        raise AssertionError(f"fbbench --describe failed: {made.stderr}")
    return path


def legend_of(drawn):
    return next(ax for ax in drawn.axes if ax.get_label() == "legend").get_legend()


class CompareTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def write(self, name, content):
        with open(self.path(name), "w" if isinstance(content, str) else "wb") as f:
            f.write(content)
        return self.path(name)

    def write_json(self, name, data):
        return self.write(name, json.dumps(data))

    def test_table(self):
        result = run(A, B, C)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertEqual(table(result.stdout), {
            "benchmark": ["Board A", "beta (incomplete)", "c.json /dev/fb0", "c.json /dev/dri/card0"],
            # A tie for the best is marked twice.
            "Rectangle (MPixels/s)": ["100.00 (n=3, 99.00–101.00) · screen/RAM 0.50",
                                      "**200.00** (n=3, 190.00–210.00) · ×2.00",
                                      "50.00 (n=3, 49.00–51.00) · ×0.50", "**200.00** (n=3, 196.00–204.00) · ×2.00"],
            # A time: the lowest is best, and half the time is twice as good.
            # Every ratio reads above 1 is better: RAM's time over the screen's.
            "Mandelbrot (s)": ["10.00 (n=3, 9.90–10.10) · screen/RAM 0.80", "**5.00** (n=3, 4.90–5.10) · ×2.00",
                               "20.00 (n=3, 19.00–21.00) · ×0.50", "—"],
            "Sierpinski 1024 points (frames/s)": ["**50.00** (n=3, 49.50–50.50) · screen/RAM 0.50",
                                                  "40.00 (n=3, 39.00–41.00) · ×0.80", "—", "—"],
            "Sierpinski 2048 points (frames/s)": ["25.00 (n=3, 24.75–25.25) · screen/RAM 0.50",
                                                  "**30.00** (n=3, 29.00–31.00) · ×1.20", "—", "—"],
            # Nothing to compare with: no mark and no ratio.
            "Sierpinski 4096 points (frames/s)": ["—", "15.00 (n=3, 14.00–16.00)", "—", "—"],
        })
        systems = table(result.stdout, "system")
        self.assertEqual(list(systems), ["system", "board", "CPU", "cores", "governor", "kernel", "kernel bits",
                                         "device", "driver", "mapping class", "mode", "refresh", "flush",
                                         "updates/s", "window", "OS", "fbbench", "warnings"])
        self.assertEqual(systems["device"], ["/dev/fb0 (fbdev)", "/dev/fb0 (fbdev)", "/dev/fb0 (fbdev)",
                                             "/dev/dri/card0 (drm)"])
        # As each file recorded it: every column drew 160x120.
        self.assertEqual(set(systems["window"]), {"160x120 at (64, 48), 32 bits"})
        self.assertEqual(systems["mapping class"], ["direct-cached", "—", "—", "—"])

        labelled = table(run("--label", "old kernel", "--label", "new kernel", A, B).stdout)
        self.assertEqual(labelled["benchmark"], ["old kernel", "new kernel (incomplete)"])

        # The /2 fields: marks for runs that did not settle or are resolution
        # limited, with their notes; the display ratio; the systems' new rows.
        result = run(E, D, "--allow-different-workloads")
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = table(result.stdout)
        self.assertEqual(rows["Rectangle (MPixels/s)"][1],
                         "120.00¹ (n=10, 110.00–126.00) · ×0.30† · screen/RAM 0.50 · display 100.00, "
                         "display/screen 0.83")
        self.assertEqual(rows["Mandelbrot (s)"][1], "0.02² (n=3, 0.02–0.03) · ×125.00†")
        # A small ratio keeps its digits.
        self.assertEqual(rows["Sierpinski 1024 points (frames/s)"][1], "60.00 (n=1) · ×0.006†")
        for note in ("¹ did not settle", "² resolution-limited", "† different workloads"):
            self.assertIn("\n" + note, result.stdout)
        systems = table(result.stdout, "system")
        self.assertEqual(systems["kernel bits"], ["64-bit (aarch64)", "32-bit"])
        self.assertEqual(systems["driver"], ["vc4drmfb (DRM emulation)", "testfb"])
        # The warning about a device that could not be opened stays with the file's column.
        self.assertEqual(systems["warnings"], ["none", "4: killed, timed-out, not-settled, device-query"])

    def test_version_2(self):
        """A version 2 file reads as version 1 did, with a killed run that has
        a signal and no exit status among its runs."""
        data = load(A)
        data["schema"] = "fbbench-results/2"
        data["runs"].append({"program": "rectangle-bench", "target": "device", "path": "/dev/fb0", "warmup": False,
                             "signal": "SIGSEGV", "valid": False, "invalid_reason": "killed by SIGSEGV",
                             "stdout": "", "stderr": "", "stdout_truncated": False, "stderr_truncated": False,
                             "values": {}, "wall_seconds": 0.1})
        version_2 = run(self.write_json("v2.json", data), B)
        self.assertEqual((version_2.returncode, version_2.stderr), (0, ""))
        version_1 = run(A, B)
        self.assertEqual(table(version_2.stdout)["Rectangle (MPixels/s)"],
                         table(version_1.stdout)["Rectangle (MPixels/s)"])

    def test_workloads(self):
        def unrecorded(data):
            """data as fbbench-results/1 wrote it: without the window record."""
            for device in data["devices"]:
                device.pop("window", None)
            return data

        wide = load(A)
        wide["devices"][0]["window"] = {"width": 800, "height": 480, "posx": 0, "posy": 0}
        other_depth = load(E)
        other_depth["devices"][0]["screen"]["bits_per_pixel"] = 24
        newer = load(E)
        newer["workload_version"] = 2
        other_screen = unrecorded(load(B))
        other_screen["devices"][0]["var"]["xres"] = 1024
        cases = [
            # (name, files, message naming both files and what differs)
            ("window", [A, D], f"{A} and {D} measured different workloads (window 160x120 against 400x240)"),
            ("recorded window", [self.write_json("wide.json", wide), E],
             f"wide.json and {E} measured different workloads (window 800x480 against 160x120)"),
            ("depth", [E, self.write_json("deep.json", other_depth)], "(depth 32 bits against 24 bits)"),
            ("version", [A, self.write_json("newer.json", newer)], "(workload version 1 against 2)"),
            ("one file's two screens", [C, A, self.write_json("wide2.json", dict(wide, devices=[]))],
             "(window 160x120 against unknown"),
            # Nothing but the recorded window tells a window: not even the variables the file holds.
            ("window not recorded", [self.write_json("old.json", unrecorded(load(A))), E],
             "(window unknown against 160x120)"),
            ("same variables on another screen", [self.write_json("old-a.json", unrecorded(load(A))),
                                                  self.write_json("old-b.json", other_screen)],
             "(window unknown against unknown)"),
        ]
        for name, files, message in cases:
            with self.subTest(name):
                result = run(*files)
                self.assertEqual((result.returncode, result.stdout), (2, ""))
                self.assertRegex(result.stderr, f"^fbbench-compare: .*{re.escape(message)}.*\n$")
                self.assertIn("--allow-different-workloads", result.stderr)

        # A /1 file and a /2 file of the same window, depth and version; two
        # files without the record, of the same variables on the same screen.
        self.assertEqual(run(A, E).returncode, 0)
        self.assertEqual(run(self.write_json("old-a.json", unrecorded(load(A))),
                             self.write_json("old-b.json", unrecorded(load(B)))).returncode, 0)
        result = run(A, D, E, "--allow-different-workloads")
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = table(result.stdout)
        self.assertEqual(rows["benchmark"], ["Board A [160x120]", "vm 400x240", "vm 160x120"])
        # Every ratio against the other window is marked, none other; no best across unlike work.
        self.assertEqual([re.findall(r"×[\d.]+†?", cell) for cell in rows["Rectangle (MPixels/s)"]],
                         [[], ["×1.20†"], ["×4.00"]])
        self.assertNotIn("**", rows["Rectangle (MPixels/s)"][1] + rows["Mandelbrot (s)"][1])

    def test_labels(self):
        later = dict(load(E), started="2026-12-10T08:00:00Z")
        twin = self.write_json("e-twin.json", load(E))
        cases = [
            # Three files from one host, told apart by window, then by date, then by file name.
            ([D, E, self.write_json("e-later.json", later), twin],
             ["vm 400x240", "vm 160x120 2026-12-09 09:00 e.json", "vm 160x120 2026-12-10 08:00",
              "vm 160x120 2026-12-09 09:00 e-twin.json"]),
            # Two devices of one file, beside a third board.
            ([C, A], ["c.json /dev/fb0", "c.json /dev/dri/card0", "Board A"]),
            # The same file twice.
            ([E, E], ["vm #1", "vm #2"]),
        ]
        for files, labels in cases:
            with self.subTest(files=[os.path.basename(f) for f in files]):
                result = run("--allow-different-workloads", *files)
                self.assertEqual(result.returncode, 0, result.stderr)
                headers = table(result.stdout)["benchmark"]
                self.assertEqual([h.split(" [")[0] for h in headers], labels)

    def test_bad_input(self):
        no_valid = load(A)
        for r in no_valid["runs"]:
            r["valid"] = False
        cases = [
            ("missing file", [self.path("gone.json")], "gone.json: cannot read: No such file"),
            ("not JSON", [self.write("cut.json", '{"schema": ')], "cut.json: not JSON"),
            ("not an object", [self.write("list.json", "[1, 2]")], "list.json: not an fbbench results file"),
            ("other schema", [self.write("v3.json", '{"schema": "fbbench-results/3"}')],
             'v3.json: schema "fbbench-results/3" is not fbbench-results/1 or fbbench-results/2'),
            ("no valid run", [self.write_json("invalid.json", no_valid)], "invalid.json: no valid run"),
            ("bad median", [self.write_json("median.json", dict(no_valid, runs=[dict(no_valid["runs"][0], valid=True)],
                                                                results=[dict(no_valid["results"][0], device={
                                                                    "median": "fast", "min": 1, "max": 1,
                                                                    "runs": 1})]))],
             "median.json: $.results[0].device.median: is a string, not number"),
            ("too few labels", ["--label", "x", B], "1 --label for 2 files"),
            ("chart type", ["--chart", self.path("chart.pdf"), B], "chart.pdf: a chart is .png or .svg"),
            ("unknown option", ["--colour", B], "unrecognized arguments: --colour"),
            ("unknown format", ["--format", "xml", B], "invalid choice: 'xml'"),
        ]
        chart, page = self.path("chart.png"), self.path("page.html")
        for name, args, message in cases:
            with self.subTest(name):
                # After a good file, and with a chart and a page asked for: none of them.
                result = run(A, *args, "--html", page, *(("--chart", chart) if "--chart" not in args else ()))
                self.assertEqual((result.returncode, result.stdout), (2, ""))
                self.assertRegex(result.stderr, f"^fbbench-compare: .*{re.escape(message)}.*\n$")
                self.assertFalse(os.path.exists(chart) or os.path.exists(page))

    def test_mutated_files(self):
        """Every typed field of two files given each wrong type, and files
        broken as a whole: each gives exit 2 and one line, never a traceback."""
        schema = load(SCHEMA)

        def resolve(node):
            while "$ref" in node:
                node = schema["$defs"][node["$ref"].rsplit("/", 1)[1]]
            return node

        def typed_fields(value, node, path):
            node = resolve(node)
            if path != "$" and ("type" in node or "enum" in node):
                yield path, node
            if isinstance(value, dict):
                for key, inner in value.items():
                    sub = node.get("properties", {}).get(key, node.get("additionalProperties"))
                    if isinstance(sub, dict):
                        yield from typed_fields(inner, sub, f"{path}.{key}")
            elif isinstance(value, list) and "items" in node:
                for index, inner in enumerate(value):
                    yield from typed_fields(inner, node["items"], f"{path}[{index}]")

        def allowed(node, value):
            if "enum" in node:
                return any(type(value) is type(v) and value == v for v in node["enum"])
            kinds = {"null": value is None, "boolean": isinstance(value, bool), "string": isinstance(value, str),
                     "array": isinstance(value, list), "object": isinstance(value, dict),
                     "number": isinstance(value, (int, float)) and not isinstance(value, bool),
                     "integer": isinstance(value, int) and not isinstance(value, bool)}
            types = node["type"] if isinstance(node["type"], list) else [node["type"]]
            return any(kinds[t] for t in types)

        def replaced(data, path, value):
            data = copy.deepcopy(data)
            steps = re.findall(r"\.([^.\[]+)|\[(\d+)\]", path)
            target = data
            for key, index in steps[:-1]:
                target = target[key] if key else target[int(index)]
            key, index = steps[-1]
            target[key if key else int(index)] = value
            return data

        wrong_values = [None, True, 7, 2.5, "x", [], {}]
        mutations, fields = [], set()
        for original in (D, A):
            data = load(original)
            for path, node in typed_fields(data, schema, "$"):
                # Each field once, in the first array element that has it.
                field = re.sub(r"\[\d+\]", "[]", path)
                if field in fields:
                    continue
                fields.add(field)
                for value in wrong_values:
                    if not allowed(node, value):
                        expected = "schema " if path == "$.schema" else f"{path}: "
                        mutations.append((f"{os.path.basename(original)} {path} = {json.dumps(value)}",
                                          json.dumps(replaced(data, path, value)), expected))
        self.assertGreater(len(mutations), 400)
        for field in ("$.system", "$.devices[].path", "$.devices[].var.xres", "$.devices[].window.width",
                      "$.devices[].error", "$.runs[].signal", "$.options.sync", "$.results[].device.spread_percent",
                      "$.devices[].mapping.probes[].ratio", "$.results[].display_ratio", "$.window.WIDTH",
                      "$.warnings[].kind"):
            self.assertIn(field, fields)

        file = self.path("mutated.json")
        for name, text, expected in mutations:
            with self.subTest(name):
                self.write("mutated.json", text)
                status, out, err = run_inside(file)
                self.assertEqual((status, out), (2, ""), err)
                self.assertTrue(err.startswith(f"fbbench-compare: {file}: {expected}"), err)
                self.assertEqual(err.count("\n"), 1, err)

        with open(D) as f:
            good = f.read()
        nested = json.dumps(dict(load(D), system={"deep": json.loads("[" * 100 + "]" * 100)}))
        whole = [
            ("empty object", "{}", "no schema"),
            ("empty file", "", "not JSON"),
            ("truncated", good[:len(good) // 2], "not JSON"),
            ("200,000 nested brackets", "[" * 200000 + "]" * 200000, "nested too deeply"),
            ("nested inside a good file", nested, "nested deeper than 64 levels"),
            ("NaN", good.replace('"median": 120', '"median": NaN', 1), "NaN is not a JSON number"),
            ("Infinity", good.replace('"ratio": 0.5', '"ratio": -Infinity', 1), "-Infinity is not a JSON number"),
            ("huge number", good.replace('"median": 120', '"median": 1e999', 1), "number 1e999 is out of range"),
            ("huge integer", good.replace('"runs": 10', '"runs": 1' + "0" * 400, 1), "out of range"),
            ("not UTF-8", b'{"schema": "fbbench-results/2", "host": "\xff"}', "not JSON"),
            ("nothing but the schema", '{"schema": "fbbench-results/2"}', "$: 'complete' is a required property"),
            ("no runs at all", json.dumps(dict(load(D), runs=[])), "no valid run"),
        ]
        self.assertGreaterEqual(len(mutations) + len(whole), 50)
        for name, content, message in whole:
            with self.subTest(name):
                path = self.write("whole.json", content)
                result = run(path, "--chart", self.path("chart.svg"))
                self.assertEqual((result.returncode, result.stdout), (2, ""))
                self.assertNotIn("Traceback", result.stderr)
                self.assertRegex(result.stderr, f"^fbbench-compare: {re.escape(path)}: .*{re.escape(message)}.*\n$")
                self.assertFalse(os.path.exists(self.path("chart.svg")))

    def test_formats(self):
        result = run("--format", "csv", A, B, C)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = list(csv.DictReader(io.StringIO(result.stdout)))
        # One line per metric and column that has it.
        self.assertEqual(len(lines), 4 + 3 + 2 + 2 + 1)
        self.assertEqual({k: lines[1][k] for k in ("benchmark", "label", "median", "min", "max", "runs", "relative")},
                         {"benchmark": "Rectangle", "label": "beta", "median": "200", "min": "190", "max": "210",
                          "runs": "3", "relative": "2.0"})
        self.assertEqual(float(lines[0]["screen_ram"]), 0.5)
        self.assertEqual(float(lines[4]["screen_ram"]), 0.8)
        # Booleans as JSON spells them; a value the file lacks is empty.
        self.assertEqual((lines[5]["higher_is_better"], lines[5]["same_workload_as_baseline"],
                          lines[5]["screen_ram"]), ("false", "true", ""))

        result = run("--format", "json", A, C)
        self.assertEqual(result.returncode, 0, result.stderr)
        export = json.loads(result.stdout)
        self.assertEqual([c["label"] for c in export["columns"]], ["Board A", "c.json /dev/fb0",
                                                                   "c.json /dev/dri/card0"])
        self.assertEqual([m["benchmark"] for m in export["metrics"]],
                         ["Rectangle", "Mandelbrot", "Sierpinski 1024 points", "Sierpinski 2048 points"])
        # Every metric holds every column, with its statistics or null.
        mandelbrot = export["metrics"][1]
        self.assertEqual([r["device"] and r["device"]["median"] for r in mandelbrot["results"]], [10, 20, None])
        self.assertEqual([r["relative"] for r in mandelbrot["results"]], [None, 0.5, None])
        self.assertEqual(mandelbrot["results"][0]["memory"]["median"], 8)

        # The summary: its header once, one line per column; Sierpinski at
        # the first level and the last that every column reached.
        for form in ("markdown", "csv", "json"):
            with self.subTest(form):
                result = run("--summary", "--format", form, E, A, B)
                self.assertEqual(result.returncode, 0, result.stderr)
                if form == "markdown":
                    lines = [[c.strip() for c in line.strip("| ").split(" | ")] for line in result.stdout.splitlines()]
                    self.assertEqual(lines[1], ["---|---|---|---|---|---"])
                    summary = [dict(zip(lines[0], line)) for line in lines[2:]]
                elif form == "csv":
                    summary = list(csv.DictReader(io.StringIO(result.stdout)))
                else:
                    summary = json.loads(result.stdout)
                self.assertEqual([s["system"] for s in summary], ["vm", "Board A", "beta (incomplete)"])
                self.assertEqual([s["Sierpinski 2048 points (frames/s)"] for s in summary],
                                 ["5000.00", "25.00", "30.00"])
                self.assertEqual(summary[0]["window"], "160x120")
                self.assertEqual(len(summary[0]), 6)

    def test_best_marks(self):
        """Bold goes only to settled figures of two or more runs, and for the
        screen only to devices drawn directly; the display has its own."""
        def board(name, **change):
            data = load(E)
            data["system"]["board_model"] = name
            rectangle = data["results"][0]
            rectangle["device"].update(change.get("device", {}))
            if "display" in change:
                rectangle["display"] = dict(rectangle["device"], **change["display"])
            data["devices"][0]["needs_flush"] = change.get("needs_flush", False)
            return self.write_json(name + ".json", data)
        cases = [
            # (the faster board's changes, the slower board's cell, the faster's)
            ({}, "400.00 (n=3, 396.00–404.00)", "**500.00** (n=3, 396.00–404.00) · ×1.25"),
            # A best needs two comparable figures.
            ({"needs_flush": True}, "400.00 (n=3, 396.00–404.00)", "500.00 (n=3, 396.00–404.00) · ×1.25"),
            ({"device": {"runs": 1}}, "400.00 (n=3, 396.00–404.00)", "500.00 (n=1, 396.00–404.00) · ×1.25"),
            ({"device": {"settled": False}}, "400.00 (n=3, 396.00–404.00)", "500.00¹ (n=3, 396.00–404.00) · ×1.25"),
            ({"needs_flush": True, "display": {"median": 50}}, "400.00 (n=3, 396.00–404.00)",
             "500.00 (n=3, 396.00–404.00) · ×1.25 · display 50.00, display/screen 0.10"),
        ]
        for change, slower, faster in cases:
            with self.subTest(change):
                change["device"] = dict({"median": 500}, **change.get("device", {}))
                result = run(board("slow"), board("fast", **change))
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(table(result.stdout)["Rectangle (MPixels/s)"], [slower, faster])
        # A file that does not say which way is better: no best and no ratio, rather than a guess.
        undirected = []
        for name, path in (("a", A), ("b", B)):
            data = load(path)
            for result in data["results"]:
                result.pop("higher_is_better")
            undirected.append(self.write_json(f"undirected-{name}.json", data))
        result = run(*undirected)
        self.assertEqual(table(result.stdout)["Mandelbrot (s)"], ["10.00 (n=3, 9.90–10.10)", "5.00 (n=3, 4.90–5.10)"])
        # Two displays: the better is bold, apart from the screens.
        result = run(board("one", display={"median": 90}), board("two", display={"median": 50}))
        self.assertEqual([re.findall(r"display \S+", c) for c in table(result.stdout)["Rectangle (MPixels/s)"]],
                         [["display **90.00**,"], ["display 50.00,"]])

    def test_quick_sessions(self):
        """A quick session's columns are marked wherever they are shown; quick
        beside full sessions is warned of once, said in the notes, and bold
        ranks each kind apart. Files without the option are full sessions."""
        def session(name, rectangle, quick):
            data = load(E)
            data["system"]["board_model"] = name
            data["results"][0]["device"]["median"] = rectangle
            if quick is not None:
                data["options"]["quick"] = quick
            return self.write_json(name + ".json", data)
        slow, fast = session("slow", 400, None), session("fast", 450, False)
        slow_quick, fast_quick = session("slow-q", 500, True), session("fast-q", 600, True)
        warning = ("^fbbench-compare: warning \\(quick-mixed\\): .*; compare quick runs with quick runs, "
                   "or measure again without --quick\n$")
        cases = [
            # (name, files, headers, bold Rectangle figures in column order, warned)
            ("all full", [slow, fast], ["slow", "fast"], ["450.00"], False),
            ("all quick", [slow_quick, fast_quick], ["slow-q (quick)", "fast-q (quick)"], ["600.00"], False),
            # Ranked together, 600 alone would be bold.
            ("mixed", [slow, fast_quick, fast, slow_quick], ["slow", "fast-q (quick)", "fast", "slow-q (quick)"],
             ["600.00", "450.00"], True),
        ]
        for name, files, headers, bold, warned in cases:
            with self.subTest(name):
                page = self.path(name + ".html")
                result = run(*files, "--html", page)
                self.assertEqual(result.returncode, 0, result.stderr)
                if warned:
                    self.assertRegex(result.stderr, warning)
                else:
                    self.assertEqual(result.stderr, "")
                rows = table(result.stdout)
                self.assertEqual(rows["benchmark"], headers)
                self.assertEqual(re.findall(r"\*\*([\d.]+)\*\*", " ".join(rows["Rectangle (MPixels/s)"])), bold)
                quick = [header.endswith(" (quick)") for header in headers]
                self.assertEqual("\n(quick) a quick session" in result.stdout, any(quick))
                self.assertEqual("\nQuick and full sessions side by side" in result.stdout, warned)

                status, out, _ = run_inside(*files, "--format", "csv")
                self.assertEqual(status, 0)
                self.assertEqual(list(dict.fromkeys((line["label"], line["quick"]) for line in
                                                    csv.DictReader(io.StringIO(out)))),
                                 [(h.removesuffix(" (quick)"), "true" if q else "false") for h, q in zip(headers, quick)])
                status, out, _ = run_inside(*files, "--summary", "--format", "json")
                self.assertEqual([line["system"] for line in json.loads(out)], headers)
                self.assertEqual([t.get_text() for t in legend_of(figure_of(files)).get_texts()], headers)
                with open(page, encoding="utf-8") as f:
                    source = f.read()
                self.assertEqual(re.findall(r'<section class="card"><h3>([^<]*)</h3>', source), headers)
                self.assertEqual(source.count("<p>A quick session (fbbench --quick)"), sum(quick))
                self.assertEqual("<li>Quick and full sessions side by side" in source, warned)
        # Every run as recorded compares nothing: no warning.
        self.assertEqual(run("--format", "runs", slow, fast_quick).stderr, "")

    def test_devices_and_descriptions(self):
        """Warnings go to the device they name; a file of fbbench --describe is
        a column of the systems table; every run exports as a line."""
        both = load(C)
        both["warnings"] = [{"kind": "deferred-io",
                             "message": "/dev/fb0 is a deferred-I/O shadow; measure /dev/dri/card0 instead"},
                            {"kind": "display-drop", "message": "/dev/dri/card0 shows at most 1 of 50 frames/s"},
                            {"kind": "display-drop", "message": "/dev/dri/card0 shows at most 2 of 50 frames/s"},
                            {"kind": "governor", "message": "the governor is ondemand"}]
        result = run(self.write_json("both.json", both))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(table(result.stdout, "system")["warnings"],
                         ["2: deferred-io, governor", "3: display-drop ×2, governor"])

        # Files from the emulated boards: fb0's deferred-I/O advice to measure
        # card0 stays with fb0, and the display's figures reach the summary.
        boards = [os.path.join(FIXTURES, "boards", name) for name in
                  ("vexpress/fbbench-fb0.json", "vexpress/fbbench-fb1.json", "arm64/fbbench-fb0.json")]
        result = run(*boards)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual([w.split(":")[0] for w in table(result.stdout, "system")["warnings"]],
                         ["1", "3", "6", "5", "4"])
        summary = list(csv.DictReader(io.StringIO(run("--summary", "--format", "csv", *boards).stdout)))
        self.assertEqual([line["Rectangle (MPixels/s) display"] for line in summary],
                         ["—", "2.49", "0.63", "0.72", "2.90"])

        described = dict(load(D), runs=[], results=[], complete=True)
        path = self.write_json("described.json", described)
        result = run(E, path)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(table(result.stdout)["benchmark"], ["vm /dev/fb0 160x120", "vm /dev/fb0 400x240 (described only)",
                                                             "vm /dev/fb9 (described only)"])
        self.assertEqual(table(result.stdout)["Rectangle (MPixels/s)"][1:], ["—", "—"])
        self.assertEqual(table(result.stdout, "system")["device"][1:],
                         ["/dev/fb0 (fbdev)", "/dev/fb9: cannot open /dev/fb9: No such file or directory"])
        self.assertEqual(run(path, "--summary", "--html", self.path("d.html")).returncode, 0)

        # Files of one name, told apart on the page by their folders.
        twins = []
        for folder in ("vexpress", "arm64"):
            os.mkdir(self.path(folder))
            twins.append(self.write_json(os.path.join(folder, "fbbench.json"), load(E)))
        self.assertEqual(run(*twins, "--html", self.path("twins.html")).returncode, 0)
        with open(self.path("twins.html"), encoding="utf-8") as f:
            listed = re.findall(r"<li><code>([^<]*)</code>", f.read().split('id="files"')[1])
        self.assertEqual(listed, ["vexpress/fbbench.json", "arm64/fbbench.json"])

        result = run("--format", "runs", D, A)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = list(csv.DictReader(io.StringIO(result.stdout)))
        expected = sum(max(1, len(r["values"])) for f in (D, A) for r in load(f)["runs"])
        self.assertEqual(len(lines), expected)
        self.assertIn("display", {line["target"] for line in lines})
        self.assertEqual({line["reason"] for line in lines if line["valid"] == "false"} - {""},
                         {r["invalid_reason"] for f in (D, A) for r in load(f)["runs"] if not r["valid"]})
        # The kernel's copy work of a run and the frames that can reach the glass go out as recorded.
        glassy = load(D)
        glassy["runs"][0]["kernel_cpu_percent"] = 42.5
        for result in glassy["results"]:
            if "display" in result:
                result["display_glass_at_most"] = 75
        glassy = self.write_json("glassy.json", glassy)
        result = run("--format", "runs", glassy)
        self.assertEqual(list(csv.DictReader(io.StringIO(result.stdout)))[0]["kernel_cpu_percent"], "42.5")
        result = run("--format", "csv", E, glassy, "--allow-different-workloads")
        rectangle = list(csv.DictReader(io.StringIO(result.stdout)))[1]
        self.assertEqual((rectangle["display_median"], rectangle["display_screen"][:5],
                          rectangle["display_glass_at_most"]), ("100", "0.833", "75"))

    def test_chart(self):
        from PIL import Image
        for extension in ("png", "svg"):
            with self.subTest(extension):
                path = self.path("boards." + extension)
                result = run(A, B, C, "--chart", path)
                self.assertEqual(result.returncode, 0, result.stderr)
                if extension == "png":
                    with Image.open(path) as image:
                        self.assertEqual(image.format, "PNG")
                else:
                    self.assertEqual(ElementTree.parse(path).getroot().tag, "{http://www.w3.org/2000/svg}svg")

        many = []
        for index in range(20):
            data = load(A)
            data["system"]["board_model"] = f"Board {index}"
            many.append(self.write_json(f"board{index}.json", data))

        def series(files):
            """Bars per panel; the ladder's panels and their lines, dashed ones apart."""
            drawn = figure_of(files)
            bars = [sum(type(c).__name__ == "BarContainer" for c in ax.containers) for ax in drawn.axes
                    if ax.get_label() not in ("legend", "ladder")]
            ladder = drawn.subfigs[0].axes
            lines = [line for ax in ladder for line in ax.get_lines() if line.get_color() != "#bbbbbb"]
            return bars, len(ladder), len(lines), sum(line.get_linestyle() == "--" for line in lines)

        # Bars: every column against the baseline, no display, A's RAM ratios,
        # A's probes. The ladder: a panel for A (screen, RAM dashed) and B
        # (screen); C has no Sierpinski.
        self.assertEqual(series([A, B, C]), ([4, 0, 1, 1], 2, 3, 1))
        # No file with probes: no probe panel; no RAM runs: no ratio bars.
        self.assertEqual(series([B, C]), ([3, 0, 0], 1, 1, 0))
        # Seven columns: seven panels of their own, none hiding another.
        self.assertEqual(series(many[:7])[1:], (7, 14, 7))

        cases = [
            # (files, labelled Sierpinski ticks, legend entries)
            ([E, A], ["1k", "16k", "256k", "4M"], 2),
            ([A, B], ["1k", "2k", "4k"], 2),
            (many, ["1k", "2k"], 20),
        ]
        for files, ticks, entries in cases:
            with self.subTest(files=len(files)):
                drawn = figure_of(files)
                axis = drawn.subfigs[0].axes[0].xaxis
                self.assertEqual([t.get_text() for t in axis.get_ticklabels() if t.get_text()], ticks)
                self.assertEqual(axis.get_offset_text().get_text(), "")
                legend = legend_of(drawn)
                self.assertEqual(len(legend.get_texts()), entries)
                # The legend under every panel, not over its bars, and within the figure.
                box = legend.get_window_extent()
                panels = [ax for ax in drawn.axes if ax.get_label() != "legend"]
                self.assertTrue(all(box.y1 <= ax.get_window_extent().y0 for ax in panels))
                self.assertLessEqual(box.x1, drawn.bbox.x1)
                self.assertGreaterEqual(box.x0, 0)
                self.assertLessEqual(drawn.get_figwidth(), 30)

    def test_extreme_values(self):
        """Figures the schema allows at the edges of a double still give every
        output, and nothing on standard error."""
        for name, value in (("huge", 1e300), ("tiny", 1e-300), ("zero", 0), ("long integer", 10 ** 19)):
            with self.subTest(name):
                data = load(E)
                for result in data["results"]:
                    result["device"].update(median=value, min=value, max=value)
                    result["ratio"] = value
                path = self.write_json("extreme.json", data)
                result = run(E, path, "--chart", self.path("x.png"), "--html", self.path("x.html"))
                self.assertEqual((result.returncode, result.stderr), (0, ""))
                for form in ("csv", "json"):
                    self.assertEqual(run_inside(E, path, "--format", form)[::2], (0, ""))

    def test_html(self):
        page = self.path("boards.html")
        result = run(A, C, E, D, "--allow-different-workloads", "--html", page, "--title", "<Boards> & more")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.startswith("| benchmark |"))

        class Page(html.parser.HTMLParser):
            def __init__(self):
                super().__init__()
                self.tags, self.stack, self.loads, self.text = [], [], [], {}

            def handle_starttag(self, tag, attrs):
                self.tags.append((tag, dict(attrs)))
                self.stack.append(tag)
                for name, value in attrs:
                    if name in ("src", "href", "xlink:href", "data", "action", "poster", "srcset") \
                            and not (value or "").startswith("#"):
                        self.loads.append(f"<{tag} {name}={value}>")

            def handle_endtag(self, tag):
                while self.stack and self.stack.pop() != tag:
                    pass

            def handle_data(self, data):
                where = next((t for t in reversed(self.stack) if t in ("style", "table", "svg", "ul")), "body")
                self.text[where] = self.text.get(where, "") + data

        with open(page, encoding="utf-8") as f:
            source = f.read()
        parsed = Page()
        parsed.feed(source)
        parsed.close()
        names = [tag for tag, _ in parsed.tags]
        self.assertEqual(names[:2], ["html", "head"])
        self.assertEqual((names.count("table"), names.count("svg")), (4, 1))
        self.assertEqual(names[names.index("style") - 1:names.index("style") + 1], ["title", "style"])
        tables = [attrs.get("id") for tag, attrs in parsed.tags if tag == "table"]
        # The comparison, its full ladder folded, the details and the systems.
        self.assertEqual(tables, ["comparison", "ladder", "details", "systems-table"])
        # Beside the row names, one header per file and device (c.json has two) in every table.
        self.assertEqual(names.count("th") - len(re.findall("<tr><th>", source)), 4 * 5)
        # A verdict card per column; print, dark and narrow screens are styled.
        self.assertEqual(source.count('<section class="card">'), 5)
        for rule in ("@media print", "prefers-color-scheme: dark", "overflow-x: auto"):
            self.assertIn(rule, parsed.text["style"])
        self.assertIn("vm 400x240", parsed.text["table"])
        self.assertEqual(source.count("&lt;Boards&gt; &amp; more"), 3)  # title, heading and the chart's title
        self.assertIn("Sierpinski 8388608 points", parsed.text["table"])
        for warning in load(D)["warnings"]:
            self.assertIn(warning["message"], parsed.text["ul"])
        # Nothing to fetch: no external reference, no script, image or
        # frame, no imported style, and no address at all.
        self.assertEqual(parsed.loads, [])
        self.assertFalse({"script", "link", "img", "iframe", "object", "embed"} & set(names))
        self.assertNotIn("@import", parsed.text["style"])
        self.assertEqual(re.findall(r"url\((?!#)", source), [])
        self.assertEqual(re.findall(r"https?:|//\w", source), [])

    def test_outputs_that_cannot_be_written(self):
        directory = self.path("dir")
        os.mkdir(directory)
        victim = self.write("victim", "another user's file")
        # A link planted where the page goes is replaced, never written through.
        os.symlink(victim, self.path("link.html"))
        cases = [
            (["--html", self.path("no/such/dir/page.html")], "page.html: cannot write: No such file or directory"),
            (["--html", directory], "dir: not a regular file, left alone"),
            (["--chart", os.path.join(directory, "chart.svg"), "--html", directory], "dir: not a regular file, left alone"),
            (["--html", self.path("link.html")], "link.html: not a regular file, left alone"),
        ]
        for args, message in cases:
            with self.subTest(args[-1]):
                result = run(A, *args)
                self.assertEqual((result.returncode, result.stdout), (1, ""))
                self.assertRegex(result.stderr, f"^fbbench-compare: .*{re.escape(message)}\n$")
        self.assertTrue(os.path.isdir(directory))
        self.assertEqual(os.listdir(directory), [])
        with open(victim) as f:
            self.assertEqual(f.read(), "another user's file")
        with open("/dev/full", "w") as full:
            result = subprocess.run([sys.executable, PROGRAM, A], stdout=full, stderr=subprocess.PIPE, text=True)
        self.assertEqual(result.returncode, 1)
        self.assertRegex(result.stderr, "^fbbench-compare: cannot write the output: No space left on device\n$")


    def test_outputs_never_replace_a_results_file(self):
        """An output named where a results file is, as in `--html a.json
        b.json`, is refused before anything is read or written."""
        with open(A) as f:
            copy_a = self.write("copy-a.json", f.read())
        os.link(copy_a, self.path("hard-link.html"))
        os.symlink(copy_a, self.path("link.svg"))
        # As fbbench writes them: keys sorted, so "complete" before "schema".
        boards = {}
        for board in ("vexpress/fbbench-fb1.json", "arm64/fbbench-fb0.json"):
            with open(os.path.join(FIXTURES, "boards", board)) as f:
                boards[board] = self.write(board.replace("/", "-"), f.read())
        os.rename(boards["arm64/fbbench-fb0.json"], boards["arm64/fbbench-fb0.json"] + ".svg")
        boards["arm64/fbbench-fb0.json"] += ".svg"
        made = fbbench_made(self.path("made.svg"))
        if made is None:
            print("skipped: a file of this build's fbbench (FBBENCH and TEST_FRAMEBUFFER unset)", file=sys.stderr)
        cases = [
            (["--html", copy_a, B], "copy-a.json: is a results file"),
            ([BOARD, "--html", boards["vexpress/fbbench-fb1.json"]], "vexpress-fbbench-fb1.json: is a results file"),
            ([BOARD, "--chart", boards["arm64/fbbench-fb0.json"]], "fbbench-fb0.json.svg: is a results file"),
        ] + ([([BOARD, "--chart", made], "made.svg: is a results file")] if made else []) + [
            ([copy_a, "--html", self.path("hard-link.html")], "hard-link.html: is one of the files compared"),
            ([copy_a, "--chart", self.path("link.svg")], "link.svg: is one of the files compared"),
            ([B, "--chart", self.path("x.svg"), "--html", self.path("x.svg")], "x.svg: --chart and --html name"),
        ]
        for args, message in cases:
            with self.subTest(args):
                result = run(*args)
                self.assertEqual((result.returncode, result.stdout), (2, ""))
                self.assertRegex(result.stderr, f"^fbbench-compare: .*{re.escape(message)}.*\n$")
                with open(copy_a) as f, open(A) as g:
                    self.assertEqual(f.read(), g.read())
                self.assertFalse(os.path.exists(self.path("x.svg")))
                for board, path in boards.items():
                    with open(path) as f, open(os.path.join(FIXTURES, "boards", board)) as g:
                        self.assertEqual(f.read(), g.read())
                if made:
                    with open(made) as f:
                        self.assertTrue(f.read().startswith("{"))
        # An earlier page, and a name as long as a name can be, are written.
        for name in ("old.html", "p" * 250 + ".html"):
            with self.subTest(name):
                page = self.write(name, "<p>an earlier page</p>")
                result = run(A, "--html", page)
                self.assertEqual((result.returncode, result.stderr), (0, ""))
                with open(page) as f:
                    self.assertTrue(f.read().startswith("<!DOCTYPE html>"))
        self.assertEqual([n for n in os.listdir(self.dir.name) if n.startswith(".")], [])

    def test_inputs_that_are_no_file(self):
        """A device, a FIFO (which no writer opens), a folder or a file too
        large for a results file: one line, and nothing read beyond a limit."""
        os.mkfifo(self.path("fifo"))
        with open(self.path("huge.json"), "wb") as f:
            f.truncate((64 << 20) + 1)
        cases = [("/dev/zero", "/dev/zero: not a regular file"),
                 (self.path("fifo"), "fifo: not a regular file"),
                 (self.dir.name, ": not a regular file"),
                 (self.path("huge.json"), "huge.json: larger than 64 MiB, not a results file")]
        for path, message in cases:
            with self.subTest(path):
                result = subprocess.run([sys.executable, PROGRAM, path], capture_output=True, text=True,
                                        timeout=120)
                self.assertEqual((result.returncode, result.stdout), (2, ""))
                self.assertRegex(result.stderr, f"^fbbench-compare: .*{re.escape(message)}\n$")

    def test_text_from_files_is_inert(self):
        """Terminal controls (C0, C1, bidirectional overrides), table and
        HTML markup and mathtext in any string of a file reach no output as
        such, and the chart draws such names as they are."""
        hostile = "\x1b]0;x\x07\x1b[2J\u009b31m\u202e|<b>&</b>$\\foo$"
        data = load(A)
        # A leading = would be a formula to a spreadsheet that opens the CSV.
        data["system"]["board_model"] = "=Board " + hostile
        data["host"] = "</svg><script>alert(1)</script>"
        data["devices"][0]["path"] = "/dev/fb0" + hostile
        for result in data["results"]:
            result["path"] = data["devices"][0]["path"]
        data["warnings"] = [{"kind": "kind" + hostile, "message": "message" + hostile}]
        evil = self.write_json("evil.json", data)
        bad_key = load(A)
        bad_key["runs"][0]["values"] = {"\x1b[2J\u009b": "fast"}
        bad_key_path = self.write_json("key.json", bad_key)
        controls = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069]")
        page, chart = self.path("page.html"), self.path("chart.png")
        outputs = [
            ("markdown", [evil, B, "--html", page, "--chart", chart]),
            ("label", ["--label", "Pi ($\\frac{}$)", evil, "--html", page, "--chart", chart]),
            ("csv", ["--format", "csv", evil, B]),
            ("json", ["--format", "json", evil, B]),
            ("summary", ["--summary", "--format", "json", evil, B]),
            ("summary markdown", ["--summary", evil, B]),
            ("error", [bad_key_path]),
            ("error in a file name", [self.path("gone\x1b[2J\u009b.json")]),
        ]
        for name, args in outputs:
            with self.subTest(name):
                result = run(*args)
                self.assertEqual(result.returncode, 2 if name.startswith("error") else 0, result.stderr)
                self.assertNotIn("Traceback", result.stderr)
                for stream in (result.stdout, result.stderr):
                    self.assertIsNone(controls.search(stream), ascii(stream[:300]))
                if name.startswith("error"):
                    self.assertEqual(result.stderr.count("\n"), 1)
                if name == "csv":
                    cells = [cell for line in csv.reader(io.StringIO(result.stdout)) for cell in line]
                    self.assertIn("'=Board", "".join(cells))
                    self.assertEqual([c for c in cells if c[:1] in ("=", "+", "-", "@")], [])
                if name in ("markdown", "summary markdown"):
                    # No HTML from a file, and no cell split by its |.
                    self.assertNotIn("<", result.stdout.replace("<br>", ""))
                    header = next(line for line in result.stdout.splitlines() if line.startswith("| "))
                    self.assertEqual(len(re.split(r"(?<!\\) \| ", header.strip("| "))), 3 if name == "markdown" else 6)
                if "--html" in args:
                    with open(page, encoding="utf-8") as f:
                        source = f.read()
                    self.assertIsNone(controls.search(source))
                    self.assertNotIn("<script", source)
                    # The chart drew the name as text, not as a formula.
                    self.assertIn("Pi ($\\frac{}$)" if name == "label" else "Board \\x1b]0;x\\x07", source)

    def test_markdown_holds_no_link_and_no_lookalike(self):
        """Names that Markdown would make a live link or a remote image stay
        text; zero-width characters are shown as escapes, so that two labels
        that look alike are told apart."""
        names = {"link": "[x](javascript:alert(1))", "image": "![](http://example.com/p.png)",
                 "escaped": "\\[y\\](http://example.com/)", "hidden": "V2P\u200b-CA9\u200d\ufeff"}
        paths = []
        for key, name in names.items():
            data = load(BOARD)
            data["system"]["board_model"] = name
            paths.append(self.write_json(f"{key}.json", data))
        for form in ([], ["--summary"]):
            with self.subTest(form):
                result = run(*paths, BOARD, *form)
                self.assertEqual((result.returncode, result.stderr), (0, ""))
                self.assertNotRegex(result.stdout, r"\]\(")
                self.assertNotRegex(result.stdout, "[\u200b\u200d\ufeff]")
                self.assertIn("V2P\\u200b-CA9\\u200d\\ufeff", result.stdout)

    def test_a_lone_surrogate(self):
        """A string JSON allows and UTF-8 cannot hold: escaped in every
        output, never a traceback."""
        data = load(BOARD)
        data["system"]["board_model"] = "\ud800"
        data["warnings"].append({"kind": "k\udfff", "message": "m\ud800"})
        path = self.write_json("surrogate.json", data)
        for form in ("markdown", "csv", "json", "runs", "summary", "page", "chart"):
            with self.subTest(form):
                args = {"summary": ["--summary"], "page": ["--html", self.path("p.html")],
                        "chart": ["--chart", self.path("c.svg")]}.get(form, ["--format", form])
                result = subprocess.run([sys.executable, PROGRAM, path, BOARD, *args], capture_output=True)
                self.assertEqual((result.returncode, result.stderr), (0, b""))
                result.stdout.decode("utf-8")
                if form == "markdown":
                    self.assertIn(b"\\ud800", result.stdout)
                if form == "page":
                    with open(self.path("p.html"), encoding="utf-8") as f:
                        self.assertIn("\\ud800", f.read())

    def test_options_that_make_nothing(self):
        """Options that would write no page, ignore another, chart nothing or
        print into a full output: one line each, and a failure."""
        described = fbbench_made(self.path("described.json")) or self.write_json(
            "described.json", dict(load(D), runs=[], results=[], complete=True))
        cases = [
            ([A, "--html", ""], 2, "--html wants a file name"),
            ([A, "--chart", ""], 2, "--chart wants a file name"),
            ([A, "--format", "runs", "--summary"], 2, "--summary sums up the comparison"),
            ([described, "--chart", self.path("none.svg")], 2, "no runs: nothing to chart"),
        ]
        for args, status, message in cases:
            with self.subTest(args[1:]):
                result = run(*args)
                self.assertEqual((result.returncode, result.stdout), (status, ""))
                self.assertRegex(result.stderr, f"^fbbench-compare: .*{re.escape(message)}.*\n$")
                self.assertFalse(os.path.exists(self.path("none.svg")))
        # A page of descriptions is written, and says in words that there is nothing to chart.
        result = run(described, "--html", self.path("described.html"))
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        with open(self.path("described.html"), encoding="utf-8") as f:
            page = f.read()
        self.assertNotIn("<svg", page)
        self.assertIn("No runs: nothing to chart", page)
        for args in (["--help"], ["--summary", A]):
            with self.subTest(args), open("/dev/full", "w") as full:
                result = subprocess.run([sys.executable, PROGRAM, *args], stdout=full, stderr=subprocess.PIPE,
                                        text=True)
                self.assertEqual((result.returncode, result.stderr),
                                 (1, "fbbench-compare: cannot write the output: No space left on device\n"))

    def test_interrupted_write(self):
        """SIGINT or SIGTERM while the page is flushed to the disk: no page and
        no temporary file, one line, and the end by that signal."""
        script = ("import os, signal, sys\n"
                  "sys.path.insert(0, os.path.dirname(os.path.realpath(sys.argv[1])))\n"
                  "from fbbench_compare import command\n"
                  "os.fsync = lambda fd: os.kill(os.getpid(), int(sys.argv[2]))\n"
                  "sys.exit(command.main(sys.argv[3:]))\n")
        for signum in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signum.name):
                folder = tempfile.mkdtemp(dir=self.dir.name)
                result = subprocess.run([sys.executable, "-c", script, PROGRAM, str(int(signum)), A, "--html",
                                         os.path.join(folder, "page.html")], capture_output=True, text=True)
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (-signum, "", "fbbench-compare: interrupted\n"))
                self.assertEqual(os.listdir(folder), [])

class FarmLayoutTest(unittest.TestCase):
    """Many columns: the tables turn into a ranking, the chart keeps its
    size and the page sorts and filters."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.files = farm_made(cls.dir.name, "board", 20, 7)
        cls.deep = os.path.join(cls.dir.name, "deep16.json")
        with open(cls.deep, "w") as f:
            json.dump(farm_files.farm_file(load(BOARD), 99, __import__("random").Random(99), depth=16), f)

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def test_tables_turn_and_fit(self):
        for files, layout, turned in ((self.files[:3], "auto", False), (self.files[:9], "auto", True),
                                      (self.files[:2], "ranking", True), (self.files, "side", False)):
            with self.subTest(files=len(files), layout=layout):
                result = run(*files, "--layout", layout)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout.startswith("| #"), turned)
                if not turned:
                    continue
                lines = result.stdout.splitlines()
                self.assertLessEqual(max(map(len, lines)), 120)
                ranked = [line for line in lines if re.match(r"\| \d", line)]
                # A line per file and device: two devices in the board file.
                self.assertEqual(len(ranked), 2 * len(files))
                header = [h.strip() for h in lines[0].strip("|").split("|")]
                self.assertEqual(header[2:6], ["Rectangle", "Mandelbrot", "Sierpinski 1k", "Sierpinski 512k"])
                # Sorted by the first figure, best first, among ratios to the baseline.
                firsts = [float(cells.split("|")[3].strip().lstrip("×").split("±")[0].rstrip("d"))
                          for cells in ranked if "×" in cells.split("|")[3]]
                self.assertEqual(firsts, sorted(firsts, reverse=True))
                self.assertGreater(len(firsts), len(files) - 1)
        # The full figures stay in the exports.
        exported = json.loads(run(*self.files, "--format", "json").stdout)
        self.assertEqual(len(exported["columns"]), 40)

    def test_a_bad_file_among_many(self):
        # Many files are checked in parallel: a bad one still stops it, named, in one line.
        broken = os.path.join(self.dir.name, "broken.json")
        data = load(BOARD)
        data["devices"][0]["screen"]["bits_per_pixel"] = "32"
        with open(broken, "w") as f:
            json.dump(data, f)
        result = run(*self.files[:12], broken, *self.files[12:])
        self.assertEqual((result.returncode, result.stdout), (2, ""))
        self.assertEqual(result.stderr,
                         f"fbbench-compare: {broken}: $.devices[0].screen.bits_per_pixel: is a string, not integer\n")

    def test_depths_are_not_ranked_together(self):
        refused = run(*self.files[:9], self.deep)
        self.assertEqual(refused.returncode, 2)
        self.assertIn("depth 32 bits against 16 bits", refused.stderr)
        self.assertEqual(refused.stdout, "")
        allowed = run(*self.files[:9], self.deep, "--allow-different-workloads")
        self.assertEqual(allowed.returncode, 0, allowed.stderr)
        lines = [line for line in allowed.stdout.splitlines() if re.match(r"\| \d", line)]
        self.assertIn("depth", allowed.stdout.splitlines()[0])
        # The unlike workload comes after every line of the baseline's, marked.
        deep = [bool(re.search(r"\| 16 *\|$", line)) for line in lines]
        self.assertEqual(deep, [False] * (len(lines) - 2) + [True, True])
        self.assertTrue(all("†" in line for line in lines[-2:]), lines[-2:])

    def test_chart_is_bounded(self):
        sizes = []
        for count in (9, 40):
            files = (self.files * 2)[:count]
            columns = columns_module.make_columns([(f, loading.load(f, loading.validator_make())) for f in files],
                                                  None)
            columns_module.headers_make(columns, False)
            drawn = strip.strip_figure(columns, columns_module.make_rows(columns))
            sizes.append(tuple(drawn.get_size_inches()))
            self.assertLessEqual(drawn.get_size_inches()[1] * 96, 3000)
            self.assertEqual(len([ax for ax in drawn.axes]), 4)
        self.assertEqual(sizes[0], sizes[1])
        # Side by side, more than 8 columns still get the bounded chart, without a panel per column.
        drawn = os.path.join(self.dir.name, "side.png")
        result = run(*self.files[:5], "--layout", "side", "--chart", drawn)
        self.assertEqual(result.returncode, 0, result.stderr)
        from PIL import Image
        with Image.open(drawn) as image:
            self.assertLessEqual(image.size[1], 3000 * 100 / 96)
            self.assertEqual(image.size, (1000, int(round((1.2 + 4 * strip.PANEL_HEIGHT) * 100))))

    def test_page(self):
        page, table = os.path.join(self.dir.name, "farm.html"), os.path.join(self.dir.name, "farm.csv")
        result = run(*self.files, "--html", page, "--csv", table)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(table) as f:
            self.assertEqual(f.read(), run(*self.files, "--format", "csv").stdout)
        same = run(*self.files, "--html", page, "--csv", page)
        self.assertEqual((same.returncode, same.stderr),
                         (2, f"fbbench-compare: {page}: --html and --csv name the same file\n"))
        with open(page, encoding="utf-8") as f:
            source = f.read()
        tags = []

        class Page(html.parser.HTMLParser):
            def handle_starttag(self, tag, attrs):
                tags.append((tag, dict(attrs)))
        Page().feed(source)
        names = [tag for tag, _ in tags]
        self.assertEqual([a.get("id") for t, a in tags if t == "table"], ["ranking"])
        self.assertEqual([a["name"] for t, a in tags if t == "select"],
                         ["board", "driver", "mapping", "depth", "kernel", "kind"])
        rows = [a for t, a in tags if t == "tr" and "data-board" in a]
        self.assertEqual(len(rows), 40)
        self.assertEqual({a["data-kind"] for a in rows}, {"quick", "full"})
        self.assertEqual({a["data-depth"] for a in rows}, {"32"})
        # Eight best and eight worst cards, each and every line linking to details that exist.
        self.assertEqual(source.count('<section class="card">'), 16)
        ids = {a["id"] for _, a in tags if "id" in a}
        links = [a["href"][1:] for t, a in tags if t == "a"]
        self.assertGreaterEqual(len(links), 56)
        self.assertTrue(set(links) <= ids)
        # One inline script, nothing fetched; printing shows every line.
        self.assertEqual([a for t, a in tags if t == "script"], [{}])
        self.assertEqual([a for t, a in tags if t in ("link", "img", "iframe")], [])
        self.assertEqual(re.findall(r"https?:|//\w", source), [])
        self.assertIn("@media print", source)
        self.assertIn("max-width: 900px", source)
        self.assertEqual(names.count("svg"), 1)


class PresentedTest(unittest.TestCase):
    """What reaches the glass, from files fbbench wrote on its stand-in card:
    one with page-flip events, one whose vblank counter stood still. One
    output per layout, read by every check."""
    VKMS = os.path.join(FIXTURES, "stand-in", "presented-vkms.json")
    STUCK = os.path.join(FIXTURES, "stand-in", "presented-stuck.json")
    MEASURED = "Mandelbrot 60.00 frames/s presented at 60.00 Hz, 0 missed"
    REASON = "the vblank counter does not move (every flip event has sequence 1000)"

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        # A board of another depth and no presented target, made from a real file.
        cls.deep = os.path.join(cls.dir.name, "deep16.json")
        with open(cls.deep, "w") as f:
            json.dump(farm_files.farm_file(load(BOARD), 99, __import__("random").Random(7), depth=16), f)
        cls.out = {}
        for layout in ("side", "ranking"):
            page = os.path.join(cls.dir.name, layout + ".html")
            status, stdout, stderr = run_inside(cls.VKMS, cls.STUCK, cls.deep, "--allow-different-workloads",
                                                "--layout", layout, "--html", page)
            assert status == 0, stderr
            with open(page, encoding="utf-8") as f:
                cls.out[layout] = (stdout, f.read())
        for form in ("csv", "json"):
            status, cls.out[form], stderr = run_inside(cls.VKMS, cls.STUCK, cls.deep, "--allow-different-workloads",
                                                       "--format", form)
            assert status == 0, stderr

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def test_tables(self):
        side, _ = self.out["side"]
        cells = table(side)["Mandelbrot (s)"]
        self.assertIn("60.00 frames/s presented at 60.00 Hz, 0 missed", cells[0])
        self.assertIn("presented dropped‡", cells[1])
        self.assertNotIn("presented", cells[2])
        self.assertIn(f"‡ presented dropped: {self.REASON}.", side)
        # Depths side by side, where they differ: the board's is 16 bits.
        self.assertEqual([w.split(", ")[-1] for w in table(side, "system")["window"]],
                         ["32 bits"] * 2 + ["16 bits"] * 2)
        ranking, _ = self.out["ranking"]
        lines = ranking.splitlines()
        self.assertLessEqual(max(map(len, lines)), 120)
        header = [h.strip() for h in lines[0].strip("|").split("|")]
        self.assertIn("Mandelbrot presented", header)
        self.assertIn("depth", header)
        ranked = {cells[1]: cells for cells in
                  ([c.strip() for c in line.strip("|").split("|")] for line in lines if re.match(r"\| \d", line))}
        at = header.index("Mandelbrot presented")
        shown = sorted(cells[at] for cells in ranked.values())
        self.assertEqual(shown[:2], ["60.00@60.00Hz 0m", "dropped‡"], shown)
        self.assertIn(f"‡ presented dropped: {self.REASON}.", " ".join(lines))

    def test_exports(self):
        lines = list(csv.DictReader(io.StringIO(self.out["csv"])))
        mandelbrot = [line for line in lines if line["benchmark"] == "Mandelbrot"]
        fields = ("presented_fps", "presented_refresh_hz", "presented_missed_vblanks",
                  "presented_interval_median_ms", "presented_interval_p99_ms", "presented_dropped")
        self.assertEqual([tuple(line[f] for f in fields) for line in mandelbrot],
                         [("59.999", "60.0", "0.0", "16.667", "16.667", ""), ("", "", "", "", "", self.REASON)]
                         + [("", "", "", "", "", "")] * 2)
        export = json.loads(self.out["json"])
        results = next(m for m in export["metrics"] if m["benchmark"] == "Mandelbrot")["results"]
        self.assertEqual(results[0]["presented"],
                         {"frames_per_second": 59.999, "refresh_hz": 60.0, "missed_vblanks": 0.0,
                          "interval_median_ms": 16.667, "interval_p99_ms": 16.667, "intervals_flagged": 0,
                          "runs": 1, "runs_with_frames_lost": 0})
        self.assertEqual(results[1]["presented"], {"dropped": self.REASON})
        self.assertEqual([r["presented"] for r in results[2:]], [None, None])
        self.assertEqual([c["presented"] for c in export["columns"]][1:], [{"dropped": self.REASON}, None, None])

    def test_pages(self):
        # The chart marks the presented figure: matplotlib's SVG keeps each text in a comment.
        for layout, mark in (("side", "<!-- vm presented-vkms.json: 60.00 frames/s presented at 60.00 Hz, 0 missed"),
                             ("ranking", "<!-- presented frames measured -->")):
            with self.subTest(layout):
                _, page = self.out[layout]
                self.assertTrue(self.MEASURED in page)
                self.assertTrue(f"Presented: dropped, {self.REASON}." in page)
                self.assertEqual(page[page.index("<svg"):page.index("</svg>")].count(mark), 1)
        # The ranking's page sorts by them.
        _, page = self.out["ranking"]
        self.assertTrue('<th data-sort>Mandelbrot presented</th>' in page)
        self.assertTrue('<td class="n" data-v="59.999">60.00@60.00Hz 0m</td>' in page)
        # Side by side, the page's table has them under the display's figure too, a dropped one marked.
        _, page = self.out["side"]
        table_part = page[page.index('<table id="comparison">'):page.index("</table>")]
        self.assertIn('<span class="d">60.00 frames/s presented at 60.00 Hz, 0 missed</span>', table_part)
        self.assertIn('<span class="d">presented dropped‡</span>', table_part)
        self.assertIn(f"‡ presented dropped: {self.REASON}.", page)

    def test_files_without_presented(self):
        status, stdout, stderr = run_inside(A, B)
        self.assertEqual(status, 0, stderr)
        self.assertNotIn("presented", stdout)
        status, stdout, stderr = run_inside(*[BOARD] * 9)
        self.assertEqual(status, 0, stderr)
        self.assertNotIn("presented", stdout)
        # The schema does not require the refresh beside the figures: a file without it still reads.
        data = load(self.VKMS)
        del data["devices"][0]["presented"]["refresh_hz"]
        without = os.path.join(self.dir.name, "no-refresh.json")
        with open(without, "w") as f:
            json.dump(data, f)
        status, stdout, stderr = run_inside(without)
        self.assertEqual((status, stderr), (0, ""))
        self.assertIn("60.00 frames/s presented at an unknown refresh, 0 missed", stdout)
        # The CSV's presented fields stay empty, the JSON's null.
        status, stdout, stderr = run_inside(A, B, "--format", "csv")
        self.assertEqual({line[f] for line in csv.DictReader(io.StringIO(stdout)) for f in line
                          if f.startswith("presented_")}, {""})
        status, stdout, stderr = run_inside(A, B, "--format", "json")
        export = json.loads(stdout)
        self.assertEqual({r["presented"] is None for m in export["metrics"] for r in m["results"]}
                         | {c["presented"] is None for c in export["columns"]}, {True})


def sessions_in(store):
    """{id: bytes} of the sessions a store holds, read as SQLite itself."""
    import sqlite3
    import zlib
    db = sqlite3.connect(store)
    try:
        return {i: zlib.decompress(f) for i, f in db.execute("SELECT id, file FROM sessions")}
    finally:
        db.close()


def store_sound(test, store):
    """The store passes SQLite's own check and holds no row of a session
    that is not there: nothing half-added."""
    import sqlite3
    db = sqlite3.connect(store)
    try:
        test.assertEqual(db.execute("PRAGMA integrity_check").fetchone()[0], "ok")
        for query in ("SELECT count(*) FROM devices WHERE session NOT IN (SELECT id FROM sessions)",
                      "SELECT count(*) FROM runs WHERE session NOT IN (SELECT id FROM sessions)",
                      "SELECT count(*) FROM run_values WHERE run NOT IN (SELECT id FROM runs)"):
            test.assertEqual(db.execute(query).fetchone()[0], 0, query)
    finally:
        db.close()


class StoreTest(unittest.TestCase):
    """The results store: added, chosen, exported, and kept whole when the
    input, the disk or another process gets in the way."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        os.chmod(cls.dir.name, 0o755)
        cls.farm = farm_made(cls.dir.name, "farm", 12, 11)

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def setUp(self):
        self.work = tempfile.mkdtemp(dir=self.dir.name)
        os.chmod(self.work, 0o755)
        self.store = os.path.join(self.work, "farm.sqlite")

    def file_bytes(self, path):
        with open(path, "rb") as f:
            return f.read()

    def test_add_skip_refuse_and_export(self):
        broken = os.path.join(self.work, "broken.json")
        data = load(BOARD)
        data["runs"][0]["valid"] = "yes"
        with open(broken, "w") as f:
            json.dump(data, f)
        conflicting = os.path.join(self.work, "conflict.json")
        data = load(BOARD)
        data["results"][0]["device"]["median"] += 1
        with open(conflicting, "w") as f:
            json.dump(data, f)
        added = [BOARD, os.path.join(FIXTURES, "boards", "vexpress", "fbbench-fb1.json"),
                 os.path.join(FIXTURES, "boards", "arm64", "fbbench-fb0.json"), A, *self.farm[:3]]
        # Enough files to be checked in parallel; one or two are checked in turn (the tests below).
        result = run("--store", self.store, added[0], broken, added[1], BOARD, added[2], conflicting, *added[3:])
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stdout.splitlines(), [f"{path}: added as session {n}" for n, path in
                                                      enumerate(added, 1)])
        self.assertEqual(result.stderr.splitlines(), [
            f"fbbench-compare: {broken}: $.runs[0].valid: is a string, not boolean: refused",
            f"fbbench-compare: {BOARD}: already in the store as session 1, skipped",
            f"fbbench-compare: {conflicting}: conflicts with session 1 (same host and start, other content): "
            f"refused"])
        # Each session comes out as the very bytes that went in.
        for number, path in enumerate(added, 1):
            exported = subprocess.run([sys.executable, PROGRAM, "--store", self.store, "--export-session",
                                       str(number)], capture_output=True)
            self.assertEqual((exported.returncode, exported.stdout), (0, self.file_bytes(path)))
        missing = run("--store", self.store, "--export-session", "9")
        self.assertEqual((missing.returncode, missing.stdout, missing.stderr),
                         (2, "", f"fbbench-compare: {self.store}: no session 9\n"))
        store_sound(self, self.store)

    def test_compare_from_store(self):
        self.assertEqual(run("--store", self.store, *self.farm).returncode, 0)
        data = [load(path) for path in self.farm]

        def chosen(*where):
            result = run("--store", self.store, *[a for w in where for a in ("--where", w)], "--format", "json")
            self.assertEqual(result.returncode, 0, result.stderr)
            return sorted((c["file"].rsplit("#", 1)[1], c["path"]) for c in json.loads(result.stdout)["columns"])

        def expected(keep, devices=("/dev/fb0", "/dev/dri/card0")):
            return sorted((str(i + 1), d) for i, f in enumerate(data) if keep(f) for d in devices)
        kernel = data[0]["system"]["kernel"]["release"]
        for where, keep, devices in (
                ((), lambda f: True, None),
                ((f"board={data[3]['host']}",), lambda f: f is data[3], None),
                (("driver=virtio_gpu",), lambda f: True, ("/dev/dri/card0",)),
                ((f"kernel={kernel}",), lambda f: f["system"]["kernel"]["release"] == kernel, None),
                (("since=2026-06", "until=2026-09"), lambda f: "2026-06" <= f["started"] < "2026-09", None),
                (("device=/dev/fb0", "latest"), lambda f: True, ("/dev/fb0",))):
            with self.subTest(where=where):
                self.assertEqual(chosen(*where), expected(keep, devices or ("/dev/fb0", "/dev/dri/card0")))
        for where, message in (("colour=red", "--where colour=red: want latest or KEY=VALUE"),
                               ("board=nothing", "no session matches board=nothing")):
            with self.subTest(where=where):
                result = run("--store", self.store, "--where", where)
                self.assertEqual((result.returncode, result.stdout), (2, ""))
                self.assertIn(message, result.stderr)
                self.assertEqual(len(result.stderr.splitlines()), 1)

    def test_stores_refused(self):
        import sqlite3
        cases = []
        text = os.path.join(self.work, "text.sqlite")
        with open(text, "w") as f:
            f.write("a farm's notes, not a database\n" * 100)
        cases.append((text, "not an SQLite database", None))
        other = os.path.join(self.work, "other.sqlite")
        db = sqlite3.connect(other)
        db.execute("CREATE TABLE boards (name TEXT)")
        db.commit()
        db.close()
        cases.append((other, "an SQLite database, but not an fbbench store", None))
        for version, message, reading in (
                (99, "a store of schema 99, newer than this fbbench-compare's 1: use a newer one", None),
                (0, "a store of schema 0, which this fbbench-compare cannot bring to 1",
                 "a store of schema 0: add a file to it once to bring it to 1")):
            made = os.path.join(self.work, f"v{version}.sqlite")
            self.assertEqual(run("--store", made, BOARD).returncode, 0)
            db = sqlite3.connect(made)
            db.execute(f"PRAGMA user_version={version}")
            db.commit()
            db.close()
            cases.append((made, message, reading))
        # Another user's link to a store: not followed, whatever it leads to
        # (only root can give a link away).
        if os.geteuid() == 0:
            planted = os.path.join(self.work, "planted.sqlite")
            os.symlink(cases[-1][0], planted)
            os.lchown(planted, 65534, 65534)
            cases.append((planted, "a link of another user, not followed", None))
        else:
            print("skipped: another user's link to a store, which needs root to make", file=sys.stderr)
        for path, adding, reading in cases:
            before = self.file_bytes(path)
            for args, message in (((A,), adding), ((), reading or adding)):
                with self.subTest(store=os.path.basename(path), adding=bool(args)):
                    result = run("--store", path, *args)
                    self.assertEqual((result.returncode, result.stdout), (2, ""))
                    self.assertEqual(result.stderr, f"fbbench-compare: {path}: {message}\n")
                    self.assertEqual(self.file_bytes(path), before)

    def test_read_only_store(self):
        self.assertEqual(run("--store", self.store, BOARD).returncode, 0)
        if os.geteuid() == 0 and not os.path.exists("/usr/bin/setpriv"):
            self.skipTest("skipped: as root, a read-only store needs setpriv to run as another user")
        # Root writes any file: the other user, who may only read it, tries.
        prefix = ["/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] \
            if os.geteuid() == 0 else []
        if prefix and subprocess.run(prefix + ["test", "-r", PROGRAM, "-a", "-r", A]).returncode != 0:
            self.skipTest("skipped: the other user cannot read the checkout (in root's home?)")
        os.chmod(self.store, 0o644)
        os.chmod(self.work, 0o555)
        self.addCleanup(os.chmod, self.work, 0o755)
        before = sessions_in(self.store)
        result = subprocess.run(prefix + [sys.executable, PROGRAM, "--store", self.store, A], capture_output=True,
                                text=True)
        self.assertEqual((result.returncode, result.stdout), (1, ""))
        self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
        self.assertRegex(result.stderr, f"{re.escape(self.store)}: (read-only|.*unable to open)")
        self.assertEqual(sessions_in(self.store), before)
        # Reading needs no write: the other user compares what the store holds.
        read = subprocess.run(prefix + [sys.executable, PROGRAM, "--store", self.store, "--format", "json"],
                              capture_output=True, text=True)
        self.assertEqual((read.returncode, read.stderr), (0, ""))
        self.assertEqual(len(json.loads(read.stdout)["columns"]), 2)

    def test_busy_store(self):
        import sqlite3
        self.assertEqual(run("--store", self.store, BOARD).returncode, 0)
        holder = sqlite3.connect(self.store, isolation_level=None)
        holder.execute("BEGIN IMMEDIATE")
        holder.execute("DELETE FROM run_values")
        try:
            result = run("--store", self.store, "--busy-timeout", "0.2", A)
        finally:
            holder.execute("ROLLBACK")
            holder.close()
        self.assertEqual((result.returncode, result.stdout), (1, ""))
        self.assertEqual(result.stderr, f"fbbench-compare: {self.store}: busy: another process is writing the "
                                        f"store; gave up after the timeout\n")
        store_sound(self, self.store)
        self.assertEqual(run("--store", self.store, A).returncode, 0)
        self.assertEqual(len(sessions_in(self.store)), 2)

    def test_full_disk(self):
        import resource
        self.assertEqual(run("--store", self.store, self.farm[0]).returncode, 0)
        # No file of the store may grow past a few sessions more: the disk fills midway.
        limit = os.path.getsize(self.store) + 150_000

        def small_disk():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        result = subprocess.run([sys.executable, PROGRAM, "--store", self.store, *self.farm[1:]],
                                capture_output=True, text=True, preexec_fn=small_disk)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
        self.assertIn("it is left as it was", result.stderr)
        added = [line.split(":")[0] for line in result.stdout.splitlines()]
        self.assertLess(len(added), len(self.farm) - 1)
        store_sound(self, self.store)
        kept = sessions_in(self.store)
        self.assertEqual(sorted(kept.values()), sorted(self.file_bytes(p) for p in [self.farm[0]] + added))

    def test_interrupted_import(self):
        process = subprocess.Popen([sys.executable, PROGRAM, "--store", self.store, *self.farm],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        first = process.stdout.readline()
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=60)
        self.assertIn("added as session 1", first)
        self.assertEqual(process.returncode, -signal.SIGINT)
        self.assertEqual(err, "fbbench-compare: interrupted\n")
        store_sound(self, self.store)
        kept = sessions_in(self.store)
        # What was committed stays whole; the session being added is gone.
        self.assertGreaterEqual(len(kept), 1)
        self.assertLess(len(kept), len(self.farm))
        self.assertEqual(list(kept.values()), [self.file_bytes(p) for p in self.farm[:len(kept)]])


class RegressionTest(unittest.TestCase):
    """Changes between a board's sessions, made up from the real board file
    with five runs per figure."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.real = load(BOARD)

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def session(self, name, night, scale, runs=5, seed=0):
        data = farm_files.remade(self.real, scale, runs=runs, noise=0.01, rng=__import__("random").Random(seed))
        data["started"] = f"2026-12-{night:02d}T02:00:00Z"
        path = os.path.join(self.dir.name, name)
        with open(path, "w") as f:
            json.dump(data, f)
        return path

    def changes(self, before, now):
        files = [(p, loading.load(p, loading.validator_make())) for p in (before, now)]
        columns = columns_module.make_columns(files, None)
        return regress.flags_make(columns, columns_module.make_rows(columns))

    def test_a_real_change_is_flagged(self):
        def slower(program, metric):
            return 0.95 if program == "rectangle-bench" else 1.0
        before, now = self.session("before.json", 1, lambda p, m: 1.0, seed=1), \
            self.session("now.json", 2, slower, seed=2)
        flags = self.changes(before, now)
        # The second session's two devices, against the first's.
        self.assertEqual(sorted(flags), [2, 3])
        for index in (2, 3):
            flagged = [(f["name"], f["regression"]) for f in flags[index] if f["flagged"]]
            self.assertEqual(flagged, [("Rectangle", True)])
            rectangle = next(f for f in flags[index] if f["name"] == "Rectangle")
            self.assertAlmostEqual(rectangle["change"], -0.05, delta=0.015)
            self.assertLess(rectangle["p"], 0.01)
        # Side by side too, each device's change on a line under the tables.
        side = run(before, now, "--fail-on-regression")
        self.assertEqual(side.returncode, 1)
        self.assertEqual(len(re.findall(r"^- V2P-CA9 /dev/\S+ 2026-12-02 02:00: Rectangle -[45]\.\d% regression",
                                        side.stdout, re.M)), 2, side.stdout)
        store = os.path.join(self.dir.name, "history.sqlite")
        self.assertEqual(run("--store", store, before, now).returncode, 0)
        for args, status in (((), 0), (("--fail-on-regression",), 1)):
            with self.subTest(args=args):
                result = run("--store", store, "--where", "device=/dev/fb0", "--history", *args)
                self.assertEqual(result.returncode, status, result.stderr)
                lines = result.stdout.splitlines()
                self.assertRegex(lines[0], r"^\| # \| session .* \| change +\|$")
                self.assertTrue(lines[2].startswith("| 1 | 2026-12-01 02:00 "), lines[2])
                self.assertRegex(lines[3], r"\| Rectangle -[45]\.\d% regression +\|$")
                self.assertEqual(result.stderr, "fbbench-compare: 1 regression flagged\n" if status else "")
        both = run("--store", store, "--history")
        self.assertEqual(both.returncode, 2)
        self.assertIn("--history follows one board and device; these are 2", both.stderr)
        page = os.path.join(self.dir.name, "history.html")
        chart_file = os.path.join(self.dir.name, "history.png")
        result = run("--store", store, "--where", "device=/dev/fb0", "--history", "--html", page, "--chart",
                     chart_file)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(page, encoding="utf-8") as f:
            self.assertEqual(f.read().count("<tr class=flagged"), 1)

    def test_the_session_before_is_of_the_same_depth(self):
        def slower(program, metric):
            return 0.95 if program == "rectangle-bench" else 1.0
        first = self.session("first.json", 1, lambda p, m: 1.0, seed=5)
        between = load(self.session("between.json", 2, lambda p, m: 1.0, seed=6))
        for device in between["devices"]:
            for part in ("screen", "var", "sysfs"):
                if "bits_per_pixel" in device.get(part, {}):
                    device[part]["bits_per_pixel"] = 16
        with open(os.path.join(self.dir.name, "between.json"), "w") as f:
            json.dump(between, f)
        last = self.session("last.json", 3, slower, seed=7)
        store = os.path.join(self.dir.name, "depths.sqlite")
        self.assertEqual(run("--store", store, first, os.path.join(self.dir.name, "between.json"), last).returncode, 0)
        # The last night alone, set against the first: the 16-bit night between is other work.
        result = run("--store", store, "--where", "since=2026-12-03", "--layout", "ranking", "--fail-on-regression")
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertEqual(len(re.findall(r"Rectangle -[45]\.\d% regression", result.stdout)), 2, result.stdout)

    def test_noise_is_not_flagged(self):
        found = 0
        for trial in range(50):
            before = self.session("a.json", 1, lambda p, m: 1.0, seed=2 * trial + 100)
            now = self.session("b.json", 2, lambda p, m: 1.0, seed=2 * trial + 101)
            found += sum(f["flagged"] for f in self.changes(before, now)[2] if f["name"] == "Rectangle")
        self.assertLessEqual(found, 1)

    def test_too_few_runs_are_never_flagged(self):
        for runs in (1, 2):
            with self.subTest(runs=runs):
                before = self.session("one.json", 1, lambda p, m: 1.0, runs=runs, seed=3)
                now = self.session("two.json", 2, lambda p, m: 0.5, runs=runs, seed=4)
                flags = self.changes(before, now)[2]
                self.assertTrue(flags)
                self.assertEqual({(f["flagged"], f["reason"]) for f in flags},
                                 {(False, "fewer than 3 valid runs: not judged")})
                result = run(before, now, "--layout", "ranking", "--fail-on-regression")
                self.assertEqual(result.returncode, 0, result.stderr)
                # The later session's two devices, not judged; the first has nothing before it.
                self.assertEqual(sorted(line.split("|")[-2].strip() for line in result.stdout.splitlines()
                                        if re.match(r"\| \d", line)), ["not judged"] * 2 + ["—"] * 2)
                self.assertIn("not judged: fewer than 3 valid runs on a side", " ".join(result.stdout.split()))


if __name__ == "__main__":
    unittest.main()
