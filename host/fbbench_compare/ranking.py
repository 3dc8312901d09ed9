"""The layout of many columns: one line per session and device, one column
per benchmark's main figure, each normalised to the baseline with its
spread, sorted by the first benchmark."""

import math
import textwrap

from . import presented
from .columns import same_workload, short_name, stats
from .tables import driver_of, figure, notes, relative, summary_rows
from .text import markdown_cell, markdown_text, one_line

# More columns than this do not fit side by side: the tables turn.
SIDE_BY_SIDE = 8
# The Markdown and the terminal are this wide at most.
WIDTH = 120
CHANGE_NOTE = ("change: against the session before on the same board, device, window and depth, a change of the "
               "median of 2 % or more whose runs differ by a two-sided Mann-Whitney U test at p below 0.01; "
               "regression: for the worse; not judged: fewer than 3 valid runs on a side.")
# The changes' column at most, in the Markdown; the page has them whole.
CHANGE_WIDTH = 40
# The page's cards: this many best and worst by the display figure.
CARDS = 8


def ranking_wanted(columns, layout):
    return layout == "ranking" or (layout == "auto" and len(columns) > SIDE_BY_SIDE)


def main_figure(column, key):
    """(kind, statistics) of the figure a row shows for a column: the
    display's wherever it was measured, else the screen's; or None."""
    display = stats(column, key, "display")
    if display:
        return "display", display
    found = stats(column, key)
    return ("screen", found) if found else None


def spread_percent(s):
    """Half the runs' range against the median, in per cent, or None."""
    if not s.get("median") or s["min"] == s["max"]:
        return None
    return abs(s["max"] - s["min"]) / 2 / abs(s["median"]) * 100


def depth_text(column):
    depth = column["workload"]["depth"]
    return f"{depth}" if depth else "?"


def facets(column):
    """What the page filters on: board, driver, kind of mapping, depth,
    kernel and quick/full."""
    entry, system = column["entry"], column["data"]["system"]
    return {"board": one_line(system.get("board_model", "").strip("\0 ")) or one_line(column["data"].get("host", "")),
            "driver": one_line(driver_of(entry), 60),
            "mapping": entry.get("mapping", {}).get("class", "") or entry.get("kind", ""),
            "depth": depth_text(column),
            "kernel": one_line(system.get("kernel", {}).get("release", ""), 60),
            "kind": "quick" if column["quick"] else "full"}


def ranking_make(columns, rows, flags=None, by_time=False):
    """The ranking: its figure rows, and one entry per column, sorted with
    the baseline's workload first, then by the first figure, best first
    (or in the columns' order, by_time). flags maps a column's index to its
    changes (regress.py)."""
    figures = summary_rows(columns, rows)
    baseline = columns[0]
    entries = []
    for index, column in enumerate(columns):
        cells = []
        for row in figures:
            found = main_figure(column, row["key"])
            if found is None:
                cells.append(None)
                continue
            kind, s = found
            # A display figure against the baseline's display, else its screen.
            base = (kind == "display" and stats(baseline, row["key"], "display")) or stats(baseline, row["key"])
            ratio = relative(s["median"], base["median"] if base else None, row["higher"])
            cells.append({"kind": kind, "stats": s, "ratio": ratio, "spread": spread_percent(s)})
        entries.append({"index": index, "column": column, "cells": cells, "facets": facets(column),
                        "unlike": not same_workload(column["workload"], baseline["workload"]),
                        "flags": (flags or {}).get(index, [])})

    def order(entry):
        if by_time:
            return (entry["index"],)
        first = entry["cells"][0] if entry["cells"] else None
        score = first["ratio"] if first and first["ratio"] is not None else -math.inf
        return (entry["unlike"], -score, entry["index"])
    return figures, sorted(entries, key=order)


def figure_name(row):
    """A short heading: Sierpinski's levels in k points."""
    program, points, _ = row["key"]
    if points:
        return f"{short_name((program, None, None))} {points >> 10}k" if points >= 1024 else short_name(row["key"])
    return short_name(row["key"])


def cell_short(cell, unlike):
    """×ratio±spread, d for a display figure, † for unlike work; the raw
    median where there is no ratio."""
    if cell is None:
        return "—"
    text = f"×{figure(cell['ratio'])}" if cell["ratio"] is not None else figure(cell["stats"]["median"])
    if cell["spread"] is not None:
        text += f"±{cell['spread']:.0f}%"
    return text + ("d" if cell["kind"] == "display" else "") + ("†" if unlike and cell["ratio"] is not None else "")


def flag_text(flags, short=False):
    """The flagged changes, or why none could be judged (short: in a few
    words, which the table's notes explain)."""
    shown = [f"{f['name']} {f['change']:+.1%}{' regression' if f['regression'] else ''}" for f in flags
             if f["flagged"]]
    if shown:
        return "; ".join(shown)
    reasons = list(dict.fromkeys(f["reason"] for f in flags if f["reason"]))
    if short and reasons:
        return "not judged"
    return reasons[0] if reasons else ""


def presented_programs(columns, figures):
    """The ranked programs that some device presented: a column each. Where
    every device dropped the target, one column (None) says so."""
    programs = dict.fromkeys(r["key"][0] for r in figures)
    measured = [p for p in programs if any(presented.of_program(c, p) for c in columns)]
    return measured or ([None] if any(presented.dropped(c) is not None for c in columns) else [])


def ranking_table(columns, rows, flags=None, width=WIDTH, by_time=False):
    """(header, lines, figures left out, figures shown, entries): the
    session names and the changes cut so that the whole table fits width;
    figures that do not fit at all are left out."""
    figures, entries = ranking_make(columns, rows, flags, by_time)
    depths = len({c["workload"]["depth"] for c in columns}) > 1
    with_flags = any(e["flags"] for e in entries)
    cells = [[cell_short(c, e["unlike"]) for c in e["cells"]] for e in entries]
    names = [figure_name(r) for r in figures]
    shown = presented_programs(columns, figures)
    header_extra = ([f"{short_name((p, None, None))} presented" if p else "presented" for p in shown]
                    + (["depth"] if depths else []) + (["change"] if with_flags else []))
    extra = [[presented.short(e["column"], p) for p in shown] + ([depth_text(e["column"])] if depths else [])
             + ([cut(flag_text(e["flags"], short=True) or "—", CHANGE_WIDTH)] if with_flags else [])
             for e in entries]
    rank_width = len(str(len(entries)))

    def widths(count):
        return [max([len(names[i])] + [len(line[i]) for line in cells]) for i in range(count)]
    kept = len(figures)
    while True:
        fixed = [rank_width] + widths(kept) + [max([len(h)] + [len(x[i]) for x in extra])
                                               for i, h in enumerate(header_extra)]
        room = width - (sum(fixed) + 3 * (len(fixed) + 1) + 1)
        if room >= 16 or kept == 0:
            break
        kept -= 1
    # One board's history: its sessions told apart by their time.
    labels = [" ".join([e["column"]["data"]["started"][:16].replace("T", " ") if by_time else e["column"]["label"]]
                       + (["(quick)"] if e["column"]["quick"] else [])) for e in entries]
    label_width = max(8, min(max(len(label) for label in labels), room))
    header = ["#", "session"] + names[:kept] + header_extra
    lines = [[str(rank + 1), cut(label, label_width)] + line[:kept] + x
             for rank, (label, line, x) in enumerate(zip(labels, cells, extra))]
    return header, lines, figures[kept:], figures[:kept], entries


def cut(text, limit):
    return text if len(text) <= limit else text[:max(limit - 1, 0)] + "…"


def aligned_table(header, lines, width=WIDTH):
    """A Markdown table padded into columns, each line at most width long
    (the last column cut where it would pass it)."""
    header = [markdown_cell(h) for h in header]
    lines = [[markdown_cell(c) for c in line] for line in lines]
    sizes = [max(len(row[i]) for row in [header] + lines) for i in range(len(header))]

    def line_of(cells):
        text = "| " + " | ".join(c.ljust(s) for c, s in zip(cells, sizes)) + " |"
        return text if len(text) <= width else text[:width - 3] + "… |"
    rule = "|" + "|".join("-" * (s + 2) for s in sizes) + "|"
    return "\n".join([line_of(header), rule[:width]] + [line_of(line) for line in lines])


def ranking_notes(columns, figures, dropped, depths, by_time=False):
    order = "oldest first" if by_time else f"sorted by {figures[0]['name'] if figures else 'nothing'}, best first"
    first = (f"One line per session and device, {order}; baseline: {columns[0]['header']}. ×N: the figure "
             f"against the baseline's, above 1 is better; ±: half the runs' range; d: what reached the display "
             f"(against the baseline's display, else its screen), else the screen. Full figures: --format csv "
             f"or json.")
    found = [first]
    if depths:
        found.append("Depths differ: † marks a ratio between unlike workloads, ranked after the baseline's.")
    if dropped:
        found.append("Left out for width: " + ", ".join(r["name"] for r in dropped) + ".")
    found += notes(columns, set())[1:]
    if any(presented.of_program(c, r["key"][0]) for c in columns for r in figures):
        found.append("N@RHz Mm: frames a second presented at the measured refresh R, M vblanks missed.")
    return found + presented.dropped_notes(columns)


def ranking_markdown(columns, rows, flags=None, width=WIDTH, by_time=False):
    header, lines, dropped, figures, entries = ranking_table(columns, rows, flags, width, by_time)
    depths = len({c["workload"]["depth"] for c in columns}) > 1
    text = [aligned_table(header, lines, width), ""]
    notes_found = ranking_notes(columns, figures + dropped, dropped, depths, by_time)
    if any(e["flags"] for e in entries):
        notes_found.append(CHANGE_NOTE)
    for note in notes_found:
        text += textwrap.wrap(markdown_text(note), width) + [""]
    return "\n".join(text).rstrip("\n") + "\n"



def changes_markdown(columns, flags):
    """The side-by-side table's changes: a line per column with one flagged."""
    lines = [f"- {markdown_text(columns[index]['header'])}: {markdown_text(flag_text(found))} "
             f"(since {markdown_text(found[0]['before'])})"
             for index, found in sorted(flags.items()) if any(f["flagged"] for f in found)]
    return "\n".join(["", "Changes since each board's session before:", *lines, "",
                      *textwrap.wrap(markdown_text(CHANGE_NOTE), WIDTH)]) + "\n" if lines else ""
