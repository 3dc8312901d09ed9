"""The comparison's cells: each column's median against the baseline's, the
best of a row, marks and ratios; its notes; the systems side by side."""

import math

from .columns import row_name, same_workload, stats
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


def cell_marks(found):
    marks = ""
    if found and found.get("settled") is False:
        marks += MARK_NOT_SETTLED
    if found and found.get("resolution_limited") is True:
        marks += MARK_RESOLUTION
    return marks


def row_cells(columns, row):
    """Per column, None or the cell's parts: median, n, range, marks, its
    ratio to the baseline and whether that ratio compares unlike work, the
    screen/RAM and display/screen ratios."""
    key, higher = row["key"], row["higher"]
    medians = [(stats(c, key) or {}).get("median") for c in columns]
    present = [m for m in medians if m is not None]
    workloads = [c["workload"] for c in columns if stats(c, key)]
    # No best among unlike work, nor where the file does not say which way is better.
    alike = all(same_workload(w, workloads[0]) for w in workloads)
    best = (max(present) if higher else min(present)) if len(present) > 1 and alike and higher is not None else None
    cells = []
    for index, column in enumerate(columns):
        found = stats(column, key)
        if found is None:
            cells.append(None)
            continue
        result = column["rows"][key]
        memory = result.get("memory")
        cells.append({
            "stats": found,
            "best": found["median"] == best,
            "marks": cell_marks(found),
            "relative": relative(found["median"], medians[0], higher) if index > 0 else None,
            "unlike": not same_workload(column["workload"], columns[0]["workload"]),
            "ratio": result.get("ratio"),
            "ratio_marks": cell_marks(memory),
            "display_ratio": result.get("display_ratio"),
        })
    return cells


def spread_text(s):
    """n and the range of the runs, the range left out when it is one value."""
    if s["min"] == s["max"]:
        return f"n={s['runs']}"
    return f"n={s['runs']}, {s['min']:.2f}–{s['max']:.2f}"


def comparison_rows(columns, rows):
    """The comparison's lines: (row name, cells) and the marks used."""
    lines, used = [], set()
    for row in rows:
        cells = row_cells(columns, row)
        for cell in cells:
            if cell:
                used.update(cell["marks"] + cell["ratio_marks"])
                if cell["relative"] is not None and cell["unlike"]:
                    used.add(MARK_WORKLOAD)
        lines.append((row_name(row), cells))
    return lines, used


def notes(columns, used):
    first = (f"Median of the valid screen runs, with their number n and range min–max; bold: the best of the row, "
             f"where its columns measured the same workload; "
             f"×N: against {columns[0]['header']}, above 1 is better; "
             f"screen/RAM: the screen's median over the RAM runs' median.")
    return [first] + [f"{mark} {MARK_NOTES[mark]}." for mark in MARK_NOTES if mark in used]


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


def warnings_of(data):
    kinds = list(dict.fromkeys(one_line(w["kind"], 40) for w in data["warnings"]))
    return f"{len(data['warnings'])}: {', '.join(kinds)}" if kinds else "none"


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
        ("window", window_full),
        ("warnings", lambda c: warnings_of(c["data"])),
    ]
    return [(name, [value(c) or "—" for c in columns]) for name, value in fields]
