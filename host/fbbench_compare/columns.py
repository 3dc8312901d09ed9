"""One column per file and device: what it measured, in which window, and
the rows of every column in one order.

A row is one metric of one program: (program, points per frame or None,
metric). Names, units and directions come from the files themselves."""

import os

from .text import one_line

# A column of a session of fbbench --quick, in its header and the notes.
QUICK_MARK = "(quick)"
QUICK_SESSION = ("quick session (fbbench --quick): fewer runs and Sierpinski levels than a full one, "
                 "its figures less sure")
# The kind of the warning that quick and full sessions are compared together.
WARNING_QUICK_MIXED = "quick-mixed"


def device_entry(data, path):
    for device in data["devices"]:
        if device["path"] == path:
            return device
    return {}


def depth_of(device):
    """Bits per pixel of the screen the programs used, or None."""
    screen = device.get("screen") or device.get("var") or {}
    if "bits_per_pixel" in screen:
        return screen["bits_per_pixel"]
    # fbbench draws on a DRM device through a 32-bit dumb buffer.
    return 32 if device.get("kind") == "drm" else None


def window_of(device):
    """The window {width, height, posx, posy} the programs drew in, as fbbench
    recorded it, or None: files before fbbench-results/2 do not record it."""
    window = device.get("window")
    if not window:
        return None
    return {"width": window["width"], "height": window["height"],
            "posx": window.get("posx", 0), "posy": window.get("posy", 0)}


def window_text(window):
    return f"{window['width']}x{window['height']}" if window else "unknown window"


def screen_size(device):
    screen = device.get("screen") or {}
    var = device.get("var") or {}
    drm = device.get("drm") or {}
    return (screen.get("width", var.get("xres")), screen.get("height", var.get("yres")), drm.get("mode"))


def workload_of(data, device):
    """What makes two runs of a program the same work: the window's size,
    the depth and the version of the workload definition. Where the window
    is not recorded, what it was made from stands in: the same variables on
    the same screen give the same window."""
    window = window_of(device)
    inputs = None
    if window is None and any(v is not None for v in screen_size(device)):
        inputs = (tuple(sorted(data["window"].items())), screen_size(device))
    return {"window": (window["width"], window["height"]) if window else None, "inputs": inputs,
            "depth": depth_of(device), "version": data.get("workload_version", 1)}


def workload_difference(a, b):
    def shown(value, unit=""):
        return "unknown" if value is None else f"{value}{unit}"
    parts = []
    same_inputs = a["inputs"] is not None and a["inputs"] == b["inputs"]
    if (a["window"] != b["window"] or a["window"] is None) and not same_inputs:
        parts.append("window " + " against ".join("x".join(map(str, w)) if w else "unknown"
                                                 for w in (a["window"], b["window"])))
    if a["depth"] != b["depth"] or a["depth"] is None:
        parts.append(f"depth {shown(a['depth'], ' bits')} against {shown(b['depth'], ' bits')}")
    if a["version"] != b["version"]:
        parts.append(f"workload version {a['version']} against {b['version']}")
    return ", ".join(parts)


def same_workload(a, b):
    return not workload_difference(a, b)


def row_key(result):
    """(program, points, metric): one row of the comparison."""
    return (result["program"], result.get("points"), result["metric"])


def program_name(program):
    """A program's name as a row heading: rectangle-bench is Rectangle."""
    name = program[:-len("-bench")] if program.endswith("-bench") and len(program) > 6 else program
    return one_line(name[:1].upper() + name[1:], 60)


def short_name(key):
    program, points, metric = key
    name = program_name(program)
    return f"{name} {points} points" if points else name


def row_name(row):
    return f"{row['name']} ({row['unit']})" if row["unit"] else row["name"]


def base_label(path, data):
    board = one_line(data["system"].get("board_model", "").strip("\0 "))
    if board:
        return board
    host = one_line(data.get("host", ""))
    return host or os.path.basename(path)


def labels_disambiguate(columns):
    """Labels made unique by what differs between the columns that share
    one: device, window, date, file name, in that order."""
    qualifiers = (
        lambda c: c["device"],
        lambda c: window_text(c["window"]),
        lambda c: c["data"]["started"][:16].replace("T", " "),
        lambda c: os.path.basename(c["path"]),
    )
    labels = [c["label"] for c in columns]
    for qualifier in qualifiers:
        groups = {}
        for index, label in enumerate(labels):
            groups.setdefault(label, []).append(index)
        for group in groups.values():
            values = [qualifier(columns[i]) for i in group]
            if len(group) > 1 and len(set(values)) > 1:
                for i, value in zip(group, values):
                    labels[i] += " " + value
    # The same file given twice: numbered.
    counts, seen = {label: labels.count(label) for label in labels}, {}
    for index, label in enumerate(labels):
        seen[label] = seen.get(label, 0) + 1
        if counts[label] > 1:
            labels[index] = f"{label} #{seen[label]}"
    for column, label in zip(columns, labels):
        column["label"] = label


def make_columns(files, labels):
    """One column per (file, device): its label, workload and results by row."""
    columns = []
    for index, (path, data) in enumerate(files):
        label = one_line(labels[index]) if labels else base_label(path, data)
        devices = []
        for result in data["results"]:
            device = result.get("path", data["device"])
            if device not in devices:
                devices.append(device)
        # A file of fbbench --describe measured nothing: a column per device it describes.
        if not devices:
            devices = [d["path"] for d in data["devices"]] or [data["device"]]
        for device in devices:
            entry = device_entry(data, device)
            rows = {}
            for result in data["results"]:
                if result.get("path", data["device"]) == device:
                    rows[row_key(result)] = result
            probes = [p for p in entry.get("mapping", {}).get("probes", []) if "ratio" in p]
            described_only = not data["runs"] and not data["results"]
            columns.append({"path": path, "data": data, "device": device, "entry": entry, "label": label,
                            "several": len(devices) > 1, "rows": rows, "probes": probes,
                            "described_only": described_only,
                            # A description measured nothing: no figure of it is less sure. A ladder
                            # cut by FBBENCH_LEVELS (options.levels) is no full session either.
                            "quick": (data["options"].get("quick") is True or "levels" in data["options"])
                            and not described_only,
                            "window": window_of(entry), "workload": workload_of(data, entry)})
    labels_disambiguate(columns)
    return columns


def column_name(column):
    """The column as the messages name it: its file, and its device when the
    file has several."""
    return f"{column['path']} ({column['device']})" if column["several"] else column["path"]


def make_rows(columns):
    """Every row of any column: programs in the order the files first list
    them, a program's levels by their points. Each row is a dict of key,
    name, unit and higher (True, False, or None when no file says)."""
    found, order = {}, {}
    for column in columns:
        for key, result in column["rows"].items():
            order.setdefault(key[0], len(order))
            row = found.setdefault(key, {"key": key, "name": short_name(key), "unit": result.get("unit", ""),
                                         "higher": None})
            if row["higher"] is None and isinstance(result.get("higher_is_better"), bool):
                row["higher"] = result["higher_is_better"]
    rows = sorted(found.values(), key=lambda r: (order[r["key"][0]], r["key"][1] or 0, r["key"][2]))
    # A program with several metrics of no level: each named by its metric.
    names = [r["name"] for r in rows]
    for row in rows:
        if names.count(row["name"]) > 1:
            row["name"] = f"{row['name']} {one_line(row['key'][2], 60)}"
    return rows


def workloads_check(columns, rows):
    """The first two columns that measured a row with different workloads, as
    one line, or None."""
    for row in rows:
        present = [c for c in columns if row["key"] in c["rows"]]
        for column in present[1:]:
            difference = workload_difference(present[0]["workload"], column["workload"])
            if difference:
                return (f"{column_name(present[0])} and {column_name(column)} measured different workloads "
                        f"({difference}); --allow-different-workloads compares them anyway")
    return None


def quick_mixed(columns):
    """Whether quick sessions are compared with full ones; descriptions,
    which measured nothing, are neither."""
    kinds = {c["quick"] for c in columns if not c["described_only"]}
    return len(kinds) > 1


def quick_check(columns):
    """One line when quick sessions are compared with full ones, or None:
    quick sessions alone compare alike."""
    if not quick_mixed(columns):
        return None
    quick = list(dict.fromkeys(c["path"] for c in columns if c["quick"]))
    which = f"{quick[0]} and {len(quick) - 1} more are quick sessions" if len(quick) > 1 \
        else f"{quick[0]} is a quick session"
    return (f"{which} (fbbench --quick) compared with full ones; compare quick runs with quick runs, "
            f"or measure again without --quick")


def column_marks(column):
    """What a column's name carries beside its label: a quick session, a
    file that measured nothing or not all it set out to."""
    marks = [QUICK_MARK] if column["quick"] else []
    if column["described_only"]:
        marks.append("(described only)")
    elif column["data"]["complete"] is False:
        marks.append("(incomplete)")
    return marks


def headers_make(columns, show_windows):
    for column in columns:
        header = column["label"]
        if show_windows and not header.endswith(window_text(column["window"])):
            header += f" [{window_text(column['window'])}]"
        column["header"] = " ".join([header] + column_marks(column))


def stats(column, key, field="device"):
    return (column["rows"].get(key) or {}).get(field)


def per_level(key):
    return key[1] is not None
