"""The command line: options, then the files read, compared and written."""

import argparse
import os
import sys

from .chart import figure_bytes, figure_make
from .columns import headers_make, make_columns, make_rows, workloads_check
from .export import csv_output, json_output, markdown_output, summary_output
from .files import destination_check, file_replace
from .load import BadInput, CannotWrite, load, validator_make
from .page import html_page

PROGRAM = "fbbench-compare"


def fail(message, status):
    print(f"{PROGRAM}: {message}", file=sys.stderr)
    sys.exit(status)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Compare fbbench results files: a table and, on request, a chart and a web page.")
    parser.error = lambda message: fail(message, 2)
    parser.add_argument("files", nargs="+", metavar="RESULT.json", help="results files; the first is the baseline")
    parser.add_argument("--label", action="append", metavar="NAME",
                        help="column label of each file, once per file, in order")
    parser.add_argument("--format", choices=("markdown", "csv", "json"), default="markdown",
                        help="what standard output gets (default: markdown)")
    parser.add_argument("--summary", action="store_true",
                        help="print one line per column with the main figures, under one header line")
    parser.add_argument("--chart", metavar="FILE", help="also draw a chart to FILE (.png or .svg)")
    parser.add_argument("--html", metavar="FILE", help="also write one self-contained web page to FILE")
    parser.add_argument("--title", default="fbbench comparison", help="the page's title and heading")
    parser.add_argument("--allow-different-workloads", action="store_true",
                        help="compare files whose windows, depths or workload versions differ")
    return parser.parse_intermixed_args(argv)


def main(argv):
    args = parse_arguments(argv)
    chart_format = None
    try:
        if args.label is not None and len(args.label) != len(args.files):
            raise BadInput(f"{len(args.label)} --label for {len(args.files)} files")
        if args.chart is not None:
            chart_format = os.path.splitext(args.chart)[1].lower().lstrip(".")
            if chart_format not in ("png", "svg"):
                raise BadInput(f"{args.chart}: a chart is .png or .svg")
        validator = validator_make()
        files = [(path, load(path, validator)) for path in args.files]
        columns = make_columns(files, args.label)
        rows = make_rows(columns)
        difference = workloads_check(columns, rows)
        if difference and not args.allow_different_workloads:
            raise BadInput(difference)
        headers_make(columns, difference is not None)

        if args.summary:
            text = summary_output(columns, rows, args.format)
        else:
            text = {"markdown": markdown_output, "csv": csv_output, "json": json_output}[args.format](columns, rows)
        # The files first: when one cannot be drawn or written, nothing is printed.
        for path in (args.chart, args.html):
            if path is not None:
                destination_check(path)
        if chart_format:
            file_replace(args.chart, figure_bytes(figure_make(columns, rows), chart_format))
        if args.html:
            page = html_page(columns, rows, figure_bytes(figure_make(columns, rows), "svg"), files, args.title)
            file_replace(args.html, page.encode("utf-8"))
    except BadInput as e:
        fail(str(e), 2)
    except CannotWrite as e:
        fail(str(e), 1)
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except OSError as e:
        # Python would complain again while closing the broken stream.
        sys.stdout = None
        fail(f"cannot write the output: {e.strerror or e}", 1)
    return 0
