"""What a board boots besides its kernel: the device tree with a panel of the
screen's size, and the initramfs with busybox, the programs, the GPU's
modules and the plan of what to run."""

import os
import shutil
import subprocess

from fbbench_compare.files import file_replace_open

from .errors import BoardError

# The PL111's dot clock on the panel below.
CLOCK_HZ = 33300000
CLCD = "/clcd@10020000"


def dtb_make(src, dtb, xres, yres, bpp):
    """The stock tree wires the daughterboard CLCD to a DVI bridge that the
    fbdev driver does not drive; an overlay gives it a DPI panel of the chosen
    size instead. The driver takes the depth from max-memory-bandwidth over
    the dot clock, rounded down to a power of two and capped at 32 bits: half
    a byte per pixel above the depth wanted picks exactly that depth. Debian's
    trees carry no __symbols__, so the overlay names its targets by path, and
    the panel's link back to the CLCD endpoint is that endpoint's phandle as
    a plain number. The DVI bridge keeps its now one-sided link: no driver of
    this kernel follows it."""
    r = subprocess.run(["fdtget", "-t", "u", src, CLCD + "/port/endpoint", "phandle"],
                       capture_output=True, text=True)
    if r.returncode != 0:
        raise BoardError("no %s/port/endpoint with a phandle in %s" % (CLCD, src))
    endpoint = int(r.stdout)
    bandwidth = CLOCK_HZ * (bpp // 8 * 2 + 1) // 2
    with open(dtb + ".dtso", "w") as f:
        f.write("""/dts-v1/;
/plugin/;

&{%(clcd)s} {
    max-memory-bandwidth = <%(bandwidth)d>;

    panel {
        compatible = "panel-dpi";

        panel-timing {
            clock-frequency = <%(clock)d>;
            hactive = <%(xres)d>;
            vactive = <%(yres)d>;
            hfront-porch = <40>;
            hback-porch = <88>;
            hsync-len = <48>;
            vfront-porch = <13>;
            vback-porch = <32>;
            vsync-len = <3>;
        };

        port {
            panel_endpoint: endpoint {
                remote-endpoint = <%(endpoint)d>;
            };
        };
    };
};

&{%(clcd)s/port/endpoint} {
    remote-endpoint = <&panel_endpoint>;
};
""" % dict(clcd=CLCD, bandwidth=bandwidth, clock=CLOCK_HZ, xres=xres, yres=yres, endpoint=endpoint))
    for argv in (["dtc", "-q", "-@", "-I", "dts", "-O", "dtb", "-o", dtb + ".dtbo", dtb + ".dtso"],
                 ["fdtoverlay", "-i", src, "-o", dtb, dtb + ".dtbo"]):
        if subprocess.run(argv).returncode != 0:
            raise BoardError("%s failed on %s" % (argv[0], argv[-1]))


def _static(path):
    """Whether an ARM executable has no program interpreter: the board has no C library."""
    r = subprocess.run(["arm-linux-gnueabi-readelf", "-l", path], capture_output=True, text=True)
    return r.returncode == 0 and "Requesting program interpreter" not in r.stdout


def initramfs_make(img, work, busybox, guest_init, modules, programs, files=None, extra=None):
    """A board's initramfs at img, made in work/initramfs: busybox, guest_init
    as /init, the kernel's modules (modules/lib); programs: path on the image
    -> built file, each static (the board has no C library); files: path on
    the image -> its lines; extra: an out-of-tree module to add (vkms.ko).
    The board's boots and the farm's LAVA job both boot it."""
    root = os.path.join(work, "initramfs")
    shutil.rmtree(root, ignore_errors=True)
    for d in ("bin", "sbin", "usr/bin", "usr/sbin", "dev", "proc", "sys", "tmp"):
        os.makedirs(os.path.join(root, d))
    shutil.copyfile(busybox, os.path.join(root, "bin", "busybox"))
    os.chmod(os.path.join(root, "bin", "busybox"), 0o755)
    os.symlink("busybox", os.path.join(root, "bin", "sh"))
    shutil.copyfile(guest_init, os.path.join(root, "init"))
    os.chmod(os.path.join(root, "init"), 0o755)
    for on_image, path in programs.items():
        if not os.access(path, os.X_OK):
            raise BoardError("%s not built (looked for %s)" % (os.path.basename(on_image), path))
        if not _static(path):
            raise BoardError("%s is dynamically linked; the board has no C library "
                             "(configure with FBBENCH_STATIC=ON)" % path)
        dest = os.path.join(root, on_image)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copyfile(path, dest)
        os.chmod(dest, 0o755)
    for on_image, lines in (files or {}).items():
        os.makedirs(os.path.dirname(os.path.join(root, on_image)), exist_ok=True)
        with open(os.path.join(root, on_image), "w") as f:
            f.write("".join(line + "\n" for line in lines))
    shutil.copytree(os.path.join(modules, "lib"), os.path.join(root, "lib"))
    if extra:
        kver = os.listdir(os.path.join(root, "lib", "modules"))[0]
        os.makedirs(os.path.join(root, "lib", "modules", kver, "extra"))
        shutil.copyfile(extra, os.path.join(root, "lib", "modules", kver, "extra", os.path.basename(extra)))
        if subprocess.run(["depmod", "-b", root, kver]).returncode != 0:
            raise BoardError("depmod failed on the initramfs's modules")
    files = subprocess.run("find . | LC_ALL=C sort", shell=True, cwd=root, capture_output=True, check=True).stdout
    with file_replace_open(img) as out:
        cpio = subprocess.Popen(["cpio", "-o", "-H", "newc", "-R", "0:0", "--quiet"], cwd=root,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        gz = subprocess.Popen(["gzip", "-1"], stdin=cpio.stdout, stdout=out)
        cpio.stdout.close()
        cpio.stdin.write(files)
        cpio.stdin.close()
        if cpio.wait() != 0 or gz.wait() != 0:
            raise BoardError("cannot pack the initramfs %s" % img)
