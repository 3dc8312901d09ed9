"""The runs a board makes: board/run's grammar PROGRAM[@DEVICE][+NAME=value...],
their names, and the window each program is given."""

import dataclasses
import os
import re

from .boards import WINDOWS

# The board's own programs beside the benchmarks: the runner and the pattern test.
RUNNER = "fbbench"
PROBE = "fbprobe"
WINDOW_NAMES = ("WIDTH", "HEIGHT", "POSX", "POSY")
WORD = re.compile(r"(WIDTH|HEIGHT|POSX|POSY|FBBENCH_SYNC|FBBENCH_DEPTH)=[-0-9A-Za-z]*")


class UsageError(Exception):
    pass


@dataclasses.dataclass
class Run:
    program: str
    # Devices as named on the board (fb1, dri/card0); none: the program's own default.
    devices: list
    # The run's own NAME=value words, in place of the window's of the same names.
    words: list
    # Test only (board/check): the board holds the card's DRM master meanwhile,
    # or sends the program SIGTERM this many seconds after its start.
    busy: bool = False
    term: int = None

    @property
    def name(self):
        """<program>[-<first device's last name>][-NAMEvalue...]: fbbench's
        results file is named after its first device too."""
        name = self.program
        if self.devices:
            name += "-" + os.path.basename(self.devices[0])
        for w in self.words:
            name += "-" + w.replace("=", "", 1)
        if self.busy:
            name += "-BUSY"
        if self.term is not None:
            name += "-TERM%d" % self.term
        return name

    @property
    def kind(self):
        return self.program if self.program in (RUNNER, PROBE) else "benchmark"


def run_parse(text, board):
    """A Run from PROGRAM[@DEVICE][+NAME=value...]; DEVICE one of the board's,
    or for fbbench several, with commas."""
    parts = text.split("+")
    program, at, device = parts[0].partition("@")
    if not re.fullmatch(r"[a-z][a-z0-9-]*", program):
        raise UsageError("bad program name in %s" % text)
    devices = []
    if at:
        devices = device.split(",") if program == RUNNER else [device]
        for d in devices:
            if d not in board["devices"]:
                raise UsageError("unknown device on this board: %s (%s%s)"
                                 % (d, " ".join(sorted(board["devices"])),
                                    ", or several with commas" if program == RUNNER else ""))
            if program == PROBE and board["devices"][d]["display"] is None:
                raise UsageError("%s is shown on no display of the emulator, and fbprobe's pattern is "
                                 "checked on a screenshot" % d)
    for w in parts[1:]:
        if not WORD.fullmatch(w):
            raise UsageError("bad word in %s: %s (WIDTH, HEIGHT, POSX, POSY, FBBENCH_SYNC or FBBENCH_DEPTH"
                             " =value)"
                             % (text, w))
    return Run(program, devices, parts[1:])


def runs_check(runs, benchmarks):
    """Refuses programs that are none of the benchmarks, fbbench or fbprobe,
    and two runs of one name."""
    names = set()
    for r in runs:
        if r.program not in benchmarks and r.program not in (RUNNER, PROBE):
            raise UsageError("unknown program: %s (%s)" % (r.program, " ".join(benchmarks + [RUNNER, PROBE])))
        if r.name in names:
            raise UsageError("two runs named %s" % r.name)
        names.add(r.name)


def runs_default(board, benchmarks):
    """Every benchmark on the programs' own device, then the board's fbbench runs."""
    return [Run(b, [], []) for b in benchmarks] + [run_parse(s, board) for s in board["suites"]]


def window_words(kind, env, own=()):
    """The NAME=value words of a program's window: if any of WIDTH HEIGHT
    POSX POSY is set in env, exactly those that are set, as given; otherwise
    the default window of its kind. The run's own words replace those of the
    same names."""
    if any(v in env for v in WINDOW_NAMES):
        words = {v: env[v] for v in WINDOW_NAMES if v in env}
    else:
        words = {k: str(v) for k, v in WINDOWS[kind].items()}
    for w in own:
        k, _, v = w.partition("=")
        words.pop(k, None)
        words[k] = v
    return ["%s=%s" % kv for kv in words.items()]
