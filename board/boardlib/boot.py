"""One boot of a board: QEMU's command line, and the emulator driven to the
end of the plan: its console followed, screenshots taken over QMP whenever
the board asks, a deadline on every wait, the emulator stopped on every path."""

import json
import os
import select
import signal
import socket
import subprocess
import tempfile
import time

from . import guest
from .errors import BoardError


class Interrupted(Exception):
    pass


def qemu_argv(board, cache, out, xres, yres, initramfs, append=()):
    argv = [a.format(xres=xres, yres=yres) for a in board["qemu"]]
    argv += ["-kernel", os.path.join(cache, "vmlinuz"), "-initrd", initramfs,
             "-append", " ".join([board["append"]] + list(append))]
    if board["dtb"]:
        argv += ["-dtb", os.path.join(out, "board.dtb")]
    return argv + ["-display", "none", "-serial", "stdio", "-monitor", "none", "-no-reboot"]


class Qmp:
    """QEMU's machine protocol, QEMU connecting as the client of our socket."""

    def __init__(self, listener, deadline):
        listener.settimeout(max(0.1, deadline - time.monotonic()))
        try:
            self.sock, _ = listener.accept()
        except socket.timeout:
            raise BoardError("QEMU did not connect to its QMP socket")
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

    def screendump(self, path, display):
        shot = {"filename": os.path.abspath(path), "format": "png"}
        if display != guest.FIRST_DISPLAY:
            shot["device"] = display
        self.command("screendump", **shot)


def _on_signal(signum, frame):
    # Once: a second Ctrl-C must not cut the emulator's cleanup short.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise Interrupted()


def board_boot(argv, out, boot_timeout, step_timeout):
    """Boots, runs the plan, powers off. Returns the Console: the programs'
    exit statuses. Raises BoardError, with the console's end, or Interrupted."""
    log_path = os.path.join(out, "serial.log")
    console = guest.Console(out)
    sockdir = tempfile.mkdtemp(prefix="fbbench-qmp.")
    qmp_path = os.path.join(sockdir, "qmp")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(qmp_path)
    listener.listen(1)
    old = {s: signal.signal(s, _on_signal) for s in (signal.SIGINT, signal.SIGTERM)}
    started = time.monotonic()
    proc = qmp = None
    try:
        with open(log_path, "wb") as log, open(log_path + ".qemu-stderr", "wb") as qemu_err:
            try:
                proc = subprocess.Popen(argv + ["-qmp", "unix:" + qmp_path], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=qemu_err,
                                        env=dict(os.environ, QEMU_AUDIO_DRV="none"))
            except OSError as e:
                raise BoardError("cannot start %s: %s" % (argv[0], e))
            qmp = Qmp(listener, started + 30)

            def go():
                proc.stdin.write(b"go\n")
                proc.stdin.flush()

            def shoot(name, display):
                qmp.screendump(os.path.join(out, name + ".png"), display)

            _follow(proc, log, console, shoot, go, started, boot_timeout, step_timeout)
    except BoardError as e:
        raise BoardError("%s; serial log in %s\n%s" % (e, log_path, _tail(log_path)))
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        if qmp:
            qmp.sock.close()
        listener.close()
        if proc:
            try:
                proc.wait(timeout=30 if console.done else 0.1)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        os.unlink(qmp_path)
        os.rmdir(sockdir)
        for s, handler in old.items():
            signal.signal(s, handler)
    if proc.returncode != 0:
        raise BoardError("QEMU exited with status %d; serial log in %s" % (proc.returncode, log_path))
    print("board: powered off after %.1f s" % (time.monotonic() - started), flush=True)
    return console


def _follow(proc, log, console, shoot, go, started, boot_timeout, step_timeout):
    """Reads the console until the board is done, each wait with its deadline:
    the boot's until the board is up, then a step's between two protocol lines."""
    fd = proc.stdout.fileno()
    buf = b""
    deadline = started + boot_timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            raise BoardError("timed out waiting for the board to come up" if not console.up
                             else "timed out waiting for the board")
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            continue
        chunk = os.read(fd, 65536)
        if not chunk:
            if console.done:
                return
            raise BoardError("QEMU exited (status %s) before the board finished" % proc.poll())
        log.write(chunk)
        log.flush()
        buf += chunk
        while b"\n" in buf:
            raw, buf = buf.split(b"\n", 1)
            was_up = console.up
            if guest.console_line(console, raw.rstrip(b"\r").decode("latin-1"), shoot, go):
                deadline = time.monotonic() + (30 if console.done else step_timeout)
                if console.up and not was_up:
                    print("board: up after %.1f s, screen %s bpp" % (time.monotonic() - started, console.screen),
                          flush=True)


def _tail(path):
    try:
        with open(path, "rb") as f:
            return f.read()[-3000:].decode("latin-1").replace("\r", "")
    except OSError:
        return ""
