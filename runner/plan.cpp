#include "plan.h"

#include "benchlib.h"
#include "benchmarks.h"
#include "describe.h"
#include "drm_screen.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
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

namespace {

// The measured refresh of a DRM card's description, or nothing.
std::optional<double> refresh_measured_hz(const device_description& device)
{
    if (device.kind != fb_device_kind::drm || !device.display || !device.display->refresh)
        return std::nullopt;
    const refresh_summary& refresh = *device.display->refresh;
    if (refresh.status != refresh_status::measured || !refresh.median_hz || *refresh.median_hz <= 0)
        return std::nullopt;
    return refresh.median_hz;
}

// Why presented is not run on a DRM card: no vblank events, or a run found
// them faked. Empty for a device that is no DRM card, one with vblank
// events, or under --no-sync.
std::string presented_dropped_reason(const runner_options& options, const device_description& device)
{
    if (options.sync == display_sync::never || device.kind != fb_device_kind::drm)
        return "";
    if (device.display && !device.display->presented_dropped.empty())
        return device.display->presented_dropped;
    if (refresh_measured_hz(device))
        return "";
    if (!device.display || !device.display->refresh)
        return "no vblank events";
    const refresh_summary& refresh = *device.display->refresh;
    return refresh_status_text(refresh.status) + (refresh.evidence.empty() ? "" : ": " + refresh.evidence);
}

} // namespace

device_plan device_plan_make(const runner_options& options, const device_description& device)
{
    device_plan plan;
    const display_description* display = device.display ? &*device.display : nullptr;
    const flush_summary* flush = display != nullptr && display->flush ? &*display->flush : nullptr;
    const refresh_summary* refresh = display != nullptr && display->refresh ? &*display->refresh : nullptr;
    plan.flush_has_effect = flush == nullptr || flush->needed;
    const bool display_wanted = (options.sync == display_sync::always && plan.flush_has_effect)
                             || (options.sync == display_sync::automatic && display_flush_needed(device));
    if (display_wanted && flush != nullptr)
        plan.display_dropped = flush->error;
    plan.presented_dropped = presented_dropped_reason(options, device);
    plan.presented_refresh_hz = refresh_measured_hz(device);
    plan.targets = {run_target::device};
    if (options.memory)
        plan.targets.push_back(run_target::memory);
    if (display_wanted && plan.display_dropped.empty())
        plan.targets.push_back(run_target::display);
    if (options.sync != display_sync::never && plan.presented_refresh_hz && plan.presented_dropped.empty())
        plan.targets.push_back(run_target::presented);
    if (refresh != nullptr) {
        for (const std::optional<double>& hz : {refresh->median_hz, refresh->nominal_hz})
            if (!plan.refresh_hz && hz && *hz > 0)
                plan.refresh_hz = hz;
        char text[120];
        if (refresh->median_hz) {
            std::snprintf(text, sizeof text, "refresh %.1f Hz measured", *refresh->median_hz);
            plan.refresh_text = text;
        } else if (refresh->nominal_hz) {
            std::snprintf(text, sizeof text, "mode %.0f Hz, %s", *refresh->nominal_hz,
                          refresh_status_text(refresh->status));
            plan.refresh_text = text;
        }
    }
    if (display != nullptr && display->update_probe && display->update_probe->updates > 0)
        plan.updates_per_second = display->update_probe->updates_per_second;
    return plan;
}

void plan_make(session& s)
{
    s.plan.clear();
    for (const std::string& path : s.devices) {
        const device_description none;
        const device_description* found = &none;
        for (const device_description& device : s.device_descriptions)
            if (found == &none && device.path == path)
                found = &device;
        s.plan.push_back(device_plan_make(s.options, *found));
        s.plan.back().path = path;
    }
}

const device_plan& plan_find(const session& s, const std::string& path)
{
    static const device_plan none;
    for (const device_plan& device : s.plan)
        if (device.path == path)
            return device;
    return none;
}

bool plan_has(const session& s, const std::string& path, run_target target)
{
    const std::vector<run_target>& targets = plan_find(s, path).targets;
    return std::find(targets.begin(), targets.end(), target) != targets.end();
}

void plan_presented_drop(session& s, const std::string& path, const std::string& reason)
{
    for (device_plan& device : s.plan)
        if (device.path == path) {
            std::erase(device.targets, run_target::presented);
            device.presented_dropped = reason;
        }
    for (device_description& device : s.device_descriptions)
        if (device.path == path) {
            if (!device.display)
                device.display.emplace();
            device.display->presented_dropped = reason;
        }
}

std::size_t plan_runs_least(const session& s)
{
    std::size_t targets = 0;
    for (const std::string& path : s.devices)
        targets += plan_find(s, path).targets.size();
    return s.options.programs.size() * targets * std::size_t(s.options.runs + s.options.warmup);
}

namespace {

// A run of the program takes this long: the mean of its runs so far, else
// the table's figure; 0 when unknown yet.
double run_seconds_estimate(const session& s, const std::string& program)
{
    double total = 0;
    int count = 0;
    for (const run_record& r : s.runs)
        if (r.program == program && r.valid)
            total += r.wall_seconds, ++count;
    if (count > 0)
        return total / count;
    const benchmark* b = benchmark_find(program);
    if (b == nullptr)
        return 0;
    // A second a level at the least, as in the full ladder.
    return s.options.quick && b->quick_levels != 0 ? std::min(b->run_seconds, double(b->quick_levels)) : b->run_seconds;
}

} // namespace

time_estimate plan_remaining_estimate(const session& s, std::size_t program_index, std::size_t device_index)
{
    const runner_options& o = s.options;
    time_estimate e;
    for (std::size_t p = program_index; p < o.programs.size(); ++p) {
        const std::string& program = o.programs[p];
        double runs = 0;
        for (std::size_t d = p == program_index ? device_index : 0; d < s.devices.size(); ++d) {
            for (run_target t : plan_find(s, s.devices[d]).targets) {
                std::size_t warmups = 0, counted = 0;
                for (const run_record& r : s.runs)
                    if (r.program == program && r.path == s.devices[d] && r.target == t)
                        (r.warmup ? warmups : counted) += r.warmup || r.valid;
                runs += double(std::size_t(o.warmup) - std::min(std::size_t(o.warmup), warmups));
                runs += double(std::size_t(o.runs) - std::min(std::size_t(o.runs), counted));
            }
        }
        const double each = run_seconds_estimate(s, program);
        if (runs > 0 && each == 0)
            e.unknown.push_back(program);
        e.seconds += runs * each;
    }
    return e;
}

std::string plan_quick_line(const session& s)
{
    if (!s.options.quick)
        return "";
    std::string line = "quick: one run each";
    for (const std::string& program : s.options.programs)
        if (const benchmark* b = benchmark_find(program); b != nullptr && b->quick_levels != 0)
            line += std::string(", ") + b->label + " to " + std::to_string(b->quick_levels) + " levels";
    return line + "; compare with quick runs only";
}
