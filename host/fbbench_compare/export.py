"""The comparison on standard output: a Markdown table, one CSV line per
metric and column, a JSON document, or the summary, one line per column."""

import csv
import io
import json

from . import presented
from .columns import column_marks, row_name, same_workload, stats, window_text
from .tables import (MARK_WORKLOAD, comparison_rows, figure, notes, row_cells, spread_text, summary_rows,
                     system_rows, updates_per_second)
from .text import clean, markdown_cell, markdown_text


def markdown_table(header, rows):
    lines = ["| " + " | ".join(markdown_cell(h) for h in header) + " |", "|---" * len(header) + "|"]
    lines += ["| " + " | ".join(markdown_cell(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def cell_text(cell):
    if cell is None:
        return "—"
    s = cell["stats"]
    text = figure(s["median"])
    if cell["best"]:
        text = f"**{text}**"
    text += f"{cell['marks']} ({spread_text(s)})"
    if cell["relative"] is not None:
        text += f" · ×{figure(cell['relative'])}" + (MARK_WORKLOAD if cell["unlike"] else "")
    if cell["screen_ram"] is not None:
        text += f" · screen/RAM {figure(cell['screen_ram'])}{cell['ratio_marks']}"
    if cell["display"]:
        shown = figure(cell["display"]["median"])
        text += f" · display {f'**{shown}**' if cell['display_best'] else shown}{cell['display_marks']}"
        if cell["display_screen"] is not None:
            text += f", display/screen {figure(cell['display_screen'])}"
    if "presented" in cell:
        text += f" · {cell['presented']}"
    return text


def markdown_output(columns, rows):
    lines, used = comparison_rows(columns, rows)
    presented.cells_mark(columns, rows, lines)
    text = [markdown_table(["benchmark"] + [c["header"] for c in columns],
                           [[name] + [cell_text(cell) for cell in cells] for name, cells in lines])]
    text += ["", *map(markdown_text, notes(columns, used) + presented.dropped_notes(columns)), "",
             markdown_table(["system"] + [c["header"] for c in columns],
                            [[name] + values for name, values in system_rows(columns)])]
    return "\n".join(text) + "\n"


def stats_fields(found):
    keys = ("median", "min", "max", "mean", "stddev", "spread_percent", "runs", "settled", "resolution_limited")
    return {k: found[k] for k in keys if k in found} if found else None


def json_output(columns, rows):
    """One object per metric, holding every column's statistics."""
    metrics, firsts = [], presented.first_rows(rows)
    for row in rows:
        cells = row_cells(columns, row)
        entries, program = [], row["key"][0]
        for column, cell in zip(columns, cells):
            result = column["rows"].get(row["key"], {})
            entries.append({
                "label": column["label"], "file": column["path"], "path": column["device"],
                "device": stats_fields(result.get("device")), "memory": stats_fields(result.get("memory")),
                "display": stats_fields(result.get("display")),
                "screen_ram": cell["screen_ram"] if cell else None,
                "display_screen": cell["display_screen"] if cell else None,
                "display_glass_at_most": result.get("display_glass_at_most"),
                "presented": presented.exported(column, program) if row["key"] in firsts and result else None,
                "relative": cell["relative"] if cell else None,
                "same_workload_as_baseline": same_workload(column["workload"], columns[0]["workload"]),
            })
        program, points, metric = row["key"]
        metrics.append({"benchmark": row["name"], "program": program, "metric": metric,
                        "points": points, "unit": row["unit"], "higher_is_better": row["higher"],
                        "results": entries})
    files = [{"label": c["label"], "file": c["path"], "path": c["device"], "complete": c["data"]["complete"],
              "window": c["window"], "bits_per_pixel": c["workload"]["depth"],
              "workload_version": c["workload"]["version"], "needs_flush": c["entry"].get("needs_flush"),
              "updates_per_second": updates_per_second(c["entry"]), "described_only": c["described_only"],
              "quick": c["quick"], "presented": presented.of_device(c)}
             for c in columns]
    return json.dumps({"baseline": columns[0]["label"], "ratios": "above 1 is better", "columns": files,
                       "metrics": metrics}, indent=1) + "\n"


def csv_value(value):
    """JSON's spelling of booleans, and nothing for a missing value. Text
    that a spreadsheet would take for a formula gets a leading quote."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        text = clean(value)
        return "'" + text if text[:1] in ("=", "+", "-", "@") else text
    return "" if value is None else value


def csv_text(header, rows):
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(header)
    writer.writerows([csv_value(v) for v in row] for row in rows)
    return out.getvalue()


def csv_output(columns, rows):
    """One line per metric and column, numbers unrounded; every ratio reads
    above 1 is better."""
    header = ["benchmark", "unit", "higher_is_better", "label", "file", "path", "window", "median", "min", "max",
              "mean", "stddev", "spread_percent", "runs", "settled", "resolution_limited", "memory_median",
              "screen_ram", "display_median", "display_runs", "display_settled", "display_screen",
              "display_glass_at_most", "updates_per_second", "relative", "same_workload_as_baseline", "quick"]
    header += presented.CSV_HEADER
    lines, firsts = [], presented.first_rows(rows)
    for row in rows:
        for column, cell in zip(columns, row_cells(columns, row)):
            if cell is None:
                continue
            s = cell["stats"]
            memory, display = cell["memory"] or {}, cell["display"] or {}
            result = column["rows"].get(row["key"], {})
            lines.append([row["name"], row["unit"], row["higher"], column["label"], column["path"], column["device"],
                          window_text(column["window"]) if column["window"] else None]
                         + [s.get(k) for k in ("median", "min", "max", "mean", "stddev", "spread_percent", "runs",
                                               "settled", "resolution_limited")]
                         + [memory.get("median"), cell["screen_ram"], display.get("median"), display.get("runs"),
                            display.get("settled"), cell["display_screen"], result.get("display_glass_at_most"),
                            updates_per_second(column["entry"]),
                            cell["relative"], not cell["unlike"], column["quick"]]
                         + (presented.csv_values(column, row["key"][0]) if row["key"] in firsts
                            else [None] * len(presented.CSV_HEADER)))
    return csv_text(header, lines)


def runs_output(files, columns):
    """One CSV line per value of every run of every file, as fbbench recorded
    it, invalid runs included."""
    header = ["file", "board", "device", "program", "metric", "target", "run", "warmup", "value", "valid",
              "reason", "wall_seconds", "other_cpu_percent", "kernel_cpu_percent", "leftover_processes"]
    lines = []
    for path, data in files:
        board = next((c["label"] for c in columns if c["data"] is data), "")
        counted = {}
        for run in data["runs"]:
            group = (run["program"], run["target"], run["path"], run.get("warmup", False))
            counted[group] = counted.get(group, 0) + 1
            common = [path, board, run["path"], run["program"]]
            tail = [run["valid"], run.get("invalid_reason"), run.get("wall_seconds"), run.get("other_cpu_percent"),
                    run.get("kernel_cpu_percent"), run.get("leftover_processes")]
            values = run.get("values") or {None: None}
            for metric, value in values.items():
                lines.append(common + [metric, run["target"], counted[group], run.get("warmup", False), value]
                             + tail)
    return csv_text(header, lines)


def summary_table(columns, rows):
    """A line per column: its label, window, the picked rows' screen medians
    and, where any column measured the display, the display's and the
    full-screen updates per second that reach it."""
    picked = summary_rows(columns, rows)
    displayed = [row for row in picked if any(stats(c, row["key"], "display") for c in columns)]
    updates = any(updates_per_second(c["entry"]) is not None for c in columns)
    header = (["system", "window"] + [row_name(row) for row in picked]
              + [f"{row_name(row)} display" for row in displayed] + (["full-screen updates/s"] if updates else []))
    lines = []
    for column in columns:
        def shown(found):
            return figure(found["median"]) if found else "—"
        value = updates_per_second(column["entry"])
        lines.append([" ".join([column["label"]] + column_marks(column)), window_text(column["window"])]
                     + [shown(stats(column, row["key"])) for row in picked]
                     + [shown(stats(column, row["key"], "display")) for row in displayed]
                     + ([figure(value) if value is not None else "—"] if updates else []))
    return header, lines


def summary_output(columns, rows, form):
    header, lines = summary_table(columns, rows)
    if form == "csv":
        return csv_text(header, lines)
    if form == "json":
        return json.dumps([{clean(k): clean(v) for k, v in zip(header, line)} for line in lines], indent=1,
                          ensure_ascii=False) + "\n"
    return markdown_table(header, lines) + "\n"
