"""Changes between a session and the one before it on the same board,
device, window and depth, flagged where they are larger than the runs'
noise: a two-sided Mann-Whitney U test on the runs (scipy.stats)."""

import statistics

from .columns import same_workload
from .load import CannotWrite
from .ranking import main_figure
from .tables import summary_rows

P_LIMIT = 0.01
MIN_CHANGE = 0.02
# Fewer valid runs than this tell no change from noise.
MIN_RUNS = 3


def run_values(column, key, target):
    """The values of the column's valid runs of a row, warm-ups left out."""
    program, _, metric = key
    data = column["data"]
    return [run["values"][metric] for run in data["runs"]
            if run["program"] == program and run["path"] == column["device"] and run["target"] == target
            and run["valid"] and not run.get("warmup", False) and metric in (run.get("values") or {})]


def change_of(now, before, higher):
    """{change, p, flagged, regression, reason} between two figures' runs."""
    if len(now) < MIN_RUNS or len(before) < MIN_RUNS:
        return {"flagged": False, "change": None, "p": None, "regression": False,
                "runs": (len(before), len(now)), "reason": f"fewer than {MIN_RUNS} valid runs: not judged"}
    try:
        from scipy.stats import mannwhitneyu
    except ImportError as e:
        raise CannotWrite(f"regressions need scipy (python3-scipy): {e}") from None
    base = statistics.median(before)
    change = statistics.median(now) / base - 1 if base else 0.0
    p = float(mannwhitneyu(now, before, alternative="two-sided").pvalue)
    flagged = p < P_LIMIT and abs(change) >= MIN_CHANGE
    worse = change < 0 if higher else change > 0
    return {"flagged": flagged, "change": change, "p": p, "regression": flagged and higher is not None and worse,
            "runs": (len(before), len(now)), "reason": None}


def column_changes(column, previous, rows):
    """The changes of each main figure of column since previous."""
    found = []
    for row in summary_rows([column, previous], rows):
        shown = main_figure(column, row["key"])
        if shown is None:
            continue
        target = "display" if shown[0] == "display" else "device"
        before = run_values(previous, row["key"], target)
        if not before and target == "display":
            continue
        change = change_of(run_values(column, row["key"], target), before, row["higher"])
        found.append(dict(change, key=row["key"], name=row["name"], before=previous["label"]))
    return found


def previous_of(column, candidates):
    """The latest of candidates before column on its host and device, of
    the same workload, or None."""
    host, started = column["data"].get("host"), column["data"]["started"]
    earlier = [c for c in candidates if c["data"].get("host") == host and c["device"] == column["device"]
               and c["data"]["started"] < started and same_workload(c["workload"], column["workload"])]
    return max(earlier, key=lambda c: c["data"]["started"]) if earlier else None


def flags_make(columns, rows, earlier=()):
    """{column index: changes} against the previous session among the
    columns and earlier (columns of sessions before them)."""
    candidates = list(columns) + list(earlier)
    flags = {}
    for index, column in enumerate(columns):
        previous = previous_of(column, candidates)
        if previous is not None:
            flags[index] = column_changes(column, previous, rows)
    return flags


def regressions(flags):
    return [f for changes in flags.values() for f in changes if f["regression"]]
