"""The chart of many columns: one ranked dot plot per main figure, of a
size that does not grow with the number of files (matplotlib)."""

import statistics
import warnings

from . import presented
from .chart import dates_text, log_ticks
from .load import CannotWrite
from .ranking import figure_name, ranking_make
from .text import chart_text

# Inches at the chart's 100 dpi: at most 3,000 px tall at 96 dpi.
PANEL_HEIGHT = 2.6
MAX_HEIGHT = 3000 / 96
WIDTH = 10.0


def strip_figure(columns, rows, title="fbbench comparison", emulated=False, flags=None, history=False):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            return strip_build(columns, rows, title, emulated, flags, history)
    except ImportError as e:
        raise CannotWrite(f"a chart needs matplotlib (python3-matplotlib): {e}") from None


def strip_build(columns, rows, title, emulated, flags, history):
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    figures, entries = ranking_make(columns, rows, flags, history)
    panels = max(1, min(len(figures), int((MAX_HEIGHT - 1.2) // PANEL_HEIGHT)))
    height = min(MAX_HEIGHT, 1.2 + PANEL_HEIGHT * panels)
    # Fixed margins: a layout engine would measure every label of every
    # panel again at each save, the larger part of the chart's time.
    figure = Figure(figsize=(WIDTH, height))
    figure.subplots_adjust(left=0.1, right=0.98, top=1 - 0.75 / height, bottom=0.55 / height, hspace=0.5)
    caveat = "; emulated boards: how the software behaves, not how fast real hardware is" if emulated else ""
    what = f"the history of {chart_text(columns[0]['label'])}" if history else f"{len(columns)} sessions and devices"
    figure.suptitle(f"{chart_text(title)}: {what}, runs of {dates_text(columns)}"
                    f"{caveat}", fontsize="large")
    axes = figure.subplots(panels, 1, squeeze=False)[:, 0]
    for place, ax in enumerate(axes):
        if place >= len(figures):
            ax.set_title("Nothing measured", fontsize="medium")
            continue
        ranked = [(e["cells"][place]["ratio"], e) for e in entries
                  if e["cells"][place] and e["cells"][place]["ratio"] is not None]
        if not history:
            ranked.sort(key=lambda pair: -pair[0])
        for kind, colour, label in (("screen", "C0", "on screen"), ("display", "C1", "on the display")):
            points = [(x, r) for x, (r, e) in enumerate(ranked) if e["cells"][place]["kind"] == kind]
            if points:
                ax.plot(*zip(*points), "o-" if history else "o", color=colour, markersize=3, linewidth=0.8,
                        label=label)
        program = figures[place]["key"][0]
        measured = [(x, r) for x, (r, e) in enumerate(ranked) if presented.of_program(e["column"], program)]
        if measured:
            ax.plot(*zip(*measured), "o", color="C4", markerfacecolor="none", markersize=7,
                    label="presented frames measured")
        flagged = [(x, r) for x, (r, e) in enumerate(ranked)
                   if any(f.get("flagged") and f["key"] == figures[place]["key"] for f in e["flags"])]
        if flagged:
            ax.plot(*zip(*flagged), "x", color="C3", markersize=7, label="changed since the last session")
        ax.axhline(1, color="grey", linewidth=0.9, label=f"baseline ({chart_text(columns[0]['label'])})")
        if ranked:
            median = statistics.median(r for r, _ in ranked)
            ax.axhline(median, color="C2", linestyle="--", linewidth=0.9, label=f"median ×{median:.2f}")
            values = [r for r, _ in ranked]
            if max(values) / max(min(values), 1e-300) > 20:
                ax.set_yscale("log")
                log_ticks(ax.yaxis)
        if history:
            step = max(1, len(ranked) // 8)
            ax.set_xticks(range(0, len(ranked), step))
            ax.set_xticklabels([e["column"]["data"]["started"][:10] for _, e in ranked][::step], fontsize="x-small")
        ax.set_xlabel("session, oldest first" if history else "rank", fontsize="small")
        ax.set_ylabel("against the baseline\n(above 1 is better)", fontsize="small")
        ax.set_title(chart_text(f"{figure_name(figures[place])} ({figures[place]['unit']})"), fontsize="medium")
        ax.grid(linewidth=0.3)
        ax.legend(fontsize="x-small", loc="upper right")
    return figure
