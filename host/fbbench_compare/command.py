"""The command line: options, then the files read, compared and written."""

import argparse
import os
import signal
import sys

from .chart import figure_bytes, figure_make
from .columns import WARNING_QUICK_MIXED, headers_make, make_columns, make_rows, quick_check, workloads_check
from .export import csv_output, json_output, markdown_output, runs_output, summary_output
from .files import NotRegular, destination_check, file_replace
from .load import BadInput, CannotWrite, files_checked, is_results_file, validator_make
from .farm_page import ranking_html
from .page import html_page
from .ranking import SIDE_BY_SIDE, changes_markdown, ranking_markdown, ranking_wanted
from .regress import flags_make, regressions
from .store import BUSY_SECONDS
from .stored import store_add, store_columns, store_earlier, store_export
from .strip import strip_figure
from .text import clean

PROGRAM = "fbbench-compare"
# Signals that end the command: each ends it as an interrupt does, so that
# what it was writing is cleaned up, and then by the signal itself.
ENDING_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Ended(BaseException):
    """One of the ending signals arrived; its number is args[0]."""


def fail(message, status):
    print(f"{PROGRAM}: {clean(message)}", file=sys.stderr)
    sys.exit(status)


def signal_raise(signum, _frame):
    raise Ended(signum)


def output_refusal(path, error):
    """A failure of files' functions on an output, as this command says it."""
    if isinstance(error, NotRegular):
        return CannotWrite(str(error))
    return CannotWrite(f"{path}: cannot write: {error.strerror or error}")


def output_file_check(path):
    try:
        destination_check(path)
    except (NotRegular, OSError) as e:
        raise output_refusal(path, e) from None


def output_file_replace(path, data):
    try:
        file_replace(path, data)
    except (NotRegular, OSError) as e:
        raise output_refusal(path, e) from None


def outputs_check(args):
    """Refuses an output that would replace an input or another output, or
    any results file: a page written over a.json would lose its runs."""
    named = [(option, path) for option, path in (("--chart", args.chart), ("--html", args.html), ("--csv", args.csv))
             if path is not None]
    for index, (option, path) in enumerate(named):
        for other, second in named[index + 1:]:
            if os.path.abspath(path) == os.path.abspath(second):
                raise BadInput(f"{path}: {option} and {other} name the same file")
    outputs = [path for _, path in named]
    for output in outputs:
        for path in args.files + ([args.store] if args.store else []):
            try:
                same = os.path.samefile(output, path)
            except OSError:
                same = os.path.abspath(output) == os.path.abspath(path)
            if same:
                raise BadInput(f"{output}: is one of the files compared; an output never replaces one")
        if is_results_file(output):
            raise BadInput(f"{output}: is a results file; an output never replaces one")


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Compare fbbench results files: a table and, on request, a chart and a web page.")
    parser.error = lambda message: fail(message, 2)
    parser.add_argument("files", nargs="*", metavar="RESULT.json",
                        help="results files; the first is the baseline. With --store: the files added to it")
    parser.add_argument("--label", action="append", metavar="NAME",
                        help="column label of each file, once per file, in order")
    parser.add_argument("--format", choices=("markdown", "csv", "json", "runs"), default="markdown",
                        help="what standard output gets (default: markdown); runs: every run, one CSV line per value")
    parser.add_argument("--summary", action="store_true",
                        help="print one line per column with the main figures, under one header line")
    parser.add_argument("--chart", metavar="FILE", help="also draw a chart to FILE (.png or .svg)")
    parser.add_argument("--html", metavar="FILE", help="also write one self-contained web page to FILE")
    parser.add_argument("--csv", metavar="FILE", help="also write the CSV of every figure to FILE")
    parser.add_argument("--title", default="fbbench comparison", help="the page's title and heading")
    parser.add_argument("--emulated", action="store_true",
                        help="the files come from emulated boards: the page and the chart say so")
    parser.add_argument("--layout", choices=("auto", "side", "ranking"), default="auto",
                        help="side: a column per file and device; ranking: a line each, a column per main figure; "
                             f"auto (default): ranking for more than {SIDE_BY_SIDE} columns")
    parser.add_argument("--allow-different-workloads", action="store_true",
                        help="compare files whose windows, depths or workload versions differ")
    parser.add_argument("--store", metavar="STORE", help="an SQLite results store: the files are added to it; "
                        "without files, the sessions it holds are compared")
    parser.add_argument("--where", action="append", metavar="KEY=VALUE",
                        help="with --store, the sessions compared: board=, host=, device=, driver=, kernel=, "
                             "since=, until=, or latest (each board's and device's last); repeatable")
    parser.add_argument("--export-session", metavar="ID", help="with --store, write that session's results file "
                        "to standard output, as it was added")
    parser.add_argument("--busy-timeout", type=float, default=BUSY_SECONDS, metavar="SECONDS",
                        help=f"how long to wait for a store another process is writing (default: {BUSY_SECONDS:g})")
    parser.add_argument("--history", action="store_true",
                        help="one board and device over time: a line per session, oldest first")
    parser.add_argument("--fail-on-regression", action="store_true",
                        help="exit with status 1 when a change for the worse is flagged")
    return parser.parse_intermixed_args(argv)


def main(argv):
    """The command: its exit status, or the end by an ending signal."""
    previous = {signum: signal.signal(signum, signal_raise) for signum in ENDING_SIGNALS}
    try:
        return compare(argv)
    except Ended as e:
        # Whatever was being written is gone by now; the end is the signal's.
        print(f"{PROGRAM}: interrupted", file=sys.stderr)
        sys.stderr.flush()
        signal.signal(e.args[0], signal.SIG_DFL)
        os.kill(os.getpid(), e.args[0])
        return 128 + e.args[0]
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def output_failed(error):
    # Python would complain again while closing the broken stream.
    sys.stdout = None
    fail(f"cannot write the output: {error.strerror or error}", 1)


def line_print(line):
    """A line at once: each says that a session is in the store."""
    try:
        print(line, flush=True)
    except OSError as e:
        output_failed(e)


def options_check(args):
    if args.store is None:
        for option, given in (("--where", args.where), ("--export-session", args.export_session)):
            if given is not None:
                raise BadInput(f"{option} reads a store: give --store")
        if not args.files:
            raise BadInput("no results file given")
    elif args.files and (args.where or args.export_session is not None or args.history):
        raise BadInput("--store with files adds them; --where, --history and --export-session read the store "
                       "without files")
    if args.busy_timeout < 0:
        raise BadInput("--busy-timeout wants a number of seconds, 0 or more")
    for option, path in (("--chart", args.chart), ("--html", args.html), ("--csv", args.csv)):
        if path == "":
            raise BadInput(f"{option} wants a file name")
    if args.summary and args.format == "runs":
        raise BadInput("--summary sums up the comparison and --format runs lists every run: give one of them")


def compare(argv):
    try:
        try:
            args = parse_arguments(argv)
        except SystemExit:
            # --help printed: a full output fails here with one line, not in
            # Python's own flush at the exit.
            sys.stdout.flush()
            raise
    except OSError as e:
        output_failed(e)
    chart_format = None
    try:
        options_check(args)
        outputs_check(args)
        if args.label is not None and len(args.label) != len(args.files):
            raise BadInput(f"{len(args.label)} --label for {len(args.files)} files")
        if args.chart is not None:
            chart_format = os.path.splitext(args.chart)[1].lower().lstrip(".")
            if chart_format not in ("png", "svg"):
                raise BadInput(f"{args.chart}: a chart is .png or .svg")
        # Reading a store checks nothing: its files were checked when added.
        validator = validator_make() if args.files else None
        if args.store is not None and args.export_session is not None:
            raw = store_export(args.store, args.export_session, args.busy_timeout)
            return output_bytes(raw)
        if args.store is not None and args.files:
            return store_add(args.store, args.files, validator, args.busy_timeout, line_print,
                             lambda line: print(f"{PROGRAM}: {clean(line)}", file=sys.stderr))
        earlier = []
        if args.store is not None:
            files, columns = store_columns(args.store, args.where, args.label, args.busy_timeout)
            earlier = store_earlier(args.store, columns, args.busy_timeout)
        else:
            files = []
            for path, data, _, refusal in files_checked(args.files, validator):
                if refusal is not None:
                    raise BadInput(refusal)
                files.append((path, data))
            columns = make_columns(files, args.label)
        if args.history:
            history_check(columns)
        rows = make_rows(columns)
        difference = workloads_check(columns, rows)
        # Every run as recorded compares nothing: it needs no like workloads.
        if difference and not args.allow_different_workloads and args.format != "runs":
            raise BadInput(difference)
        headers_make(columns, difference is not None)
        mixed = quick_check(columns) if args.format != "runs" else None
        ranked = args.history or ranking_wanted(columns, args.layout)
        flags = flags_make(columns, rows, earlier) if args.format != "runs" else {}

        if args.format == "runs":
            text = runs_output(files, columns)
        elif args.summary:
            text = summary_output(columns, rows, args.format)
        elif args.format == "markdown" and ranked:
            text = ranking_markdown(columns, rows, flags, by_time=args.history)
        else:
            text = {"markdown": markdown_output, "csv": csv_output, "json": json_output}[args.format](columns, rows)
            if args.format == "markdown":
                text += changes_markdown(columns, flags)
        # The files first: when one cannot be drawn or written, nothing is printed.
        for path in (args.chart, args.html, args.csv):
            if path is not None:
                output_file_check(path)
        drawn = any(c["rows"] for c in columns)
        if chart_format and not drawn:
            raise BadInput(f"{args.chart}: the files hold no runs: nothing to chart")
        made = []

        def chart_of():
            """The chart, drawn once for the file and the page."""
            # The ladders' panels, one per column, only where few columns make few panels.
            if not made:
                made.append(strip_figure(columns, rows, args.title, args.emulated, flags, args.history)
                            if ranked or len(columns) > SIDE_BY_SIDE
                            else figure_make(columns, rows, args.title, args.emulated))
            return made[0]
        if chart_format:
            output_file_replace(args.chart, figure_bytes(chart_of(), chart_format))
        if args.csv:
            output_file_replace(args.csv, csv_output(columns, rows).encode("utf-8"))
        if args.html:
            svg = figure_bytes(chart_of(), "svg") if drawn else None
            page = ranking_html(columns, rows, svg, args.title, args.emulated, flags, args.history) if ranked \
                else html_page(columns, rows, svg, files, args.title, args.emulated)
            output_file_replace(args.html, page.encode("utf-8"))
    except BadInput as e:
        fail(str(e), 2)
    except CannotWrite as e:
        fail(str(e), 1)
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except OSError as e:
        output_failed(e)
    # After the comparison, where a terminal shows it last; a failure above
    # keeps its one line.
    if mixed:
        print(f"{PROGRAM}: warning ({WARNING_QUICK_MIXED}): {clean(mixed)}", file=sys.stderr)
    worse = regressions(flags)
    if worse and args.fail_on_regression:
        print(f"{PROGRAM}: {len(worse)} regression{'s' if len(worse) > 1 else ''} flagged", file=sys.stderr)
        return 1
    return 0


def output_bytes(raw):
    try:
        sys.stdout.flush()
        sys.stdout.buffer.write(raw)
        sys.stdout.buffer.flush()
    except OSError as e:
        output_failed(e)
    return 0


def history_check(columns):
    """--history follows one board's device: the filters must choose one."""
    followed = {(c["data"].get("host", ""), c["device"]) for c in columns}
    if len(followed) != 1:
        raise BadInput(f"--history follows one board and device; these are {len(followed)}: choose one with "
                       f"--where host=… --where device=…")
