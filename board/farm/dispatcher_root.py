#!/usr/bin/python3
"""A Debian 12 root holding a LAVA dispatcher, kept off the host.

    board/farm/dispatcher_root.py ensure            make the root, or reuse it; print its path
    board/farm/dispatcher_root.py templates         print the device-type templates' folder
    board/farm/dispatcher_root.py run [--timeout S] [--bind DIR]... -- COMMAND...
                                              run COMMAND chrooted in the root

The root is made by mmdebstrap (about 300 packages, some minutes) and cached
outside the clone, in ${FBBENCH_CACHE:-${XDG_CACHE_HOME:-~/.cache}/fbbench}/lava-root.
Its key is the suite and package list below: a change to either makes a new
root. lava-server's device-type templates are unpacked into it, in
/srv/lava-server, without installing the server.

`run` works in a mount namespace of its own: /proc, /sys, /dev, /dev/pts,
/dev/shm and every --bind DIR (at the same path inside, so that paths name the
same files on both sides) are mounted there and unmounted on every path, and
the host never sees them. COMMAND gets a deadline; SIGINT, SIGTERM and SIGHUP
are passed on to it; once it ends, every process still running in the root
(QEMU started by the dispatcher, say) is ended too.

Run as root. Exit status: COMMAND's, 124 at the deadline, 128+N on signal N,
3 when the root cannot be made or entered.
"""

import argparse
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import time

sys.path.append(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from boardlib.cache import Lock, cache_root  # noqa: E402

SUITE = "bookworm"
# What the dispatcher needs: lava-run itself; libguestfs and an amd64 kernel
# for its appliance, which builds the overlay disk; QEMU for the ARM boards;
# Jinja2 to render device dictionaries.
PACKAGES = ["lava-dispatcher", "libguestfs-tools", "linux-image-amd64",
            "python3-jinja2", "qemu-system-arm"]
# Where lava-server's device-type templates go inside the root.
TEMPLATES = "/srv/lava-server/usr/share/lava-server/device-types"
KEY_FILE = ".fbbench-root-key"
LOCK_NAME = "lava-root.lock"
BUILD_SECONDS = 3600
GRACE_SECONDS = 10


class RootError(Exception):
    pass


def say(message):
    print("dispatcher-root: " + message, file=sys.stderr, flush=True)


def root_key():
    """The root's identity: what it was made from."""
    recipe = {"suite": SUITE, "packages": sorted(PACKAGES), "templates": TEMPLATES}
    return hashlib.sha256(json.dumps(recipe, sort_keys=True).encode()).hexdigest()


def root_current(root):
    try:
        with open(os.path.join(root, KEY_FILE)) as f:
            return f.read().strip() == root_key()
    except OSError:
        return False


def mounts_under(path):
    """Mount points at or below path, as this mount namespace sees them."""
    path = os.path.realpath(path)
    found = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            point = line.split()[4].encode().decode("unicode_escape")
            if point == path or point.startswith(path + "/"):
                found.append(point)
    return found


def remove_tree(path):
    # Never through a mount: a bind of the host's /dev would be emptied.
    if not os.path.lexists(path):
        return
    busy = mounts_under(path)
    if busy:
        raise RootError("%s still has mounts (%s); not removing it" % (path, ", ".join(busy)))
    shutil.rmtree(path)


# ---------------------------------------------------------------- supervision

def processes_in(root):
    """Pids of the processes whose root directory is root."""
    want = os.stat(root)
    pids = []
    for name in os.listdir("/proc"):
        if not name.isdigit() or int(name) == os.getpid():
            continue
        try:
            st = os.stat("/proc/%s/root" % name)
        except OSError:
            continue
        if (st.st_dev, st.st_ino) == (want.st_dev, want.st_ino):
            pids.append(int(name))
    return pids


def processes_wait(pids_of, grace):
    end = time.monotonic() + grace
    while pids_of() and time.monotonic() < end:
        time.sleep(0.1)


def end_processes(pids_of, grace=GRACE_SECONDS, signalled=False):
    """SIGTERM to what pids_of() lists, then SIGKILL to what is left after
    grace; signalled: they have had a signal already, and get grace first to
    end by it."""
    if signalled:
        processes_wait(pids_of, grace)
    for sig in (signal.SIGTERM, signal.SIGKILL):
        pids = pids_of()
        if not pids:
            return
        for pid in pids:
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        processes_wait(pids_of, grace)


def supervise(argv, timeout, stray=lambda: [], **popen):
    """Runs argv to its end or its deadline, passing SIGINT, SIGTERM and SIGHUP on.

    stray() lists processes it may leave behind, ended with it. Returns the
    exit status: argv's, 124 at the deadline, 128+N on signal N."""
    received = []

    def on_signal(signum, frame):
        # Once: a second signal must not cut the cleanup short. Recorded, not
        # raised, so that one arriving while the child starts finds it known.
        for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(s, signal.SIG_IGN)
        received.append(signum)

    old = {s: signal.signal(s, on_signal) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
    child = None
    signalled = False
    try:
        child = subprocess.Popen(argv, start_new_session=True, **popen)
        deadline = time.monotonic() + timeout
        while True:
            if received:
                status = 128 + received[0]
                try:
                    os.killpg(child.pid, received[0])
                    signalled = True
                except ProcessLookupError:
                    pass
                break
            left = deadline - time.monotonic()
            if left <= 0:
                say("%s passed its deadline of %d s; ending it" % (argv[0], timeout))
                status = 124
                break
            try:
                # Short waits: a signal is seen within a fifth of a second.
                status = child.wait(timeout=min(left, 0.2))
                if status < 0:
                    status = 128 - status
                break
            except subprocess.TimeoutExpired:
                pass
    finally:
        # Nothing more may interrupt the cleanup.
        for s in old:
            signal.signal(s, signal.SIG_IGN)
        if child is not None:
            def group():
                if child.poll() is not None:
                    return []
                return [-child.pid]
            end_processes(lambda: group() + stray(), signalled=signalled)
            child.wait()
        for s, handler in old.items():
            signal.signal(s, handler)
    return status


# ---------------------------------------------------------------- making the root

def make_root(cache):
    root = os.path.join(cache, "lava-root")
    new = root + ".new"
    remove_tree(new)
    hook = ("chroot \"$1\" sh -ec 'cd /tmp; apt-get download -q lava-server; "
            "mkdir -p /srv/lava-server; dpkg-deb -x lava-server_*.deb /srv/lava-server; rm lava-server_*.deb'")
    argv = ["mmdebstrap", "--variant=apt", "--mode=root",
            "--aptopt=APT::Install-Recommends \"false\"",
            "--include=" + ",".join(PACKAGES),
            "--customize-hook=" + hook,
            SUITE, new]
    say("making %s with mmdebstrap (%d packages and their dependencies; some minutes)" % (root, len(PACKAGES)))
    started = time.monotonic()
    status = supervise(argv, BUILD_SECONDS)
    if status != 0:
        try:
            remove_tree(new)
        except RootError as e:
            say(str(e))
        raise RootError("mmdebstrap failed (exit status %d)" % status)
    if not os.path.isdir(new + TEMPLATES):
        raise RootError("lava-server's device-type templates are missing from the new root")
    with open(os.path.join(new, KEY_FILE), "w") as f:
        f.write(root_key() + "\n")
    old = root + ".old"
    remove_tree(old)
    if os.path.lexists(root):
        os.rename(root, old)
    os.rename(new, root)
    remove_tree(old)
    say("made in %d s" % (time.monotonic() - started))
    return root


def ensure(cache):
    """The root's path, made first if missing or made from another recipe."""
    root = os.path.join(cache, "lava-root")
    lock = Lock(cache, LOCK_NAME, exclusive=False)
    try:
        if root_current(root):
            return root
    finally:
        lock.close()
    if os.geteuid() != 0:
        raise RootError("making the dispatcher root needs root")
    lock = Lock(cache, LOCK_NAME, exclusive=True)
    try:
        if root_current(root):  # made meanwhile by another run
            return root
        return make_root(cache)
    finally:
        lock.close()


# ---------------------------------------------------------------- running in it

def mount_points(root, binds):
    """(source, target inside root, mount arguments), in mount order."""
    points = [("proc", "/proc", ["-t", "proc"]),
              ("sysfs", "/sys", ["-t", "sysfs"]),
              ("/dev", "/dev", ["--bind"]),
              ("/dev/pts", "/dev/pts", ["--bind"]),
              ("tmpfs", "/dev/shm", ["-t", "tmpfs"])]
    for b in binds:
        b = os.path.realpath(b)
        if not os.path.isdir(b):
            raise RootError("--bind %s: not a folder" % b)
        points.append((b, b, ["--bind"]))
    return [(src, root + target, args) for src, target, args in points]


def run_inside(root, binds, argv, timeout):
    """Mounts, runs argv chrooted under supervision, unmounts in reverse order."""
    mounted = []
    try:
        # Private: nothing mounted here reaches the host's namespace.
        subprocess.run(["mount", "--make-rprivate", "/"], check=True)
        for src, target, args in mount_points(root, binds):
            os.makedirs(target, exist_ok=True)
            r = subprocess.run(["mount"] + args + [src, target], stderr=subprocess.PIPE, text=True)
            if r.returncode != 0:
                raise RootError("cannot mount %s on %s: %s" % (src, target, r.stderr.strip()))
            mounted.append(target)
        env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
               "HOME": "/root", "LANG": "C.UTF-8", "TERM": os.environ.get("TERM", "dumb"),
               # libguestfs starts its appliance itself: there is no libvirtd
               "LIBGUESTFS_BACKEND": "direct",
               # Nor KVM: a nested one may offer /dev/kvm and still refuse the
               # appliance's CPU ("failed to set MSR"); TCG takes minutes, not
               # seconds, but works wherever QEMU does. Set it empty to allow KVM.
               "LIBGUESTFS_BACKEND_SETTINGS": os.environ.get("LIBGUESTFS_BACKEND_SETTINGS", "force_tcg")}
        return supervise(["chroot", root] + argv, timeout, stray=lambda: processes_in(root), env=env)
    finally:
        for target in reversed(mounted):
            if subprocess.run(["umount", target]).returncode != 0:
                subprocess.run(["umount", "--lazy", target])


def main(argv=None):
    parser = argparse.ArgumentParser(prog="dispatcher_root.py", description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("ensure", help="make the root or reuse it, and print its path")
    sub.add_parser("templates", help="print the device-type templates' folder (making the root first)")
    run = sub.add_parser("run", help="run a command in the root")
    run.add_argument("--timeout", type=int, default=3600, help="seconds it may take (default 3600)")
    run.add_argument("--bind", action="append", default=[], metavar="DIR",
                     help="a host folder to see at the same path inside")
    run.add_argument("command", nargs="+")
    args = parser.parse_args(argv)
    if args.command == "run" and args.timeout <= 0:
        parser.error("--timeout must be positive")
    cache = cache_root()
    try:
        root = ensure(cache)
        if args.command == "ensure":
            print(root)
            return 0
        if args.command == "templates":
            print(root + TEMPLATES)
            return 0
        if not os.environ.get("FBBENCH_ROOT_NAMESPACE"):
            # Again, in a mount namespace of its own, which ends with it.
            env = dict(os.environ, FBBENCH_ROOT_NAMESPACE="1")
            return supervise(["unshare", "--mount", "--", sys.executable, os.path.abspath(__file__)]
                             + (sys.argv[1:] if argv is None else argv), args.timeout + 2 * GRACE_SECONDS + 30,
                             env=env)
        lock = Lock(cache, LOCK_NAME, exclusive=False)
        try:
            return run_inside(root, args.bind, args.command, args.timeout)
        finally:
            lock.close()
    except (RootError, OSError, subprocess.CalledProcessError) as e:
        say(str(e))
        return 3


if __name__ == "__main__":
    sys.exit(main())
