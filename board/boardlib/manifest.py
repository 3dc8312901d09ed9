"""The benchmarks, as the board build's fbbench lists them: the manifest it
writes to share/fbbench/benchmarks.json in its build tree."""

import json
import os
import re

from .errors import BoardError


class ManifestError(BoardError):
    pass


def manifest_path(build_dir):
    return os.path.join(build_dir, "share", "fbbench", "benchmarks.json")


def manifest_read(build_dir):
    """The manifest's benchmarks, in its order: dicts with name, metric, unit,
    title, line_format, per_level and the rest."""
    path = manifest_path(build_dir)
    try:
        with open(path) as f:
            benchmarks = json.load(f)["benchmarks"]
        if not benchmarks or not all(isinstance(b.get("name"), str) for b in benchmarks):
            raise ValueError("no benchmark names")
    except (OSError, ValueError, KeyError, TypeError) as e:
        raise ManifestError("cannot read the benchmark list %s (%s); build the board preset first"
                            % (path, e))
    return benchmarks


def manifest_names(build_dir):
    return [b["name"] for b in manifest_read(build_dir)]


def line_values(fmt, line):
    """The numbers in a report line written by printf format fmt, or None
    when the line is not exactly what that format writes."""
    pattern, kinds = "", []
    for literal, width, precision, conv in re.findall(r"([^%]*)(?:%(\d*)(?:\.(\d+))?([df]))?", fmt):
        pattern += re.escape(literal)
        if conv:
            number = r"-?[0-9]+" + (r"\.[0-9]{%s}" % (precision or 6) if conv == "f" else "")
            pattern += "( *%s)" % number if width else "(%s)" % number
            kinds.append(int if conv == "d" else float)
    m = re.fullmatch(pattern, line)
    if not m:
        return None
    values = tuple(k(v) for k, v in zip(kinds, m.groups()))
    return values if fmt % values == line else None


def report_problem(bench, text):
    """None if the report is what the benchmark list says it writes, else what is wrong."""
    if text is None:
        return "no report"
    if not text.endswith("\n"):
        return "report does not end with a newline"
    lines = text[:-1].split("\n")
    if bench["per_level"]:
        if len(lines) < 3 or lines[0] != bench["title"] or lines[1] != "" or lines[-1] != "":
            return "expected the title, an empty line, the levels, an empty line"
        body = lines[2:-1]
    else:
        if len(lines) != 2 or lines[0] != bench["title"]:
            return "expected 2 lines, the title then the result"
        body = lines[1:]
    previous = None
    for line in body:
        values = line_values(bench["line_format"], line)
        if values is None:
            return "bad result line %r (not %r)" % (line, bench["line_format"])
        # each level doubles the work of the one before
        if bench["per_level"] and previous is not None and values[0] != 2 * previous:
            return "level %r does not double the one before" % line
        previous = values[0]
    return None
