"""What reaches the glass: the presented target's figures of a device
(devices[].presented, fbbench-results/2.1), per program, and the texts every
output shows them in. A program's presented figures belong to the program,
not to one of its levels: they are shown on its first row."""

from .columns import program_name
from .tables import figure
from .text import one_line

# A dropped presented target's mark; its reason is in the notes.
MARK_DROPPED = "‡"
# The figures the exports carry, by their names in devices[].presented.
EXPORTED = ("frames_per_second", "missed_vblanks", "interval_median_ms", "interval_p99_ms", "intervals_flagged",
            "runs", "runs_with_frames_lost")
CSV_HEADER = ["presented_fps", "presented_refresh_hz", "presented_missed_vblanks", "presented_interval_median_ms",
              "presented_interval_p99_ms", "presented_dropped"]


def of_device(column):
    """The device's presented record, or None where it has none."""
    return column["entry"].get("presented")


def dropped(column):
    """Why the device's presented target was dropped, or None."""
    return (of_device(column) or {}).get("dropped")


def of_program(column, program):
    """The program's presented figures on the device, or None."""
    for found in (of_device(column) or {}).get("benchmarks", []):
        if found["program"] == program:
            return found
    return None


def first_rows(rows):
    """The keys of each program's first row."""
    seen = {}
    for row in rows:
        seen.setdefault(row["key"][0], row["key"])
    return set(seen.values())


def shown(column, program):
    """Whether the program has presented figures or a dropped target on the device."""
    return of_program(column, program) is not None or dropped(column) is not None


def cells_mark(columns, rows, lines):
    """Give the cells of each program's first row (lines as comparison_rows
    makes them) the text of what the device presented, as "presented"."""
    firsts = first_rows(rows)
    for row, (_, cells) in zip(rows, lines):
        for column, cell in zip(columns, cells):
            if cell and row["key"] in firsts and shown(column, row["key"][0]):
                cell["presented"] = text(column, row["key"][0])


def refresh_of(column):
    """The refresh the figures are held to, in Hz, or None: the schema does
    not require it beside them."""
    return (of_device(column) or {}).get("refresh_hz")


def at_refresh(column, short=False):
    refresh = refresh_of(column)
    if refresh is None:
        return "@?Hz" if short else "at an unknown refresh"
    return f"@{figure(refresh)}Hz" if short else f"at {figure(refresh)} Hz"


def missed_text(value):
    return str(int(value)) if float(value).is_integer() else figure(value)


def text(column, program):
    """"N frames/s presented at R Hz, M missed", "presented dropped‡", or None."""
    found = of_program(column, program)
    if found is not None:
        return (f"{figure(found['frames_per_second'])} frames/s presented {at_refresh(column)}, "
                f"{missed_text(found['missed_vblanks'])} missed")
    return f"presented dropped{MARK_DROPPED}" if dropped(column) is not None else None


def short(column, program):
    """The same in a ranking's few characters: 60.00@60.00Hz 0m."""
    found = of_program(column, program)
    if found is not None:
        return (f"{figure(found['frames_per_second'])}{at_refresh(column, short=True)} "
                f"{missed_text(found['missed_vblanks'])}m")
    return f"dropped{MARK_DROPPED}" if dropped(column) is not None else "—"


def dropped_notes(columns):
    """One note naming every reason a presented target was dropped, or none."""
    reasons = list(dict.fromkeys(one_line(dropped(c), 200) for c in columns if dropped(c) is not None))
    return [f"{MARK_DROPPED} presented dropped: {'; '.join(reasons)}."] if reasons else []


def sentences(column, programs):
    """The card's sentence: what the display presented, per program."""
    found = [f"{program_name(p)} {text(column, p)}" for p in programs if of_program(column, p) is not None]
    if found:
        return [f"Presented: {'; '.join(found)}."]
    return [f"Presented: dropped, {one_line(dropped(column), 200)}."] if dropped(column) is not None else []


def exported(column, program):
    """The export's object: the figures with the refresh, {"dropped": why}, or None."""
    found = of_program(column, program)
    if found is not None:
        return {"refresh_hz": refresh_of(column), **{k: found[k] for k in EXPORTED if k in found}}
    return {"dropped": dropped(column)} if dropped(column) is not None else None


def csv_values(column, program):
    found = exported(column, program) or {}
    return [found.get("frames_per_second"), found.get("refresh_hz"), found.get("missed_vblanks"),
            found.get("interval_median_ms"), found.get("interval_p99_ms"), found.get("dropped")]
