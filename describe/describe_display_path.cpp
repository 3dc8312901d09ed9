// What reaches the display: the display's real refresh (vblank events), how a
// drawn frame is pushed to it (fsync or a DRM dirty request) and whether the
// kernel waits for that, and a full-screen update probe.
#include "describe.h"

#include "bench_error.h"
#include "drm_screen.h"
#include "fb_device_kind.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xf86drm.h>

namespace fs = std::filesystem;

namespace {

using steady = std::chrono::steady_clock;

double seconds_since(steady::time_point start)
{
    return std::chrono::duration<double>(steady::now() - start).count();
}

double round_to(double value, double quantum)
{
    return std::round(value / quantum) * quantum;
}

// Intervals this much shorter than the mode's period are no vblank: a wait
// that returns at once.
constexpr double not_waiting_fraction = 0.5;
// Without a nominal rate: no display refreshes faster than this.
constexpr double fastest_plausible_hz = 500;

} // namespace

std::optional<double> drm_mode_refresh_hz(const drmModeModeInfo& mode)
{
    if (mode.clock == 0 || mode.htotal == 0 || mode.vtotal == 0)
        return std::nullopt;
    // clock is in kHz.
    double hz = mode.clock * 1000.0 / mode.htotal / mode.vtotal;
    if ((mode.flags & DRM_MODE_FLAG_INTERLACE) != 0)
        hz *= 2;
    if ((mode.flags & DRM_MODE_FLAG_DBLSCAN) != 0)
        hz /= 2;
    if (mode.vscan > 1)
        hz /= mode.vscan;
    return round_to(hz, 0.01);
}

uint32_t drm_vblank_crtc_bits(uint32_t crtc_index)
{
    if (crtc_index == 0)
        return 0;
    if (crtc_index == 1)
        return DRM_VBLANK_SECONDARY;
    return (crtc_index << DRM_VBLANK_HIGH_CRTC_SHIFT) & DRM_VBLANK_HIGH_CRTC_MASK;
}

const char* refresh_status_text(refresh_status status)
{
    switch (status) {
    case refresh_status::measured:
        return "measured";
    case refresh_status::no_vblank_events:
        return "no vblank events";
    case refresh_status::wait_does_not_wait:
        return "vblank wait does not wait";
    case refresh_status::unsupported_for_32_bit:
        return "unsupported for 32-bit programs on this kernel";
    case refresh_status::not_measured:
        break;
    }
    return "not measured";
}

refresh_summary refresh_summarize(const refresh_measurement& measured)
{
    refresh_summary refresh;
    refresh.method = measured.method;
    refresh.nominal_hz = measured.nominal_hz;
    std::vector<double> intervals;
    for (size_t i = 1; i < measured.times.size(); ++i)
        intervals.push_back(measured.times[i] - measured.times[i - 1]);
    if (intervals.empty()) {
        refresh.status = refresh_status::no_vblank_events;
        refresh.evidence = measured.failure.empty() ? "fewer than two vblank events" : measured.failure;
        return refresh;
    }
    std::sort(intervals.begin(), intervals.end());
    const size_t n = intervals.size();
    const double median = n % 2 != 0 ? intervals[n / 2] : (intervals[n / 2 - 1] + intervals[n / 2]) / 2;
    refresh.intervals = n;
    refresh.median_ms = round_to(median * 1e3, 0.001);
    const double period = measured.nominal_hz && *measured.nominal_hz > 0 ? 1 / *measured.nominal_hz
                                                                           : 1 / fastest_plausible_hz;
    char evidence[200];
    if (median < period * not_waiting_fraction) {
        refresh.status = refresh_status::wait_does_not_wait;
        std::snprintf(evidence, sizeof evidence, "the waits returned %.3f ms apart (median), far sooner than %s",
                      median * 1e3, measured.nominal_hz ? "the mode's period" : "any display refreshes");
        refresh.evidence = evidence;
        return refresh;
    }
    refresh.status = refresh_status::measured;
    refresh.median_hz = round_to(1 / median, 0.01);
    // From the shortest to the longest interval, against the median.
    refresh.spread_percent = round_to((intervals.back() - intervals.front()) / median * 100, 0.01);
    std::snprintf(evidence, sizeof evidence, "%zu intervals between vblank events", n);
    refresh.evidence = evidence;
    if (!measured.failure.empty())
        refresh.evidence = std::string(evidence) + "; then " + measured.failure;
    return refresh;
}

refresh_measurement drm_refresh_measure(int fd, uint32_t crtc_index, double budget_seconds)
{
    refresh_measurement measured;
    measured.method = "drm-vblank";
    // Each request asks for an event at the next vblank; poll bounds every
    // wait, so a display without vblank never blocks for long.
    const auto request = [&] {
        drmVBlank vblank{};
        vblank.request.type =
            drmVBlankSeqType(DRM_VBLANK_RELATIVE | DRM_VBLANK_EVENT | drm_vblank_crtc_bits(crtc_index));
        vblank.request.sequence = 1;
        vblank.request.signal = reinterpret_cast<unsigned long>(&measured.times);
        if (drmWaitVBlank(fd, &vblank) == 0)
            return true;
        measured.failure = std::string("drmWaitVBlank: ") + std::strerror(errno);
        return false;
    };
    drmEventContext events{};
    events.version = 2;
    // The event carries the kernel's timestamp of the vblank.
    events.vblank_handler = [](int, unsigned int, unsigned int sec, unsigned int usec, void* data) {
        static_cast<std::vector<double>*>(data)->push_back(sec + usec / 1e6);
    };
    const steady::time_point start = steady::now();
    while (measured.times.size() < 61 && !describe_stopped() && request()) {
        const double left = budget_seconds - seconds_since(start);
        pollfd ready = {fd, POLLIN, 0};
        const int polled = left > 0 ? poll(&ready, 1, int(std::min(left, 1.0) * 1000) + 1) : 0;
        if (polled <= 0) {
            if (measured.times.size() < 2)
                measured.failure = "no vblank event came within a second";
            break;
        }
        if (drmHandleEvent(fd, &events) != 0) {
            measured.failure = std::string("reading the vblank event: ") + std::strerror(errno);
            break;
        }
    }
    if (describe_stopped())
        measured.failure = "stopped";
    return measured;
}

refresh_measurement fb_refresh_measure(int fd, double budget_seconds)
{
    refresh_measurement measured;
    measured.method = "fbio-waitforvsync";
    // A driver may wait without a timeout: the waits run in a child, which is
    // killed when no vblank comes within the budget.
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        measured.failure = std::string("cannot make a pipe: ") + std::strerror(errno);
        return measured;
    }
    const pid_t child = fork();
    if (child < 0) {
        measured.failure = std::string("cannot start the waits: ") + std::strerror(errno);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        return measured;
    }
    if (child == 0) {
        close(pipe_fds[0]);
        for (int i = 0; i < 61; ++i) {
            uint32_t crtc = 0;
            double entry[2] = {0, 0}; // seconds, errno
            if (ioctl(fd, FBIO_WAITFORVSYNC, &crtc) != 0)
                entry[1] = errno;
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            entry[0] = double(now.tv_sec) + now.tv_nsec / 1e9;
            if (write(pipe_fds[1], entry, sizeof entry) != sizeof entry || entry[1] != 0)
                _exit(0);
        }
        _exit(0);
    }
    close(pipe_fds[1]);
    const steady::time_point start = steady::now();
    bool ended = false;
    while (!ended) {
        const double left = budget_seconds - seconds_since(start);
        pollfd ready = {pipe_fds[0], POLLIN, 0};
        if (describe_stopped()) {
            measured.failure = "stopped";
            break;
        }
        if (left <= 0 || poll(&ready, 1, int(left * 1000) + 1) <= 0) {
            if (describe_stopped())
                measured.failure = "stopped";
            else if (measured.times.size() < 2)
                measured.failure = "FBIO_WAITFORVSYNC did not return within " +
                                   std::to_string(int(std::lround(budget_seconds))) + " s";
            break;
        }
        double entry[2];
        if (read(pipe_fds[0], entry, sizeof entry) != sizeof entry)
            break; // the child has finished
        if (entry[1] != 0) {
            measured.failure_errno = int(entry[1]);
            measured.failure = std::string("FBIO_WAITFORVSYNC: ") + std::strerror(measured.failure_errno);
            ended = true;
        } else {
            measured.times.push_back(entry[0]);
        }
    }
    kill(child, SIGKILL);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    close(pipe_fds[0]);
    return measured;
}

refresh_summary waitforvsync_summarize(const refresh_measurement& measured, bool drm_emulation, int program_bits,
                                       std::optional<int> kernel_bits)
{
    refresh_summary wait = refresh_summarize(measured);
    if (measured.failure_errno == ENOTTY && drm_emulation && program_bits == 32 && kernel_bits == 64) {
        wait.status = refresh_status::unsupported_for_32_bit;
        wait.evidence = "FBIO_WAITFORVSYNC fails with ENOTTY: the 64-bit kernel's DRM framebuffer emulation has "
                           "no 32-bit path for it";
    }
    return wait;
}

std::optional<bool> kernel_release_at_least(const std::string& release, int major, int minor)
{
    int found_major = 0, found_minor = 0;
    if (std::sscanf(release.c_str(), "%d.%d", &found_major, &found_minor) != 2)
        return std::nullopt;
    return found_major > major || (found_major == major && found_minor >= minor);
}

flush_summary flush_describe(const flush_facts& facts)
{
    flush_summary flush;
    flush.method = facts.method;
    const auto say = [&](std::optional<bool> waits, const std::string& evidence) {
        flush.kernel_waits = waits;
        flush.evidence = evidence;
        return flush;
    };
    if (facts.method == "dirtyfb") {
        if (facts.flush_errno == ENOSYS) {
            // The request returns at once and does nothing: a display figure
            // would be the cost of an empty ioctl.
            flush.needed = false;
            return say(std::nullopt, no_flush_needed);
        }
        if (facts.flush_errno != 0) {
            flush.error = std::string("drmModeDirtyFB failed: ") + std::strerror(facts.flush_errno);
            return say(std::nullopt, flush.error);
        }
        if (!facts.probed)
            return say(std::nullopt, "not probed: the dumb buffer was not shown");
        return say(true, "drmModeDirtyFB makes a blocking commit of the damaged area before it returns");
    }
    if (facts.flush_errno == EINVAL)
        return say(std::nullopt, "no fsync on this framebuffer (EINVAL): no deferred I/O, the display reads the "
                                 "screen memory itself");
    if (facts.flush_errno != 0) {
        flush.error = std::string("fsync failed: ") + std::strerror(facts.flush_errno);
        return say(std::nullopt, flush.error);
    }
    if (facts.mapping_class != "deferred-io")
        return say(std::nullopt, "mapping " + facts.mapping_class + ": nothing to wait for when the display reads "
                                 "the screen memory itself");
    if (!facts.drm_emulation)
        return say(std::nullopt, "fsync runs the driver's deferred-I/O work; whether that work waits until the "
                                 "display has the pages is the driver's own");
    // Since Linux 6.2 the DRM emulation's deferred-I/O work brings the damage
    // to the display itself; before, it queued the damage for another worker.
    const std::optional<bool> recent = kernel_release_at_least(facts.kernel_release, 6, 2);
    if (!recent)
        return say(std::nullopt, "kernel release unknown: fsync runs the deferred-I/O work, which may only queue "
                                 "the DRM emulation's damage");
    if (*recent)
        return say(true, "Linux " + facts.kernel_release + ": fsync runs the deferred-I/O work, which brings the "
                         "DRM emulation's damage to the display before it returns");
    return say(false, "Linux " + facts.kernel_release + ": fsync runs the deferred-I/O work, which only queues the "
                      "DRM emulation's damage for another worker: fsync returns before the display has the frame");
}

update_probe_summary update_probe_summarize(const update_probe_result& result)
{
    if (result.updates == 0)
        return {.skipped = result.skipped.empty() ? "no update completed" : result.skipped};
    const double total = result.write_seconds + result.flush_seconds;
    return {.updates = result.updates,
            .updates_per_second = total > 0 ? round_to(result.updates / total, 0.01) : 0.0,
            .write_ms = round_to(result.write_seconds / result.updates * 1e3, 0.001),
            .flush_ms = round_to(result.flush_seconds / result.updates * 1e3, 0.001)};
}

namespace {

// Writes the whole visible screen, its value changing with each update.
void screen_fill(void* base, const probe_area& area, uint32_t update)
{
    const uint32_t word = (update & 0xff) * 0x01010101u;
    const uint32_t row_bytes = area.width * area.pixel_bytes;
    for (uint32_t y = 0; y < area.height; ++y) {
        volatile uint8_t* row = static_cast<volatile uint8_t*>(base) + size_t(y) * area.stride;
        if (area.stride % 4 == 0 && row_bytes % 4 == 0) {
            volatile uint32_t* words = static_cast<volatile uint32_t*>(base) + size_t(y) * (area.stride / 4);
            for (uint32_t i = 0; i < row_bytes / 4; ++i)
                words[i] = word;
        } else {
            for (uint32_t i = 0; i < row_bytes; ++i)
                row[i] = uint8_t(word);
        }
    }
}

// Write, flush, repeat, for about seconds; flush returns 0 or an errno, and
// the first failure ends the probe. ENOSYS is no failure: the driver needs no
// flush (no dirty hook), so an update is complete once written.
template <typename Flush>
update_probe_result update_probe_run(void* base, const probe_area& area, double seconds, Flush flush, int& flush_errno)
{
    update_probe_result result;
    flush_errno = 0;
    const steady::time_point start = steady::now();
    while (result.updates == 0 || seconds_since(start) < seconds) {
        if (describe_stopped()) {
            // cut short: no figure of a probe stopped midway
            result = {};
            result.skipped = "stopped";
            return result;
        }
        const steady::time_point written = steady::now();
        screen_fill(base, area, result.updates);
        const steady::time_point flushing = steady::now();
        flush_errno = flush();
        const steady::time_point flushed = steady::now();
        if (flush_errno != 0 && flush_errno != ENOSYS)
            break;
        result.write_seconds += std::chrono::duration<double>(flushing - written).count();
        result.flush_seconds += std::chrono::duration<double>(flushed - flushing).count();
        ++result.updates;
    }
    return result;
}

std::string kernel_release_read(const fs::path& root)
{
    const std::optional<std::string> text = file_text_read(root_path_join(root, "/proc/sys/kernel/osrelease"));
    return text ? text_trim(*text) : "";
}

} // namespace

display_description fb_display_describe(const fs::path& root, const std::string& device_path,
                                        const device_description& device, bool probe, double probe_seconds)
{
    display_description display;
    device_mapping mapping;
    const std::string failure = device_mapping_open(device_path, mapping);
    if (!failure.empty()) {
        display.refresh = refresh_summary{.method = "fbio-waitforvsync", .evidence = failure};
        return display;
    }
    const bool drm_emulation = device.fb.screen && fb_drm_emulation(device.fb.screen->fix);
    refresh_measurement refresh = fb_refresh_measure(mapping.fd);
    if (std::optional<double> hz = refresh_hz(mapping.var))
        refresh.nominal_hz = *hz;
    utsname kernel{};
    const std::optional<int> kernel_bits = uname(&kernel) == 0 ? kernel_bits_of(kernel.machine) : std::nullopt;
    display.refresh = waitforvsync_summarize(refresh, drm_emulation, int(sizeof(void*) * 8), kernel_bits);
    // A DRM driver's emulation: its card's vblank events are the display's,
    // whatever the emulation's own wait does.
    if (!device.fb.sysfs.drm_card.empty()) {
        const std::string card = "/dev/dri/" + device.fb.sysfs.drm_card;
        if (std::optional<refresh_summary> drm = drm_card_refresh(root_path_join(root, card).string());
            drm && drm->status != refresh_status::not_measured) {
            drm->card = card;
            display.waitforvsync = display.refresh;
            display.refresh = *drm;
        }
    }

    flush_facts facts;
    facts.method = "fsync";
    facts.mapping_class = device.mapping ? device.mapping->found.name : "unknown";
    facts.drm_emulation = drm_emulation;
    facts.kernel_release = kernel_release_read(root);
    if (probe) {
        const probe_area area = probe_area_of(mapping.fix, mapping.var, mapping.length);
        update_probe_result result;
        if (area.height == 0)
            result.skipped = "the screen cannot be probed";
        else
            result = update_probe_run(mapping.base, area, probe_seconds,
                                      [&] { return fsync(mapping.fd) == 0 ? 0 : errno; }, facts.flush_errno);
        if (facts.flush_errno == EINVAL) {
            // No fsync: the probe times the writes alone.
            facts.flush_errno = EINVAL;
            result = update_probe_run(mapping.base, area, probe_seconds, [] { return 0; }, facts.flush_errno);
            facts.flush_errno = EINVAL;
        } else if (facts.flush_errno != 0) {
            result.skipped = std::string("fsync failed: ") + std::strerror(facts.flush_errno);
            result.updates = 0;
        }
        facts.probed = result.updates > 0;
        display.update_probe = update_probe_summarize(result);
    } else {
        facts.flush_errno = fsync(mapping.fd) == 0 ? 0 : errno;
    }
    device_mapping_close(mapping);
    display.flush = flush_describe(facts);
    // A flush the kernel returns from early bounds what reaches the display
    // from above only.
    if (display.flush->kernel_waits == false && display.update_probe && display.update_probe->updates > 0)
        display.update_probe->note = "fsync returns before the display has the frame: at most this many updates "
                                          "reach the display, and the flush time is the kernel's, not the display's";
    return display;
}

namespace {

// The index of the CRTC the programs would use, in the card's order.
std::optional<uint32_t> drm_crtc_index(int fd, drmModeModeInfo& mode)
{
    drm_card_state card;
    drm_choice choice;
    if (drm_card_read(fd, card) != 0 || drm_card_choose(card, choice) != drm_choice_made)
        return std::nullopt;
    mode = choice.mode;
    for (size_t i = 0; i < card.crtcs.size(); ++i)
        if (card.crtcs[i].id == choice.crtc_id)
            return uint32_t(i);
    return std::nullopt;
}

// The update probe on a dumb buffer shown on the CRTC, given back after.
update_probe_result drm_update_probe(int fd, const std::string& device_path, double seconds, int& flush_errno)
{
    update_probe_result result;
    if (drmSetMaster(fd) != 0) {
        result.skipped = std::string("a display server holds DRM master (") + std::strerror(errno) + ")";
        return result;
    }
    drmDropMaster(fd);
    drm_screen drm;
    fb_var_screeninfo vinfo{};
    uint32_t depth = 0; // the programs' FBBENCH_DEPTH, checked before the session began
    drm_depth_check(std::getenv(DRM_DEPTH_VARIABLE), depth);
    if (drm_screen_open(drm, fd, device_path.c_str(), depth, vinfo) != 0) {
        result.skipped = "the display could not be taken (see the message above)";
        return result;
    }
    // A stop signal waits while the display is taken: ending at once, as the
    // programs do, would leave nothing written; the caller's handling takes it.
    display_release_mode_set(display_release_defer);
    if (drm_screen_map(drm) != 0) {
        drm_screen_close(drm);
        result.skipped = "the buffer could not be shown (see the message above)";
        return result;
    }
    probe_area area;
    area.width = drm.choice.mode.hdisplay;
    area.height = drm.choice.mode.vdisplay;
    area.stride = drm.pitch;
    area.pixel_bytes = drm.bits_per_pixel / 8;
    result = update_probe_run(drm.map, area, seconds,
                              [&] { return drm_screen_flush(drm, 0, 0, area.width, area.height); }, flush_errno);
    drm_screen_close(drm);
    if (flush_errno != 0 && flush_errno != ENOSYS) {
        result.skipped = std::string("drmModeDirtyFB failed: ") + std::strerror(flush_errno);
        result.updates = 0;
    }
    return result;
}

} // namespace

refresh_summary drm_refresh_describe(int fd)
{
    drmModeModeInfo mode{};
    const std::optional<uint32_t> crtc = drm_crtc_index(fd, mode);
    if (!crtc)
        return {.method = "drm-vblank", .evidence = "no connected display with a CRTC"};
    refresh_measurement refresh = drm_refresh_measure(fd, *crtc);
    refresh.nominal_hz = drm_mode_refresh_hz(mode);
    refresh_summary summary = refresh_summarize(refresh);
    summary.crtc_index = *crtc;
    return summary;
}

std::optional<refresh_summary> drm_card_refresh(const std::string& card_path)
{
    const int fd = open(card_path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    refresh_summary refresh = drm_refresh_describe(fd);
    close(fd);
    return refresh;
}

bool drm_screen_describe(const char* path, uint32_t depth_asked, drm_screen_description& description)
{
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool described = false;
    drmVersionPtr version = fb_device_kind_of(fd) == fb_device_kind::drm ? drmGetVersion(fd) : nullptr;
    if (version != nullptr) {
        description.driver.assign(version->name, size_t(version->name_len));
        drmFreeVersion(version);
        drm_card_state card;
        drm_choice choice;
        if (drm_card_read(fd, card) == 0 && drm_card_choose(card, choice) == drm_choice_made) {
            description.connector = drm_connector_name(card.connectors[choice.connector]);
            description.mode = drm_mode_name(choice.mode);
            description.width = choice.mode.hdisplay;
            description.height = choice.mode.vdisplay;
            description.bits_per_pixel = drm_card_depth(fd, depth_asked);
            drm_mode_create_dumb create{};
            create.width = choice.mode.hdisplay;
            create.height = choice.mode.vdisplay;
            create.bpp = description.bits_per_pixel;
            if (drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &create) == 0) {
                description.pitch = create.pitch;
                drm_mode_destroy_dumb destroy{};
                destroy.handle = create.handle;
                drmIoctl(fd, DRM_IOCTL_MODE_DESTROY_DUMB, &destroy);
            }
            described = true;
        }
    }
    close(fd);
    return described;
}

display_description drm_display_describe(const std::string& device_path, bool probe, double probe_seconds)
{
    display_description display;
    const int fd = open(device_path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        display.refresh = refresh_summary{.method = "drm-vblank",
                                          .evidence = "cannot open " + device_path + ": " + std::strerror(errno)};
        return display;
    }
    display.refresh = drm_refresh_describe(fd);

    flush_facts facts;
    facts.method = "dirtyfb";
    if (probe) {
        const update_probe_result result = drm_update_probe(fd, device_path, probe_seconds, facts.flush_errno);
        facts.probed = result.updates > 0;
        display.update_probe = update_probe_summarize(result);
    }
    display.flush = flush_describe(facts);
    close(fd);
    return display;
}

bool display_flush_needed(const device_description& device)
{
    if (device.kind == fb_device_kind::drm)
        return !device.display || !device.display->flush || device.display->flush->needed;
    return device.mapping && device.mapping->found.name == "deferred-io";
}
