"""The protocol with the board's /init (board/guest-init, a busybox sh
script): the plan it runs, and the lines it prints on the console.

Plan lines (/fbb/plan), one per step:
  fixture                                   send the files that describe the board
  run <timeout> <name> <display> <program> [NAME=value...] [BUSY] [TERM=SECONDS]
                                            a program, then a screenshot of <display>
                                            ("-": the machine's first); with
                                            FRAMEBUFFER=/dev/dri/... see run_drm there;
                                            display "mem": the device's memory read
                                            back while the program holds its picture
  suite <timeout> <name> <results> [NAME=value...] -- [fbbench options...]
                                            fbbench, its results file at <results>;
                                            /dev/dri/vkms among its options is the
                                            vkms card, whatever its number

Console lines ("\\r\\n" terminated; the host answers "go\\n" where said):
  @@FBB UP <xres>,<yres> <bpp>   the board is up, /dev/fb0 is there
  @@FBB NOFB                     the board has no /dev/fb0
  @@FBB OUT <name>               base64 of the program's stdout follows ...
  @@FBB ERR <name>               ... then base64 of its stderr ...
  @@FBB SHOT <name> <status> <display>
                                 ... then it waits for "go" until the
                                 screenshot of <display> is <name>.png
  @@FBB PIC <file> <display>     waits for "go" until the screenshot of
                                 <display> is in <file>.png
  @@FBB EXIT <name> <status>     the program's results, as SHOT but no screenshot
  @@FBB FILE <file>              base64 of a file to store as <out>/<file> follows
  @@FBB TAR <name>               base64 of a gzipped tar follows ...
  @@FBB UNTAR <name>             ... to be unpacked into <out>/<name>/
  @@FBB DONE                     all steps ran; the board powers off
Base64 keeps the outputs byte exact: the serial line discipline rewrites line
ends, and kernel messages are silenced before any of it is printed.
"""

import base64
import dataclasses
import io
import os
import shutil
import sys
import tarfile

from fbbench_compare.files import file_replace

from .errors import BoardError

TAG = "@@FBB "
# Where fbbench writes its results file on the board.
RESULTS_ON_BOARD = "/tmp/results.json"
FIRST_DISPLAY = "-"
# A device QEMU shows nowhere: its memory is read back instead (<name>.raw.gz).
MEMORY = "mem"


def plan_run(timeout, name, display, program, words, busy=False, term=None):
    return " ".join(["run", str(timeout), name, display or FIRST_DISPLAY, program] + list(words)
                    + (["BUSY"] if busy else []) + (["TERM=%d" % term] if term is not None else []))


def plan_suite(timeout, name, words, options):
    return " ".join(["suite", str(timeout), name, RESULTS_ON_BOARD] + list(words) + ["--"] + list(options))


@dataclasses.dataclass
class Console:
    out: str
    up: bool = False
    done: bool = False
    screen: str = ""
    statuses: dict = dataclasses.field(default_factory=dict)
    # (name, kind, [lines]) while a base64 block is read
    block: tuple = None
    outputs: dict = dataclasses.field(default_factory=dict)


def _untar(data, dest):
    """Unpacks a gzipped tar from the board into dest, replacing what was there."""
    if os.path.isdir(dest):
        shutil.rmtree(dest)
    os.makedirs(dest)
    try:
        with tarfile.open(fileobj=io.BytesIO(data), mode="r:gz") as tar:
            # "tar" keeps members inside dest but lets symbolic links point anywhere:
            # the fixture's links name sysfs paths that are not in it.
            if hasattr(tarfile, "tar_filter"):
                tar.extractall(dest, filter="tar")
            else:
                tar.extractall(dest)
    except (tarfile.TarError, EOFError, OSError) as e:
        raise BoardError("bad tar from the board for %s: %s" % (dest, e))


def _finish(c, name, status):
    """Stores and shows a program's stdout, stderr and exit status. fbbench
    names its results file as the board sees it: the host's copy is named instead."""
    out = c.outputs.pop((name, "OUT"), b"")
    err = c.outputs.pop((name, "ERR"), b"")
    results = os.path.join(c.out, name + ".json")
    if os.path.exists(results):
        on_board, on_host = ("results in " + RESULTS_ON_BOARD).encode(), ("results in " + results).encode()
        out, err = out.replace(on_board, on_host), err.replace(on_board, on_host)
    file_replace(os.path.join(c.out, name + ".txt"), out)
    file_replace(os.path.join(c.out, name + ".err"), err)
    file_replace(os.path.join(c.out, name + ".status"), b"%d\n" % status)
    c.statuses[name] = status
    print("===== %s: exit status %d =====" % (name, status), flush=True)
    sys.stdout.buffer.write(out)
    if err:
        sys.stdout.write("----- %s: stderr -----\n" % name)
        sys.stdout.buffer.write(err)
    sys.stdout.flush()


def console_line(c, line, shoot, go):
    """Handles one console line. shoot(file, display) takes a screenshot into
    <out>/<file>.png; go() answers the board. True when the line was one of
    the protocol's (the board made progress)."""
    if c.block is not None and not line.startswith(TAG):
        c.block[2].append(line)
        return False
    if not line.startswith(TAG):
        return False
    if c.block is not None:
        name, kind, lines = c.block
        c.block = None
        try:
            data = base64.b64decode("".join(lines))
        except ValueError as e:
            raise BoardError("bad base64 from the board for %s: %s" % (name, e))
        if kind == "FILE":
            file_replace(os.path.join(c.out, os.path.basename(name)), data)
        else:
            c.outputs[(name, kind)] = data
    words = line.split()
    tag = words[1] if len(words) > 1 else ""
    if tag == "UP":
        c.up, c.screen = True, " ".join(words[2:])
    elif tag == "NOFB":
        raise BoardError("the board has no /dev/fb0")
    elif tag in ("OUT", "ERR", "TAR", "FILE"):
        c.block = (words[2], tag, [])
    elif tag == "UNTAR":
        _untar(c.outputs.pop((words[2], "TAR"), b""), os.path.join(c.out, words[2]))
    elif tag == "SHOT":
        shoot(words[2], words[4])
        _finish(c, words[2], int(words[3]))
        go()
    elif tag == "PIC":
        shoot(words[2], words[3])
        go()
    elif tag == "EXIT":
        _finish(c, words[2], int(words[3]))
    elif tag == "DONE":
        c.done = True
    return True
