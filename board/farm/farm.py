#!/usr/bin/python3
"""fbbench as a LAVA test on the emulated arm64 board, run by a real LAVA
dispatcher, and LAVA's own results checked.

    board/farm/farm.py [--out DIR] [--no-build] [--validate-only]

Builds the static ARM programs (the board preset), fetches the arm64 board's
kernel, modules and busybox with the board tooling (board/boardlib, whose
description of the board is the one this reads), makes the board's initramfs
(board/farm/guest-init), renders the device configuration from lava-server's qemu
device type in the dispatcher root (board/farm/dispatcher_root.py), writes the
job (board/farm/jobs/qemu-arm64.yaml with lava/fbbench.yaml inline), validates
both with lava-run --validate (and the example jobs against LAVA's job
schema), runs lava-run, and then checks LAVA's
results: every expected case present, each figure with its measurement and
units, and the results file recovered from the log valid against the
published schema. fbbench runs in the window board/run gives fbbench.
With --compare-board, board/run then runs fbbench on the same board and
window, and fbbench-compare must compare its file with the recovered one.

Output in DIR (default build/farm): device.yaml, job.yaml, output.yaml (the
job's log, as a LAVA server keeps it), lava-results.yaml (LAVA's results,
one case a line) and the recovered results file. Exit status: 0 the proof
passed; 1 it did not; 2 bad usage; 3 a step before the job failed.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.append(os.path.dirname(HERE))
import dispatcher_root  # noqa: E402
import lava_results  # noqa: E402
from boardlib import boards, fetch, manifest  # noqa: E402
from boardlib import image as boardlib_image  # noqa: E402
from boardlib.runs import RUNNER  # noqa: E402
from boardlib.cache import Lock, cache_root  # noqa: E402
from boardlib.errors import BoardError  # noqa: E402
from fbbench_compare.files import file_replace, file_replace_open  # noqa: E402

BOARD = "arm64"
# What LAVA's overlay disk needs of the board beyond the GPU: its driver,
# and ext4, which serves the ext2 file system the dispatcher makes, with
# crc32c, which ext4 needs.
OVERLAY_MODULES = ["virtio_blk", "ext4", "crc32c_generic"]
# The LAVA tool beside the runner and the benchmark list's programs.
LAVA_TOOL = "fbbench-lava"
JOB_SECONDS = 1800


class FarmError(Exception):
    pass


class Interrupted(Exception):
    def __init__(self, status):
        super().__init__(status)
        self.status = status


def say(message):
    print("farm: " + message, file=sys.stderr, flush=True)


def step(argv, what, timeout=1800, **kwargs):
    """Runs a host command under supervision; FarmError when it fails."""
    status = dispatcher_root.supervise(argv, timeout, **kwargs)
    if status > 128 and status != 124:
        raise Interrupted(status)
    if status != 0:
        raise FarmError("%s failed (exit status %d)" % (what, status))


def board_files(out):
    """The board's kernel, busybox and modules, with the overlay disk's, in a
    cache of the farm's own: the board's keeps the GPU's modules alone."""
    board = boards.BOARDS[BOARD]
    cache = os.path.join(cache_root(), "farm", BOARD)
    with Lock(cache, ".lock", exclusive=True):
        fetch.files_fetch(cache, dict(board, gpu_modules=board["gpu_modules"] + OVERLAY_MODULES), say)
    return {"KERNEL": os.path.join(cache, "vmlinuz"), "BUSYBOX": os.path.join(cache, "busybox"),
            "MODULES": os.path.join(cache, "modules")}


def qemu_facts(board):
    """The device dictionary's variables and the kernel's command line, from the board's description."""
    xres, yres, _ = board["screen"].split("x")
    words = [w.format(xres=xres, yres=yres) for w in board["qemu"]]
    facts = {"extra_options": [], "append": board["append"]}
    i = 1
    while i < len(words):
        word, value = words[i], words[i + 1] if i + 1 < len(words) else None
        if word in ("-M", "-machine"):
            facts["machine"] = value
        elif word == "-cpu":
            facts["cpu"] = value
        elif word == "-m":
            facts["memory"] = int(value)
        elif word == "-device":
            facts["extra_options"].append("-device " + value)
        elif word == "-nic":
            pass  # LAVA's own network
        else:
            raise FarmError("the board's QEMU option %s has no place in the device configuration" % word)
        i += 2
    if words[0] != "qemu-system-aarch64":
        raise FarmError("the arm64 board runs %s, not qemu-system-aarch64" % words[0])
    for key in ("machine", "cpu", "memory", "append"):
        if key not in facts:
            raise FarmError("the board's QEMU command has no %s" % key)
    return facts


def device_template(facts):
    """The device dictionary: lava-server's qemu device type with the board's variables."""
    lines = ["{% extends 'qemu.jinja2' %}", "{% set arch = 'arm64' %}"]
    for key in ("machine", "cpu", "memory"):
        lines.append("{%% set %s = %s %%}" % (key, json.dumps(facts[key])))
    # The machine has no IDE: the overlay disk goes on virtio.
    lines.append("{% set guestfs_interface = 'virtio' %}")
    lines.append("{%% set extra_options = %s %%}" % json.dumps(facts["extra_options"]))
    return "\n".join(lines) + "\n"


def initramfs_make(out, files, build_dir):
    """The board's image with the runner, the benchmarks and the LAVA tool
    where the job's test definition finds them."""
    names = [RUNNER] + manifest.manifest_names(build_dir) + [LAVA_TOOL]
    image = os.path.join(out, "initramfs.cpio.gz")
    boardlib_image.initramfs_make(image, out, files["BUSYBOX"], os.path.join(HERE, "guest-init"), files["MODULES"],
                                  {os.path.join("usr", "bin", p): os.path.join(build_dir, "bin", p) for p in names})
    return image


def job_make(out, kernel, initrd, append, window):
    """The job: board/farm/jobs/qemu-arm64.yaml with the images and the definition filled in."""
    with open(os.path.join(HERE, "jobs", "qemu-arm64.yaml")) as f:
        job = f.read()
    with open(os.path.join(SOURCE, "lava", "fbbench.yaml")) as f:
        definition = f.read()
    indent = " " * 8
    inline = "\n".join((indent + line) if line else "" for line in definition.splitlines())
    parameters = "\n".join("%s%s: \"%s\"" % (" " * 8, k, v) for k, v in window.items())
    for key, value in (("@KERNEL@", "file://" + kernel), ("@INITRD@", "file://" + initrd),
                       ("@APPEND@", append), ("@DEFINITION@", inline.lstrip()),
                       ("@WINDOW@", parameters.lstrip())):
        if key not in job:
            raise FarmError("board/farm/jobs/qemu-arm64.yaml has no %s" % key)
        job = job.replace(key, value)
    path = os.path.join(out, "job.yaml")
    file_replace(path, job.encode())
    return path


def board_compare(out, build_dir):
    """fbbench by board/run on the same board, devices and window, compared
    with the file recovered from LAVA's log by fbbench-compare."""
    board_out = os.path.join(out, "board")
    # The job runs fbbench --quick (QUICK): quick runs compare with quick runs.
    env = dict(os.environ, BOARD=BOARD, BOARD_NO_BUILD="1", BOARD_OUT=board_out, BOARD_BUILD_DIR=build_dir,
               BOARD_FBBENCH_OPTIONS="--quick")
    say("fbbench on the same board by board/run, for the comparison")
    if dispatcher_root.supervise([os.path.join(SOURCE, "board", "run"), "fbbench@fb0,dri/card0"], 900, env=env):
        return ["board/run fbbench@fb0,dri/card0 failed"]
    recovered = [f for f in os.listdir(out) if f.endswith(".json")]
    compare = [os.path.join(SOURCE, "host", "fbbench-compare"), "--summary", os.path.join(out, recovered[0]),
               os.path.join(board_out, "fbbench-fb0.json")]
    if dispatcher_root.supervise(compare, 300):
        return ["fbbench-compare does not compare the recovered file with board/run's"]
    return []


# The example jobs for boards not at hand: LAVA's own job schema, strictly.
SCHEMA_CHECK = """
import sys, yaml
from lava_common.schemas import validate
for path in sys.argv[1:]:
    with open(path) as f:
        validate(yaml.safe_load(f), strict=True)
"""

RENDER = """
import jinja2, sys
env = jinja2.Environment(loader=jinja2.FileSystemLoader([sys.argv[1], sys.argv[2]]), trim_blocks=True)
with open(sys.argv[4], "w") as f:
    f.write(env.get_template(sys.argv[3]).render())
"""


def in_root(argv, out, timeout, log=None):
    """argv's exit status, run in the dispatcher root with out and the
    source bound there; its output to log when given. Interrupted by a
    signal, Interrupted."""
    command = [sys.executable, os.path.join(HERE, "dispatcher_root.py"), "run", "--timeout", str(timeout),
               "--bind", out, "--bind", SOURCE, "--"] + argv
    if log is None:
        status = dispatcher_root.supervise(command, timeout + 120)
    else:
        with file_replace_open(log) as f:
            status = dispatcher_root.supervise(command, timeout + 120, stdout=f, stderr=subprocess.STDOUT)
    if status > 128 and status != 124:
        raise Interrupted(status)
    return status


def main(argv=None):
    parser = argparse.ArgumentParser(prog="farm.py", description=__doc__.split("\n")[0])
    parser.add_argument("--out", default=os.path.join(SOURCE, "build", "farm"), help="output folder (build/farm)")
    parser.add_argument("--build-dir", default=os.path.join(SOURCE, "build", "board-armv6"),
                        help="the static ARM build (build/board-armv6)")
    parser.add_argument("--no-build", action="store_true", help="use the programs already built there")
    parser.add_argument("--tools", default=os.path.join(SOURCE, "build", "default", "bin"),
                        help="the host build's programs, for the expected cases (build/default/bin)")
    parser.add_argument("--validate-only", action="store_true", help="validate the device and job, run nothing")
    parser.add_argument("--compare-board", action="store_true",
                        help="also run fbbench by board/run on the same board and window, and compare the two files")
    args = parser.parse_args(argv)
    out = os.path.abspath(args.out)
    started = time.monotonic()
    if os.geteuid() != 0:
        print("skipped: the dispatcher root is mounted and entered as root; run as root")
        return 77
    if shutil.which("mmdebstrap") is None:
        print("skipped: mmdebstrap is not installed (see .ci/install-packages)")
        return 77
    try:
        os.makedirs(out, exist_ok=True)
        if not args.no_build:
            step(["cmake", "--preset", "board", "-B", args.build_dir], "configuring the board build", cwd=SOURCE)
            step(["cmake", "--build", args.build_dir, "-j2"], "the board build")
        files = board_files(out)
        window = {k: str(v) for k, v in boards.WINDOWS["fbbench"].items()}
        facts = qemu_facts(boards.BOARDS[BOARD])
        say("the dispatcher root: " + dispatcher_root.ensure(cache_root()))
        file_replace(os.path.join(out, "device.jinja2"), device_template(facts).encode())
        device = os.path.join(out, "device.yaml")
        if in_root(["python3", "-c", RENDER, out, dispatcher_root.TEMPLATES, "device.jinja2", device], out, 120):
            raise FarmError("rendering the device configuration failed")
        initrd = initramfs_make(out, files, args.build_dir)
        # The kernel, where the dispatcher's root sees it.
        kernel = os.path.join(out, "vmlinuz")
        shutil.copy(files["KERNEL"], kernel)
        job = job_make(out, kernel, initrd, facts["append"], window)
        run = os.path.join(out, "run")
        shutil.rmtree(run, ignore_errors=True)
        os.makedirs(run)
        validation = os.path.join(out, "validate.log")
        if in_root(["lava-run", "--validate", "--job-id", "1", "--output-dir", run, "--device", device, job],
                   out, 300, validation):
            raise FarmError("lava-run --validate refused %s or %s: see %s" % (job, device, validation))
        say("lava-run --validate accepts %s and %s" % (job, device))
        examples = [os.path.join(HERE, "jobs", f) for f in sorted(os.listdir(os.path.join(HERE, "jobs")))
                    if f.endswith(".yaml") and f != "qemu-arm64.yaml"]
        if in_root(["python3", "-c", SCHEMA_CHECK] + examples, out, 120):
            raise FarmError("an example job does not match LAVA's job schema")
        say("the example jobs match LAVA's job schema: " + ", ".join(os.path.basename(e) for e in examples))
        if args.validate_only:
            return 0
        # Results files of an earlier job would be taken for this one's.
        for f in os.listdir(out):
            if f.endswith(".json") and os.path.isfile(os.path.join(out, f)):
                os.unlink(os.path.join(out, f))
        log = os.path.join(out, "output.yaml")
        say("running the job (lava-run; its log goes to %s)" % log)
        job_started = time.monotonic()
        status = in_root(["lava-run", "--job-id", "1", "--output-dir", run, "--device", device, job],
                         out, JOB_SECONDS, log)
        say("lava-run exited with status %d after %d s" % (status, time.monotonic() - job_started))
        problems = lava_results.check(log, out, SOURCE, args.tools)
        say("LAVA's results: " + os.path.join(out, "lava-results.yaml"))
        if status != 0:
            problems.insert(0, "lava-run exited with status %d" % status)
        if args.compare_board and not problems:
            problems += board_compare(out, args.build_dir)
        for p in problems:
            say(p)
        say("%s in %d s" % ("failed" if problems else "passed", time.monotonic() - started))
        return 1 if problems else 0
    except Interrupted as e:
        say("interrupted")
        return e.status
    except (FarmError, BoardError, dispatcher_root.RootError, OSError, subprocess.SubprocessError) as e:
        say(str(e))
        return 3


if __name__ == "__main__":
    sys.exit(main())
