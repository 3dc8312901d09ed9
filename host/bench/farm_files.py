"""Made-up farms from one real results file: copies that fbbench could have
written on other boards, nights and kernels, each figure scaled, and with
as many runs per figure as asked."""

import copy
import random
import statistics

STATS = ("median", "min", "max", "mean")


def results_stats(values):
    """The statistics fbbench records for a figure's valid runs."""
    mean = statistics.fmean(values)
    return {"max": max(values), "mean": mean, "median": statistics.median(values), "min": min(values),
            "resolution_limited": False, "runs": len(values), "settled": True,
            "spread_percent": (max(values) - min(values)) / mean * 100 if len(values) > 1 and mean else None,
            "stddev": statistics.stdev(values) if len(values) > 1 else None}


def remade(data, scale, runs=1, noise=0.0, rng=None):
    """data with every figure scaled by scale(program, metric) and each run
    of a figure repeated runs times, each copy times 1 ± noise (normal):
    the results' statistics follow from the runs, as fbbench makes them."""
    rng = rng or random.Random(0)
    made = copy.deepcopy(data)
    new_runs, values = [], {}
    for run in data["runs"]:
        if not run["valid"] or run.get("warmup", False) or not run.get("values"):
            new_runs.append(copy.deepcopy(run))
            continue
        for _ in range(runs):
            copied = copy.deepcopy(run)
            for metric, value in run["values"].items():
                v = round(value * scale(run["program"], metric) * (1 + rng.gauss(0, noise)), 6)
                copied["values"][metric] = v
                values.setdefault((run["program"], run["path"], run["target"], metric), []).append(v)
            new_runs.append(copied)
    made["runs"] = new_runs
    targets = {"device": "device", "memory": "memory", "display": "display"}
    for result in made["results"]:
        for field, target in targets.items():
            found = values.get((result["program"], result.get("path", data["device"]), target, result["metric"]))
            if field in result and found:
                result[field] = results_stats(found)
    return made


def farm_file(data, index, rng, depth=None, host=None, started=None):
    """The index-th board of a farm: its own host, board name, night,
    kernel and speed (each program within a factor of three of the real
    board's); host and started, when given, name the board and the night."""
    speeds = {}

    def scale(program, metric):
        speed = speeds.setdefault(program, rng.uniform(0.33, 3.0)) * speeds.setdefault(metric, rng.uniform(0.9, 1.1))
        # A time shrinks as the board gets faster.
        return 1 / speed if metric == "time" else speed
    made = remade(data, scale, rng=rng)
    made["host"] = host or f"board{index:04d}"
    made["system"]["board_model"] = f"{data['system'].get('board_model', 'board')} #{index % 37}"
    made["system"].setdefault("kernel", {})["release"] = rng.choice(["6.1.0-50-armmp", "6.1.0-51-armmp",
                                                                     "6.12.95+deb12-arm64"])
    made["started"] = started or f"2026-{1 + index % 12:02d}-{1 + index % 28:02d}T{index % 24:02d}:00:00Z"
    made["options"]["quick"] = index % 5 == 0
    if depth is not None:
        for device in made["devices"]:
            for part in ("screen", "var", "sysfs"):
                if "bits_per_pixel" in device.get(part, {}):
                    device[part]["bits_per_pixel"] = depth
    return made
