"""Reading the results files and checking them against their schema, so that
every field the comparison reads has its type."""

import concurrent.futures
import json
import math
import os
import signal
import stat

from .text import one_line

SCHEMAS = ("fbbench-results/1", "fbbench-results/2", "fbbench-results/2.1")
SCHEMA_FILE = "results.schema.json"
# No results file nests deeper than a handful of levels; a deeper one is
# refused before anything walks it.
MAX_DEPTH = 64
# fbbench writes 32- and 64-bit counters; a longer integer is no measurement.
MAX_DIGITS = 20
# Far beyond any results file (each run keeps at most 128 KiB of output).
MAX_BYTES = 64 << 20
# What a results file of any version names as its schema.
RESULTS_SCHEMA = "fbbench-results/"
# From this many files on, they are checked in parallel, WINDOW at a time.
PARALLEL_FROM = 8
WINDOW = 256
# What a worker process keeps between files.
WORKER = {}


class BadInput(Exception):
    """A file or option the comparison cannot use; its text is the message."""


class CannotWrite(Exception):
    """An output that cannot be produced or written; its text is the message."""


def number_float(text):
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"number {one_line(text, 30)} is out of range")
    return value


def number_int(text):
    if len(text.lstrip("-")) > MAX_DIGITS:
        raise ValueError(f"integer of {len(text)} digits is out of range")
    return int(text)


def number_constant(name):
    raise ValueError(f"{name} is not a JSON number")


def depth_check(data):
    stack = [(data, 1)]
    while stack:
        value, depth = stack.pop()
        if depth > MAX_DEPTH:
            raise ValueError(f"nested deeper than {MAX_DEPTH} levels")
        if isinstance(value, dict):
            stack.extend((v, depth + 1) for v in value.values())
        elif isinstance(value, list):
            stack.extend((v, depth + 1) for v in value)


def json_type(value):
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, int):
        return "an integer"
    if isinstance(value, float):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    return "an object"


def violation_text(error):
    """One short line for a schema violation, without the whole value."""
    if error.validator == "type":
        expected = error.validator_value if isinstance(error.validator_value, list) else [error.validator_value]
        return f"is {json_type(error.instance)}, not {' or '.join(expected)}"
    if error.validator in ("enum", "const"):
        allowed = error.validator_value if error.validator == "enum" else [error.validator_value]
        found = json.dumps(error.instance) if not isinstance(error.instance, (dict, list)) else json_type(error.instance)
        return f"is {one_line(found, 60)}, not one of {', '.join(json.dumps(a) for a in allowed)}"
    if error.validator == "propertyNames":
        return f"has a field {one_line(json.dumps(error.instance), 60)} it cannot have"
    return one_line(error.message, 160)


def schema_path():
    """The schema installed beside the package (share/fbbench), else in the
    source tree (doc/)."""
    here = os.path.dirname(os.path.realpath(__file__))
    for candidate in (os.path.join(here, "..", "..", SCHEMA_FILE),
                      os.path.join(here, "..", "..", "doc", SCHEMA_FILE)):
        if os.path.isfile(candidate):
            return os.path.normpath(candidate)
    return None


def validator_make():
    try:
        import jsonschema
    except ImportError as e:
        raise CannotWrite(f"checking the files needs jsonschema (python3-jsonschema): {e}") from None
    path = schema_path()
    if path is None:
        raise CannotWrite(f"cannot find {SCHEMA_FILE} beside the program")
    try:
        with open(path, "rb") as f:
            schema = json.load(f)
    except (OSError, ValueError) as e:
        raise CannotWrite(f"{path}: cannot read the schema: {e}") from None
    return jsonschema.Draft202012Validator(schema), jsonschema.exceptions.best_match


def file_read(path, limit=MAX_BYTES):
    """The first limit bytes of the regular file at path, and whether there
    is more. A FIFO or device is refused before it is read."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOCTTY)
    except OSError as e:
        raise BadInput(f"{path}: cannot read: {e.strerror}") from None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise BadInput(f"{path}: not a regular file")
        parts, left = [], limit + 1
        while left > 0:
            part = os.read(fd, min(left, 1 << 20))
            if not part:
                break
            parts.append(part)
            left -= len(part)
    except OSError as e:
        raise BadInput(f"{path}: cannot read: {e.strerror}") from None
    finally:
        os.close(fd)
    raw = b"".join(parts)
    return raw[:limit], len(raw) > limit


def is_results_file(path):
    """Whether path is an existing file that holds a results file of any
    version: a JSON object whose schema says so, its keys in any order. One
    that cannot be read is taken for one: it cannot be told apart."""
    try:
        raw, more = file_read(path)
    except BadInput as e:
        if os.path.lexists(path) and stat.S_ISREG(os.lstat(path).st_mode):
            raise BadInput(f"{path}: cannot tell whether it is a results file: {e}") from None
        return False
    if more:
        return False
    try:
        data = json.loads(raw)
    except (ValueError, RecursionError):
        return False
    return isinstance(data, dict) and isinstance(data.get("schema"), str) and data["schema"].startswith(RESULTS_SCHEMA)


def load(path, validator):
    """The results file at path, checked against the schema."""
    return load_raw(path, validator)[0]


def load_raw(path, validator):
    """The results file at path, checked against the schema, and its bytes."""
    raw, more = file_read(path)
    return parse(path, raw, more, validator), raw


def parse(path, raw, more, validator):
    check, best_match = validator
    if more:
        raise BadInput(f"{path}: larger than {MAX_BYTES >> 20} MiB, not a results file")
    try:
        data = json.loads(raw, parse_float=number_float, parse_int=number_int, parse_constant=number_constant)
        depth_check(data)
    except RecursionError:
        raise BadInput(f"{path}: not JSON: nested too deeply") from None
    except ValueError as e:
        raise BadInput(f"{path}: not JSON: {one_line(e)}") from None
    if not isinstance(data, dict) or "schema" not in data:
        raise BadInput(f"{path}: not an fbbench results file (no schema)")
    if data["schema"] not in SCHEMAS:
        raise BadInput(f"{path}: schema {one_line(json.dumps(data['schema']), 60)} is not "
                       f"{' or '.join(SCHEMAS)}")
    error = best_match(check.iter_errors(data))
    if error is not None:
        raise BadInput(f"{path}: {error.json_path}: {violation_text(error)}")
    # A file of fbbench --describe holds no run and no result: it describes.
    described_only = not data["runs"] and not data["results"]
    if not described_only and not any(r["valid"] and not r.get("warmup", False) for r in data["runs"]):
        raise BadInput(f"{path}: no valid run")
    return data


def checked(name):
    """A worker's part: the file's bytes, or why the schema refuses it."""
    try:
        return load_raw(name, WORKER["validator"])[1], None
    except BadInput as e:
        return None, str(e)


def worker_start():
    # The command's own process answers the ending signals and stops the pool.
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, signal.SIG_IGN)
    WORKER["validator"] = validator_make()


def files_checked(files, validator):
    """(name, data, raw, refusal) of each file, in order. Checking a file
    against the schema takes most of the time of reading it: many files are
    checked by a process per core, a window at a time, so that few wait in
    memory."""
    cores = len(os.sched_getaffinity(0))
    if len(files) < PARALLEL_FROM or cores < 2:
        for name in files:
            try:
                data, raw = load_raw(name, validator)
                yield name, data, raw, None
            except BadInput as e:
                yield name, None, None, str(e)
        return
    with concurrent.futures.ProcessPoolExecutor(max_workers=min(cores, 8), initializer=worker_start) as pool:
        for start in range(0, len(files), WINDOW):
            window = files[start:start + WINDOW]
            for name, (raw, refusal) in zip(window, pool.map(checked, window, chunksize=8)):
                # Checked already: the bytes are read as load reads them.
                yield name, None if raw is None else json.loads(raw), raw, refusal
