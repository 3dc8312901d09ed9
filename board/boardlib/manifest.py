"""The benchmarks, as the board build's fbbench lists them: the manifest it
writes to share/fbbench/benchmarks.json in its build tree."""

import json
import os

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
