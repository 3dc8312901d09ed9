#!/usr/bin/python3
"""How fast fbbench-compare is on a farm's worth of files: makes N varied
results files from a real one, times the table, the CSV, the chart and the
page of them, then adds M sessions to a store and times queries on it.

    host/bench/compare_bench.py [--files N] [--sessions M] [--source FILE] [--keep DIR]

Each figure is one run of the command, as a lab would run it: wall time
and the peak resident memory of the process. A benchmark, not a test: it
prints the figures and the targets beside them, and exits 1 when one is
missed."""

import argparse
import datetime
import json
import os
import random
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import farm_files  # noqa: E402

PROGRAM = os.path.join(HERE, "..", "fbbench-compare")
SOURCE = os.path.join(HERE, "..", "..", "tests", "fixtures", "results", "boards", "vexpress", "fbbench-fb0.json")
BOARDS = 100


def run_measured(args):
    """(seconds, peak MB): the child's own peak, from wait4."""
    start = time.monotonic()
    process = subprocess.Popen([sys.executable, PROGRAM, *args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = process.stderr.read()
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.monotonic() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"compare_bench: fbbench-compare {' '.join(args[:4])}… failed: {err.decode(errors='replace')}")
    return seconds, usage.ru_maxrss / 1024


def files_make(directory, count, real, rng, board_of=None):
    paths = []
    night = datetime.datetime(2026, 1, 1, 2, 0)
    for index in range(count):
        host, started = None, None
        if board_of:
            host = f"board{index % BOARDS:03d}"
            started = (night + datetime.timedelta(hours=6 * (index // BOARDS))).strftime("%Y-%m-%dT%H:%M:%SZ")
        path = os.path.join(directory, f"r{index:05d}.json")
        with open(path, "w") as f:
            json.dump(farm_files.farm_file(real, index, rng, host=host, started=started), f)
        paths.append(path)
    return paths


def report(name, seconds, megabytes, target_seconds, target_megabytes=None):
    ok = seconds <= target_seconds and (target_megabytes is None or megabytes <= target_megabytes)
    limit = f"≤ {target_seconds:g} s" + (f", ≤ {target_megabytes:g} MB" if target_megabytes else "")
    print(f"{name:58} {seconds:7.2f} s {megabytes:7.0f} MB   target {limit:18} {'ok' if ok else 'MISSED'}")
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=300)
    parser.add_argument("--sessions", type=int, default=10000)
    parser.add_argument("--source", default=SOURCE)
    parser.add_argument("--keep", metavar="DIR", help="make the files and the store in DIR and keep them")
    args = parser.parse_args()
    with open(args.source) as f:
        real = json.load(f)
    rng = random.Random(37)
    with tempfile.TemporaryDirectory() as scratch:
        directory = args.keep or scratch
        os.makedirs(directory, exist_ok=True)
        ok = True
        os.makedirs(os.path.join(directory, "files"), exist_ok=True)
        files = files_make(os.path.join(directory, "files"), args.files, real, rng)
        out = os.path.join(directory, "out")
        os.makedirs(out, exist_ok=True)
        common = [*files, "--allow-different-workloads"]
        print(f"{args.files} files made from {os.path.basename(args.source)}")
        report(f"table ({args.files} files)", *run_measured(common), 15, 400)
        report(f"CSV ({args.files} files)", *run_measured([*common, "--format", "csv"]), 15, 400)
        ok &= report("table, CSV, chart and page together, one command",
                     *run_measured([*common, "--csv", os.path.join(out, "farm.csv"), "--chart",
                                    os.path.join(out, "farm.png"), "--html", os.path.join(out, "farm.html")]),
                     15, 400)

        sessions_dir = os.path.join(directory, "sessions")
        os.makedirs(sessions_dir, exist_ok=True)
        sessions = files_make(sessions_dir, args.sessions, real, rng, board_of=True)
        store = os.path.join(directory, "farm.sqlite")
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(store + suffix):
                os.unlink(store + suffix)
        added = run_measured(["--store", store, *sessions])
        ok &= report(f"adding {args.sessions} sessions to a store", *added, 120)
        print(f"{'store size':58} {os.path.getsize(store) / 1e6:7.1f} MB")
        last = (datetime.datetime(2026, 1, 1) + datetime.timedelta(hours=6 * (args.sessions // BOARDS - 4)))
        for name, query in (
                ("one board, every session (board=board042)", ["--where", "board=board042"]),
                ("each board's and device's latest", ["--where", "latest"]),
                ("a driver since a day", ["--where", "driver=virtio_gpu", "--where",
                                          "since=" + last.strftime("%Y-%m-%d")]),
                ("one board's history, CSV", ["--where", "host=board042", "--where", "device=/dev/fb0",
                                              "--history", "--format", "csv"]),
                ("one board's history, table", ["--where", "host=board042", "--where", "device=/dev/fb0",
                                                "--history"]),
                ("a kernel's latest, page", ["--where", "kernel=6.1.0-51-armmp", "--where", "latest", "--html",
                                             os.path.join(out, "latest.html")]),
                ("export a session", ["--export-session", str(args.sessions // 2)])):
            ok &= report(f"query: {name}", *run_measured(["--store", store, *query]), 2)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
