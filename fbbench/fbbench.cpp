#include "fbbench.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

const char* fb_device_path()
{
    const char* device = std::getenv("FRAMEBUFFER");
    return device != nullptr && *device != '\0' ? device : "/dev/fb0";
}

int bench_fail(int status, const char* format, ...)
{
    std::fprintf(stderr, "%s: ", program_invocation_short_name);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    return status;
}

int bench_report_flush()
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return bench_fail(bench_exit_resource, "cannot write the report: %s", std::strerror(errno));
    return 0;
}

int fb_screen_open(fb_screen& screen)
{
    screen.device = fb_device_path();
    screen.fb_fd = open(screen.device, O_RDWR);
    if (screen.fb_fd < 0)
        return bench_fail(bench_exit_resource, "cannot open %s: %s", screen.device, std::strerror(errno));

    if (ioctl(screen.fb_fd, FBIOGET_VSCREENINFO, &screen.vinfo) != 0) {
        const int query_errno = errno;
        fb_screen_close(screen);
        return bench_fail(bench_exit_resource, "cannot query %s: %s", screen.device, std::strerror(query_errno));
    }

    const fb_var_screeninfo& vinfo = screen.vinfo;
    if (vinfo.bits_per_pixel < 24) {
        fb_screen_close(screen);
        return bench_fail(bench_exit_resource, "%s has %u bits per pixel; 24 or more are supported",
                          screen.device, vinfo.bits_per_pixel);
    }
    // Offsets are 32-bit; a screen larger than that could not be addressed.
    const uint64_t screen_bits = uint64_t(vinfo.xres) * vinfo.yres * vinfo.bits_per_pixel;
    if (screen_bits > UINT32_MAX) {
        fb_screen_close(screen);
        return bench_fail(bench_exit_resource, "%s screen of %ux%u at %u bits per pixel is too large",
                          screen.device, vinfo.xres, vinfo.yres, vinfo.bits_per_pixel);
    }
    return 0;
}

bool bench_value_parse(const char* text, int32_t& value)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (std::isspace(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';

    const int64_t limit = negative ? -int64_t(INT32_MIN) : INT32_MAX;
    int64_t magnitude = 0;
    for (; std::isdigit(*p); ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit)
            return false;
    }
    value = int32_t(negative ? -magnitude : magnitude);
    return true;
}

bool bench_window_fits(const bench_window& window, const fb_var_screeninfo& vinfo)
{
    if (window.width < 0 || window.height < 0 || window.posx < 0 || window.posy < 0)
        return false;
    return int64_t(window.posx) + window.width <= int64_t(vinfo.xres)
        && int64_t(window.posy) + window.height <= int64_t(vinfo.yres);
}

// One window value: atoi of the variable when present, else the default.
static bool bench_window_value(const char* name, int32_t fallback, int32_t& value)
{
    const char* text = std::getenv(name);
    if (text == nullptr) {
        value = fallback;
        return true;
    }
    if (bench_value_parse(text, value))
        return true;
    bench_fail(bench_exit_window, "%s=%s is out of range", name, text);
    return false;
}

int bench_window_read(const fb_var_screeninfo& vinfo, bench_window& window)
{
    // Defaults beyond INT32_MAX cannot arise: the screen's size in bits fits 32 bits.
    if (!bench_window_value("WIDTH", int32_t(vinfo.xres), window.width)
        || !bench_window_value("HEIGHT", int32_t(vinfo.yres), window.height)
        || !bench_window_value("POSX", 0, window.posx)
        || !bench_window_value("POSY", 0, window.posy))
        return bench_exit_window;

    if (!bench_window_fits(window, vinfo))
        return bench_fail(bench_exit_window, "window %dx%d at (%d,%d) does not fit the %ux%u screen",
                          window.width, window.height, window.posx, window.posy, vinfo.xres, vinfo.yres);
    return 0;
}

int fb_screen_map(fb_screen& screen)
{
    screen.screen_len = fb_screen_len(screen.vinfo);
    void* base = mmap(nullptr, screen.screen_len, PROT_WRITE, MAP_SHARED, screen.fb_fd, 0);
    if (base == MAP_FAILED)
        return bench_fail(bench_exit_resource, "cannot map %s: %s", screen.device, std::strerror(errno));
    screen.screen_base = static_cast<volatile uint8_t*>(base);
    return 0;
}

void fb_screen_close(fb_screen& screen)
{
    if (screen.screen_base != nullptr) {
        munmap(const_cast<uint8_t*>(screen.screen_base), screen.screen_len);
        screen.screen_base = nullptr;
    }
    if (screen.fb_fd >= 0) {
        close(screen.fb_fd);
        screen.fb_fd = -1;
    }
}

int fb_bench_start(fb_screen& screen, bench_window& window)
{
    int status = fb_screen_open(screen);
    if (status != 0)
        return status;
    status = bench_window_read(screen.vinfo, window);
    if (status == 0)
        status = fb_screen_map(screen);
    if (status != 0)
        fb_screen_close(screen);
    return status;
}
