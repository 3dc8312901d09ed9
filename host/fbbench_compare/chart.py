"""The chart: each benchmark against the first column, the frame rate of
each level, the screen against RAM and the mapping probes (matplotlib)."""

import io
import warnings

from . import presented
from .columns import per_level, program_name, same_workload, stats
from .load import CannotWrite
from .tables import MARK_WORKLOAD, relative
from .text import chart_text

PROGRAM = "fbbench-compare"


def colour_value(index, count):
    if count <= 10:
        return f"C{index}"
    import matplotlib
    return matplotlib.colormaps["tab20"](index % 20)


def level_label(points, _position=None):
    """Points per frame as 1k, 2k … 1M, 8M."""
    points = int(round(points))
    if points >= 1 << 20 and points % (1 << 20) == 0:
        return f"{points >> 20}M"
    if points >= 1 << 10 and points % (1 << 10) == 0:
        return f"{points >> 10}k"
    return str(points)


def thin_levels(keys, count):
    """The groups of a bar panel: every row, but of the levels only so many
    that count columns of bars stay a few pixels wide, the first and the
    last kept. Also the levels left out, for the title."""
    levels = [k for k in keys if per_level(k)]
    room = max(2, 100 // max(count, 1) - (len(keys) - len(levels)))
    if len(levels) <= room:
        return keys, []
    kept = {levels[round(i * (len(levels) - 1) / (room - 1))] for i in range(room)}
    return [k for k in keys if not per_level(k) or k in kept], [k for k in levels if k not in kept]


def bar_name(key):
    return f"{program_name(key[0])} {level_label(key[1])}" if per_level(key) else program_name(key[0])


def thinned_title(title, dropped):
    if dropped:
        title += f" (levels {chart_text(', '.join(bar_name(k) for k in dropped))} left out)"
    return title


def log_ticks(axis):
    """A logarithmic axis labelled in plain numbers (0.5, not 5e-01), its
    minor ticks too where a decade or two is all there is."""
    from matplotlib.ticker import LogFormatter

    class Plain(LogFormatter):
        def _num_to_string(self, x, vmin, vmax):
            return f"{x:g}"
    axis.set_major_formatter(Plain(labelOnlyBase=False))
    axis.set_minor_formatter(Plain(labelOnlyBase=False, minor_thresholds=(2, 0.5)))


def grouped_bars(ax, columns, groups, bar):
    """One bar per column in each group, bar(column, group) giving (height,
    (lower, upper) error or None) or no bar. Columns that draw nothing take
    no room; each keeps its colour of the other panels."""
    drawn = []
    for index, column in enumerate(columns):
        bars = [(position, bar(column, group)) for position, group in enumerate(groups)]
        bars = [(position, found) for position, found in bars if found is not None]
        if bars:
            drawn.append((index, column, bars))
    width = min(0.85 / max(len(drawn), 1), 0.3)
    for slot, (index, column, bars) in enumerate(drawn):
        xs = [position + width * (slot + 0.5 - len(drawn) / 2) for position, _ in bars]
        heights = [found[0] for _, found in bars]
        errors = None
        if any(found[1] and any(found[1]) for _, found in bars):
            errors = [[(found[1] or (0, 0))[end] for _, found in bars] for end in (0, 1)]
        ax.bar(xs, heights, width, yerr=errors, capsize=min(2, 40 * width),
               error_kw={"elinewidth": 0.8}, color=colour_value(index, len(columns)))
    ax.set_xticks(range(len(groups)))
    if groups:
        ax.set_xlim(-0.5, len(groups) - 0.5)
    # Boards far apart: a logarithmic axis keeps the slower ones' bars visible.
    heights = [found[0] for _, _, bars in drawn for _, found in bars if found[0] > 0]
    if heights and max(heights) / min(heights) > 20:
        ax.set_yscale("log")
        log_ticks(ax.yaxis)
    ax.axhline(1, color="grey", linewidth=0.8)
    ax.grid(axis="y", linewidth=0.3)
    ax.set_axisbelow(True)


def relative_bar(column, key, baseline_median, higher):
    """Height and (lower, upper) error of a bar against the baseline: the
    spread from min to max, turned around with the value for a time."""
    s = stats(column, key)
    height = relative(s["median"], baseline_median, higher) if s else None
    if height is None:
        return None
    ends = [relative(s["min"], baseline_median, higher), relative(s["max"], baseline_median, higher)]
    if None in ends:
        return height, None
    return height, (max(height - min(ends), 0), max(max(ends) - height, 0))


def tick_labels(ax, labels, many):
    ax.set_xticklabels([chart_text(label) for label in labels], rotation=30 if many else 0,
                       ha="right" if many else "center", rotation_mode="anchor", fontsize="small")


def missing_note(title, columns, drawn):
    """The title, naming the columns that have nothing in the panel."""
    left = [chart_text(c["header"]) for c in columns if c["header"] not in drawn]
    return title + (f"\nnone for {', '.join(left)}" if left and len(left) < len(columns) else "")


def dates_text(columns):
    days = sorted({c["data"]["started"][:10] for c in columns})
    return days[0] if len(days) == 1 else f"{days[0]} to {days[-1]}"


LADDERS_ACROSS = 4


def ladder_columns(columns, rows):
    return [c for c in columns if any(stats(c, row["key"]) for row in rows if per_level(row["key"]))]


def ladder_axes(figure, cell, columns, laddered, units):
    """The frame rates of every level, one small panel per column that has
    them, so that close boards never hide each other: the column's screen
    (solid), RAM (dashed) and display (dotted), the other columns' screens
    in grey behind."""
    from matplotlib.ticker import FixedLocator, FuncFormatter, NullLocator
    drawing = [c for c in columns if any(stats(c, k) for k in laddered)]
    panel = figure.add_subfigure(cell)
    if not drawing:
        ax = panel.add_subplot()
        ax.set_xticks([])
        ax.set_yticks([])
        ax.set_title("No levels measured", fontsize="medium")
        return
    programs = list(dict.fromkeys(k[0] for k in laddered))
    levels = sorted({k[1] for k in laddered})

    def line(column, program, field):
        return [(k[1], stats(column, k, field)["median"]) for k in laddered
                if k[0] == program and stats(column, k, field) and stats(column, k, field)["median"] > 0]

    across = min(len(drawing), LADDERS_ACROSS)
    inner = panel.add_gridspec(-(-len(drawing) // across), across)
    first = None
    for place, column in enumerate(drawing):
        ax = panel.add_subplot(inner[place // across, place % across], sharey=first, sharex=first, label="ladder")
        first = first or ax
        index = columns.index(column)
        for program in programs:
            for other in drawing:
                if other is not column and line(other, program, "device"):
                    ax.plot(*zip(*line(other, program, "device")), "-", color="#bbbbbb", linewidth=0.8)
            for field, style in (("device", "-"), ("memory", "--"), ("display", ":")):
                if line(column, program, field):
                    ax.plot(*zip(*line(column, program, field)), style, marker="o", markersize=3, linewidth=1.4,
                            color=colour_value(index, len(columns)), label=field)
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        ax.xaxis.set_major_locator(FixedLocator(levels))
        ax.xaxis.set_minor_locator(NullLocator())
        # Four labels or so: a ladder of 14 levels stays legible in a small panel.
        step = -(-len(levels) // 4)
        ax.xaxis.set_major_formatter(FuncFormatter(
            lambda points, position: level_label(points) if position is None or position % step == 0 else ""))
        log_ticks(ax.yaxis)
        ax.tick_params(labelsize="small")
        ax.grid(which="both", linewidth=0.3)
        ax.set_title(chart_text(column["header"]), fontsize="small")
        if place % across == 0:
            ax.set_ylabel(chart_text(", ".join(dict.fromkeys(units[k] for k in laddered))))
        if place // across == (len(drawing) - 1) // across:
            ax.set_xlabel("points per frame", fontsize="small")
    left = [chart_text(c["header"]) for c in columns if c not in drawing]
    names = chart_text(", ".join(program_name(p) for p in programs))
    panel.suptitle(f"{names} at every level: solid on screen, dashed in RAM, dotted on the display; grey: the "
                   f"other columns" + (f"\nnone for {', '.join(left)}" if left else ""), fontsize="medium")


def build_figure(columns, rows, title="fbbench comparison", emulated=False):
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib.figure import Figure
    from matplotlib.patches import Patch

    probe_names = list(dict.fromkeys(p["name"] for c in columns for p in c["probes"]))
    panels = 5 if probe_names else 4
    keys = [row["key"] for row in rows]
    direction = {row["key"]: row["higher"] for row in rows}
    units = {row["key"]: row["unit"] for row in rows}
    baseline = columns[0]
    names = [chart_text(c["header"]) + (f" {MARK_WORKLOAD}" if not same_workload(c["workload"], baseline["workload"])
                                        else "") for c in columns]
    # The legend takes a row of its own under the panels, as many names
    # across as fit.
    bars = len(keys) * len(columns)
    width = max(10.0, 1.5 + 0.09 * min(bars, 100))
    across = max(1, min(len(columns), int(width // (0.6 + 0.075 * max(len(n) for n in names)))))
    legend_height = 0.35 + 0.22 * -(-len(columns) // across)
    ladder_rows = -(-max(1, len(ladder_columns(columns, rows))) // LADDERS_ACROSS)
    heights = [3.6, 3.2 * ladder_rows] + [3.6] * (panels - 2) + [legend_height]
    figure = Figure(figsize=(width, sum(heights) + 0.8), layout="constrained")
    grid = figure.add_gridspec(panels + 1, 1, height_ratios=heights)
    axes = [figure.add_subplot(grid[panel, 0]) if panel != 1 else None for panel in range(panels)]
    legend_axes = figure.add_subplot(grid[panels, 0], label="legend")
    legend_axes.axis("off")
    unlike = any(not same_workload(c["workload"], baseline["workload"]) for c in columns)
    caveat = "; emulated boards: how the software behaves, not how fast real hardware is" if emulated else ""
    figure.suptitle(f"{chart_text(title)}\nruns of {dates_text(columns)}{caveat}", fontsize="large")

    ax = axes[0]
    bar_keys, dropped = thin_levels([k for k in keys if stats(baseline, k) and direction[k] is not None],
                                    len(columns))
    grouped_bars(ax, columns, bar_keys, lambda c, key: relative_bar(
        c, key, stats(baseline, key)["median"], direction[key]))
    tick_labels(ax, [bar_name(k) for k in bar_keys], len(bar_keys) > 6)
    ax.set_ylabel(f"against {chart_text(baseline['label'])}\n(above 1 is better)")
    drawn = [c["header"] for c in columns if any(stats(c, k) for k in bar_keys)]
    panel_title = thinned_title("Each benchmark on screen against the first column; error bars: min to max", dropped)
    if unlike:
        panel_title += f"\n{MARK_WORKLOAD} different workloads: these ratios compare unlike work"
    ax.set_title(missing_note(panel_title, columns, drawn), fontsize="medium")

    laddered = [k for k in keys if per_level(k)]
    ladder_axes(figure, grid[1, 0], columns, laddered, units)

    # Every ratio as speed: above 1, the first is faster, for a time as for the rates.
    def speed_panel(ax, first, second, label, what):
        with_ratio, dropped = thin_levels([k for k in keys if any(stats(c, k, first) and stats(c, k, second)
                                                                  for c in columns)], len(columns))

        def bar(column, key):
            a, b = stats(column, key, first), stats(column, key, second)
            ratio = relative(a["median"], b["median"], direction[key]) if a and b else None
            return None if ratio is None else (ratio, None)
        grouped_bars(ax, columns, with_ratio, bar)
        tick_labels(ax, [bar_name(k) for k in with_ratio], len(with_ratio) > 6)
        ax.set_ylabel(label)
        drawn = [c["header"] for c in columns if any(bar(c, k) for k in with_ratio)]
        ax.set_title(missing_note(thinned_title(what + " (above 1 is better)", dropped), columns, drawn)
                     if with_ratio else what + ": not measured", fontsize="medium")
        return with_ratio

    shown = speed_panel(axes[2], "display", "device", "speed on the display / on screen", "What reaches the display")
    # What the display presented, written over its program's group, inside the panel.
    firsts = presented.first_rows(rows)
    for position, key in enumerate(shown):
        texts = [f"{c['label']}: {presented.text(c, key[0])}" for c in columns
                 if key in firsts and presented.of_program(c, key[0])]
        if texts:
            axes[2].text(position, 0.97, chart_text("\n".join(texts)), transform=axes[2].get_xaxis_transform(),
                         ha="center", va="top", fontsize="x-small")
    speed_panel(axes[3], "device", "memory", "speed on screen / in RAM", "Screen against RAM")

    if probe_names:
        ax = axes[4]

        def probe(column, name):
            found = [p["ratio"] for p in column["probes"] if p["name"] == name]
            return (found[0], None) if found else None
        grouped_bars(ax, columns, probe_names, probe)
        tick_labels(ax, probe_names, False)
        ax.set_ylabel("MPixels/s on screen / in RAM")
        drawn = [c["header"] for c in columns if c["probes"]]
        ax.set_title(missing_note("Mapping probes", columns, drawn), fontsize="medium")

    handles = [Patch(color=colour_value(i, len(columns)), label=name) for i, name in enumerate(names)]
    legend_axes.legend(handles=handles, loc="upper center", ncols=across, fontsize="small", title="columns",
                       title_fontsize="small", borderaxespad=0, frameon=False)
    return figure


def figure_bytes(figure, form):
    out = io.BytesIO()
    with warnings.catch_warnings():
        # Figures near a double's range overflow numpy's scale arithmetic;
        # the chart still draws, and standard error keeps one line a failure.
        warnings.simplefilter("ignore", RuntimeWarning)
        return figure_save(figure, form, out)


def figure_save(figure, form, out):
    # No date or tool in the file: the same input gives the same bytes.
    metadata = {"Software": None} if form == "png" else {"Creator": None, "Date": None, "Format": None,
                                                          "Type": None}
    if form == "svg":
        import matplotlib
        matplotlib.rcParams["svg.hashsalt"] = PROGRAM
    figure.savefig(out, format=form, metadata=metadata, dpi=100)
    return out.getvalue()


def figure_make(columns, rows, title="fbbench comparison", emulated=False):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            return build_figure(columns, rows, title, emulated)
    except ImportError as e:
        raise CannotWrite(f"a chart needs matplotlib (python3-matplotlib): {e}") from None
