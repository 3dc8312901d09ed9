#!/usr/bin/python3
"""Unit tests of board/boardlib that need no emulator: the run grammar and
its names, the windows, the plan's lines, the console protocol and the vkms
module's cache."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fbshot  # noqa: E402
from boardlib import apt_state, guest, manifest, session, vkms  # noqa: E402
from boardlib.boards import BOARDS  # noqa: E402
from boardlib.errors import BoardError  # noqa: E402
from boardlib.runs import UsageError, run_parse, runs_check, window_words  # noqa: E402
from fbbench_compare.files import file_replace  # noqa: E402

VEXPRESS, ARM64 = BOARDS["vexpress"], BOARDS["arm64"]


class Grammar(unittest.TestCase):
    def test_names(self):
        for text, board, name in [
                ("mandelbrot-bench", VEXPRESS, "mandelbrot-bench"),
                ("mandelbrot-bench@fb1", VEXPRESS, "mandelbrot-bench-fb1"),
                ("mandelbrot-bench@dri/card0+POSX=0+WIDTH=801", VEXPRESS, "mandelbrot-bench-card0-POSX0-WIDTH801"),
                ("mandelbrot-bench@fb1+FBBENCH_SYNC=frame", VEXPRESS, "mandelbrot-bench-fb1-FBBENCH_SYNCframe"),
                ("fbbench@fb0,dri/card0", ARM64, "fbbench-fb0"),
                # shown on no display: its memory is read back
                ("mandelbrot-bench@dri/vkms+FBBENCH_DEPTH=16", ARM64, "mandelbrot-bench-vkms-FBBENCH_DEPTH16"),
                ("fbbench", ARM64, "fbbench")]:
            with self.subTest(text=text):
                self.assertEqual(run_parse(text, board).name, name)

    def test_refusals(self):
        for text, board in [
                ("mandelbrot-bench@fb2", ARM64),              # no third framebuffer there
                ("mandelbrot-bench@fb0,dri/card0", VEXPRESS),  # several devices: fbbench only
                ("mandelbrot-bench+BUSY", VEXPRESS),          # test-only words are not the user's
                ("rectangle-bench@dri/card0+TERM=2", VEXPRESS),
                ("rectangle-bench+WIDTH=1;reboot", VEXPRESS),
                ("fbprobe@fb2", VEXPRESS),                    # shown on no display: no screenshot
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
                    {"BOARD_BOOT_TIMEOUT": "-5"}, {"BOARD_VKMS_DEPTH": "24"}, {"BOARD_VKMS_DEPTH": "16 "}):
            with self.subTest(env=env):
                self.assertRaises(UsageError, session.settings_from_env, env)
        s = session.settings_from_env({"BOARD": "arm64", "BOARD_VKMS_DEPTH": "16"})
        self.assertEqual(vkms.video_option(s.board, s.vkms_bpp), "video=Virtual-2:1024x768-16")
        self.assertTrue(s.out.endswith(os.path.join("build", "board", "arm64")))

    def test_cache_follows_the_environment(self):
        for env, expected in [
                ({"BOARD_CACHE": "/b", "FBBENCH_CACHE": "/c/fb"}, "/b/vexpress"),
                ({"FBBENCH_CACHE": "/c/fb", "XDG_CACHE_HOME": "/x"}, "/c/fb/board/vexpress"),
                ({"XDG_CACHE_HOME": "/x", "HOME": "/h"}, "/x/fbbench/board/vexpress"),
                ({"HOME": "/h"}, "/h/.cache/fbbench/board/vexpress")]:
            with self.subTest(env=env):
                self.assertEqual(session.settings_from_env(env).cache, expected)


class Screenshots(unittest.TestCase):
    def test_rgb565_against_the_shown_channels(self):
        # an RGB565 pixel shows in the top bits of its PNG channels, whatever
        # the emulator puts in the low bits
        for value, shown, same in [(0xF800, (255, 0, 0), True), (0xF800, (248, 3, 7), True),
                                   (0x07E0, (0, 252, 0), True), (0x001F, (0, 0, 255), True),
                                   (0x0001, (0, 0, 8), True), (0x0020, (0, 4, 0), True),
                                   (0xF800, (0, 0, 248), False), (0x0001, (0, 0, 0), False)]:
            with self.subTest(value=hex(value), shown=shown):
                raw = bytes([0, 0, value & 255, value >> 8])
                img = fbshot.Image(2, 1, [bytearray(bytes(3) + bytes(shown))])
                self.assertEqual(fbshot.compare_raw(raw, img)[1], 0 if same else 1)

    def test_raw_of_neither_depth(self):
        self.assertRaises(ValueError, fbshot.compare_raw, bytes(6), fbshot.Image(2, 1, [bytearray(6)]))


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


class Vkms(unittest.TestCase):
    KVER = {"vexpress": "6.1.0-50-armmp", "arm64": "6.12.95+deb12-arm64"}

    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.cache = tmp.name

    def cache_make(self, kver, stamp=None, module=b"ko"):
        os.makedirs(os.path.join(self.cache, "modules", "lib", "modules", kver), exist_ok=True)
        for name, data in ((vkms.STAMP, stamp), (vkms.MODULE, module)):
            if data is not None:
                file_replace(os.path.join(self.cache, name), data.encode() if isinstance(data, str) else data)

    def test_packages_for_each_kernel(self):
        # the probe's names, all at the kernel package's version
        for board, version, names in [
                ("arm64", "6.12.95-1~bpo12+1", ["linux-source-6.12", "linux-headers-6.12.95+deb12-arm64:arm64",
                                                "linux-headers-6.12.95+deb12-common",
                                                "linux-kbuild-6.12.95+deb12:amd64"]),
                ("vexpress", "6.1.176-1", ["linux-source-6.1", "linux-headers-6.1.0-50-armmp:armhf",
                                           "linux-headers-6.1.0-50-common", "linux-kbuild-6.1:amd64"])]:
            with self.subTest(board=board):
                self.assertEqual(vkms.packages(BOARDS[board], self.KVER[board], version),
                                 [n + "=" + version for n in names])

    def test_cache_stamp(self):
        built = vkms.stamp_text(ARM64, self.KVER["arm64"])
        for stamp, module, kver, ready in [
                (built, b"ko", self.KVER["arm64"], True),
                (None, b"ko", self.KVER["arm64"], False),       # cut short before its stamp
                (built, b"", self.KVER["arm64"], False),        # an empty module
                (built, None, self.KVER["arm64"], False),
                (built, b"ko", "6.12.96+deb12-arm64", False),   # the kernel moved on
                (vkms.stamp_text(VEXPRESS, self.KVER["arm64"]), b"ko", self.KVER["arm64"], False)]:
            with self.subTest(stamp=stamp, module=module, kver=kver):
                for name in (vkms.STAMP, vkms.MODULE):
                    if os.path.exists(os.path.join(self.cache, name)):
                        os.unlink(os.path.join(self.cache, name))
                self.cache_make(self.KVER["arm64"], stamp, module)
                self.assertEqual(vkms.module_ready(self.cache, ARM64, kver), ready)

    def test_warm_cache_asks_no_mirror(self):
        self.cache_make(self.KVER["vexpress"], vkms.stamp_text(VEXPRESS, self.KVER["vexpress"]))
        with stand_in(apt_state, "prepare", unreachable):
            self.assertEqual(vkms.module_fetch(self.cache, VEXPRESS, print), os.path.join(self.cache, vkms.MODULE))

    def test_packages_gone_leave_the_board_without_vkms(self):
        # the pinned kernel's packages gone from the mirror: one line, no vkms runs, no stamp
        self.cache_make(self.KVER["arm64"], "stale\n")
        said = []

        def gone(opts, packages, dest, failed):
            raise BoardError("apt-get download %s failed: E: Can't find a source to download version"
                             % " ".join(packages))
        with stand_in(apt_state, "prepare", lambda *a: ([], [])), stand_in(apt_state, "download", gone):
            self.assertIsNone(vkms.module_fetch(self.cache, ARM64, said.append))
        self.assertEqual(len([s for s in said if "no vkms" in s]), 1, said)
        self.assertFalse(os.path.exists(os.path.join(self.cache, vkms.STAMP)))
        runs = [run_parse(t, ARM64) for t in ["mandelbrot-bench", "fbbench@fb0,dri/card0", "fbbench@dri/vkms"]]
        self.assertEqual([r.name for r in vkms.runs_without(runs, ARM64)], ["mandelbrot-bench", "fbbench-fb0"])


def unreachable(*args):
    raise AssertionError("the mirror was asked")


class stand_in:
    """Replaces a module's function for a with block."""

    def __init__(self, module, name, function):
        self.module, self.name, self.function = module, name, function

    def __enter__(self):
        self.saved = getattr(self.module, self.name)
        setattr(self.module, self.name, self.function)

    def __exit__(self, *exc):
        setattr(self.module, self.name, self.saved)


if __name__ == "__main__":
    unittest.main()
