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

int main(int argc, char** argv) {
    bool smaps = argc == 3 && std::strcmp(argv[1], "--smaps") == 0;
    if (argc != 1 && !smaps) {
        std::fprintf(stderr, "usage: fbprobe [--smaps DEVICE]\n");
        return 2;
    }
    const char* env = std::getenv("FRAMEBUFFER");
    std::string path = smaps ? argv[2] : (env && *env) ? env : "/dev/fb0";
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
    if (v.bits_per_pixel < 24) {
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
