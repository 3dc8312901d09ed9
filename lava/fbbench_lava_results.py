"""Recovers fbbench results files from a LAVA job's log.

    fbbench-lava-results [--output-dir DIR] [--store STORE] LOG

LOG is a job log downloaded from a LAVA server (the YAML log, or the plain
one), a lava-run output folder (its log is job.yaml's output.yaml, kept
there by the caller), a file of the console's own lines, or - for standard
input. Every results file that fbbench-lava --emit wrote into it is checked
(length and CRC-32) and written to DIR (default: the current folder) as
NAME.json; each path is printed on standard output, ready for
fbbench-compare; with --store, each is also added to that results store
(fbbench-compare --store). Lines of other output inside a block are skipped; a second
block of a name already used is written as NAME-2.json.

Exit status: 0 every file recovered, from runs whose fbbench exited 0;
1 the log cannot be read, holds no results, holds a damaged or renamed
block, or a job's fbbench failed (every good block is still written, each
problem is one line), or a file could not be added to the store; 2 bad usage.
"""

import argparse
import base64
import json
import os
import re
import stat
import sys
import zlib

from fbbench_compare.files import NotRegular, file_replace
from fbbench_compare.text import clean

PROGRAM = "fbbench-lava-results"
# The names a lava-run output folder's log may have, in the order tried.
LOG_NAMES = ("output.yaml", "job.log", "log.yaml")
# A block's lines are 76 characters; a LAVA entry holding one is a few
# hundred. A longer line is kept to this much, the rest passed over.
LINE_LIMIT = 1 << 16
# A name whose file, and temporary file beside it, fit a file name (255).
NAME_LIMIT = 200
# How the console may split a BEGIN line: where it wrapped, or at a space.
BEGIN_MARK = "FBBENCH-RESULTS-BEGIN"

BEGIN = re.compile(r"FBBENCH-RESULTS-BEGIN name=(\S+) status=(\d+) bytes=(\d+) crc32=([0-9a-f]{8})\s*$")
END = re.compile(r"FBBENCH-RESULTS-END name=(\S+)\s*$")
MISSING = re.compile(r"FBBENCH-RESULTS-MISSING name=(\S+) status=(\d+) (.*)$")
# A line of a block's base64, as fbbench-lava --emit prints it.
CONTENT = re.compile(r"[A-Za-z0-9+/]{1,76}={0,2}")
NAME = re.compile(r"^[A-Za-z0-9._-]+$")
TAG = re.compile(r'(?<=[:,[] )! (")')


class BadLog(Exception):
    """A log that yields no usable results; its text is the message."""


def log_entries(lines):
    """Each line of a log: a dict for a LAVA log entry, else the line itself.

    lava-run prints one entry a line, `{"dt": ..., "lvl": "target", "msg":
    "..."}`; a server's YAML log has the same as a list, `- {...}`. A
    console's own line may look like one, nested without end: it stays a line."""
    for line in lines:
        stripped = line.strip()
        if stripped.startswith("- {"):
            stripped = stripped[2:]
        if stripped.startswith("{") and stripped.endswith("}"):
            entry = None
            for text in (stripped, TAG.sub(r"\1", stripped)):
                # YAML's flow style, which a results entry is in: strings that
                # look like numbers carry the non-specific tag, ! "528".
                try:
                    entry = json.loads(text)
                    break
                except (ValueError, RecursionError):
                    continue
            if isinstance(entry, dict):
                yield entry
                continue
        yield line


def log_lines(lines):
    """The console's lines: a LAVA entry's "msg", else the line itself."""
    for entry in log_entries(lines):
        if not isinstance(entry, dict):
            yield entry
        elif isinstance(entry.get("msg"), str):
            yield from entry["msg"].splitlines()


def block_content(parts, size):
    """The base64 of a block of size bytes among its candidate lines: the
    full lines and the last short line of the right length; a line of other
    output that looks like base64 is left out, the CRC-32 judging the rest."""
    length = -(-size // 3) * 4
    full = [p for p in parts if len(p) == 76]
    tail = [p for p in parts if len(p) == length % 76] if length % 76 else [""]
    return "".join(full[:length // 76]) + (tail[-1] if tail else "")


def block_decode(name, size, crc, parts):
    try:
        data = base64.b64decode(block_content(parts, size), validate=True)
    except ValueError:
        data = b""
    if len(data) != size or zlib.crc32(data) != crc:
        raise BadLog(f"block {name} is damaged: {len(data)} bytes of {size}, or a wrong CRC-32")
    return data


def begin_find(line, pending):
    """A BEGIN line's match, from this line or, where the console split it,
    the one before and this one."""
    found = BEGIN.search(line)
    if found or not pending:
        return found
    return BEGIN.search(pending + line) or BEGIN.search(pending + " " + line)


def blocks_find(lines):
    """(name, status, content, reason) per block, in log order: content is
    None for a MISSING line, and for a bad block, whose reason says why."""
    current, pending = None, ""
    for raw in lines:
        # A console may prefix a line with a prompt or end it with \r.
        line = raw.strip()
        begin = begin_find(line, pending)
        pending = line[line.index(BEGIN_MARK):] if BEGIN_MARK in line and not begin else ""
        if begin:
            if current is not None:
                yield current[0], current[1], None, f"block {current[0]} has no end: another block begins inside it"
            current = (begin.group(1), int(begin.group(2)), int(begin.group(3)), int(begin.group(4), 16), [])
            continue
        end = END.search(line)
        if end and current is None:
            yield end.group(1), 0, None, f"block {end.group(1)} ends, but never began: its BEGIN line was cut"
        elif end:
            name, status, size, crc, parts = current
            current = None
            if end.group(1) != name:
                yield name, status, None, f"block {name} ends as {end.group(1)}"
                continue
            try:
                yield name, status, block_decode(name, size, crc, parts), ""
            except BadLog as e:
                yield name, status, None, str(e)
        elif current is not None:
            # Anything else inside a block is other output: a kernel line, a prompt.
            if CONTENT.fullmatch(line):
                current[4].append(line)
        else:
            missing = MISSING.search(line)
            if missing:
                yield missing.group(1), int(missing.group(2)), None, (
                    f"fbbench on the board left no results file {missing.group(1)} "
                    f"(exit status {missing.group(2)}): {missing.group(3)}")
    if current is not None:
        yield current[0], current[1], None, f"block {current[0]} has no end: the log stops inside it"


def lines_read(fd):
    """The lines of the file open at fd, streamed, each cut to LINE_LIMIT."""
    kept, over = b"", False
    while True:
        chunk = os.read(fd, 1 << 20)
        if not chunk:
            break
        pieces = chunk.split(b"\n")
        for piece in pieces[:-1]:
            if not over:
                kept += piece[:LINE_LIMIT - len(kept)]
            yield kept.decode("utf-8", errors="replace")
            kept, over = b"", False
        if not over:
            kept += pieces[-1][:LINE_LIMIT - len(kept)]
            over = len(kept) >= LINE_LIMIT
    if kept:
        yield kept.decode("utf-8", errors="replace")


def log_open(path):
    """A descriptor of the log: a regular file, or standard input that is a
    file or a pipe. A FIFO or device is refused before it is read."""
    if path == "-":
        kinds, fd, shown = (stat.S_ISREG, stat.S_ISFIFO, stat.S_ISSOCK), os.dup(0), "standard input"
    else:
        if os.path.isdir(path):
            for name in LOG_NAMES:
                candidate = os.path.join(path, name)
                if os.path.isfile(candidate):
                    path = candidate
                    break
            else:
                raise BadLog(f"{path} holds no job log ({', '.join(LOG_NAMES)})")
        kinds, shown = (stat.S_ISREG,), path
        try:
            fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
        except OSError as e:
            raise BadLog(f"cannot read {path}: {e.strerror}") from None
    mode = os.fstat(fd).st_mode
    if not any(kind(mode) for kind in kinds):
        os.close(fd)
        raise BadLog(f"{shown}: not a regular file" + ("" if path == "-" else " (give - to read a pipe)"))
    os.set_blocking(fd, True)
    return fd


def log_read_lines(path):
    """The lines of the log at path, streamed."""
    fd = log_open(path)
    try:
        yield from lines_read(fd)
    except OSError as e:
        raise BadLog(f"cannot read {path}: {e.strerror}") from None
    finally:
        os.close(fd)


def file_write(folder, name, data):
    """Writes folder/name.json atomically; a link or non-regular file there is refused."""
    if len(name) > NAME_LIMIT:
        raise BadLog(f"block name of {len(name)} characters is longer than a file name can be")
    if not NAME.match(name) or name in (".", ".."):
        raise BadLog(f"block name {name} is no file name")
    target = os.path.join(folder, name + ".json")
    try:
        file_replace(target, data, 0o644)
    except NotRegular:
        raise BadLog(f"{target} exists and is not a regular file; not replacing it") from None
    except OSError as e:
        raise BadLog(f"cannot write {target}: {e.strerror or e}") from None
    return target


def free_name(name, used):
    """name, or where a block of that name came before, the first name-N free."""
    number = 2
    found = name
    while found in used:
        found = f"{name}-{number}"
        number += 1
    return found


def recover(log_path, folder):
    """Writes every good results file of the log; returns (paths, problems)."""
    paths, problems, used, blocks = [], [], set(), 0
    for name, status, data, reason in blocks_find(log_lines(log_read_lines(log_path))):
        blocks += 1
        if data is None:
            problems.append(reason)
            continue
        try:
            json.loads(data)
        except (ValueError, RecursionError):
            problems.append(f"block {name} is not JSON")
            continue
        written = free_name(name, used)
        used.add(written)
        try:
            paths.append(file_write(folder, written, data))
        except BadLog as e:
            problems.append(str(e))
            continue
        if written != name:
            problems.append(f"a second block named {name}: written as {written}.json")
        if status != 0:
            problems.append(f"fbbench on the board exited with status {status}; {written}.json holds what it measured")
    if not blocks:
        raise BadLog(f"{log_path} holds no fbbench results (no FBBENCH-RESULTS block: did the job run fbbench.yaml?)")
    return paths, problems


def say(text):
    print(f"{PROGRAM}: {clean(text)}", file=sys.stderr)


def main(argv=None):
    parser = argparse.ArgumentParser(prog=PROGRAM, description="Recovers fbbench results files from a LAVA job's log.")
    parser.add_argument("--output-dir", default=".", metavar="DIR", help="where the files go (the current folder)")
    parser.add_argument("--store", metavar="STORE",
                        help="also add each file recovered to this fbbench-compare results store")
    parser.add_argument("log", metavar="LOG", help="a job log, a lava-run output folder, or - for standard input")
    try:
        try:
            args = parser.parse_args(argv)
        except SystemExit:
            sys.stdout.flush()  # --help: a full output fails here, with one line
            raise
        if not os.path.isdir(args.output_dir):
            say(f"--output-dir {args.output_dir} is not a folder")
            return 2
        try:
            paths, problems = recover(args.log, args.output_dir)
        except BadLog as e:
            say(str(e))
            return 1
        for path in paths:
            print(clean(path))
        sys.stdout.flush()
    except OSError as e:
        # Python would complain again while closing the broken stream.
        sys.stdout = None
        say(f"cannot write the output: {e.strerror or e}")
        return 1
    for problem in problems:
        say(problem)
    if args.store is not None and paths and not store_add(args.store, paths):
        return 1
    return 1 if problems else 0


def store_add(store, paths):
    """Adds the files to the store as fbbench-compare --store does; its
    lines go to standard error, which keeps standard output to the paths.
    Whether every file went in (or was there already)."""
    try:
        from fbbench_compare.load import BadInput, CannotWrite, validator_make
        from fbbench_compare.stored import store_add as add
    except ImportError as e:
        say(f"--store needs fbbench-compare's modules: {e}")
        return False
    try:
        return add(store, paths, validator_make(), 10.0, say, say) == 0
    except (BadInput, CannotWrite) as e:
        say(str(e))
        return False


if __name__ == "__main__":
    sys.exit(main())
