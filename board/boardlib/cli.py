"""board/run: runs the benchmarks on an emulated ARM board.

  board/run [PROGRAM[@DEVICE][+NAME=value...]...]
  board/run --window PROGRAM     the window PROGRAM gets, as NAME=value words

PROGRAM: a benchmark, fbbench (the runner, over every benchmark, on one
device or several: fbbench@fb0,dri/card0) or fbprobe (the board's own
pattern test). Default: every benchmark on the programs' own device, then
the board's fbbench runs (below).
DEVICE: one of the board's (below), given to the program as FRAMEBUFFER;
without it the program opens its own default.
+NAME=value: WIDTH, HEIGHT, POSX or POSY for this run alone, in place of the
window it would get; or FBBENCH_SYNC (frame or none: the screenshot is then
taken as soon as the program exits, with no flush of the display by the board);
or FBBENCH_DEPTH (16 or 32: a DRM card's dumb buffer). A device QEMU shows on
no display has its memory read back while the program holds its picture.

Environment:
  BOARD                   vexpress (default) or arm64
  WIDTH HEIGHT POSX POSY  if any is set, exactly those that are set are passed
                          to every program; otherwise each gets its default window
  BOARD_SCREEN            <width>x<height>x<bpp>, width a multiple of 16
  BOARD_VKMS_DEPTH        16 or 32 (default): the vkms card's framebuffer depth,
                          set by the kernel's video= option
  BOARD_OUT               where results go (default build/board/<board>)
  BOARD_CACHE             downloaded kernels and busybox, per board in a folder
                          of its name (default ~/.cache/fbbench/board)
  BOARD_BUILD_DIR         static ARMv6 build tree (default build/board-armv6)
  BOARD_NO_BUILD=1        use the programs already built there
  BOARD_TIMEOUT           seconds one program may run on the board (default 200)
  BOARD_FBBENCH_OPTIONS   fbbench's options (default --runs 1 --max-runs 1)
  BOARD_BOOT_TIMEOUT      seconds the board may take to come up (default 90)

Results, per run in BOARD_OUT: <name>.txt (stdout), .err (stderr), .status
(exit status), .png (the display after the run) or .raw.gz (the memory of a
device with no display, rows packed), .env (its window and device); fbbench runs leave <name>.json, their results file. <name> is the
program's, then -<device's last name> (of the first device), then
-NAMEvalue per own word: mandelbrot-bench-card0-WIDTH801. screen holds
"<xres> <yres> <bpp>", serial.log the console, fixture/ the board's /proc and
/sys files that describe it.

Exit status: 0 all programs exited 0; 1 some did not; 2 bad usage; 3 the
build, the board or the emulator failed; 130 interrupted.

"""

import os

from . import session
from .boot import Interrupted
from .errors import BoardError
from .boards import BOARDS, WINDOWS
from .runs import PROBE, RUNNER, UsageError, run_parse, window_words


def device_display(device):
    if device["display"] is None:
        return "%sno display: memory read back" % ("the %s card, " % device["driver"] if "driver" in device else "")
    return "display %s" % (device["display"] or "first")


def boards_describe():
    """The boards' part of the help, from their descriptions."""
    lines = ["Default windows:"] + ["  %s: %s" % (kind, " ".join("%s=%s" % kv for kv in w.items()))
                                     for kind, w in WINDOWS.items()] + ["Boards:"]
    for name, b in BOARDS.items():
        lines += ["  %s: %s" % (name, b["title"]),
                  "    devices: " + ", ".join("%s (%s)" % (d, device_display(v)) for d, v in b["devices"].items()),
                  "    screen %s (depths %s); fbbench runs: %s"
                  % (b["screen"], "/".join(map(str, b["depths"])), " ".join(b["suites"]))]
    return "\n".join(lines)


def main(argv):
    try:
        if argv[:1] in (["-h"], ["--help"]):
            print(__doc__ + boards_describe())
            return 0
        if argv[:1] == ["--window"]:
            if len(argv) != 2 or not argv[1] or argv[1].startswith("-"):
                raise UsageError("usage: board/run --window PROGRAM")
            kind = argv[1] if argv[1] in (RUNNER, PROBE) else "benchmark"
            print(" ".join(window_words(kind, os.environ)))
            return 0
        s = session.settings_from_env(os.environ)
        return session.session_run(s, [run_parse(a, s.board) for a in argv] or None)
    except UsageError as e:
        session.say(str(e))
        return 2
    except BoardError as e:
        session.say(str(e))
        return 3
    except (Interrupted, KeyboardInterrupt):
        session.say("interrupted; emulator stopped")
        return 130

