"""The web page: one self-contained file with a verdict card per board and
device, the comparison (compact, the full ladders folded below), the
systems, the chart inline as SVG and the warnings by kind; no script,
nothing to fetch, a print and a dark style."""

import os
import re

from . import presented
from .columns import QUICK_SESSION, per_level, stats
from .tables import (MARK_WORKLOAD, comparison_rows, figure, notes, relative, spread_text, summary_rows, system_rows,
                     updates_per_second, warnings_for, warnings_grouped)
from .text import html_text

STYLE = """
body { font-family: sans-serif; margin: 1.5em; color: #222; background: #fff; max-width: 100em; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.6em; } h3 { font-size: 1em; margin: 0 0 0.3em; }
.emulated { border-left: 0.3em solid #c60; padding: 0.3em 0.6em; background: #fff4e5; }
.cards { display: grid; grid-template-columns: repeat(auto-fill, minmax(17em, 1fr)); gap: 0.8em; }
.card { border: 1px solid #bbb; border-radius: 0.3em; padding: 0.6em 0.8em; }
.card p { margin: 0.2em 0; font-size: 0.9em; }
.scroll { overflow-x: auto; max-width: 100%; }
table { border-collapse: collapse; font-size: 0.85em; }
th, td { border: 1px solid #bbb; padding: 0.25em 0.5em; vertical-align: top; }
th { background: #eee; text-align: left; }
td.n { text-align: right; white-space: nowrap; }
.d { color: #555; font-size: 0.9em; }
.best { font-weight: bold; }
.notes { font-size: 0.85em; color: #444; }
figure { margin: 0; }
figure svg { max-width: 100%; height: auto; background: #fff; }
ul.warnings li { margin-bottom: 0.3em; }
code { background: #f4f4f4; }
@media (prefers-color-scheme: dark) {
  body { background: #161616; color: #ddd; }
  th { background: #2a2a2a; } th, td, .card { border-color: #555; }
  .d, .notes { color: #aaa; } code { background: #2a2a2a; }
  .emulated { background: #3a2a10; }
}
@media print {
  @page { size: A4 landscape; margin: 1cm; }
  body { margin: 0; max-width: none; background: #fff; color: #000; font-size: 9pt; }
  .scroll { overflow: visible; }
  table { font-size: 7pt; page-break-inside: auto; } tr { page-break-inside: avoid; }
  th, td { padding: 1px 3px; }
  .card { page-break-inside: avoid; }
}
"""


def svg_inline(svg):
    """An SVG document as an element of an HTML page: without its XML
    declaration and document type (whose address no browser should fetch)
    and the namespace declarations that HTML supplies itself."""
    text = svg.decode("utf-8")
    start = text.index("<svg")
    end = text.index(">", start)
    tag = re.sub(r'\s+xmlns(:\w+)?="[^"]*"', "", text[start:end])
    return tag + text[end:]


def cell_title(cell):
    """The cell's details, for the hover text and the second table."""
    parts = [spread_text(cell["stats"])]
    if cell["relative"] is not None:
        parts.append(f"×{figure(cell['relative'])}{MARK_WORKLOAD if cell['unlike'] else ''} against the first column")
    if cell["screen_ram"] is not None:
        parts.append(f"screen/RAM {figure(cell['screen_ram'])}{cell['ratio_marks']}")
    if cell["display"]:
        parts.append(f"display {figure(cell['display']['median'])}{cell['display_marks']} "
                     f"({spread_text(cell['display'])})")
    if cell["display_screen"] is not None:
        parts.append(f"display/screen {figure(cell['display_screen'])}")
    if "presented" in cell:
        parts.append(cell["presented"])
    return "; ".join(parts)


def html_cell(cell):
    """One figure a cell: the screen's median, and the display's beneath
    where it was measured; the rest on hover."""
    if cell is None:
        return '<td class="n">—</td>'
    e = html_text
    text = f'<span class="{"best" if cell["best"] else "m"}">{figure(cell["stats"]["median"])}</span>{e(cell["marks"])}'
    if cell["display"]:
        shown = figure(cell["display"]["median"])
        text += (f'<br><span class="d">display <span class="{"best" if cell["display_best"] else "m"}">{shown}'
                 f'</span>{e(cell["display_marks"])}</span>')
    if "presented" in cell:
        text += f'<br><span class="d">{e(cell["presented"])}</span>'
    return f'<td class="n" title="{e(cell_title(cell))}">{text}</td>'


def detail_cell(cell):
    if cell is None:
        return '<td class="n">—</td>'
    return f'<td class="n">{html_text(cell_title(cell)).replace("; ", "<br>")}</td>'


def table_html(table_id, corner, columns, lines, cell_html):
    e = html_text
    head = f"<tr><th>{e(corner)}</th>" + "".join(f"<th>{e(c['header'])}</th>" for c in columns) + "</tr>"
    body = "".join(f"<tr><th>{e(name)}</th>" + "".join(cell_html(cell) for cell in cells) + "</tr>\n"
                   for name, cells in lines)
    return f'<div class="scroll"><table id="{table_id}">\n<thead>{head}</thead>\n<tbody>\n{body}</tbody>\n</table></div>'


def verdict(column, rows):
    """The card's sentences: what reaches the display, how the screen fares
    against RAM, and the warnings."""
    sentences = []
    plain = [row for row in rows if not per_level(row["key"]) and stats(column, row["key"])]
    shown = []
    for row in plain:
        display = stats(column, row["key"], "display")
        if display:
            part = relative(display["median"], stats(column, row["key"])["median"], row["higher"])
            shown.append(f"{row['name']} {figure(display['median'])} {row['unit']}"
                         + (f" ({figure(part)} of the screen's speed)" if part is not None else ""))
    updates = updates_per_second(column["entry"])
    if shown or updates is not None:
        reaches = "; ".join(shown)
        if updates is not None:
            reaches += ("; " if reaches else "") + f"{figure(updates)} full-screen updates/s"
        sentences.append(f"Reaches the display: {reaches}.")
    elif column["entry"].get("needs_flush"):
        sentences.append("Needs a flush to reach the display; the display was not measured.")
    sentences += presented.sentences(column, dict.fromkeys(row["key"][0] for row in rows))
    against = []
    for row in plain:
        memory = stats(column, row["key"], "memory")
        ratio = relative(stats(column, row["key"])["median"], memory["median"], row["higher"]) if memory else None
        if ratio is not None:
            against.append(f"{row['name']} {figure(ratio)}")
    if against:
        sentences.append(f"Screen against RAM (above 1 is faster): {', '.join(against)}.")
    groups = warnings_grouped(warnings_for(column))
    if groups:
        kinds = ", ".join(kind + (f" ×{len(found)}" if len(found) > 1 else "") for kind, found in groups.items())
        sentences.append(f"Warnings: {kinds}.")
    else:
        sentences.append("No warnings.")
    if column["described_only"]:
        sentences.insert(0, "Described only: no benchmark was run.")
    if column["quick"]:
        sentences.insert(0, f"A {QUICK_SESSION}.")
    return sentences


def card_html(column, rows):
    e = html_text
    entry = column["entry"]
    kind = f" ({entry['kind']})" if "kind" in entry else ""
    return (f'<section class="card"><h3>{e(column["header"])}</h3>'
            f'<p class="d">{e(column["device"])}{e(kind)}</p>'
            + "".join(f"<p>{e(sentence)}</p>" for sentence in verdict(column, rows)) + "</section>")


def warnings_html(columns):
    """Per column, one line per kind of warning with its count and first
    message; every message below, folded."""
    e = html_text
    parts = []
    for column in columns:
        groups = warnings_grouped(warnings_for(column))
        if not groups:
            continue
        items = "".join(
            f"<li><code>{e(kind)}</code>{f' ×{len(found)}' if len(found) > 1 else ''}: {e(found[0])}"
            + (f' <span class="d">(and {len(found) - 1} more)</span>' if len(found) > 1 else "")
            + "</li>" for kind, found in groups.items())
        every = "".join(f"<li><code>{e(kind)}</code> {e(message)}</li>"
                        for kind, found in groups.items() for message in found)
        parts.append(f'<h3>{e(column["header"])}</h3>\n<ul class="warnings">{items}</ul>\n'
                     + (f"<details><summary>every message</summary><ul>{every}</ul></details>"
                        if any(len(found) > 1 for found in groups.values()) else ""))
    return "\n".join(parts) or "<p>No warnings.</p>"


def file_names(paths):
    """Each path by its shortest ending of folders that no other path shares."""
    names = []
    for path in paths:
        parts = os.path.normpath(os.path.abspath(path)).split(os.sep)
        for count in range(1, len(parts) + 1):
            name = os.path.join(*parts[-count:])
            others = [os.path.normpath(os.path.abspath(p)).split(os.sep) for p in paths if p != path]
            if not any(os.path.join(*o[-count:]) == name for o in others):
                break
        names.append(name)
    return names


def page_head(title, style):
    """The page's head: one file that works offline, light or dark."""
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="color-scheme" content="light dark">
<title>{html_text(title)}</title>
<style>{style}</style>
</head>"""


def html_page(columns, rows, svg, files, title, emulated=False):
    e = html_text
    lines, used = comparison_rows(columns, rows)
    presented.cells_mark(columns, rows, lines)
    compact_rows = summary_rows(columns, rows)
    folded = len(compact_rows) < len(rows)
    compact = [line for line, row in zip(lines, rows) if row in compact_rows]
    systems = "".join(f"<tr><th>{e(name)}</th>" + "".join(f"<td>{e(v)}</td>" for v in values) + "</tr>\n"
                      for name, values in system_rows(columns))
    head = "<tr><th>system</th>" + "".join(f"<th>{e(c['header'])}</th>" for c in columns) + "</tr>"
    listed = "".join(
        f"<li><code>{e(name)}</code>: {e(', '.join(dict.fromkeys(c['label'] for c in columns if c['data'] is data)))}"
        f", started {e(data['started'])}</li>"
        for name, (path, data) in zip(file_names([path for path, _ in files]), files))
    note_items = "".join(f"<li>{e(n)}</li>" for n in notes(columns, used) + presented.dropped_notes(columns))
    caveat = ('<p class="emulated"><strong>Emulated boards.</strong> These figures come from emulators: they show '
              'how the software behaves, not how fast real hardware is.</p>\n' if emulated else "")
    ladder = (f'<details><summary>Every level ({len(rows)} rows)</summary>\n'
              f'{table_html("ladder", "benchmark", columns, lines, html_cell)}\n</details>\n' if folded else "")
    return f"""{page_head(title, STYLE)}
<body>
<h1>{e(title)}</h1>
{caveat}<div class="cards">
{"".join(card_html(c, rows) for c in columns)}
</div>
<h2 id="results">Results</h2>
<p class="notes">One figure a cell: the screen's median, and the display's beneath it where it was measured;
hover over a cell for its runs and ratios, also in the table of details below.</p>
{table_html("comparison", "benchmark", columns, compact, html_cell)}
{ladder}<ul class="notes">{note_items}</ul>
<h3>Details</h3>
{table_html("details", "benchmark", columns, compact, detail_cell)}
<h2 id="systems">Systems</h2>
<div class="scroll"><table id="systems-table">
<thead>{head}</thead>
<tbody>
{systems}</tbody>
</table></div>
<h2 id="charts">Charts</h2>
{f"<figure>{svg_inline(svg)}</figure>" if svg else "<p>No runs: nothing to chart.</p>"}
<h2 id="warnings">Warnings</h2>
{warnings_html(columns)}
<h2 id="files">Files</h2>
<ul>{listed}</ul>
</body>
</html>
"""
