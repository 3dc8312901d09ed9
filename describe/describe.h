// What produced a measurement: the machine, the display device and how the
// device's memory is mapped, with warnings about conditions that disturb it.
// The descriptions are plain structs: the results file writes them as JSON.
//
// Every reader of /proc, /sys, /etc and /dev takes a root directory ("/" on a
// live system, a fixture tree in tests). A missing source leaves its field
// out; it is never an error. The parsers are plain functions over text.
#pragma once

#include "fb_device_kind.h"
#include "warnings.h"

#include <cstdint>
#include <filesystem>
#include <linux/fb.h>
#include <xf86drmMode.h>
#include <optional>
#include <string>
#include <vector>

// ---- Text helpers shared by the readers.

// The file's contents, or nothing when it cannot be read.
std::optional<std::string> file_text_read(const std::filesystem::path& path);
// root joined with an absolute path such as "/proc/cpuinfo".
std::filesystem::path root_path_join(const std::filesystem::path& root, const std::string& path);
// Text without leading and trailing blanks, newlines and NUL bytes.
std::string text_trim(const std::string& text);
// The whole trimmed text as an integer in the given base, or nothing.
std::optional<long long> text_integer(const std::string& text, int base = 10);

// ---- The system.

// From /proc/cpuinfo; a field it does not give is empty.
struct cpu_description {
    std::optional<std::string> model{}, architecture{}, hardware{};
    std::optional<std::vector<std::string>> features{};
    int cores = 0; // the processor entries
    std::vector<std::string> core_names{}; // each once, in order
};

cpu_description cpuinfo_parse(const std::string& text);
// Arm core name for a CPU implementer and part number, or "" when unknown.
std::string core_name(unsigned implementer, unsigned part);
// The 1, 5 and 15 minute load averages from /proc/loadavg.
std::optional<std::vector<double>> loadavg_parse(const std::string& text);
// CPU time used by other processes while a benchmark ran: the busy time of
// every core in /proc/stat (user, nice, system, irq, softirq, steal) over the
// run, minus the benchmark's own user and system time.
struct competing_work {
    double other_seconds = 0; // never below 0
    double percent = 0; // of one core, over the run's wall time
    // The error of two tick-counted readings: a tick per core at each end.
    double noise_seconds = 0;
};

// Other processes' CPU time above this percentage of one core disturbs a run.
inline constexpr double competing_work_threshold_percent = 5;

// From two readings of /proc/stat around a run, the run's own CPU time and
// its wall time; nothing when a reading has no "cpu" line or time went back.
std::optional<competing_work> competing_work_measure(const std::string& stat_before, const std::string& stat_after,
                                                     double own_cpu_seconds, double wall_seconds,
                                                     long ticks_per_second);

// Above the threshold, and by more than the readings' error.
bool competing_work_excessive(const competing_work& work);
// PRETTY_NAME from os-release text, unquoted.
std::optional<std::string> os_release_pretty_name(const std::string& text);

// The word size of a kernel from its machine name (uname -m): 64 for
// aarch64, x86_64 and the like, 32 for armv7l, i686 and the like; nothing
// when the name does not tell.
std::optional<int> kernel_bits_of(const std::string& machine);
// The architecture this program was built for: "arm", "aarch64", "x86_64".
const char* program_architecture();

struct thermal_reading {
    std::string zone; // thermal_zone0
    std::string type; // cpu-thermal
    double celsius = 0;
};

struct cpufreq_policy {
    std::string policy{}; // policy0
    std::optional<std::string> governor{};
    std::optional<long long> cur_khz{}, min_khz{}, max_khz{};
};

struct devfreq_device {
    std::string name{};
    std::optional<std::string> governor{};
    std::optional<long long> cur_freq{};
};

// As uname gives them; without machine under a root other than "/".
struct kernel_names {
    std::optional<std::string> sysname{}, release{}, version{}, machine{};
};

// The machine; a field whose source is missing is empty.
struct system_description {
    std::optional<std::string> board_model{};
    std::optional<cpu_description> cpu{};
    std::vector<cpufreq_policy> cpufreq{};
    std::vector<devfreq_device> devfreq{};
    kernel_names kernel{};
    // A 32-bit program may run on a 64-bit kernel (an armhf system on an
    // ARMv8 board): both are recorded.
    std::string program_architecture{};
    int program_bits = 0;
    std::optional<int> kernel_bits{};
    std::optional<std::string> os{};
    std::string libc{}, compiler{}, compile_flags{};
    std::optional<std::vector<double>> load_average{}; // before the runs
    std::vector<thermal_reading> thermal_before{}, thermal_after{};
};

system_description system_describe(const std::filesystem::path& root);

struct cpufreq_residency {
    std::string policy; // policy0
    // (kHz, time in 10 ms units) from stats/time_in_state.
    std::vector<std::pair<long long, long long>> time_in_state;
};

struct system_sample {
    std::vector<thermal_reading> thermal;
    std::vector<cpufreq_residency> cpufreq;
};

// (kHz, time) pairs of a stats/time_in_state file.
std::vector<std::pair<long long, long long>> time_in_state_parse(const std::string& text);
// Time in seconds spent below the highest listed frequency between two
// readings of stats/time_in_state.
double cpufreq_seconds_below_max(const std::vector<std::pair<long long, long long>>& before,
                                 const std::vector<std::pair<long long, long long>>& after);

// Temperatures and frequency residencies, taken before and after the runs.
system_sample system_sample_take(const std::filesystem::path& root);
// Records thermal_before and thermal_after; warns of throttling (time below
// the maximum frequency) and of a temperature rise over 10 degrees.
void system_sample_compare(const system_sample& before, const system_sample& after, system_description& system,
                           std::vector<run_warning>& warnings);

// Before the start, with system as system_describe filled it: records
// load_average (for the description only: other work is measured during each
// run instead) and warns when a cpufreq governor is not performance.
void system_idle_check(const std::filesystem::path& root, system_description& system,
                       std::vector<run_warning>& warnings);

// ---- The display device.

// Refresh rate in Hz from the pixel clock, margins and sync lengths.
std::optional<double> refresh_hz(const fb_var_screeninfo& var);
// The driver's name for the framebuffer, without the padding.
std::string fb_id(const fb_fix_screeninfo& fix);
// Whether the framebuffer is a DRM driver's fbdev emulation, not a native
// fbdev driver.
bool fb_drm_emulation(const fb_fix_screeninfo& fix);

// A framebuffer's screen information, as its driver answered.
struct fb_screen_info {
    fb_fix_screeninfo fix{};
    fb_var_screeninfo var{};
};

// What /sys/class/graphics/fbN says; a field that is missing is empty.
struct fb_sysfs_description {
    // The files' trimmed texts.
    std::optional<std::string> name{}, mode{}, stride{}, bits_per_pixel{}, virtual_size{};
    std::string driver{}; // the device's driver
    std::string drm_card{}; // "card0": the DRM card of a DRM driver's emulation
};

// Warns of padded rows, a panned screen and a depth below 8 bits.
void fb_screen_check(const std::string& device_path, const fb_fix_screeninfo& fix, const fb_var_screeninfo& var,
                     std::vector<run_warning>& warnings);
// /sys/class/graphics/fbN for a device path ending in N; empty when none.
std::filesystem::path fb_sysfs_dir(const std::filesystem::path& root, const std::string& device_path);
fb_sysfs_description fb_sysfs_describe(const std::filesystem::path& root, const std::string& device_path);
// Warns of a text console bound to a framebuffer and of other processes that
// have the device open.
void fb_users_check(const std::filesystem::path& root, const std::string& device_path,
                    std::vector<run_warning>& warnings);

// The screen information (when it could be queried) and sysfs of a
// framebuffer, with the warnings of fb_screen_check and fb_users_check.
struct fb_description {
    std::optional<fb_screen_info> screen{};
    fb_sysfs_description sysfs{};
};
fb_description fb_device_describe(const std::filesystem::path& root, const std::string& device_path,
                                  std::vector<run_warning>& warnings);

// ---- Stopping the probes.

// The probes end within a pass once stopped() says so, or once a stop signal
// (SIGINT, SIGTERM, SIGHUP) waits for a DRM probe's display to be given back
// (display_release_defer); what they measured is then dropped.
// A program that catches the stop signals sets stopped; nullptr: none.
void describe_stop_check_set(bool (*stopped)());
bool describe_stopped();

// ---- The mapping.

// The VmFlags of the /proc/self/smaps entry that starts at address, else of
// the first that holds it: a mapping of ordinary pages can be merged with its
// neighbour into one entry, which then starts below it.
std::optional<std::vector<std::string>> smaps_vm_flags(const std::string& text, uintptr_t address);

struct mapping_probe {
    std::string name;
    double screen_mpixels = 0;
    double memory_mpixels = 0;
    std::optional<double> ratio{}; // screen over memory, as recorded; none without a memory figure
};

// The visible screen as the probes address it.
struct probe_area {
    uint32_t width = 0;  // pixels
    uint32_t height = 0; // rows
    uint32_t stride = 0; // bytes from one row to the next
    uint32_t pixel_bytes = 0;
};

// The probe area of a screen whose memory is length bytes; height 0 when the
// screen cannot be probed.
probe_area probe_area_of(const fb_fix_screeninfo& fix, const fb_var_screeninfo& var, size_t length);
// Runs each probe for about seconds on the screen and then on memory, both
// laid out as area. Each pass stores into the area only.
std::vector<mapping_probe> mapping_probes_run(void* screen, void* memory, const probe_area& area, double seconds);

struct mapping_class {
    std::string name; // direct-uncached, direct-cached, deferred-io, unknown
    std::string evidence;
};

// Classifies a mapping by its VmFlags (nothing when no smaps entry was found)
// and the probes (empty when not run).
mapping_class mapping_classify(const std::optional<std::vector<std::string>>& flags,
                               const std::vector<mapping_probe>& probes);

// Warns when the mapping is a RAM shadow, naming the DRM device to measure.
void mapping_class_check(const std::filesystem::path& root, const std::string& device_path,
                         const mapping_class& found, std::vector<run_warning>& warnings);

// The device's memory, mapped shared for reading and writing.
struct device_mapping {
    int fd = -1;
    fb_fix_screeninfo fix{};
    fb_var_screeninfo var{};
    void* base = reinterpret_cast<void*>(-1); // MAP_FAILED
    size_t length = 0;
};

// Opens, queries and maps the device; on failure returns a reason, with
// nothing left open.
std::string device_mapping_open(const std::string& device_path, device_mapping& mapping);
void device_mapping_close(device_mapping& mapping);

struct mapping_description {
    std::optional<std::vector<std::string>> vm_flags{}; // none when no smaps entry was found
    mapping_class found{};
    // Rounded to 0.01 MPixels/s and the ratio to 0.001; none when not probed.
    std::optional<std::vector<mapping_probe>> probes{};
    std::string probes_skipped{}; // why the probes were not run
};

// Maps the device (shared, read and write), reads its smaps entry and, with
// probe, runs the probes on it and on RAM of the same size; warns when the
// mapping is a RAM shadow.
mapping_description mapping_describe(const std::filesystem::path& root, const std::string& device_path, bool probe,
                                std::vector<run_warning>& warnings, double probe_seconds = 0.5);

// ---- What reaches the display.

// A DRM mode's refresh rate from its pixel clock (kHz) and totals; nothing
// when a total is 0.
std::optional<double> drm_mode_refresh_hz(const drmModeModeInfo& mode);
// The CRTC bits of a vblank request for the CRTC at this index of the card:
// none for the first, DRM_VBLANK_SECONDARY for the second, the high-CRTC
// field beyond.
uint32_t drm_vblank_crtc_bits(uint32_t crtc_index);

struct refresh_measurement {
    std::string method; // "drm-vblank", "fbio-waitforvsync"
    std::vector<double> times; // seconds, one per vblank seen
    std::string failure; // why the events stopped or never came
    std::optional<double> nominal_hz; // the mode's
    int failure_errno = 0; // of the wait that failed
};

// Waits for up to 61 vblank events of the CRTC, each bounded by poll, for
// about budget_seconds at most.
refresh_measurement drm_refresh_measure(int fd, uint32_t crtc_index, double budget_seconds = 1.5);
// Up to 61 FBIO_WAITFORVSYNC waits in a child process, killed after about
// budget_seconds.
refresh_measurement fb_refresh_measure(int fd, double budget_seconds = 1.5);
enum class refresh_status {
    not_measured,
    measured,
    no_vblank_events,
    wait_does_not_wait,
    unsupported_for_32_bit, // the DRM emulation's wait, from a 32-bit program on a 64-bit kernel
};

// "measured", "no vblank events", ...: as the header and the file show it.
const char* refresh_status_text(refresh_status status);

struct refresh_summary {
    std::string method{}; // "drm-vblank", "fbio-waitforvsync"
    refresh_status status = refresh_status::not_measured;
    std::string evidence{};
    std::optional<double> nominal_hz{}; // the mode's
    std::size_t intervals = 0; // between the events seen
    std::optional<double> median_ms{}; // with intervals
    std::optional<double> median_hz{}, spread_percent{}; // when measured
    std::optional<uint32_t> crtc_index{}; // a DRM card's
    std::string card{}; // the DRM card whose events a framebuffer's refresh is
};

refresh_summary refresh_summarize(const refresh_measurement& measured);
// The refresh of the CRTC the programs would use, from the card's vblank
// events; not measured without a connected display.
refresh_summary drm_refresh_describe(int fd);
// The same for a card by its path; nothing when it cannot be opened.
std::optional<refresh_summary> drm_card_refresh(const std::string& card_path);

// What the runner records of a DRM device.
struct drm_screen_description {
    std::string driver; // "virtio_gpu"
    std::string connector; // "Virtual-1"
    std::string mode; // "800x480@60"
    uint32_t width = 0; // the mode's visible size
    uint32_t height = 0;
    uint32_t pitch = 0; // of a dumb buffer of that mode; 0 when none could be made
    uint32_t bits_per_pixel = 32; // of that buffer (drm_card_depth)
};

// Describes the display the programs would draw on, at the depth asked for
// (FBBENCH_DEPTH, 0 for none), without changing it. False when the path is no
// DRM card by its node (fb_device_kind_of) or no display could be chosen.
bool drm_screen_describe(const char* path, uint32_t depth_asked, drm_screen_description& description);

// The summary of FBIO_WAITFORVSYNC waits, with what the failure means: the
// DRM emulation has no compat path for it, so under a 64-bit kernel a 32-bit
// program's wait fails with ENOTTY, which is no sign of a display without
// vblank.
refresh_summary waitforvsync_summarize(const refresh_measurement& measured, bool drm_emulation, int program_bits, std::optional<int> kernel_bits);

// Whether "6.1.0-18-armmp" is at least major.minor; nothing when unreadable.
std::optional<bool> kernel_release_at_least(const std::string& release, int major, int minor);

struct flush_facts {
    std::string method; // "fsync", "dirtyfb"
    int flush_errno = 0; // of the flushes tried
    bool probed = false; // flushes were made after full-screen writes
    std::string mapping_class; // a framebuffer's
    bool drm_emulation = false; // a framebuffer that is a DRM driver's emulation
    std::string kernel_release;
};

// The evidence of a DRM device whose dirty requests fail with ENOSYS.
inline constexpr const char* no_flush_needed = "no flush needed (the driver has no dirty hook)";

struct flush_summary {
    std::string method{}; // "fsync", "dirtyfb"
    // Whether the kernel waits until the display has the frame: none when
    // nothing is waited for or it is unknown.
    std::optional<bool> kernel_waits{};
    std::string evidence{};
    bool needed = true; // false: the driver has no flush, its screen is what the display shows
    std::string error{}; // of the flushes tried
};

flush_summary flush_describe(const flush_facts& facts);

struct update_probe_result {
    uint32_t updates = 0;
    double write_seconds = 0;
    double flush_seconds = 0;
    std::string skipped; // why no update was made
};

struct update_probe_summary {
    uint32_t updates = 0; // none: skipped says why
    double updates_per_second = 0; // rounded to 0.01
    double write_ms = 0, flush_ms = 0; // per update, rounded to 0.001
    std::string skipped{};
    std::string note{}; // what bounds the figure
};

update_probe_summary update_probe_summarize(const update_probe_result& result);

struct display_description {
    std::optional<refresh_summary> refresh{};
    // A DRM driver's emulation: its own wait, when the card's events are the refresh.
    std::optional<refresh_summary> waitforvsync{};
    std::optional<flush_summary> flush{};
    std::optional<update_probe_summary> update_probe{}; // with the probe
    std::string presented_dropped{}; // why a run dropped the presented target
};

// What a device is, as it was found before the runs.
struct device_description {
    std::string path{};
    std::string error{}; // why it is not described: nothing else is then
    fb_device_kind kind = fb_device_kind::unknown; // fbdev or drm once described
    std::optional<drm_screen_description> drm{}; // the display the programs would draw on
    fb_description fb{};
    std::optional<mapping_description> mapping{};
    std::optional<display_description> display{};
};

// A DRM device, or a framebuffer whose mapping is a deferred-I/O shadow: its
// picture reaches the display only when pushed there. Not a DRM device whose
// driver has no flush (no dirty hook): its screen is what the display shows.
bool display_flush_needed(const device_description& device);

// The display of a framebuffer that fb_device_describe and mapping_describe
// described as device. The probe writes the whole visible screen.
display_description fb_display_describe(const std::filesystem::path& root, const std::string& device_path,
                                        const device_description& device, bool probe, double probe_seconds = 0.5);
// The same for a DRM device; the probe shows a dumb buffer on the CRTC and
// gives the display back after, and is skipped when a display server holds
// DRM master.
display_description drm_display_describe(const std::string& device_path, bool probe, double probe_seconds = 0.5);
