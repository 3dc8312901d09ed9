"""The web page: one self-contained file with the comparison, the systems,
the chart inline as SVG and every file's warnings; no script, nothing to
fetch."""

import os
import re

from .tables import MARK_WORKLOAD, comparison_rows, notes, spread_text, system_rows
from .text import html_text

STYLE = """
body { font-family: sans-serif; margin: 1.5em; color: #222; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.6em; }
table { border-collapse: collapse; font-size: 0.85em; }
th, td { border: 1px solid #bbb; padding: 0.25em 0.5em; vertical-align: top; }
th { background: #eee; text-align: left; }
td.n { text-align: right; white-space: nowrap; }
td .d { color: #555; font-size: 0.9em; }
h3 .d { color: #555; font-weight: normal; }
.best { font-weight: bold; }
.scroll { overflow-x: auto; }
.notes { font-size: 0.85em; color: #444; }
figure { margin: 0; }
figure svg { max-width: 100%; height: auto; }
ul.warnings li { margin-bottom: 0.3em; }
code { background: #f4f4f4; }
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


def html_cell(cell):
    if cell is None:
        return '<td class="n">—</td>'
    s = cell["stats"]
    e = html_text
    parts = [f'<span class="{"best" if cell["best"] else "m"}">{s["median"]:.2f}</span>{e(cell["marks"])}',
             f'<span class="d">{spread_text(s)}</span>']
    if cell["relative"] is not None:
        parts.append(f'<span class="d">×{cell["relative"]:.2f}{MARK_WORKLOAD if cell["unlike"] else ""}</span>')
    if cell["ratio"] is not None:
        parts.append(f'<span class="d">screen/RAM {cell["ratio"]:.2f}{e(cell["ratio_marks"])}</span>')
    if cell["display_ratio"] is not None:
        parts.append(f'<span class="d">display/screen {cell["display_ratio"]:.2f}</span>')
    return '<td class="n">' + "<br>".join(parts) + "</td>"


def html_page(columns, rows, svg, files, title):
    e = html_text
    lines, used = comparison_rows(columns, rows)
    head = "<tr><th>benchmark</th>" + "".join(f"<th>{e(c['header'])}</th>" for c in columns) + "</tr>"
    body = "".join(f"<tr><th>{e(name)}</th>" + "".join(html_cell(cell) for cell in cells) + "</tr>\n"
                   for name, cells in lines)
    systems = "".join(f"<tr><th>{e(name)}</th>" + "".join(f"<td>{e(v)}</td>" for v in values) + "</tr>\n"
                      for name, values in system_rows(columns))
    warnings = []
    for path, data in files:
        label = ", ".join(dict.fromkeys(c["label"] for c in columns if c["path"] == path and c["data"] is data))
        items = "".join(f"<li><code>{e(w['kind'])}</code> {e(w['message'])}</li>" for w in data["warnings"])
        warnings.append(f"<h3>{e(label)} <span class=\"d\">({e(os.path.basename(path))})</span></h3>\n"
                        + (f'<ul class="warnings">{items}</ul>' if items else "<p>No warnings.</p>"))
    listed = "".join(f"<li><code>{e(os.path.basename(path))}</code>: {e(data['host'] if 'host' in data else '')}"
                     f", started {e(data['started'])}</li>" for path, data in files)
    note_items = "".join(f"<li>{e(n)}</li>" for n in notes(columns, used))
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{e(title)}</title>
<style>{STYLE}</style>
</head>
<body>
<h1>{e(title)}</h1>
<ul>{listed}</ul>
<h2 id="results">Results</h2>
<div class="scroll"><table id="comparison">
<thead>{head}</thead>
<tbody>
{body}</tbody>
</table></div>
<ul class="notes">{note_items}</ul>
<h2 id="systems">Systems</h2>
<div class="scroll"><table id="systems-table">
<thead>{head.replace("<th>benchmark</th>", "<th>system</th>", 1)}</thead>
<tbody>
{systems}</tbody>
</table></div>
<h2 id="charts">Charts</h2>
<figure>{svg_inline(svg)}</figure>
<h2 id="warnings">Warnings</h2>
{"".join(warnings)}
</body>
</html>
"""
