"""A board session: the programs built, the board's files fetched, the plan
made from the runs, one boot, the results stored per run in the board's folder."""

import dataclasses
import os
import re
import shlex
import subprocess
import sys

from fbbench_compare.files import file_replace

from . import boot, fetch, guest, image, manifest, vkms
from .cache import Lock, cache_root
from .boards import BOARDS
from .errors import BoardError
from .runs import PROBE, RUNNER, UsageError, runs_check, runs_default, window_words

BOARD_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(BOARD_DIR)


def say(text):
    print("board: " + text, file=sys.stderr, flush=True)


@dataclasses.dataclass
class Settings:
    name: str
    board: dict
    out: str
    cache: str
    build_dir: str
    no_build: bool
    xres: int
    yres: int
    bpp: int
    # the vkms card's framebuffer depth, by the kernel's video= option
    vkms_bpp: int
    timeout: int
    boot_timeout: int
    fbbench_options: list
    # where WIDTH HEIGHT POSX POSY come from
    env: dict


def _seconds(env, name, default):
    text = env.get(name, str(default))
    if not re.fullmatch(r"[1-9][0-9]{0,5}", text):
        raise UsageError("%s must be a whole number of seconds, not %r" % (name, text))
    return int(text)


def screen_parse(text, board):
    m = re.fullmatch(r"([0-9]{1,4})x([0-9]{1,4})x([0-9]{1,2})", text)
    if not m:
        raise UsageError("BOARD_SCREEN must be <width>x<height>x<bpp>, not %r" % text)
    xres, yres, bpp = map(int, m.groups())
    if bpp not in board["depths"]:
        raise UsageError("BOARD_SCREEN depth on this board must be %s, not %d"
                         % (" or ".join(map(str, board["depths"])), bpp))
    # The PL111 counts the line length in units of 16 pixels.
    if xres % 16 or not 16 <= xres <= 2048 or not 16 <= yres <= 2048:
        raise UsageError("BOARD_SCREEN width must be a multiple of 16 (16..2048), height 16..2048")
    return xres, yres, bpp


def settings_from_env(env):
    name = env.get("BOARD", "vexpress")
    if name not in BOARDS:
        raise UsageError("BOARD must be %s, not %r" % (" or ".join(BOARDS), name))
    board = BOARDS[name]
    xres, yres, bpp = screen_parse(env.get("BOARD_SCREEN", board["screen"]), board)
    vkms_bpp = env.get("BOARD_VKMS_DEPTH", "32")
    if vkms_bpp not in ("16", "32"):
        raise UsageError("BOARD_VKMS_DEPTH must be 16 or 32, not %r" % vkms_bpp)
    return Settings(
        name=name, board=board,
        out=env.get("BOARD_OUT") or os.path.join(ROOT, "build", "board", name),
        cache=os.path.join(env.get("BOARD_CACHE") or os.path.join(cache_root(env), "board"), name),
        build_dir=env.get("BOARD_BUILD_DIR") or os.path.join(ROOT, "build", "board-armv6"),
        no_build=env.get("BOARD_NO_BUILD") == "1",
        xres=xres, yres=yres, bpp=bpp, vkms_bpp=int(vkms_bpp),
        timeout=_seconds(env, "BOARD_TIMEOUT", 200),
        boot_timeout=_seconds(env, "BOARD_BOOT_TIMEOUT", 90),
        fbbench_options=shlex.split(env.get("BOARD_FBBENCH_OPTIONS", "--runs 1 --max-runs 1")),
        env=env)


def programs_build(s, runs):
    """The static ARMv6 programs (the board preset's tree), and fbprobe."""
    os.makedirs(s.build_dir, exist_ok=True)
    probe = os.path.join(s.build_dir, PROBE)
    if subprocess.run(["arm-linux-gnueabi-g++", "-march=armv6", "-mfpu=vfp", "-mfloat-abi=softfp", "-marm",
                       # a dumb buffer's mapping offset lies past 4 GiB under a 64-bit kernel
                       "-std=c++17", "-O2", "-Wall", "-D_FILE_OFFSET_BITS=64", "-static", "-o", probe,
                       os.path.join(BOARD_DIR, "probe", "fbprobe.cpp")], stdout=sys.stderr).returncode != 0:
        raise BoardError("building fbprobe failed")
    if s.no_build or (runs and all(r.program == PROBE for r in runs)):
        return
    configure = ["cmake", "--preset", "board", "-B", s.build_dir]
    say(" ".join(configure))
    if subprocess.run(configure, cwd=ROOT, stdout=sys.stderr).returncode != 0:
        raise BoardError("configure failed")
    if subprocess.run(["cmake", "--build", s.build_dir, "-j", str(os.cpu_count() or 1)],
                      stdout=sys.stderr).returncode != 0:
        raise BoardError("build failed")


# The width of a serial console, which fbbench's captured table is made for.
CONSOLE_COLUMNS = 80


def plan_make(s, runs, benchmarks):
    """The plan's lines, each run's .env (its window and device), and the programs to copy."""
    plan = ["fixture"]
    programs = {PROBE: os.path.join(s.build_dir, PROBE)}
    for r in runs:
        words = window_words(r.kind, s.env, r.words)
        if r.program == RUNNER:
            # it runs the benchmarks found next to it
            for b in [RUNNER] + benchmarks:
                programs[b] = os.path.join(s.build_dir, "bin", b)
            options = s.fbbench_options + [o for d in r.devices for o in ("--device", "/dev/" + d)]
            # The table as a board's serial console shows it.
            words.append("COLUMNS=%d" % CONSOLE_COLUMNS)
            plan.append(guest.plan_suite(s.timeout, r.name, words, options))
        else:
            if r.program != PROBE:
                programs[r.program] = os.path.join(s.build_dir, "bin", r.program)
            display = guest.FIRST_DISPLAY
            if r.devices:
                words.append("FRAMEBUFFER=/dev/" + r.devices[0])
                display = s.board["devices"][r.devices[0]]["display"]
                display = guest.MEMORY if display is None else display or guest.FIRST_DISPLAY
            plan.append(guest.plan_run(s.timeout, r.name, display, r.program, words, r.busy, r.term))
        file_replace(os.path.join(s.out, r.name + ".env"), (" ".join(words) + "\n").encode())
    return plan, programs


def session_run(s, runs=None):
    """Builds, boots, runs (None: the board's default runs). Exit status: 0
    every program exited 0, 1 some did not; raises UsageError (2) and
    BoardError (3)."""
    programs_build(s, runs or [])
    benchmarks = manifest.manifest_names(s.build_dir)
    runs = runs or runs_default(s.board, benchmarks)
    runs_check(runs, benchmarks)
    # Other runs, of this clone or another, share the cache: one fetches at
    # a time, and none while a board boots from it.
    lock = Lock(s.cache, ".lock", exclusive=False)
    try:
        if _cache_ready(s):
            extra = os.path.join(s.cache, vkms.MODULE) if "vkms" in s.board else None
        else:
            lock.exclusive()
            fetch.files_fetch(s.cache, s.board, say)
            extra = vkms.module_fetch(s.cache, s.board, say) if "vkms" in s.board else None
            lock.share()
        return _session_boot(s, runs, benchmarks, extra)
    finally:
        lock.close()


def _cache_ready(s):
    return fetch.files_ready(s.cache, s.board) and (
        "vkms" not in s.board or vkms.module_ready(s.cache, s.board, vkms.kernel_version(s.cache)))


def _session_boot(s, runs, benchmarks, extra):
    if "vkms" in s.board and not extra:
        runs = vkms.runs_without(runs, s.board)
    os.makedirs(s.out, exist_ok=True)
    for r in runs:
        for suffix in (".png", ".txt", ".err", ".status", ".env", ".json", "-before.png", "-after.png",
                       ".raw.gz"):
            path = os.path.join(s.out, r.name + suffix)
            if os.path.lexists(path):
                os.unlink(path)
    file_replace(os.path.join(s.out, "screen"), b"%d %d %d\n" % (s.xres, s.yres, s.bpp))
    if s.board["dtb"]:
        image.dtb_make(os.path.join(s.cache, s.board["dtb"]), os.path.join(s.out, "board.dtb"),
                       s.xres, s.yres, s.bpp)
    plan, programs = plan_make(s, runs, benchmarks)
    board_env = ["BOARD_HOST=%s" % s.board["host_name"],
                 'BOARD_MODULES="%s"' % " ".join(s.board["gpu_modules"]),
                 "BOARD_GPU_FB=%s" % s.board["gpu_fb"],
                 "BOARD_VKMS=%d" % bool(extra)]
    initramfs = os.path.join(s.out, "initramfs.cpio.gz")
    image.initramfs_make(initramfs, s.out, os.path.join(s.cache, "busybox"), os.path.join(BOARD_DIR, "guest-init"),
                         os.path.join(s.cache, "modules"),
                         {os.path.join("fbb", "bin", name): path for name, path in programs.items()},
                         {"fbb/board": board_env, "fbb/plan": plan}, extra)
    append = [vkms.video_option(s.board, s.vkms_bpp)] if extra and s.vkms_bpp != 32 else []
    argv = boot.qemu_argv(s.board, s.cache, s.out, s.xres, s.yres, initramfs, append)
    # a step may take the program's time and the transfer of its outputs
    console = boot.board_boot(argv, s.out, s.boot_timeout, s.timeout + 60)
    failed = [n for n, st in console.statuses.items() if st != 0]
    if failed:
        say("failed: " + " ".join(failed))
        return 1
    return 0
