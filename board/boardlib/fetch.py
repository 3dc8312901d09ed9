"""A board's kernel, GPU modules, device tree and busybox, from Debian's
packages, kept in a cache folder per board, whose apt state is its own
(apt_state)."""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

from fbbench_compare.files import file_replace_open

from . import apt_state
from .errors import BoardError


def _call(argv, what, **kw):
    kw.setdefault("stdout", sys.stderr)
    try:
        subprocess.run(argv, check=True, **kw)
    except (OSError, subprocess.CalledProcessError) as e:
        raise BoardError("%s failed (%s)" % (what, e))


def _kernel_resolve(package, opts):
    """An exact package[:arch]=version as it is; a metapackage as the kernel it depends on."""
    if "=" in package:
        return package
    arch = package.partition(":")[2]
    out = subprocess.run(["apt-cache"] + opts + ["depends", package], capture_output=True, text=True).stdout
    m = re.search(r"^\s*Depends: (linux-image-[0-9]\S*?)(:\S+)?$", out, re.M)
    if not m:
        raise BoardError("cannot find the kernel package behind %s" % package)
    return m.group(1) + (":" + arch if arch else "")


def _atomic_copy(src, dest, *, decompress=False):
    with file_replace_open(dest) as f:
        if decompress:
            _call(["xz", "-dc", src], "xz -d " + src, stdout=f)
        else:
            with open(src, "rb") as s:
                shutil.copyfileobj(s, f)


def _modules_keep(root, kver, modules, cache):
    """Only the GPU's modules and what they need, uncompressed (busybox's
    modprobe may not read xz), with their own modules.dep."""
    _call(["depmod", "-b", root, kver], "depmod on the kernel's modules")
    wanted = set()
    for m in modules:
        r = subprocess.run(["modprobe", "-d", root, "-S", kver, "--show-depends", m],
                           capture_output=True, text=True)
        if r.returncode != 0:
            raise BoardError("no module %s in the kernel package" % m)
        wanted |= {line.split()[1] for line in r.stdout.splitlines() if line.startswith("insmod ")}
    dest = os.path.join(cache, "modules")
    shutil.rmtree(dest, ignore_errors=True)
    kdir = os.path.join(dest, "lib", "modules", kver)
    os.makedirs(kdir)
    for path in sorted(wanted):
        rel = os.path.relpath(path, root)
        os.makedirs(os.path.join(dest, os.path.dirname(rel)), exist_ok=True)
        if rel.endswith(".xz"):
            _atomic_copy(path, os.path.join(dest, rel[:-3]), decompress=True)
        else:
            shutil.copyfile(path, os.path.join(dest, rel))
    for f in ("modules.order", "modules.builtin", "modules.builtin.modinfo"):
        shutil.copyfile(os.path.join(root, "lib", "modules", kver, f), os.path.join(kdir, f))
    order = os.path.join(kdir, "modules.order")
    with open(order) as f:
        text = f.read()
    with open(order, "w") as f:
        f.write(re.sub(r"\.ko\.xz$", ".ko", text, flags=re.M))
    _call(["depmod", "-b", dest, kver], "depmod on the GPU modules")


def files_ready(cache, board):
    need = ["vmlinuz", "busybox"] + ([board["dtb"]] if board["dtb"] else [])
    try:
        with open(os.path.join(cache, "kernel-package")) as f:
            package = f.read().strip()
        sizes = [os.path.getsize(os.path.join(cache, n)) for n in need]
    except OSError:
        return False
    return package == board["kernel"] and all(sizes) \
        and bool(glob.glob(os.path.join(cache, "modules/lib/modules/*/modules.dep")))


def files_fetch(cache, board, say):
    """Downloads and unpacks what the board boots, unless the cache has it."""
    if files_ready(cache, board):
        return
    stamp = os.path.join(cache, "kernel-package")
    if os.path.exists(stamp):
        os.unlink(stamp)
    state = os.path.join(cache, "apt")
    say("apt-get update (%s; %s) in %s" % (", ".join(board["sources"]), ", ".join(board["architectures"]), state))
    opts, failed = apt_state.prepare(state, board["sources"], board["architectures"])
    kernel = _kernel_resolve(board["kernel"], opts)
    tmp = tempfile.mkdtemp(prefix="dl.", dir=cache)
    try:
        # apt's download sandbox user writes here
        os.chmod(tmp, 0o777)
        say("downloading %s and %s" % (kernel, board["busybox"]))
        apt_state.download(opts, [kernel, board["busybox"]], tmp, failed)
        k, b = os.path.join(tmp, "k"), os.path.join(tmp, "b")
        os.makedirs(k)
        deb = glob.glob(os.path.join(tmp, "linux-image-*.deb"))[0]
        members = ["./boot/vmlinuz-*", "./lib/modules/*"] + (["*/" + board["dtb"]] if board["dtb"] else [])
        tar = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", deb], stdout=subprocess.PIPE)
        untar = subprocess.run(["tar", "-x", "-C", k, "--wildcards"] + members, stdin=tar.stdout)
        tar.stdout.close()
        if tar.wait() != 0 or untar.returncode != 0:
            raise BoardError("cannot unpack %s" % deb)
        kver = os.listdir(os.path.join(k, "lib", "modules"))[0]
        _modules_keep(k, kver, board["gpu_modules"], cache)
        _call(["dpkg-deb", "-x", glob.glob(os.path.join(tmp, "busybox-static_*.deb"))[0], b], "dpkg-deb -x busybox")
        _atomic_copy(glob.glob(os.path.join(k, "boot", "vmlinuz-*"))[0], os.path.join(cache, "vmlinuz"))
        if board["dtb"]:
            dtbs = glob.glob(os.path.join(k, "**", board["dtb"]), recursive=True)
            if not dtbs:
                raise BoardError("no %s in %s" % (board["dtb"], kernel))
            _atomic_copy(dtbs[0], os.path.join(cache, board["dtb"]))
        _atomic_copy(os.path.join(b, "bin", "busybox"), os.path.join(cache, "busybox"))
        # last: the cache is complete
        with open(stamp, "w") as f:
            f.write(board["kernel"] + "\n")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
