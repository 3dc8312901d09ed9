#include "devices.h"

#include "benchlib.h"
#include "describe.h"
#include "drm_screen.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <unistd.h>

device_screen device_screen_query(const std::string& path)
{
    device_screen d;
    d.path = path;
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        d.error = "cannot open " + bench_text_escape(path) + ": " + std::strerror(errno);
        return d;
    }
    // The node tells a DRM card from a framebuffer, as the programs tell it:
    // a 32-bit FBIOGET_VSCREENINFO on a DRM card under a 64-bit kernel succeeds.
    const fb_device_kind kind = fb_device_kind_of(fd);
    fb_var_screeninfo var{};
    const bool fbdev = kind != fb_device_kind::drm && kind != fb_device_kind::neither
                    && ioctl(fd, FBIOGET_VSCREENINFO, &var) == 0;
    const int query_errno = errno;
    close(fd);
    if (kind == fb_device_kind::neither) {
        d.error = bench_text_escape(path) + " is neither a framebuffer nor a DRM device";
        return d;
    }
    if (fbdev) {
        d.kind = "fbdev";
        d.width = var.xres;
        d.height = var.yres;
        d.bits_per_pixel = var.bits_per_pixel;
        d.row_bytes = (var.xres * var.bits_per_pixel) >> 3;
        return d;
    }
    drm_screen_description drm;
    uint32_t depth = 0; // the programs' FBBENCH_DEPTH, which main has checked
    drm_depth_check(std::getenv(DRM_DEPTH_VARIABLE), depth);
    if (drm_screen_describe(path.c_str(), depth, drm)) {
        d.kind = "drm";
        d.width = drm.width;
        d.height = drm.height;
        d.bits_per_pixel = drm.bits_per_pixel;
        d.row_bytes = drm.pitch;
        return d;
    }
    d.error = kind == fb_device_kind::drm
                ? "cannot choose a display on " + bench_text_escape(path) + ": no connected connector with a mode"
                : "cannot query " + bench_text_escape(path) + " as a framebuffer (" + std::strerror(query_errno) + ") or as a DRM display";
    return d;
}

bool device_window_compute(device_screen& device, const bench_window_texts& texts, std::string& message)
{
    fb_var_screeninfo visible{};
    visible.xres = device.width;
    visible.yres = device.height;
    visible.bits_per_pixel = device.bits_per_pixel;
    device.defaulted.clear();
    const std::pair<const char*, const char*> values[] = {
        {"width", texts.width}, {"height", texts.height}, {"posx", texts.posx}, {"posy", texts.posy}};
    for (const auto& [name, text] : values)
        if (text == nullptr)
            device.defaulted.push_back(name);
    if (bench_window_compute(texts, visible, device.window, message))
        return true;
    message = bench_text_escape(device.path) + ": " + message;
    device.window_error = message;
    return false;
}

std::string device_window_refusal(const std::string& program, const device_screen& device)
{
    const bench_window& w = device.window;
    const std::optional<bench_window> smallest = benchmark_window_smallest(program, w);
    if (!smallest)
        return "";
    char line[256];
    std::snprintf(line, sizeof line,
                  "%s draws nothing in the %dx%d window at (%d,%d) on %s; the smallest window that works there is %dx%d",
                  program.c_str(), w.width, w.height, w.posx, w.posy, bench_text_escape(device.path).c_str(), smallest->width,
                  smallest->height);
    return line;
}

std::string devices_prepare(session& s, const bench_window_texts& texts)
{
    s.screens.clear();
    std::string refusal;
    for (const std::string& path : s.devices) {
        device_screen d = device_screen_query(path);
        // No program could run on it: refused before the plan, not started
        // for every program and target.
        if (!d.error.empty() && refusal.empty())
            refusal = d.error;
        std::string message;
        if (d.error.empty() && !device_window_compute(d, texts, message) && refusal.empty())
            refusal = message;
        if (d.error.empty() && refusal.empty())
            for (const std::string& program : s.options.programs)
                if (refusal.empty())
                    refusal = device_window_refusal(program, d);
        s.screens.push_back(d);
    }
    return refusal;
}
