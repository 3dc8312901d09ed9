#!/usr/bin/python3
"""Unit tests of board/boardlib that need no emulator: the run grammar and
its names, the windows, the plan's lines and the console protocol."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from boardlib import guest, manifest, session  # noqa: E402
from boardlib.boards import BOARDS  # noqa: E402
from boardlib.runs import UsageError, run_parse, runs_check, window_words  # noqa: E402

VEXPRESS, ARM64 = BOARDS["vexpress"], BOARDS["arm64"]


class Grammar(unittest.TestCase):
    def test_names(self):
        for text, board, name in [
                ("mandelbrot-bench", VEXPRESS, "mandelbrot-bench"),
                ("mandelbrot-bench@fb1", VEXPRESS, "mandelbrot-bench-fb1"),
                ("mandelbrot-bench@dri/card0+POSX=0+WIDTH=801", VEXPRESS, "mandelbrot-bench-card0-POSX0-WIDTH801"),
                ("mandelbrot-bench@fb1+FBBENCH_SYNC=frame", VEXPRESS, "mandelbrot-bench-fb1-FBBENCH_SYNCframe"),
                ("fbbench@fb0,dri/card0", ARM64, "fbbench-fb0"),
                ("fbbench", ARM64, "fbbench")]:
            with self.subTest(text=text):
                self.assertEqual(run_parse(text, board).name, name)

    def test_refusals(self):
        for text, board in [
                ("mandelbrot-bench@fb1", ARM64),              # no second framebuffer there
                ("mandelbrot-bench@fb0,dri/card0", VEXPRESS),  # several devices: fbbench only
                ("mandelbrot-bench+BUSY", VEXPRESS),          # test-only words are not the user's
                ("rectangle-bench@dri/card0+TERM=2", VEXPRESS),
                ("rectangle-bench+WIDTH=1;reboot", VEXPRESS),
                ("../x", VEXPRESS)]:
            with self.subTest(text=text):
                self.assertRaises(UsageError, run_parse, text, board)

    def test_programs_and_twins(self):
        benchmarks = ["rectangle-bench", "mandelbrot-bench"]
        runs_check([run_parse(t, VEXPRESS) for t in ("fbprobe", "fbbench", "rectangle-bench")], benchmarks)
        for texts in (["nosuch-bench"], ["rectangle-bench", "rectangle-bench"]):
            with self.subTest(texts=texts):
                self.assertRaises(UsageError, runs_check, [run_parse(t, VEXPRESS) for t in texts], benchmarks)


class Windows(unittest.TestCase):
    def test_words(self):
        for kind, env, own, words in [
                ("benchmark", {}, [], ["WIDTH=320", "HEIGHT=240", "POSX=240", "POSY=120"]),
                # any of the four set: exactly those set, as given, however the programs read them
                ("benchmark", {"WIDTH": "12abc", "POSY": ""}, [], ["WIDTH=12abc", "POSY="]),
                ("fbbench", {}, ["WIDTH=801", "POSX=0"], ["HEIGHT=120", "POSY=48", "WIDTH=801", "POSX=0"])]:
            with self.subTest(kind=kind, env=env, own=own):
                self.assertEqual(window_words(kind, env, own), words)

    def test_bad_settings(self):
        for env in ({"BOARD": "pi"}, {"BOARD_SCREEN": "800x480"}, {"BOARD_SCREEN": "801x480x32"},
                    {"BOARD": "arm64", "BOARD_SCREEN": "800x480x16"}, {"BOARD_TIMEOUT": "1e3"},
                    {"BOARD_BOOT_TIMEOUT": "-5"}):
            with self.subTest(env=env):
                self.assertRaises(UsageError, session.settings_from_env, env)
        s = session.settings_from_env({"BOARD": "arm64"})
        self.assertTrue(s.out.endswith(os.path.join("build", "board", "arm64")))
        self.assertTrue(s.cache.endswith(os.path.join("board", "cache", "arm64")))


class Reports(unittest.TestCase):
    ONE = {"title": "T", "per_level": False, "line_format": "Benchmarking %dx%d size: %.2f MPixels/second"}
    LEVELS = {"title": "S", "per_level": True, "line_format": "Benchmarking %8d iterations: %8.2f Frames/second"}

    def test_report_problems(self):
        level = "Benchmarking %8d iterations: %8.2f Frames/second"
        for bench, text, good in [
                (self.ONE, "T\nBenchmarking 400x240 size: 12.34 MPixels/second\n", True),
                (self.ONE, "T\nBenchmarking 400x240 size: 12.3 MPixels/second\n", False),
                (self.ONE, "T\nBenchmarking 400x240 size: 12.34 MPixels/second", False),
                (self.ONE, "T\nBenchmarking 400x240 size: 12.34 MPixels/second\nmore\n", False),
                (self.ONE, None, False),
                (self.LEVELS, "S\n\n%s\n%s\n\n" % (level % (1024, 50.5), level % (2048, 25.25)), True),
                # not as printf pads it, or a level that does not double
                (self.LEVELS, "S\n\nBenchmarking 1024 iterations: 50.50 Frames/second\n\n", False),
                (self.LEVELS, "S\n\n%s\n%s\n\n" % (level % (1024, 50.5), level % (4096, 25.25)), False)]:
            with self.subTest(text=text):
                self.assertEqual(manifest.report_problem(bench, text) is None, good)


class Console(unittest.TestCase):
    def feed(self, console, lines):
        shots, answers = [], []
        for line in lines:
            guest.console_line(console, line, lambda f, d: shots.append((f, d)), lambda: answers.append(1))
        return shots, answers

    def test_suite_results_named_on_host(self):
        with tempfile.TemporaryDirectory() as out:
            c = guest.Console(out)
            message = b"fbbench: results in " + guest.RESULTS_ON_BOARD.encode() + b"\n"
            self.feed(c, ["@@FBB OUT fbbench-fb0", "dGFibGUK",
                          "@@FBB ERR fbbench-fb0", __import__("base64").b64encode(message).decode(),
                          "@@FBB FILE fbbench-fb0.json", "e30=",
                          "@@FBB EXIT fbbench-fb0 0"])
            with open(os.path.join(out, "fbbench-fb0.err")) as f:
                self.assertEqual(f.read(), "fbbench: results in %s\n" % os.path.join(out, "fbbench-fb0.json"))
            with open(os.path.join(out, "fbbench-fb0.json")) as f:
                self.assertEqual(f.read(), "{}")
            self.assertEqual(c.statuses, {"fbbench-fb0": 0})

    def test_shot_answers_after_the_screenshot(self):
        with tempfile.TemporaryDirectory() as out:
            c = guest.Console(out)
            shots, answers = self.feed(c, ["noise", "@@FBB UP 800,480 32", "@@FBB OUT p", "aGk=",
                                           "@@FBB ERR p", "@@FBB SHOT p 3 gpu", "@@FBB DONE"])
            self.assertEqual((shots, len(answers), c.statuses, c.up, c.done), ([("p", "gpu")], 1, {"p": 3}, True, True))
            with open(os.path.join(out, "p.txt")) as f:
                self.assertEqual(f.read(), "hi")

    def test_plan_lines(self):
        self.assertEqual(guest.plan_run(200, "m-card0-BUSY", "", "m", ["WIDTH=1", "FRAMEBUFFER=/dev/dri/card0"],
                                        busy=True),
                         "run 200 m-card0-BUSY - m WIDTH=1 FRAMEBUFFER=/dev/dri/card0 BUSY")
        self.assertEqual(guest.plan_suite(9, "fbbench", ["WIDTH=2"], ["--runs", "1"]),
                         "suite 9 fbbench %s WIDTH=2 -- --runs 1" % guest.RESULTS_ON_BOARD)


if __name__ == "__main__":
    unittest.main()
