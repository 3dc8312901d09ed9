#!/usr/bin/python3
"""Drives one boot of the emulated board: starts qemu-system-arm, follows the
guest's serial console, takes a screenshot through QMP whenever the guest
asks for one, and stores each program's stdout, stderr and exit status.

Serial protocol (guest lines, "\\r\\n" terminated; the host answers with "go\\n"):
  @@FBB UP <xres>,<yres> <bpp>   the board is up, /dev/fb0 is there
  @@FBB OUT <name>               base64 of the program's stdout follows ...
  @@FBB ERR <name>               ... then base64 of its stderr ...
  @@FBB SHOT <name> <status> <display>
                                 ... then it waits for "go" until the screenshot of
                                 <display> is taken: clcd (the PL111) or gpu (the
                                 virtio GPU, QEMU device id "gpu")
  @@FBB PIC <file> <display>     waits for "go" until the screenshot of <display>
                                 is in <file>.png
  @@FBB EXIT <name> <status>     the program's results, as SHOT but no screenshot
  @@FBB FILE <file>              base64 of a file to store as <out>/<file> follows
  @@FBB TAR <name>               base64 of a gzipped tar follows ...
  @@FBB UNTAR <name>             ... to be unpacked into <out>/<name>/
  @@FBB DONE                     all programs ran; the guest powers off
Base64 keeps the reports byte exact: the serial line discipline rewrites line
ends, and kernel messages are silenced before any of it is printed.
"""

import argparse
import base64
import io
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tarfile
import time


class BoardError(Exception):
    pass


class Interrupted(Exception):
    pass


def on_signal(signum, frame):
    # Once: a second Ctrl-C must not cut the emulator's cleanup short.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise Interrupted()


class Qmp:
    def __init__(self, path, deadline):
        self.sock = None
        while True:
            try:
                s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                s.connect(path)
                self.sock = s
                break
            except OSError:
                s.close()
                if time.monotonic() > deadline:
                    raise BoardError("QMP socket %s did not come up" % path)
                time.sleep(0.05)
        self.sock.settimeout(60)
        self.buf = b""
        self._read()  # greeting
        self.command("qmp_capabilities")

    def _read(self):
        while b"\n" not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise BoardError("QMP connection closed")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return json.loads(line)

    def command(self, name, **arguments):
        msg = {"execute": name}
        if arguments:
            msg["arguments"] = arguments
        self.sock.sendall(json.dumps(msg).encode() + b"\n")
        while True:
            reply = self._read()
            if "return" in reply:
                return reply["return"]
            if "error" in reply:
                raise BoardError("QMP %s: %s" % (name, reply["error"].get("desc")))
            # asynchronous events are of no interest here

    def close(self):
        if self.sock:
            self.sock.close()


def untar(data, dest):
    """Unpacks a gzipped tar from the guest into dest, replacing what was there."""
    if os.path.isdir(dest):
        shutil.rmtree(dest)
    os.makedirs(dest)
    try:
        with tarfile.open(fileobj=io.BytesIO(data), mode="r:gz") as tar:
            # "tar" keeps members inside dest but lets symbolic links point anywhere:
            # the fixture's links name sysfs paths that are not in it.
            if hasattr(tarfile, "tar_filter"):
                tar.extractall(dest, filter="tar")
            else:
                tar.extractall(dest)
    except (tarfile.TarError, EOFError, OSError) as e:
        raise BoardError("bad tar from the guest for %s: %s" % (dest, e))


def screendump(qmp, out, name, display):
    shot = {"filename": os.path.join(os.path.abspath(out), name + ".png"), "format": "png"}
    # The PL111 is the machine's first display, QEMU's default.
    if display != "clcd":
        shot["device"] = display
    qmp.command("screendump", **shot)


def finish(out_dir, name, status, outputs):
    """Stores and shows a program's stdout, stderr and exit status."""
    out = outputs.get((name, "OUT"), b"")
    err = outputs.get((name, "ERR"), b"")
    with open(os.path.join(out_dir, name + ".txt"), "wb") as f:
        f.write(out)
    with open(os.path.join(out_dir, name + ".err"), "wb") as f:
        f.write(err)
    with open(os.path.join(out_dir, name + ".status"), "w") as f:
        f.write("%d\n" % status)
    print("===== %s: exit status %d =====" % (name, status), flush=True)
    sys.stdout.buffer.write(out)
    if err:
        sys.stdout.write("----- %s: stderr -----\n" % name)
        sys.stdout.buffer.write(err)
    sys.stdout.flush()
    return status


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--qemu", nargs=argparse.REMAINDER, required=True,
                    help="qemu-system-arm command line (last option)")
    ap.add_argument("--out", required=True, help="directory for <name>.png/.txt/.err/.status")
    ap.add_argument("--qmp", required=True, help="QMP unix socket path given to QEMU")
    ap.add_argument("--log", required=True, help="file receiving the raw serial output")
    ap.add_argument("--boot-timeout", type=float, default=90)
    ap.add_argument("--step-timeout", type=float, default=240,
                    help="longest quiet time between two protocol lines once up")
    args = ap.parse_args()

    os.makedirs(args.out, exist_ok=True)
    if os.path.exists(args.qmp):
        os.unlink(args.qmp)
    env = dict(os.environ, QEMU_AUDIO_DRV="none")
    log = open(args.log, "wb")
    qemu_err = open(args.log + ".qemu-stderr", "wb")
    started = time.monotonic()
    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    proc = subprocess.Popen(args.qemu, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=qemu_err, env=env)
    qmp = None
    statuses = {}
    up = False
    done = False
    failure = None
    interrupted = False
    block = None  # (name, kind, [lines]) while reading base64
    outputs = {}
    buf = b""
    deadline = started + args.boot_timeout
    try:
        qmp = Qmp(args.qmp, started + 30)
        fd = proc.stdout.fileno()
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise BoardError("timed out %s" % ("waiting for the board to come up"
                                                    if not up else "waiting for the guest"))
            ready, _, _ = select.select([fd], [], [], min(left, 1.0))
            if not ready:
                continue
            chunk = os.read(fd, 65536)
            if not chunk:
                break  # QEMU exited
            log.write(chunk)
            log.flush()
            buf += chunk
            while b"\n" in buf:
                raw, buf = buf.split(b"\n", 1)
                line = raw.rstrip(b"\r").decode("latin-1")
                if block is not None and not line.startswith("@@FBB "):
                    block[2].append(line)
                    continue
                if not line.startswith("@@FBB "):
                    continue
                if block is not None:
                    name, kind, lines = block
                    data = base64.b64decode("".join(lines))
                    if kind == "FILE":
                        with open(os.path.join(args.out, os.path.basename(name)), "wb") as f:
                            f.write(data)
                    else:
                        outputs[(name, kind)] = data
                    block = None
                words = line.split()
                tag = words[1]
                deadline = time.monotonic() + args.step_timeout
                if tag == "UP":
                    up = True
                    print("board: up after %.1f s, screen %s at %s bpp"
                          % (time.monotonic() - started, words[2], words[3]), flush=True)
                elif tag in ("OUT", "ERR", "TAR", "FILE"):
                    block = (words[2], tag, [])
                elif tag == "UNTAR":
                    untar(outputs.pop((words[2], "TAR"), b""), os.path.join(args.out, words[2]))
                elif tag in ("SHOT", "PIC"):
                    display = words[4] if tag == "SHOT" else words[3]
                    screendump(qmp, args.out, words[2], display)
                    if tag == "SHOT":
                        statuses[words[2]] = finish(args.out, words[2], int(words[3]), outputs)
                    proc.stdin.write(b"go\n")
                    proc.stdin.flush()
                elif tag == "EXIT":
                    statuses[words[2]] = finish(args.out, words[2], int(words[3]), outputs)
                elif tag == "DONE":
                    done = True
                    deadline = time.monotonic() + 30
    except BoardError as e:
        failure = str(e)
    except Interrupted:
        interrupted = True
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        if qmp:
            qmp.close()
        try:
            proc.wait(timeout=30 if done and not interrupted else 0.1)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        log.close()
        qemu_err.close()

    if interrupted:
        print("board: interrupted; emulator stopped", file=sys.stderr)
        return 130
    elapsed = time.monotonic() - started
    if failure is None and not done:
        failure = "QEMU exited (status %s) before the guest finished" % proc.returncode
    if failure is None and proc.returncode != 0:
        failure = "QEMU exited with status %d" % proc.returncode
    if failure:
        print("board: %s; serial log in %s" % (failure, args.log), file=sys.stderr)
        try:
            with open(args.log, "rb") as f:
                tail = f.read()[-3000:].decode("latin-1")
            sys.stderr.write(tail.replace("\r", "") + "\n")
        except OSError:
            pass
        return 3
    print("board: powered off after %.1f s" % elapsed, flush=True)
    failed = [n for n, s in statuses.items() if s != 0]
    if failed:
        print("board: failed: %s" % " ".join(failed), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (KeyboardInterrupt, Interrupted):
        # before the emulator's cleanup was in place
        print("board: interrupted", file=sys.stderr)
        sys.exit(130)
