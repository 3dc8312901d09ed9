"""Checks a results file that fbbench wrote against doc/results.schema.json:
exit 0, or 1 with the first violation and its JSON path; 77 (skipped) when
python3-jsonschema is missing."""

import json
import os
import sys

SCHEMA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "doc", "results.schema.json")


def refuse_constant(name):
    raise ValueError(f"{name} is not a JSON number")


def main(argv):
    if len(argv) != 2:
        print("usage: validate_results.py RESULTS.json", file=sys.stderr)
        return 2
    try:
        import jsonschema
    except ImportError:
        print("skipped: no python3-jsonschema to check the file with")
        return 77
    with open(SCHEMA) as f:
        validator = jsonschema.Draft202012Validator(json.load(f))
    try:
        with open(argv[1]) as f:
            data = json.load(f, parse_constant=refuse_constant)
    except (OSError, ValueError) as e:
        print(f"{argv[1]}: {e}")
        return 1
    error = jsonschema.exceptions.best_match(validator.iter_errors(data))
    if error is not None:
        print(f"{argv[1]}: {error.json_path}: {error.message}")
        return 1
    print(f"{argv[1]}: {data['schema']}, {len(data['runs'])} runs, {len(data['results'])} results: valid")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
