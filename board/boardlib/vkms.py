"""vkms, the kernel's virtual KMS driver (a DRM card with real vblank and
page-flip events), built out of tree for exactly the board's kernel from
Debian's source and headers, which build their kernels without it. The
stripped module is cached beside the kernel, stamped with the kernel package
and version it was built for; the source is fetched only when that cache is
cold."""

import glob
import os
import re
import shutil
import subprocess
import tempfile

from fbbench_compare.files import file_replace

from . import apt_state, fetch
from .errors import BoardError

MODULE = "vkms.ko"
STAMP = "vkms-package"
# The driver's objects, as its own Makefile lists them under CONFIG_DRM_VKMS.
KBUILD = ("vkms-y := vkms_drv.o vkms_plane.o vkms_output.o vkms_formats.o vkms_crtc.o vkms_composer.o"
          " vkms_writeback.o\nobj-m += vkms.o\n")


def kernel_version(cache):
    """The release of the cached kernel's modules (6.1.0-50-armmp)."""
    found = glob.glob(os.path.join(cache, "modules", "lib", "modules", "*"))
    if len(found) != 1:
        raise BoardError("no kernel modules in %s" % cache)
    return os.path.basename(found[0])


def stamp_text(board, kver):
    return "%s %s\n" % (board["kernel"], kver)


def module_ready(cache, board, kver):
    try:
        with open(os.path.join(cache, STAMP)) as f:
            stamp = f.read()
        size = os.path.getsize(os.path.join(cache, MODULE))
    except OSError:
        return False
    return stamp == stamp_text(board, kver) and size > 0


def packages(board, kver, version):
    """The exact packages the build needs: the board's names with the
    kernel's release and ABI (the release without its flavour) filled in."""
    abi = kver.rsplit("-", 1)[0]
    return ["%s=%s" % (p.format(kver=kver, abi=abi), version) for p in board["vkms"]["packages"]]


def _exact_kernel(board, opts, kver):
    """The kernel package behind the board's pin, and its version; refuses a
    mirror whose kernel is no longer the cached one."""
    resolved = fetch._kernel_resolve(board["kernel"], opts)
    name, _, version = resolved.partition("=")
    if not version:
        out = subprocess.run(["apt-cache"] + opts + ["show", "--no-all-versions", name],
                             capture_output=True, text=True).stdout
        m = re.search(r"^Version: (\S+)$", out, re.M)
        if not m:
            raise BoardError("no version of %s on the mirror" % name)
        version = m.group(1)
    if name.split(":")[0] != "linux-image-" + kver:
        raise BoardError("the mirror's kernel is %s, the cached one %s" % (name, kver))
    return version


def _build(work, debs, vk, kver):
    """Unpacks the headers and host tools, takes only the driver's folder from
    the source tarball, and builds the module there."""
    root, src, mod = (os.path.join(work, d) for d in ("root", "src", "vkms"))
    for d in (root, src, mod):
        os.makedirs(d)
    for deb in debs:
        if os.path.basename(deb).startswith(("linux-headers-", "linux-kbuild-")):
            fetch._call(["dpkg-deb", "-x", deb, root], "dpkg-deb -x " + os.path.basename(deb))
    headers = os.path.join(root, "usr", "src", "linux-headers-" + kver)
    # The flavour's Makefile includes the common tree by its absolute path.
    makefile = os.path.join(headers, "Makefile")
    with open(makefile) as f:
        text = f.read()
    file_replace(makefile, re.sub(r"^include /usr/src/", "include %s/usr/src/" % root, text, flags=re.M).encode())
    source = next(d for d in debs if os.path.basename(d).startswith("linux-source-"))
    tree = os.path.basename(source).split("_")[0]
    fetch._call(["sh", "-c", 'dpkg-deb --fsys-tarfile "$1" | tar -xO "./usr/src/$2.tar.xz" | xz -dc'
                 ' | tar -x -C "$3" --wildcards "$2/drivers/gpu/drm/vkms/*"', "sh", source, tree, src],
                "unpacking drivers/gpu/drm/vkms from " + os.path.basename(source))
    for f in glob.glob(os.path.join(src, tree, "drivers", "gpu", "drm", "vkms", "*.[ch]")):
        shutil.copy(f, mod)
    with open(os.path.join(mod, "Kbuild"), "w") as f:
        f.write(KBUILD)
    make = ["make", "-C", headers, "M=" + mod, "ARCH=" + vk["arch"], "CROSS_COMPILE=" + vk["cross_compile"],
            "CONFIG_DRM_VKMS=m", "-j", str(os.cpu_count() or 1), "modules"]
    # The module's BTF needs pahole.
    if not shutil.which("pahole"):
        make.insert(-1, "CONFIG_DEBUG_INFO_BTF_MODULES=")
    fetch._call(make, "building vkms")
    stripped = os.path.join(work, MODULE)
    fetch._call([vk["cross_compile"] + "strip", "--strip-debug", "-o", stripped, os.path.join(mod, MODULE)],
                "stripping vkms.ko")
    return stripped


def module_fetch(cache, board, say):
    """The cached vkms.ko for the board's kernel, built first if the cache is
    cold; None, having said why in one line, when the mirror no longer has
    the packages for the pinned kernel."""
    kver = kernel_version(cache)
    path = os.path.join(cache, MODULE)
    if module_ready(cache, board, kver):
        return path
    vk = board["vkms"]
    stamp = os.path.join(cache, STAMP)
    if os.path.exists(stamp):
        os.unlink(stamp)
    # amd64 for the host's build tools (linux-kbuild)
    architectures = board["architectures"] + ["amd64"]
    state = os.path.join(cache, "apt")
    say("apt-get update (%s; %s) in %s, for vkms" % (", ".join(board["sources"]), ", ".join(architectures), state))
    opts, failed = apt_state.prepare(state, board["sources"], architectures)
    work = tempfile.mkdtemp(prefix="vkms.", dir=cache)
    try:
        try:
            wanted = packages(board, kver, _exact_kernel(board, opts, kver))
            # apt's download sandbox user writes here
            os.chmod(work, 0o777)
            say("downloading " + " ".join(wanted))
            apt_state.download(opts, wanted, work, failed)
        except BoardError as e:
            say("no vkms: the packages for kernel %s are not on the mirror (%s); running without it" % (kver, e))
            return None
        built = _build(os.path.join(work, "build"), glob.glob(os.path.join(work, "*.deb")), vk, kver)
        fetch._atomic_copy(built, path)
        # last: the module is the one for this kernel
        file_replace(stamp, stamp_text(board, kver).encode())
        say("vkms built for %s (%d bytes)" % (kver, os.path.getsize(path)))
        return path
    finally:
        shutil.rmtree(work, ignore_errors=True)


def runs_without(runs, board):
    """The runs that name no vkms device, for a board left without vkms."""
    return [r for r in runs if not any(board["devices"][d].get("driver") == "vkms" for d in r.devices)]


def video_option(board, bpp):
    """The kernel's option that gives the vkms card's framebuffer its depth
    (fbset cannot change a DRM emulation's)."""
    vk = board["vkms"]
    return "video=%s:%s-%d" % (vk["connector"], vk["mode"], bpp)
