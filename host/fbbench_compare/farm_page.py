"""The web page of many columns: the cards of the best and the worst, one
table to sort and filter (a small script in the page, nothing fetched),
the chart, and each line's details."""

from . import presented
from .columns import short_name
from .page import STYLE, page_head, svg_inline
from .ranking import CARDS, CHANGE_NOTE, cell_short, figure_name, flag_text, presented_programs, ranking_make
from .tables import figure, notes, system_rows
from .text import html_text

FACETS = (("board", "board"), ("driver", "driver"), ("mapping", "kind of mapping"), ("depth", "depth"),
          ("kernel", "kernel"), ("kind", "quick/full"))

FARM_STYLE = """
.filters { display: flex; flex-wrap: wrap; gap: 0.5em 1em; margin: 0.6em 0; }
.filters label { font-size: 0.85em; } .filters select { max-width: 14em; }
#ranking th[data-sort] { cursor: pointer; } #ranking th[data-sort]::after { content: " ⇅"; color: #888; }
tr.flagged td.c { color: #b00; font-weight: bold; }
.split { display: grid; grid-template-columns: repeat(auto-fit, minmax(22em, 1fr)); gap: 1em; }
.cards.small { grid-template-columns: repeat(auto-fill, minmax(11em, 1fr)); }
dl.sys { display: grid; grid-template-columns: max-content 1fr; gap: 0 0.8em; font-size: 0.85em; margin: 0.3em 0; }
dl.sys dt { font-weight: bold; } dl.sys dd { margin: 0; }
@media (max-width: 900px) { body { margin: 0.5em; } table { font-size: 0.75em; }
  /* The session's name says its board; the filters still choose by these. */
  .f-board, .f-kernel, .f-mapping { display: none; } }
@media print { .filters { display: none; } #ranking tr { display: table-row !important; }
  details { display: block; } details > * { display: block; } }
"""

# Sorting by a heading's column (numbers by data-v), filtering by the
# selects; no library, nothing fetched.
SCRIPT = """
(function () {
  var table = document.getElementById("ranking"), body = table.tBodies[0];
  var selects = document.querySelectorAll(".filters select"), shown = document.getElementById("shown");
  function filter() {
    var count = 0;
    Array.prototype.forEach.call(body.rows, function (row) {
      var keep = Array.prototype.every.call(selects, function (s) {
        return s.value === "" || row.getAttribute("data-" + s.name) === s.value; });
      row.style.display = keep ? "" : "none"; if (keep) count++; });
    shown.textContent = count + " of " + body.rows.length + " shown";
  }
  Array.prototype.forEach.call(selects, function (s) { s.addEventListener("change", filter); });
  Array.prototype.forEach.call(table.tHead.rows[0].cells, function (th, column) {
    if (!th.hasAttribute("data-sort")) return;
    th.addEventListener("click", function () {
      var down = th.getAttribute("data-dir") !== "down";
      th.setAttribute("data-dir", down ? "down" : "up");
      var rows = Array.prototype.slice.call(body.rows);
      rows.sort(function (a, b) {
        var x = a.cells[column], y = b.cells[column];
        var p = parseFloat(x.getAttribute("data-v")), q = parseFloat(y.getAttribute("data-v"));
        var order = (isNaN(p) || isNaN(q)) ? x.textContent.localeCompare(y.textContent) : p - q;
        if (isNaN(p) !== isNaN(q)) order = isNaN(p) ? 1 : -1; else if (down) order = -order;
        return order; });
      rows.forEach(function (row) { body.appendChild(row); });
    });
  });
  filter();
})();
"""


def card(entry, figures):
    e = html_text
    first = entry["cells"][0] if entry["cells"] else None
    what = (f"{e(figure_name(figures[0]))} {e(cell_short(first, entry['unlike']))}"
            f" ({e(figure(first['stats']['median']))} {e(figures[0]['unit'])})" if first else "not measured")
    return (f'<section class="card"><h3><a href="#s{entry["index"]}">{e(entry["column"]["header"])}</a></h3>'
            f'<p class="d">{e(entry["facets"]["driver"])}, {e(entry["facets"]["depth"])} bits</p>'
            f'<p>{what}</p>'
            + "".join(f"<p>{e(sentence)}</p>" for sentence in presented.sentences(
                entry["column"], dict.fromkeys(r["key"][0] for r in figures)))
            + '</section>')


def presented_cell(column, program):
    """What the device presented of the program, sorted by its frames a second."""
    fps = (presented.of_program(column, program) or {}).get("frames_per_second", "")
    return f'<td class="n" data-v="{fps}">{html_text(presented.short(column, program))}</td>'


def ranking_html(columns, rows, svg, title, emulated=False, flags=None, by_time=False):
    e = html_text
    figures, entries = ranking_make(columns, rows, flags, by_time)
    shown = presented_programs(columns, figures)
    ranked = [x for x in entries if x["cells"] and x["cells"][0] and x["cells"][0]["ratio"] is not None]
    best, worst = ranked[:CARDS], ranked[-CARDS:][::-1] if len(ranked) > CARDS else []
    selects = "".join(
        f'<label>{e(label)} <select name="{name}"><option value="">all</option>'
        + "".join(f'<option>{e(v)}</option>' for v in sorted({x["facets"][name] for x in entries}))
        + "</select></label>" for name, label in FACETS)
    head = ('<tr><th data-sort>#</th><th data-sort>session</th>'
            + "".join(f'<th data-sort>{e(figure_name(r))} ({e(r["unit"])})</th>' for r in figures)
            + "".join(f'<th data-sort>{e(short_name((p, None, None)) + " " if p else "")}presented</th>' for p in shown)
            + "".join(f'<th data-sort class="f-{name}">{e(label)}</th>' for name, label in FACETS)
            + '<th data-sort>change</th></tr>')
    body = []
    for rank, x in enumerate(entries):
        attributes = "".join(f' data-{name}="{e(x["facets"][name])}"' for name, _ in FACETS)
        cells = "".join(
            (f'<td class="n" data-v="{c["ratio"] if c["ratio"] is not None else ""}" '
             f'title="{e(figure(c["stats"]["median"]))} {e(r["unit"])}, {e(c["kind"])}, n={c["stats"]["runs"]}">'
             f'{e(cell_short(c, x["unlike"]))}</td>') if c else '<td class="n">—</td>'
            for c, r in zip(x["cells"], figures))
        cells += "".join(presented_cell(x["column"], p) for p in shown)
        changed = flag_text(x["flags"])
        body.append(f'<tr{" class=flagged" if changed else ""}{attributes}><td class="n" data-v="{rank + 1}">'
                    f'{rank + 1}</td><td><a href="#s{x["index"]}">{e(x["column"]["header"])}</a></td>{cells}'
                    + "".join(f'<td class="f-{name}">{e(x["facets"][name])}</td>' for name, _ in FACETS)
                    + f'<td class="c">{e(changed or "—")}</td></tr>\n')
    systems = system_rows(columns)
    details = "".join(
        f'<details id="s{x["index"]}"><summary>{e(x["column"]["header"])}</summary><dl class="sys">'
        + "".join(f"<dt>{e(name)}</dt><dd>{e(values[x['index']])}</dd>" for name, values in systems)
        + f"<dt>file</dt><dd>{e(x['column']['path'])}</dd></dl></details>\n" for x in entries)
    caveat = ('<p class="emulated"><strong>Emulated boards.</strong> These figures come from emulators: they show '
              'how the software behaves, not how fast real hardware is.</p>\n' if emulated else "")
    note_items = "".join(f"<li>{e(n)}</li>" for n in notes(columns, set())[1:] + [CHANGE_NOTE]
                         + presented.dropped_notes(columns))
    order = "oldest first" if by_time else f"ranked by {figure_name(figures[0]) if figures else 'nothing'}"

    def cards(chosen):
        return "".join(card(x, figures) for x in chosen)
    return f"""{page_head(title, STYLE + FARM_STYLE)}
<body>
<h1>{e(title)}</h1>
{caveat}<p>{len(entries)} sessions and devices against {e(columns[0]["header"])}, {e(order)}: ×N above 1 is
better; ±, half the runs' range; d, what reached the display (against the baseline's display, else its screen).</p>
<div class="split">
<div><h2 id="best">The {len(best)} best</h2><div class="cards small">{cards(best)}</div></div>
<div><h2 id="worst">The {len(worst)} worst</h2><div class="cards small">{cards(worst)}</div></div>
</div>
<h2 id="results">Ranking</h2>
<div class="filters">{selects}<span id="shown" class="d"></span></div>
<div class="scroll"><table id="ranking">
<thead>{head}</thead>
<tbody>
{"".join(body)}</tbody>
</table></div>
<ul class="notes">{note_items}</ul>
<h2 id="charts">Chart</h2>
{f"<figure>{svg_inline(svg)}</figure>" if svg else "<p>No runs: nothing to chart.</p>"}
<h2 id="details">Details</h2>
{"".join(details)}
<script>{SCRIPT}</script>
</body>
</html>
"""
