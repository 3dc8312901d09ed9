// Board self-test: draws a known byte pattern into a window of /dev/fb0 the
// way the benchmarks do (FBIOGET_VSCREENINFO, then a MAP_SHARED mapping of
// xres * yres pixels of bits_per_pixel / 8 bytes), so that the board's
// screenshots can be checked byte for byte against what was written.
//
// Pixel (x, y) of the window gets the bytes probe_byte(0..3, x, y) in memory
// order; board/check computes the same bytes. The device is FRAMEBUFFER, else
// /dev/fb0.
//
//   fbprobe --smaps DEVICE   maps DEVICE as the benchmarks do (shared, read and
//                            write), prints this process's /proc/self/smaps
//                            entry for that mapping and draws nothing.
//   fbprobe --dump DEVICE FILE
//                            writes the screen's memory to FILE, xres * yres
//                            pixels, rows packed: a framebuffer's, or what a
//                            DRM card's first active CRTC scans out (a
//                            display QEMU does not show). Draws nothing.
#include <drm/drm.h>
#include <drm/drm_mode.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <string>

static std::uint8_t probe_byte(int i, unsigned x, unsigned y) {
    switch (i) {
    case 0: return static_cast<std::uint8_t>(x * 7 + y);
    case 1: return static_cast<std::uint8_t>(x * 3 + y * 5 + 1);
    case 2: return static_cast<std::uint8_t>((x ^ y) + 2);
    default: return 0x5a; // the fourth byte of a 32-bit pixel is not shown
    }
}

static unsigned env_or(const char* name, unsigned fallback) {
    const char* s = std::getenv(name);
    return (s && *s) ? static_cast<unsigned>(std::strtoul(s, nullptr, 10)) : fallback;
}

// Prints the smaps entry whose range starts at addr: its header line and the
// field lines up to the next header.
static int print_smaps_entry(const void* addr) {
    FILE* f = std::fopen("/proc/self/smaps", "r");
    if (!f) {
        std::fprintf(stderr, "fbprobe: /proc/self/smaps: %s\n", std::strerror(errno));
        return 1;
    }
    char start[32];
    std::snprintf(start, sizeof start, "%08lx-", reinterpret_cast<unsigned long>(addr));
    char line[512];
    bool inside = false, found = false;
    while (std::fgets(line, sizeof line, f)) {
        // header lines start with the range, field lines with a capitalised name
        bool header = std::strchr("0123456789abcdef", line[0]) && std::strchr(line, '-') &&
                      std::strchr(line, '-') < std::strchr(line, ' ');
        if (header) inside = std::strncmp(line, start, std::strlen(start)) == 0;
        if (inside) {
            std::fputs(line, stdout);
            found = true;
        }
    }
    std::fclose(f);
    if (!found) {
        std::fprintf(stderr, "fbprobe: no smaps entry at %s\n", start);
        return 1;
    }
    return 0;
}

// Writes rows rows of row_bytes each, line_length apart in map, to path.
static int dump_write(const char* path, const std::uint8_t* map, unsigned rows, unsigned row_bytes,
                      unsigned line_length) {
    FILE* f = std::fopen(path, "wb");
    if (!f) {
        std::fprintf(stderr, "fbprobe: %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    bool ok = true;
    for (unsigned y = 0; y < rows && ok; ++y)
        ok = std::fwrite(map + std::size_t(y) * line_length, 1, row_bytes, f) == row_bytes;
    if (std::fclose(f) != 0 || !ok) {
        std::fprintf(stderr, "fbprobe: writing %s failed\n", path);
        return 1;
    }
    return 0;
}

// The framebuffer a DRM card's first CRTC with one scans out, mapped through
// a handle of our own (root may take another client's framebuffer).
static int dump_drm(int fd, const char* path) {
    drm_mode_card_res res{};
    std::uint32_t crtcs[16];
    if (ioctl(fd, DRM_IOCTL_MODE_GETRESOURCES, &res) < 0 || res.count_crtcs == 0 || res.count_crtcs > 16) {
        std::fprintf(stderr, "fbprobe: DRM_IOCTL_MODE_GETRESOURCES: no CRTCs\n");
        return 1;
    }
    drm_mode_card_res ids{};
    ids.count_crtcs = res.count_crtcs;
    ids.crtc_id_ptr = reinterpret_cast<std::uintptr_t>(crtcs);
    if (ioctl(fd, DRM_IOCTL_MODE_GETRESOURCES, &ids) < 0) {
        std::fprintf(stderr, "fbprobe: DRM_IOCTL_MODE_GETRESOURCES: %s\n", std::strerror(errno));
        return 1;
    }
    for (unsigned i = 0; i < ids.count_crtcs && i < res.count_crtcs; ++i) {
        drm_mode_crtc crtc{};
        crtc.crtc_id = crtcs[i];
        if (ioctl(fd, DRM_IOCTL_MODE_GETCRTC, &crtc) < 0 || crtc.fb_id == 0)
            continue;
        drm_mode_fb_cmd fb{};
        fb.fb_id = crtc.fb_id;
        if (ioctl(fd, DRM_IOCTL_MODE_GETFB, &fb) < 0 || fb.handle == 0) {
            std::fprintf(stderr, "fbprobe: DRM_IOCTL_MODE_GETFB: %s\n", std::strerror(errno));
            return 1;
        }
        drm_mode_map_dumb map_req{};
        map_req.handle = fb.handle;
        if (ioctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &map_req) < 0) {
            std::fprintf(stderr, "fbprobe: DRM_IOCTL_MODE_MAP_DUMB: %s\n", std::strerror(errno));
            return 1;
        }
        std::size_t size = std::size_t(fb.pitch) * fb.height;
        void* map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, off_t(map_req.offset));
        if (map == MAP_FAILED) {
            std::fprintf(stderr, "fbprobe: mmap of the scanned-out buffer: %s\n", std::strerror(errno));
            return 1;
        }
        // The rows as the programs address them: by the pitch.
        int status = dump_write(path, static_cast<std::uint8_t*>(map), fb.height, fb.pitch, fb.pitch);
        if (status == 0)
            std::printf("fbprobe: dumped %ux%u, pitch %u, %u bpp\n", fb.width, fb.height, fb.pitch, fb.bpp);
        munmap(map, size);
        return status;
    }
    std::fprintf(stderr, "fbprobe: no CRTC scans out a framebuffer\n");
    return 1;
}

int main(int argc, char** argv) {
    bool smaps = argc == 3 && std::strcmp(argv[1], "--smaps") == 0;
    bool dump = argc == 4 && std::strcmp(argv[1], "--dump") == 0;
    if (argc != 1 && !smaps && !dump) {
        std::fprintf(stderr, "usage: fbprobe [--smaps DEVICE | --dump DEVICE FILE]\n");
        return 2;
    }
    if (dump && std::strncmp(argv[2], "/dev/dri/", 9) == 0) {
        int fd = open(argv[2], O_RDWR);
        if (fd < 0) {
            std::fprintf(stderr, "fbprobe: %s: %s\n", argv[2], std::strerror(errno));
            return 1;
        }
        int status = dump_drm(fd, argv[3]);
        close(fd);
        return status;
    }
    const char* env = std::getenv("FRAMEBUFFER");
    std::string path = smaps || dump ? argv[2] : (env && *env) ? env : "/dev/fb0";
    int fd = open(path.c_str(), O_RDWR);
    if (fd < 0) {
        std::fprintf(stderr, "fbprobe: %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    fb_var_screeninfo v{};
    if (ioctl(fd, FBIOGET_VSCREENINFO, &v) < 0) {
        std::fprintf(stderr, "fbprobe: FBIOGET_VSCREENINFO: %s\n", std::strerror(errno));
        return 1;
    }
    if (smaps) {
        std::size_t size = std::size_t(v.xres) * v.yres * (v.bits_per_pixel / 8);
        void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) {
            std::fprintf(stderr, "fbprobe: mmap %s: %s\n", path.c_str(), std::strerror(errno));
            return 1;
        }
        return print_smaps_entry(map);
    }
    if (dump) {
        fb_fix_screeninfo fix{};
        if (ioctl(fd, FBIOGET_FSCREENINFO, &fix) < 0) {
            std::fprintf(stderr, "fbprobe: FBIOGET_FSCREENINFO: %s\n", std::strerror(errno));
            return 1;
        }
        std::size_t size = std::size_t(fix.line_length) * v.yres;
        void* map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) {
            std::fprintf(stderr, "fbprobe: mmap %s: %s\n", path.c_str(), std::strerror(errno));
            return 1;
        }
        int status = dump_write(argv[3], static_cast<std::uint8_t*>(map), v.yres, v.xres * v.bits_per_pixel / 8,
                                fix.line_length);
        if (status == 0)
            std::printf("fbprobe: dumped %ux%u, stride %u, %u bpp\n", v.xres, v.yres, fix.line_length,
                        v.bits_per_pixel);
        munmap(map, size);
        return status;
    }
    // The window's bytes as whole pixels of two bytes or more.
    if (v.bits_per_pixel < 16 || v.bits_per_pixel % 8) {
        std::fprintf(stderr, "fbprobe: %u bits per pixel is not supported\n", v.bits_per_pixel);
        return 1;
    }
    unsigned w = env_or("WIDTH", v.xres), h = env_or("HEIGHT", v.yres);
    unsigned px = env_or("POSX", 0), py = env_or("POSY", 0);
    if (w == 0 || h == 0 || px + w > v.xres || py + h > v.yres) {
        std::fprintf(stderr, "fbprobe: window %ux%u at %u,%u does not fit %ux%u\n",
                     w, h, px, py, v.xres, v.yres);
        return 2;
    }
    unsigned bytes = v.bits_per_pixel / 8;
    std::size_t size = std::size_t(v.xres) * v.yres * bytes;
    void* map = mmap(nullptr, size, PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        std::fprintf(stderr, "fbprobe: mmap: %s\n", std::strerror(errno));
        return 1;
    }
    auto* fb = static_cast<std::uint8_t*>(map);
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {
            std::uint8_t* p = fb + (std::size_t(py + y) * v.xres + px + x) * bytes;
            for (unsigned i = 0; i < bytes; ++i) p[i] = probe_byte(i, x, y);
        }
    std::printf("fbprobe: %ux%u at %u,%u on %ux%ux%u; red %u:%u green %u:%u blue %u:%u\n",
                w, h, px, py, v.xres, v.yres, v.bits_per_pixel,
                v.red.offset, v.red.length, v.green.offset, v.green.length,
                v.blue.offset, v.blue.length);
    munmap(map, size);
    close(fd);
    return 0;
}
