"""The comparison's cells: each column's median against the baseline's, the
best of a row, marks and ratios; its notes; the systems side by side."""

import math
import re

from .columns import QUICK_MARK, QUICK_SESSION, per_level, quick_mixed, row_name, same_workload, stats
from .text import one_line

# The marks a cell can carry, in the order their notes are printed.
MARK_NOT_SETTLED = "¹"
MARK_RESOLUTION = "²"
MARK_WORKLOAD = "†"
MARK_NOTES = {
    MARK_NOT_SETTLED: "did not settle: the runs' spread stayed above fbbench's limit",
    MARK_RESOLUTION: "resolution-limited: the figure is too coarse, in its printed steps, to tell values apart",
    MARK_WORKLOAD: "different workloads (window, depth or workload version): this ratio compares unlike work",
}

# 64-bit kernels whose machine name (uname -m) does not say 64.
SIXTY_FOUR_BIT_MACHINES = ("s390x", "alpha")


def relative(value, baseline, higher):
    """value against baseline, above 1 when value is the better one; None
    when either is missing or the direction is not known."""
    if not value or not baseline or higher is None:
        return None
    ratio = value / baseline if higher else baseline / value
    return ratio if math.isfinite(ratio) else None


def figure(value):
    """A figure in two decimals, as the programs print them, or in two
    significant digits below 0.1, so that 0.005 stays 0.005."""
    if value == 0 or abs(value) >= 0.1:
        return f"{value:.2f}"
    return f"{value:.2g}"


def cell_marks(found):
    marks = ""
    if found and found.get("settled") is False:
        marks += MARK_NOT_SETTLED
    if found and found.get("resolution_limited") is True:
        marks += MARK_RESOLUTION
    return marks


def judged(found):
    """Whether a figure can be called the best: two or more runs that settled."""
    return found is not None and found["runs"] >= 2 and found.get("settled") is not False


def best_of(values, higher):
    """The best of the values, when two or more can be compared, else None."""
    if len(values) < 2 or higher is None:
        return None
    return max(values) if higher else min(values)


def best_by_kind(columns, figure_of, higher):
    """{quick: the best of the figures of that kind of session}: quick
    sessions rank among themselves and full ones among themselves, so that a
    quick run is never called better than a full session's. figure_of gives
    a column's figure, or None where it cannot be judged."""
    best = {}
    for kind in (False, True):
        values = [figure_of(c) for c in columns if c["quick"] == kind]
        best[kind] = best_of([v for v in values if v is not None], higher)
    return best


def row_cells(columns, row):
    """Per column, None or the cell's parts: the screen's statistics and
    marks, its ratio to the baseline and whether that ratio compares unlike
    work, the display's statistics, and the screen/RAM and display/screen
    speed ratios, above 1 when the first is the faster."""
    key, higher = row["key"], row["higher"]
    medians = [(stats(c, key) or {}).get("median") for c in columns]
    workloads = [c["workload"] for c in columns if stats(c, key)]
    # No best among unlike work, nor where the file does not say which way is
    # better. A screen drawn into a shadow that a flush pushes out runs at
    # RAM's speed: its screen figure is no match for a direct one.
    alike = all(same_workload(w, workloads[0]) for w in workloads)

    def screen_judged(column):
        return judged(stats(column, key)) and column["entry"].get("needs_flush") is not True

    def screen_figure(column):
        return stats(column, key)["median"] if alike and screen_judged(column) else None

    def display_figure(column):
        found = stats(column, key, "display")
        return found["median"] if alike and judged(found) else None
    best, best_display = best_by_kind(columns, screen_figure, higher), best_by_kind(columns, display_figure, higher)
    cells = []
    for index, column in enumerate(columns):
        found = stats(column, key)
        if found is None:
            cells.append(None)
            continue
        result = column["rows"][key]
        memory, display = result.get("memory"), result.get("display")
        cells.append({
            "stats": found,
            "best": best[column["quick"]] is not None and screen_figure(column) == best[column["quick"]],
            "marks": cell_marks(found),
            "relative": relative(found["median"], medians[0], higher) if index > 0 else None,
            "unlike": not same_workload(column["workload"], columns[0]["workload"]),
            "memory": memory,
            "screen_ram": relative(found["median"], (memory or {}).get("median"), higher),
            "ratio_marks": cell_marks(memory),
            "display": display,
            "display_marks": cell_marks(display),
            "display_best": best_display[column["quick"]] is not None
            and display_figure(column) == best_display[column["quick"]],
            "display_screen": relative((display or {}).get("median"), found["median"], higher),
        })
    return cells


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


def spread_text(s):
    """n and the range of the runs, the range left out when it is one value."""
    if s["min"] == s["max"]:
        return f"n={s['runs']}"
    return f"n={s['runs']}, {figure(s['min'])}–{figure(s['max'])}"


def comparison_rows(columns, rows):
    """The comparison's lines: (row name, cells) and the marks used."""
    lines, used = [], set()
    for row in rows:
        cells = row_cells(columns, row)
        for cell in cells:
            if cell:
                used.update(cell["marks"] + cell["ratio_marks"] + cell["display_marks"])
                if cell["relative"] is not None and cell["unlike"]:
                    used.add(MARK_WORKLOAD)
        lines.append((row_name(row), cells))
    return lines, used


def notes(columns, used):
    first = (f"Median of the valid screen runs, with their number n and range min–max. "
             f"Every ratio reads above 1 is better (for a time, the inverse of the times' ratio): "
             f"×N against {columns[0]['header']}; screen/RAM, the screen's speed against RAM's; "
             f"display/screen, what reaches the display against what is drawn. "
             f"Bold: the best screen figure of the row among devices drawn directly (a device that needs a flush "
             f"draws into a copy in RAM), and the best display figure, each among settled figures of two or more "
             f"runs of the same workload.")
    quick = [f"{QUICK_MARK} a {QUICK_SESSION}."] if any(c["quick"] for c in columns) else []
    if quick_mixed(columns):
        quick.append(f"Quick and full sessions side by side: a ratio between them compares unlike measurements, "
                     f"and bold ranks {QUICK_MARK} columns only among themselves, full ones among themselves.")
    return [first] + [f"{mark} {MARK_NOTES[mark]}." for mark in MARK_NOTES if mark in used] + quick


def device_named(message, paths):
    """The device a warning is about: the first of paths its message names,
    as in "/dev/fb0 is a shadow …; measure /dev/dri/card0", or None."""
    found = [(m.start(), path) for path in paths
             for m in [re.search(re.escape(path) + r"(?![\w/])", message)] if m]
    return min(found)[1] if found else None


def warnings_for(column):
    """The file's warnings that concern the column's device: those about it,
    and those about no device of the file that has a column of its own (one
    that could not be opened has none)."""
    data = column["data"]
    paths = [d["path"] for d in data["devices"]]
    columned = {r.get("path", data["device"]) for r in data["results"]} or set(paths)
    return [w for w in data["warnings"]
            if device_named(w["message"], paths) in (column["device"], None)
            or device_named(w["message"], paths) not in columned]


def warnings_grouped(warnings):
    """{kind: [messages]}, kinds in the order they first came."""
    groups = {}
    for warning in warnings:
        groups.setdefault(warning["kind"], []).append(warning["message"])
    return groups


def governors(system):
    found = [p["governor"] for p in system.get("cpufreq", []) if "governor" in p]
    return ", ".join(dict.fromkeys(found))


def kernel_bits(system):
    if "kernel_bits" in system:
        return f"{system['kernel_bits']}-bit"
    machine = system.get("kernel", {}).get("machine")
    # armv8l is what a 64-bit ARM kernel reports to a 32-bit personality:
    # it does not tell the kernel's width.
    if not machine or machine == "armv8l":
        return ""
    bits = 64 if "64" in machine or machine in SIXTY_FOUR_BIT_MACHINES else 32
    return f"{bits}-bit ({machine})"


def driver_of(entry):
    if "drm" in entry:
        return entry["drm"].get("driver", "")
    # An emulation's sysfs driver is its bus device's; its id names the DRM driver.
    if entry.get("driver_kind") == "drm-emulation":
        return entry.get("fix", {}).get("id", "") + " (DRM emulation)"
    return entry.get("sysfs", {}).get("driver") or entry.get("fix", {}).get("id", "")


def warnings_text(column):
    groups = warnings_grouped(warnings_for(column))
    if not groups:
        return "none"
    kinds = [one_line(kind, 40) + (f" ×{len(found)}" if len(found) > 1 else "") for kind, found in groups.items()]
    return f"{sum(len(found) for found in groups.values())}: {', '.join(kinds)}"


def display_of(entry):
    return entry.get("display") or {}


def mode_text(entry):
    screen = entry.get("screen") or {}
    if screen:
        return f"{screen['width']}x{screen['height']}, {screen['bits_per_pixel']} bits"
    if "drm" in entry:
        return one_line(entry["drm"].get("mode", ""), 40)
    var = entry.get("var") or {}
    return f"{var['xres']}x{var['yres']}, {var['bits_per_pixel']} bits" if "xres" in var and "yres" in var \
        and "bits_per_pixel" in var else ""


def refresh_text(entry):
    refresh = display_of(entry).get("refresh") or {}
    if "median_hz" in refresh:
        return f"{figure(refresh['median_hz'])} Hz"
    text = one_line(refresh.get("status", ""), 40)
    if "nominal_hz" in refresh:
        text += f" (mode {figure(refresh['nominal_hz'])} Hz)"
    return text.strip()


def flush_text(entry):
    flush = display_of(entry).get("flush") or {}
    if "method" not in flush:
        return ""
    waits = flush.get("kernel_waits")
    waiting = {True: "the kernel waits", False: "the kernel does not wait"}.get(waits, "waiting unknown")
    return f"{one_line(flush['method'], 20)}, {waiting}"


def updates_per_second(entry):
    """Full-screen updates per second that reach the display, as the update
    probe measured them, or None."""
    value = (display_of(entry).get("update_probe") or {}).get("updates_per_second")
    return value if isinstance(value, (int, float)) and not isinstance(value, bool) else None


def updates_text(entry):
    probe = display_of(entry).get("update_probe") or {}
    value = updates_per_second(entry)
    if value is not None:
        return figure(value) + (" (at most)" if "note" in probe else "")
    return f"skipped: {one_line(probe['skipped'], 60)}" if "skipped" in probe else ""


def system_rows(columns):
    """The systems side by side: (name, one text per column)."""
    def device_text(c):
        entry = c["entry"]
        if "error" in entry:
            return f"{c['device']}: {one_line(entry['error'], 80)}"
        return f"{c['device']} ({entry['kind']})" if "kind" in entry else c["device"]

    def window_full(c):
        w = c["window"]
        if not w:
            return "not recorded"
        return f"{w['width']}x{w['height']} at ({w['posx']}, {w['posy']}), {c['workload']['depth'] or '?'} bits"

    def cpu_text(c):
        cpu = c["data"]["system"].get("cpu", {})
        names = ", ".join(dict.fromkeys(cpu.get("core_names", [])))
        return " / ".join(t for t in (one_line(cpu.get("model", ""), 60), names) if t)

    fields = [
        ("board", lambda c: one_line(c["data"]["system"].get("board_model", "").strip("\0 "))
         or one_line(c["data"].get("host", ""))),
        ("CPU", cpu_text),
        ("cores", lambda c: str(c["data"]["system"].get("cpu", {}).get("cores", ""))),
        ("governor", lambda c: governors(c["data"]["system"])),
        ("kernel", lambda c: one_line(c["data"]["system"].get("kernel", {}).get("release", ""), 60)),
        ("kernel bits", lambda c: kernel_bits(c["data"]["system"])),
        ("device", device_text),
        ("driver", lambda c: one_line(driver_of(c["entry"]), 60)),
        ("mapping class", lambda c: c["entry"].get("mapping", {}).get("class", "")),
        ("mode", lambda c: mode_text(c["entry"])),
        ("refresh", lambda c: refresh_text(c["entry"])),
        ("flush", lambda c: flush_text(c["entry"])),
        ("updates/s", lambda c: updates_text(c["entry"])),
        ("window", window_full),
        ("OS", lambda c: one_line(c["data"]["system"].get("os", ""), 60)),
        ("fbbench", lambda c: one_line(c["data"].get("fbbench_version", ""), 30)),
        ("warnings", warnings_text),
    ]
    return [(name, [value(c) or "—" for c in columns]) for name, value in fields]
