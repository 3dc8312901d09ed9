"""One description per emulated board: what board/run boots and board/check
expects. Everything else reads these."""

# The window each kind of program gets when none of WIDTH HEIGHT POSX POSY is
# set. The board runs floating point some 20 to 30 times slower than a
# desktop: a benchmark that draws a fixed number of passes takes about 4 s
# there at 320x240; the others draw for a fixed time whatever the window.
# fbbench runs every benchmark, on the screen and on RAM, so it gets less.
# None touches the screen's edges, so the screenshots show that nothing is
# drawn outside the window.
WINDOWS = {
    "benchmark": {"WIDTH": 320, "HEIGHT": 240, "POSX": 240, "POSY": 120},
    "fbbench": {"WIDTH": 160, "HEIGHT": 120, "POSX": 64, "POSY": 48},
    "fbprobe": {"WIDTH": 200, "HEIGHT": 120, "POSX": 100, "POSY": 60},
}

# devices: what a run may name as @DEVICE, and the display (QEMU device id;
# "" for the machine's first display) that shows it; a framebuffer's "name"
# and "driver_kind" as the kernel and fbbench report them; "mapping" "direct"
# where a DRM emulation maps the card's buffer itself, with no shadow to
# copy (vkms on 6.1: no dirty hook, so no deferred I/O; on 6.12 its
# emulation is a deferred-I/O shadow, as the board shows). "fsync_waits":
# whether the kernel's fsync on that deferred-I/O framebuffer waits for the
# copy to the display (from Linux 6.2 on) or only starts it (6.1 and before).
# A device with a "driver" is the DRM card of that driver, found by it on the
# board, wherever it is numbered; "display" None: QEMU shows it nowhere, so a
# run there gets no screenshot.
#
# vkms: the out-of-tree build of the virtual KMS driver (boardlib/vkms.py),
# loaded after the GPU's modules so that its card and framebuffer come last:
# the packages ({kver}: the kernel's release, {abi}: without its flavour;
# all at the kernel package's version), ARCH and the cross compiler; its
# connector as the kernel names it (connector numbers count across cards:
# the virtio GPU's is Virtual-1) and its mode, which video= sets with a depth.
BOARDS = {
    "vexpress": {
        "title": "Versatile Express, Cortex-A9 (VFPv3, NEON), Debian 12's 32-bit armmp kernel",
        "qemu": ["qemu-system-arm", "-M", "vexpress-a9", "-m", "128",
                 "-global", "virtio-mmio.force-legacy=false",
                 "-device", "virtio-gpu-device,id=gpu,xres={xres},yres={yres}"],
        "append": "console=ttyAMA0 panic=-1 fbcon=map:01",
        # The stock tree, given a panel of the screen's size by an overlay.
        "dtb": "vexpress-v2p-ca9.dtb",
        "sources": ["bookworm"],
        "architectures": ["armhf"],
        # A metapackage: the kernel is the package it depends on.
        "kernel": "linux-image-armmp:armhf",
        "busybox": "busybox-static:armhf",
        # The virtio GPU's driver and what it needs, in load order.
        "gpu_modules": ["virtio_mmio", "virtio_dma_buf", "drm", "drm_kms_helper",
                        "drm_shmem_helper", "virtio-gpu"],
        # The GPU's own framebuffer, its DRM emulation.
        "gpu_fb": "fb1",
        "host_name": "vexpress-a9",
        "devices": {
            "fb0": {"display": "", "name": "CLCD FB", "driver_kind": "native"},
            "fb1": {"display": "gpu", "name": "virtio_gpudrmfb", "driver_kind": "drm-emulation",
                    "fsync_waits": False},
            "dri/card0": {"display": "gpu"},
            "fb2": {"display": None, "name": "vkmsdrmfb", "driver_kind": "drm-emulation", "mapping": "direct"},
            "dri/vkms": {"display": None, "driver": "vkms"},
        },
        "vkms": {"packages": ["linux-source-6.1", "linux-headers-{kver}:armhf", "linux-headers-{abi}-common",
                              "linux-kbuild-6.1:amd64"],
                 "arch": "arm", "cross_compile": "arm-linux-gnueabihf-",
                 "connector": "Virtual-2", "mode": "1024x768"},
        "depths": [32, 16],
        "screen": "800x480x32",
        "cpu": {"core": "Cortex-A9", "features": ["vfpv3", "neon"], "machine": "armv7l",
                "kernel_bits": 32},
        # After every benchmark on the programs' own device.
        "suites": ["fbbench@fb0,dri/card0", "fbbench@fb1", "fbbench@dri/vkms"],
    },
    "arm64": {
        "title": "QEMU virt, Cortex-A72 (32-bit programs at AArch32 EL0), Debian's arm64 6.12 kernel",
        # The kernel's COMPAT (with KUSER_HELPERS) runs the 32-bit programs.
        "qemu": ["qemu-system-aarch64", "-M", "virt", "-cpu", "cortex-a72", "-m", "512", "-nic", "none",
                 "-device", "virtio-gpu-pci,id=gpu,xres={xres},yres={yres}"],
        "append": "console=ttyAMA0 panic=-1",
        "dtb": None,
        "sources": ["bookworm-backports", "bookworm"],
        "architectures": ["arm64", "armhf"],
        # From bookworm-backports; bookworm's armhf busybox is static 32-bit
        # code that runs at AArch32 EL0 as the programs do.
        "kernel": "linux-image-6.12.95+deb12-arm64:arm64=6.12.95-1~bpo12+1",
        "busybox": "busybox-static:armhf",
        # virtio_pci is built in.
        "gpu_modules": ["virtio_dma_buf", "drm", "drm_kms_helper", "drm_shmem_helper", "virtio-gpu"],
        "gpu_fb": "fb0",
        "host_name": "virt-a72",
        "devices": {
            "fb0": {"display": "gpu", "name": "virtio_gpudrmfb", "driver_kind": "drm-emulation",
                    "fsync_waits": True},
            "dri/card0": {"display": "gpu"},
            "fb1": {"display": None, "name": "vkmsdrmfb", "driver_kind": "drm-emulation"},
            "dri/vkms": {"display": None, "driver": "vkms"},
        },
        "vkms": {"packages": ["linux-source-6.12", "linux-headers-{kver}:arm64", "linux-headers-{abi}-common",
                              "linux-kbuild-{abi}:amd64"],
                 "arch": "arm64", "cross_compile": "aarch64-linux-gnu-",
                 "connector": "Virtual-2", "mode": "1024x768"},
        # The DRM emulation has the DRM driver's depth.
        "depths": [32],
        "screen": "800x480x32",
        "cpu": {"core": "Cortex-A72", "features": ["fp", "asimd"], "machine": "aarch64",
                "kernel_bits": 64},
        "suites": ["fbbench@fb0,dri/card0", "fbbench@dri/vkms"],
    },
}
