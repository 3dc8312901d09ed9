"""The chart: each benchmark against the first column, the frame rate of
each level, the screen against RAM and the mapping probes (matplotlib)."""

import io
import warnings

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


def build_figure(columns, rows):
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch
    from matplotlib.ticker import FixedLocator, FuncFormatter, LogFormatter, NullFormatter, NullLocator

    probe_names = list(dict.fromkeys(p["name"] for c in columns for p in c["probes"]))
    panels = 4 if probe_names else 3
    keys = [row["key"] for row in rows]
    direction = {row["key"]: row["higher"] for row in rows}
    units = {row["key"]: row["unit"] for row in rows}
    baseline = columns[0]
    names = [chart_text(c["header"]) + (f" {MARK_WORKLOAD}" if not same_workload(c["workload"], baseline["workload"])
                                        else "") for c in columns]
    # The legend gets a column of its own beside the panels, as wide as its
    # longest name in small type, in two columns of names beyond twelve.
    legend_columns = 1 if len(columns) <= 12 else 2
    legend_width = legend_columns * (0.6 + 0.075 * max(len(n) for n in names))
    bars = len(keys) * len(columns)
    width = max(9.0, 1.5 + 0.09 * min(bars, 100)) + legend_width
    figure = Figure(figsize=(width, 3.8 * panels + 0.3), layout="constrained")
    grid = figure.add_gridspec(panels, 2, width_ratios=(width - legend_width, legend_width))
    axes = [figure.add_subplot(grid[panel, 0]) for panel in range(panels)]
    legend_axes = figure.add_subplot(grid[:, 1])
    legend_axes.axis("off")
    unlike = any(not same_workload(c["workload"], baseline["workload"]) for c in columns)

    ax = axes[0]
    bar_keys, dropped = thin_levels([k for k in keys if stats(baseline, k) and direction[k] is not None],
                                    len(columns))
    grouped_bars(ax, columns, bar_keys, lambda c, key: relative_bar(
        c, key, stats(baseline, key)["median"], direction[key]))
    tick_labels(ax, [bar_name(k) for k in bar_keys], len(bar_keys) > 6)
    ax.set_ylabel(f"against {chart_text(baseline['label'])}\n(above 1 is better)")
    title = thinned_title("Each benchmark against the first column; error bars: min to max", dropped)
    if unlike:
        title += f"\n{MARK_WORKLOAD} different workloads: these ratios compare unlike work"
    ax.set_title(title, fontsize="medium")

    ax = axes[1]
    laddered = [k for k in keys if per_level(k)]
    ladder_programs = list(dict.fromkeys(k[0] for k in laddered))
    # Beyond a few columns the RAM lines would hide the screen's.
    fields = (("device", "-"), ("memory", "--")) if len(columns) <= 6 else (("device", "-"),)
    for index, column in enumerate(columns):
        for program in ladder_programs:
            for field, style in fields:
                points = [(k[1], stats(column, k, field)["median"]) for k in laddered
                          if k[0] == program and stats(column, k, field) and stats(column, k, field)["median"] > 0]
                if points:
                    ax.plot(*zip(*points), style, marker="o", markersize=3, linewidth=1.2,
                            color=colour_value(index, len(columns)))
    levels = sorted({k[1] for k in laddered})
    names_of = chart_text(", ".join(program_name(p) for p in ladder_programs))
    if ax.lines:
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        ax.xaxis.set_major_locator(FixedLocator(levels))
        ax.xaxis.set_minor_locator(NullLocator())
        ax.xaxis.set_major_formatter(FuncFormatter(level_label))
        ax.yaxis.set_major_formatter(LogFormatter(labelOnlyBase=False))
        ax.yaxis.set_minor_formatter(LogFormatter(labelOnlyBase=False, minor_thresholds=(2, 0.5)))
        ax.grid(which="both", linewidth=0.3)
        if len(fields) > 1:
            ax.legend(handles=[Line2D([], [], color="black", linestyle="-", label="screen"),
                               Line2D([], [], color="black", linestyle="--", label="RAM")],
                      loc="lower left", fontsize="small")
    else:
        ax.xaxis.set_major_formatter(NullFormatter())
        ax.yaxis.set_major_formatter(NullFormatter())
    ax.set_xlabel("points per frame")
    ax.set_ylabel(chart_text(", ".join(dict.fromkeys(units[k] for k in laddered))))
    title = f"{names_of} on screen" + (" (dashed: in RAM)" if len(fields) > 1 else "")
    ax.set_title(title if ax.lines else "No levels measured", fontsize="medium")

    # Oriented as speed, so that below 1 means the screen is slower for the
    # time as for the rates.
    ax = axes[2]
    with_ratio, dropped = thin_levels([k for k in keys if direction[k] is not None
                                       and any(c["rows"].get(k, {}).get("ratio") for c in columns)], len(columns))

    def screen_ram(column, key):
        ratio = column["rows"].get(key, {}).get("ratio")
        if not ratio:
            return None
        return (ratio if direction[key] else 1 / ratio), None
    grouped_bars(ax, columns, with_ratio, screen_ram)
    tick_labels(ax, [bar_name(k) for k in with_ratio], len(with_ratio) > 6)
    ax.set_ylabel("speed on screen / in RAM")
    ax.set_title(thinned_title("Screen against RAM", dropped) if with_ratio else "Screen against RAM: no RAM runs",
                 fontsize="medium")

    if probe_names:
        ax = axes[3]

        def probe(column, name):
            found = [p["ratio"] for p in column["probes"] if p["name"] == name]
            return (found[0], None) if found else None
        grouped_bars(ax, columns, probe_names, probe)
        tick_labels(ax, probe_names, False)
        ax.set_ylabel("MPixels/s on screen / in RAM")
        ax.set_title("Mapping probes", fontsize="medium")

    handles = [Patch(color=colour_value(i, len(columns)), label=name) for i, name in enumerate(names)]
    legend_axes.legend(handles=handles, loc="upper left", ncols=legend_columns, fontsize="small", title="columns",
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


def figure_make(columns, rows):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            return build_figure(columns, rows)
    except ImportError as e:
        raise CannotWrite(f"a chart needs matplotlib (python3-matplotlib): {e}") from None
