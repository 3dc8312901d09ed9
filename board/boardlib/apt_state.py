"""apt-get with a sources list, lists and cache of its own: what the boards
boot and the ARM builds' libdrm come from Debian's packages this way, for
architectures the system has not added and suites it may not carry, and the
system's apt configuration is left as it is. Only the system's mirror is
taken from it.

    python3 -m boardlib.apt_state unpack PACKAGE:ARCH DIR

unpacks one package into DIR (for .ci/install-packages)."""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from .errors import BoardError

KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
# A mirror caught mid-sync serves an index that its InRelease does not
# promise; it usually settles within seconds.
UPDATE_TRIES = 3
UPDATE_PAUSE = 5


def mirror():
    """The Debian mirror the system's apt uses for bookworm."""
    try:
        text = subprocess.run(["apt-get", "--print-uris", "update"], check=True, capture_output=True,
                              text=True).stdout
    except (OSError, subprocess.CalledProcessError) as e:
        raise BoardError("cannot ask apt for its sources (%s)" % e)
    m = re.search(r"'(\S+?)/?dists/bookworm/InRelease'", text)
    if not m:
        raise BoardError("the system's apt sources have no bookworm suite to fetch from")
    return m.group(1)


def options(state, architectures):
    return ["-o", "Dir::Etc::SourceList=" + os.path.join(state, "sources.list"),
            "-o", "Dir::Etc::SourceParts=/dev/null",
            "-o", "Dir::Etc::Preferences=/dev/null",
            "-o", "Dir::Etc::PreferencesParts=/dev/null",
            "-o", "Dir::State::Lists=" + os.path.join(state, "lists"),
            "-o", "Dir::State::Status=/dev/null",
            "-o", "Dir::Cache=" + os.path.join(state, "cache"),
            "-o", "Debug::NoLocking=1"] + \
        [w for a in architectures for w in ("-o", "APT::Architectures::=" + a)]


def failed_indexes(output):
    """apt's own words for each index it could not fetch, one line each."""
    return [re.sub(r"\s+", " ", m.group(1)).strip()
            for m in re.finditer(r"^[EW]: Failed to fetch (.*)$", output, re.M)]


def prepare(state, suites, architectures):
    """Writes the state's sources list (these suites alone, main) and
    updates its lists. An index that still fails after a few tries is named
    and left out: only a download that then fails stops. Returns the apt
    options and the failed indexes' lines."""
    for d in ("lists/partial", "cache/archives/partial"):
        os.makedirs(os.path.join(state, d), exist_ok=True)
    url = mirror()
    with open(os.path.join(state, "sources.list"), "w") as f:
        for suite in suites:
            f.write("deb [signed-by=%s] %s %s main\n" % (KEYRING, url, suite))
    opts = options(state, architectures)
    failed = []
    for attempt in range(UPDATE_TRIES):
        if attempt:
            time.sleep(UPDATE_PAUSE)
        try:
            r = subprocess.run(["apt-get"] + opts + ["update", "-q"], capture_output=True, text=True)
        except OSError as e:
            raise BoardError("cannot run apt-get (%s)" % e)
        failed = failed_indexes(r.stdout + r.stderr)
        if r.returncode == 0 and not failed:
            return opts, []
    for line in failed or ["apt-get update failed"]:
        print("apt-get update, private state %s: an index failed, going on without it: %s" % (state, line),
              file=sys.stderr)
    return opts, failed


def download(opts, packages, dest, failed):
    """apt-get download into dest; on failure, says which index looked out of step."""
    r = subprocess.run(["apt-get"] + opts + ["download", "-q"] + packages, cwd=dest,
                       stdout=sys.stderr, stderr=subprocess.PIPE, text=True)
    if r.returncode != 0:
        reason = " ".join(r.stderr.split()) or "exit status %d" % r.returncode
        if failed:
            reason += "; the mirror looked out of step (%s): try again later" % failed[0]
        raise BoardError("apt-get download %s failed: %s" % (" ".join(packages), reason))


def unpack(package, dest):
    """Unpacks PACKAGE:ARCH from bookworm into dest, with a state of its own
    that is removed afterwards; a stamp written last marks it complete."""
    name, _, arch = package.partition(":")
    if not arch or not os.path.isabs(dest):
        raise BoardError("unpack takes PACKAGE:ARCH and an absolute folder, not %s %s" % (package, dest))
    work = tempfile.mkdtemp(prefix="fbbench-apt.")
    try:
        opts, failed = prepare(os.path.join(work, "state"), ["bookworm"], [arch])
        dl = os.path.join(work, "dl")
        os.makedirs(dl)
        # apt's download sandbox user writes here
        os.chmod(work, 0o755)
        os.chmod(dl, 0o777)
        download(opts, [package], dl, failed)
        debs = glob.glob(os.path.join(dl, "*.deb"))
        os.makedirs(dest, exist_ok=True)
        subprocess.run(["dpkg-deb", "-x", debs[0], dest], check=True)
        with open(os.path.join(dest, ".unpacked-" + name), "w") as f:
            f.write(os.path.basename(debs[0]) + "\n")
    except (OSError, subprocess.CalledProcessError) as e:
        raise BoardError("cannot unpack %s into %s (%s)" % (package, dest, e))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] != "unpack":
        print("usage: python3 -m boardlib.apt_state unpack PACKAGE:ARCH DIR", file=sys.stderr)
        sys.exit(2)
    try:
        unpack(sys.argv[2], sys.argv[3])
    except BoardError as e:
        print("install-packages: %s" % e, file=sys.stderr)
        sys.exit(1)
