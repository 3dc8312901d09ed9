"""The comparison on standard output: a Markdown table, one CSV line per
metric and column, a JSON document, or the summary, one line per column."""

import csv
import io
import json

from .columns import per_level, row_name, same_workload, stats, window_text
from .tables import MARK_WORKLOAD, comparison_rows, notes, row_cells, spread_text, system_rows
from .text import clean, markdown_cell, markdown_text


def markdown_table(header, rows):
    lines = ["| " + " | ".join(markdown_cell(h) for h in header) + " |", "|---" * len(header) + "|"]
    lines += ["| " + " | ".join(markdown_cell(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def cell_text(cell):
    if cell is None:
        return "—"
    s = cell["stats"]
    text = f"{s['median']:.2f}"
    if cell["best"]:
        text = f"**{text}**"
    text += f"{cell['marks']} ({spread_text(s)})"
    if cell["relative"] is not None:
        text += f" · ×{cell['relative']:.2f}" + (MARK_WORKLOAD if cell["unlike"] else "")
    if cell["ratio"] is not None:
        text += f" · screen/RAM {cell['ratio']:.2f}{cell['ratio_marks']}"
    if cell["display_ratio"] is not None:
        text += f" · display/screen {cell['display_ratio']:.2f}"
    return text


def markdown_output(columns, rows):
    lines, used = comparison_rows(columns, rows)
    text = [markdown_table(["benchmark"] + [c["header"] for c in columns],
                           [[name] + [cell_text(cell) for cell in cells] for name, cells in lines])]
    text += ["", *map(markdown_text, notes(columns, used)), "",
             markdown_table(["system"] + [c["header"] for c in columns],
                            [[name] + values for name, values in system_rows(columns)])]
    return "\n".join(text) + "\n"


def stats_fields(found):
    keys = ("median", "min", "max", "mean", "stddev", "spread_percent", "runs", "settled", "resolution_limited")
    return {k: found[k] for k in keys if k in found} if found else None


def json_output(columns, rows):
    """One object per metric, holding every column's statistics."""
    metrics = []
    for row in rows:
        cells = row_cells(columns, row)
        entries = []
        for column, cell in zip(columns, cells):
            result = column["rows"].get(row["key"], {})
            entries.append({
                "label": column["label"], "file": column["path"], "path": column["device"],
                "device": stats_fields(result.get("device")), "memory": stats_fields(result.get("memory")),
                "display": stats_fields(result.get("display")),
                "ratio": result.get("ratio"), "display_ratio": result.get("display_ratio"),
                "relative": cell["relative"] if cell else None,
                "same_workload_as_baseline": same_workload(column["workload"], columns[0]["workload"]),
            })
        program, points, metric = row["key"]
        metrics.append({"benchmark": row["name"], "program": program, "metric": metric,
                        "points": points, "unit": row["unit"], "higher_is_better": row["higher"],
                        "results": entries})
    files = [{"label": c["label"], "file": c["path"], "path": c["device"], "complete": c["data"]["complete"],
              "window": c["window"], "bits_per_pixel": c["workload"]["depth"],
              "workload_version": c["workload"]["version"]} for c in columns]
    return json.dumps({"baseline": columns[0]["label"], "columns": files, "metrics": metrics}, indent=1) + "\n"


def csv_value(value):
    """JSON's spelling of booleans, and nothing for a missing value."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return clean(value)
    return "" if value is None else value


def csv_text(header, rows):
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(header)
    writer.writerows([csv_value(v) for v in row] for row in rows)
    return out.getvalue()


def csv_output(columns, rows):
    """One line per metric and column, numbers unrounded."""
    header = ["benchmark", "unit", "higher_is_better", "label", "file", "path", "window", "median", "min", "max",
              "mean", "stddev", "spread_percent", "runs", "settled", "resolution_limited", "memory_median",
              "ratio", "relative", "same_workload_as_baseline"]
    lines = []
    for row in rows:
        for column, cell in zip(columns, row_cells(columns, row)):
            if cell is None:
                continue
            s = cell["stats"]
            memory = column["rows"][row["key"]].get("memory") or {}
            lines.append([row["name"], row["unit"], row["higher"], column["label"], column["path"], column["device"],
                          window_text(column["window"]) if column["window"] else None]
                         + [s.get(k) for k in ("median", "min", "max", "mean", "stddev", "spread_percent", "runs",
                                               "settled", "resolution_limited")]
                         + [memory.get("median"), cell["ratio"], cell["relative"], not cell["unlike"]])
    return csv_text(header, lines)


def summary_rows(columns, rows):
    """The rows that sum a board up: every metric of no level, and of each
    program with levels, its first level and the largest that every column
    reached."""
    picked = []
    for row in rows:
        key = row["key"]
        if not per_level(key):
            picked.append(row)
            continue
        levels = [r for r in rows if r["key"][0] == key[0]]
        common = [r for r in levels if all(stats(c, r["key"]) for c in columns)]
        if row is levels[0] or (common and row is common[-1]):
            picked.append(row)
    return picked


def summary_table(columns, rows):
    picked = summary_rows(columns, rows)
    header = ["system", "window"] + [row_name(row) for row in picked]
    lines = []
    for column in columns:
        figures = [stats(column, row["key"]) for row in picked]
        name = column["label"] + (" (incomplete)" if column["data"]["complete"] is False else "")
        lines.append([name, window_text(column["window"])]
                     + [f"{found['median']:.2f}" if found else "—" for found in figures])
    return header, lines


def summary_output(columns, rows, form):
    header, lines = summary_table(columns, rows)
    if form == "csv":
        return csv_text(header, lines)
    if form == "json":
        return json.dumps([{clean(k): clean(v) for k, v in zip(header, line)} for line in lines], indent=1,
                          ensure_ascii=False) + "\n"
    return markdown_table(header, lines) + "\n"
