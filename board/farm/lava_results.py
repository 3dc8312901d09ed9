"""LAVA's own results of an fbbench job, checked against what the job's
results file says they must be."""

import json
import os
import subprocess
import sys

# fbbench-lava-results' module, and fbbench-compare's package it uses.
SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path[:0] = [os.path.join(SOURCE, "lava"), os.path.join(SOURCE, "host")]
import fbbench_lava_results as recover  # noqa: E402
RECOVER = os.path.join(SOURCE, "lava", "fbbench-lava-results")
from fbbench_compare.files import file_replace  # noqa: E402


def log_results(log_path):
    """The test cases LAVA recorded, from a job log (lava-run's output, or a
    server's YAML log): the "msg" of every entry of level "results"."""
    with open(log_path, encoding="utf-8", errors="replace") as f:
        return [e["msg"] for e in recover.log_entries(f)
                if isinstance(e, dict) and e.get("lvl") == "results" and isinstance(e.get("msg"), dict)]


def results_write(cases, path):
    file_replace(path, "".join("- " + json.dumps(c, sort_keys=True) + "\n" for c in cases).encode())


def expected_cases(fbbench_lava, results_file):
    """fbbench-lava's cases for the recovered file: name to (result, measurement, units)."""
    r = subprocess.run([fbbench_lava, results_file], stdout=subprocess.PIPE, text=True, timeout=60)
    if r.returncode != 0:
        raise RuntimeError("fbbench-lava refused %s" % results_file)
    expected = {}
    for line in r.stdout.splitlines():
        words = line.split()
        expected[words[0]] = (words[1], float(words[2]) if len(words) > 2 else None,
                              words[3] if len(words) > 3 else None)
    return expected


def cases_compare(expected, recorded, benchmarks):
    """What is wrong with LAVA's record of the fbbench definition's cases."""
    problems = []
    by_name = {c.get("case"): c for c in recorded}
    for name, (result, measurement, units) in expected.items():
        c = by_name.get(name)
        if c is None:
            problems.append("LAVA recorded no case %s" % name)
            continue
        if c.get("result") != result:
            problems.append("case %s: result %s, not %s" % (name, c.get("result"), result))
        if measurement is None:
            continue
        try:
            got = float(c.get("measurement"))
        except (TypeError, ValueError):
            problems.append("case %s has no measurement" % name)
            continue
        if got != measurement or c.get("units") != units:
            problems.append("case %s: %s %s, not %s %s" % (name, c.get("measurement"), c.get("units"),
                                                         measurement, units))
    for name in sorted(set(by_name) - set(expected)):
        problems.append("LAVA recorded a case fbbench-lava did not give: %s" % name)
    for b in benchmarks:
        if not any(n.startswith(b + ".") and c.get("units") and "measurement" in c for n, c in by_name.items()):
            problems.append("no case of %s with a measurement and units" % b)
    return problems


def check(log, out, source, tools):
    """Checks a finished job; returns its problems, one line each."""
    recorded = log_results(log)
    results_write(recorded, os.path.join(out, "lava-results.yaml"))
    problems = []
    job = [c for c in recorded if c.get("definition") == "lava" and c.get("case") == "job"]
    if not job or job[-1].get("result") != "pass":
        problems.append("LAVA's job case is %s" % (job[-1].get("result") if job else "missing"))
    ours = [c for c in recorded if str(c.get("definition", "")).endswith("_fbbench")]
    recovered = subprocess.run([sys.executable, RECOVER, "--output-dir", out, log], stdout=subprocess.PIPE,
                               text=True, timeout=120)
    files = recovered.stdout.split()
    if recovered.returncode != 0 or len(files) != 1:
        return problems + ["fbbench-lava-results recovered %d files, with exit status %d"
                           % (len(files), recovered.returncode)]
    print("farm: the results file, recovered from the log: " + files[0], file=sys.stderr)
    valid = subprocess.run([sys.executable, os.path.join(source, "tests", "validate_results.py"), files[0]],
                           timeout=120)
    if valid.returncode != 0:
        problems.append("%s does not match the schema" % files[0])
    manifest = subprocess.run([os.path.join(tools, "fbbench"), "--list-benchmarks"], stdout=subprocess.PIPE,
                              text=True, timeout=60)
    benchmarks = [b["name"] for b in json.loads(manifest.stdout)["benchmarks"]] if manifest.returncode == 0 else []
    if not benchmarks:
        problems.append("fbbench --list-benchmarks named no benchmark")
    expected = expected_cases(os.path.join(tools, "fbbench-lava"), files[0])
    return problems + cases_compare(expected, ours, benchmarks)
