#include "describe_session.h"

#include "describe.h"
#include "drm_screen.h"
#include "execute.h"
#include "benchlib.h"
#include "session_lock.h"
#include "unique_fd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>

namespace {

// The node's kind, as the programs decide it; unknown when it cannot be opened.
fb_device_kind device_kind_at(const std::string& path)
{
    const unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return fb_device_kind::unknown;
    return fb_device_kind_of(fd.get());
}

// The lock the programs take on a device, held while it is probed, so that
// no probe draws on a screen that a program holds (one run by itself:
// another session waits for the session lock first).
struct device_lock {
    unique_fd fd;
    bool held_elsewhere = false;
};

// Takes the lock without waiting. A device that cannot be opened here is
// left to the description, which says why. The first open of a DRM card
// with no master makes it master: the lock gives that up at once, or the
// probe's own open could not take master and would skip itself.
void device_lock_take(device_lock& lock, const std::string& path)
{
    lock.fd = device_open_unmastered(path, O_RDONLY);
    if (lock.fd.get() < 0 || flock(lock.fd.get(), LOCK_EX | LOCK_NB) == 0)
        return;
    lock.held_elsewhere = errno == EWOULDBLOCK;
    lock.fd.reset();
}

const char in_use[] = "in use by another session";

// A DRM device is described by the display the programs would draw on; a
// framebuffer by its screen information and its mapping.
device_description device_describe(session& s, const std::filesystem::path& root, const std::string& path)
{
    device_description device{.path = path};
    const fb_device_kind kind = device_kind_at(path);
    if (kind == fb_device_kind::neither) {
        device.error = bench_text_escape(path) + " is neither a framebuffer nor a DRM device";
        return device;
    }
    device_lock lock;
    if (s.options.probe)
        device_lock_take(lock, path);
    const bool probe = s.options.probe && !lock.held_elsewhere;
    if (kind == fb_device_kind::drm) {
        device.kind = fb_device_kind::drm;
        drm_screen_description drm;
        uint32_t depth = 0; // the programs' FBBENCH_DEPTH, which main has checked
        drm_depth_check(std::getenv(DRM_DEPTH_VARIABLE), depth);
        if (!drm_screen_describe(path.c_str(), depth, drm))
            return device;
        device.drm = drm;
        device.display = drm_display_describe(path, probe);
    } else {
        device.kind = fb_device_kind::fbdev;
        device.fb = fb_device_describe(root, path, s.warnings);
        if (!device.fb.screen)
            return device;
        device.mapping = mapping_describe(root, path, probe, s.warnings);
        device.display = fb_display_describe(root, path, device, probe);
        if (lock.held_elsewhere)
            device.mapping->probes_skipped = in_use;
    }
    if (lock.held_elsewhere)
        device.display->update_probe = update_probe_summary{.skipped = in_use};
    return device;
}

// What reaches the display: refresh, flush and the update probe, one line.
void display_line_print(std::FILE* out, const device_description& device)
{
    if (!device.display)
        return;
    const display_description& display = *device.display;
    const refresh_summary refresh = display.refresh.value_or(refresh_summary{});
    std::string text = std::string("refresh ") + refresh_status_text(refresh.status);
    char figures[160];
    if (refresh.median_hz) {
        std::snprintf(figures, sizeof figures, " %.2f Hz, spread %.1f%%", *refresh.median_hz,
                      refresh.spread_percent.value_or(0.0));
        text += figures;
    }
    if (refresh.nominal_hz) {
        std::snprintf(figures, sizeof figures, " (mode %.2f Hz)", *refresh.nominal_hz);
        text += figures;
    }
    if (const std::optional<flush_summary>& flush = display.flush; flush && !flush->needed)
        text += "; flush " + flush->method + ": " + flush->evidence;
    else if (flush)
        text += "; flush " + flush->method + ", kernel "
              + (flush->kernel_waits ? (*flush->kernel_waits ? "waits" : "does not wait") : "wait unknown");
    if (const std::optional<update_probe_summary>& probe = display.update_probe; probe && probe->updates > 0) {
        std::snprintf(figures, sizeof figures, "; %.1f full-screen updates/s, flush %.3f ms, writes %.3f ms",
                      probe->updates_per_second, probe->flush_ms, probe->write_ms);
        text += figures;
    } else if (probe) {
        text += "; update probe skipped: " + probe->skipped;
    }
    std::fprintf(out, "  display %s\n", text.c_str());
}

} // namespace

system_sample session_describe(session& s, const std::filesystem::path& root)
{
    // A stop signal ends a probe at once, the others are skipped, so that
    // fbbench gives the display back, writes its file and ends soon.
    describe_stop_check_set([] { return signals_caught() != 0; });
    s.system = system_describe(root);
    system_idle_check(root, s.system, s.warnings);
    const system_sample before = system_sample_take(root);
    s.device_descriptions.clear();
    for (std::size_t i = 0; i < s.devices.size() && signals_caught() == 0; ++i) {
        // A device that cannot be opened is recorded with its error alone.
        if (i < s.screens.size() && !s.screens[i].error.empty())
            s.device_descriptions.push_back({.path = s.devices[i], .error = s.screens[i].error});
        else
            s.device_descriptions.push_back(device_describe(s, root, s.devices[i]));
    }
    return before;
}

void session_describe_after(session& s, const std::filesystem::path& root, const system_sample& before)
{
    system_sample_compare(before, system_sample_take(root), s.system, s.warnings);
}

void session_header_print(std::FILE* out, const session& s)
{
    const cpu_description cpu = s.system.cpu.value_or(cpu_description{});
    std::string cores;
    for (const std::string& name : cpu.core_names)
        cores += (cores.empty() ? "" : ", ") + name;
    std::string features;
    for (const std::string& f : cpu.features.value_or(std::vector<std::string>{}))
        if (f == "vfp" || f.starts_with("vfpv") || f == "neon" || f == "fp" || f == "asimd")
            features += " " + f;
    std::fprintf(out, "host %s, board %s\n", s.host.c_str(), s.system.board_model.value_or("unknown").c_str());
    // An arm64 kernel names no model in /proc/cpuinfo: the core names alone.
    const std::string model = cpu.model.value_or("");
    const std::string named = model + (model.empty() || cores.empty() ? "" : " / ") + cores;
    std::fprintf(out, "cpu %s, %d core%s,%s\n", named.empty() ? "unknown" : named.c_str(), cpu.cores,
                 cpu.cores == 1 ? "" : "s", features.empty() ? " no VFP named" : features.c_str());
    const kernel_names& kernel = s.system.kernel;
    std::fprintf(out, "kernel %s %s", kernel.sysname.value_or("").c_str(), kernel.release.value_or("").c_str());
    if (kernel.machine)
        std::fprintf(out, " on %s", kernel.machine->c_str());
    const int program_bits = s.system.program_bits;
    const int kernel_bits = s.system.kernel_bits.value_or(0);
    if (program_bits != 0)
        std::fprintf(out, ", programs for %s (%d-bit)", s.system.program_architecture.c_str(), program_bits);
    if (program_bits != 0 && kernel_bits != 0 && program_bits != kernel_bits)
        std::fprintf(out, ": %d-bit programs on a %d-bit kernel", program_bits, kernel_bits);
    std::fputc('\n', out);
    for (const device_description& device : s.device_descriptions) {
        if (!device.error.empty()) {
            std::fprintf(out, "%s: %s\n", device.path.c_str(), device.error.c_str());
            continue;
        }
        if (device.kind == fb_device_kind::drm) {
            const drm_screen_description drm = device.drm.value_or(drm_screen_description{});
            std::fprintf(out, "%s: DRM, driver %s, %s %s, pitch %u bytes\n", device.path.c_str(), drm.driver.c_str(),
                         drm.connector.c_str(), drm.mode.c_str(), drm.pitch);
            display_line_print(out, device);
            continue;
        }
        if (!device.fb.screen) {
            std::fprintf(out, "%s: not described\n", device.path.c_str());
            continue;
        }
        const fb_var_screeninfo& var = device.fb.screen->var;
        std::fprintf(out, "%s: \"%s\" (%s driver), %ux%u at %u bits per pixel", device.path.c_str(),
                     fb_id(device.fb.screen->fix).c_str(),
                     fb_drm_emulation(device.fb.screen->fix) ? "DRM emulation" : "native", var.xres,
                     var.yres, var.bits_per_pixel);
        if (const std::optional<double> hz = refresh_hz(var))
            std::fprintf(out, ", %.1f Hz", *hz);
        std::fputc('\n', out);
        if (device.mapping) {
            std::fprintf(out, "  mapping %s: %s\n", device.mapping->found.name.c_str(),
                         device.mapping->found.evidence.c_str());
            for (const mapping_probe& probe : device.mapping->probes.value_or(std::vector<mapping_probe>{}))
                std::fprintf(out, "  %-22s %9.2f MPixels/s, RAM %9.2f, ratio %.3f\n", probe.name.c_str(),
                             probe.screen_mpixels, probe.memory_mpixels, probe.ratio.value_or(0.0));
        }
        display_line_print(out, device);
    }
    std::fputc('\n', out);
}
