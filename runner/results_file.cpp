#include "results_file.h"

#include "benchmarks.h"
#include "execute.h"
#include "plan.h"
#include "verdicts.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <climits>
#include <cmath>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

double round_to(double value, double quantum)
{
    return std::round(value / quantum) * quantum;
}

// A field that was not found is left out.
template <typename T>
void field_set(nlohmann::json& object, const char* key, const std::optional<T>& value)
{
    if (value)
        object[key] = *value;
}

nlohmann::json refresh_json(const refresh_summary& r)
{
    nlohmann::json refresh = {{"method", r.method}, {"status", refresh_status_text(r.status)}, {"evidence", r.evidence}};
    for (const auto& [key, value] : {std::pair{"nominal_hz", r.nominal_hz}, {"median_ms", r.median_ms},
                                     {"median_hz", r.median_hz}, {"spread_percent", r.spread_percent}})
        field_set(refresh, key, value);
    if (r.intervals > 0)
        refresh["intervals"] = r.intervals;
    field_set(refresh, "crtc_index", r.crtc_index);
    if (!r.card.empty())
        refresh["card"] = r.card;
    return refresh;
}

nlohmann::json display_json(const display_description& d)
{
    nlohmann::json display = nlohmann::json::object();
    if (d.refresh)
        display["refresh"] = refresh_json(*d.refresh);
    if (d.waitforvsync)
        display["waitforvsync"] = refresh_json(*d.waitforvsync);
    if (const std::optional<flush_summary>& f = d.flush) {
        nlohmann::json& flush = display["flush"] = {{"method", f->method}, {"evidence", f->evidence}};
        flush["kernel_waits"] = f->kernel_waits ? nlohmann::json(*f->kernel_waits) : nlohmann::json(nullptr);
        if (!f->needed)
            flush["needed"] = false;
        if (!f->error.empty())
            flush["error"] = f->error;
    }
    if (const std::optional<update_probe_summary>& p = d.update_probe; p && p->updates == 0) {
        display["update_probe"] = {{"skipped", p->skipped}};
    } else if (p) {
        display["update_probe"] = {{"updates", p->updates}, {"updates_per_second", p->updates_per_second},
                                   {"write_ms", p->write_ms}, {"flush_ms", p->flush_ms}};
        if (!p->note.empty())
            display["update_probe"]["note"] = p->note;
    }
    if (!d.presented_dropped.empty())
        display["presented"] = {{"dropped", d.presented_dropped}};
    return display;
}

nlohmann::json mapping_json(const mapping_description& m)
{
    nlohmann::json mapping = {{"class", m.found.name}, {"evidence", m.found.evidence}};
    field_set(mapping, "vm_flags", m.vm_flags);
    if (m.probes) {
        nlohmann::json& probes = mapping["probes"] = nlohmann::json::array();
        for (const mapping_probe& p : *m.probes) {
            probes.push_back({{"name", p.name}, {"screen_mpixels", p.screen_mpixels}, {"memory_mpixels", p.memory_mpixels}});
            if (p.ratio)
                probes.back()["ratio"] = *p.ratio;
        }
    }
    if (!m.probes_skipped.empty())
        mapping["probes_skipped"] = m.probes_skipped;
    return mapping;
}

// What sysfs says, the stride and depth as numbers where they are.
nlohmann::json sysfs_json(const fb_sysfs_description& f)
{
    nlohmann::json sysfs = nlohmann::json::object();
    for (const auto& [key, text] : {std::pair{"name", &f.name}, {"mode", &f.mode}, {"stride", &f.stride},
                                    {"bits_per_pixel", &f.bits_per_pixel}, {"virtual_size", &f.virtual_size}}) {
        const std::optional<long long> number = text->has_value() ? text_integer(**text) : std::nullopt;
        if (number && (key == std::string("stride") || key == std::string("bits_per_pixel")))
            sysfs[key] = *number;
        else if (*text)
            sysfs[key] = **text;
    }
    if (!f.driver.empty())
        sysfs["driver"] = f.driver;
    if (!f.drm_card.empty())
        sysfs["drm_card"] = f.drm_card;
    return sysfs;
}

nlohmann::json thermal_json(const std::vector<thermal_reading>& readings)
{
    nlohmann::json zones = nlohmann::json::array();
    for (const thermal_reading& reading : readings) {
        zones.push_back({{"zone", reading.zone}, {"celsius", reading.celsius}});
        if (!reading.type.empty())
            zones.back()["type"] = reading.type;
    }
    return zones;
}

nlohmann::json fb_screen_json(const fb_screen_info& screen)
{
    const fb_fix_screeninfo& fix = screen.fix;
    const fb_var_screeninfo& var = screen.var;
    const auto bits = [](const fb_bitfield& field) { return nlohmann::json{{"offset", field.offset}, {"length", field.length}}; };
    nlohmann::json json = {
        {"fix", {{"id", fb_id(fix)}, {"smem_len", fix.smem_len}, {"line_length", fix.line_length}, {"type", fix.type},
                 {"visual", fix.visual}}},
        {"var", {{"xres", var.xres}, {"yres", var.yres}, {"xres_virtual", var.xres_virtual},
                 {"yres_virtual", var.yres_virtual}, {"xoffset", var.xoffset}, {"yoffset", var.yoffset},
                 {"bits_per_pixel", var.bits_per_pixel}, {"red", bits(var.red)}, {"green", bits(var.green)},
                 {"blue", bits(var.blue)}, {"transp", bits(var.transp)}, {"pixclock", var.pixclock}}},
        {"driver_kind", fb_drm_emulation(fix) ? "drm-emulation" : "native"},
    };
    if (const std::optional<double> hz = refresh_hz(var))
        json["var"]["refresh_hz"] = *hz;
    return json;
}

} // namespace

nlohmann::json device_description_json(const device_description& d)
{
    nlohmann::json device = {{"path", d.path}};
    if (!d.error.empty()) {
        device["error"] = d.error;
        return device;
    }
    device["kind"] = d.kind == fb_device_kind::drm ? "drm" : "fbdev";
    // Recorded, so that the tools that read the file need not restate the rule.
    device["needs_flush"] = display_flush_needed(d);
    if (d.drm)
        device["drm"] = {{"driver", d.drm->driver}, {"connector", d.drm->connector}, {"mode", d.drm->mode},
                         {"pitch", d.drm->pitch}};
    if (d.fb.screen)
        device.update(fb_screen_json(*d.fb.screen));
    if (nlohmann::json sysfs = sysfs_json(d.fb.sysfs); !sysfs.empty())
        device["sysfs"] = sysfs;
    if (d.mapping)
        device["mapping"] = mapping_json(*d.mapping);
    if (d.display)
        device["display"] = display_json(*d.display);
    return device;
}

nlohmann::json system_description_json(const system_description& d)
{
    nlohmann::json system = {{"program_architecture", d.program_architecture}, {"program_bits", d.program_bits},
                             {"libc", d.libc}, {"compiler", d.compiler}, {"compile_flags", d.compile_flags}};
    field_set(system, "board_model", d.board_model);
    if (const std::optional<cpu_description>& c = d.cpu) {
        nlohmann::json& cpu = system["cpu"] = nlohmann::json::object();
        field_set(cpu, "model", c->model);
        field_set(cpu, "architecture", c->architecture);
        field_set(cpu, "hardware", c->hardware);
        field_set(cpu, "features", c->features);
        if (c->cores > 0)
            cpu["cores"] = c->cores;
        if (!c->core_names.empty())
            cpu["core_names"] = c->core_names;
    }
    for (const cpufreq_policy& p : d.cpufreq) {
        nlohmann::json& policy = system["cpufreq"].emplace_back(nlohmann::json{{"policy", p.policy}});
        field_set(policy, "governor", p.governor);
        field_set(policy, "cur_khz", p.cur_khz);
        field_set(policy, "min_khz", p.min_khz);
        field_set(policy, "max_khz", p.max_khz);
    }
    for (const devfreq_device& f : d.devfreq) {
        nlohmann::json& device = system["devfreq"].emplace_back(nlohmann::json{{"name", f.name}});
        field_set(device, "governor", f.governor);
        field_set(device, "cur_freq", f.cur_freq);
    }
    nlohmann::json kernel = nlohmann::json::object();
    field_set(kernel, "sysname", d.kernel.sysname);
    field_set(kernel, "release", d.kernel.release);
    field_set(kernel, "version", d.kernel.version);
    field_set(kernel, "machine", d.kernel.machine);
    if (!kernel.empty())
        system["kernel"] = kernel;
    field_set(system, "kernel_bits", d.kernel_bits);
    field_set(system, "os", d.os);
    field_set(system, "load_average", d.load_average);
    if (!d.thermal_before.empty())
        system["thermal_before"] = thermal_json(d.thermal_before);
    if (!d.thermal_after.empty())
        system["thermal_after"] = thermal_json(d.thermal_after);
    return system;
}

namespace {

nlohmann::json optional_json(const std::optional<double>& value)
{
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

nlohmann::json stats_json(const value_stats& s)
{
    return {{"median", s.median},
            {"min", s.min},
            {"max", s.max},
            {"mean", s.mean},
            {"stddev", optional_json(s.stddev)},
            {"spread_percent", optional_json(s.spread_percent)},
            {"runs", s.runs},
            {"settled", s.settled},
            {"resolution_limited", s.resolution_limited}};
}

nlohmann::json run_json(const session& s, const run_record& r)
{
    nlohmann::json values = nlohmann::json::object();
    for (const report_value& v : r.values)
        values[v.metric] = v.value;
    nlohmann::json run = {{"program", r.program}, {"target", run_target_key(r.target)}, {"path", r.path}, {"warmup", r.warmup}};
    if (r.signal != 0)
        run["signal"] = signal_name(r.signal);
    else if (r.exit_status >= 0) // else it never ran, or could not be waited for
        run["exit_status"] = r.exit_status;
    if (r.timed_out)
        run["timed_out"] = true;
    run["valid"] = r.valid;
    if (!r.valid)
        run["invalid_reason"] = r.invalid_reason;
    run["stdout"] = r.out;
    run["stderr"] = r.err;
    run["stdout_truncated"] = r.out_truncated;
    run["stderr_truncated"] = r.err_truncated;
    run["values"] = values;
    run["wall_seconds"] = r.wall_seconds;
    field_set(run, "other_cpu_percent", r.other_cpu_percent);
    field_set(run, "kernel_cpu_percent", r.kernel_cpu_percent);
    field_set(run, "clock_drift_percent", r.clock_drift_percent);
    if (r.leftover_processes > 0)
        run["leftover_processes"] = r.leftover_processes;
    if (r.presented)
        run["presented"] = presented_json(*r.presented, plan_find(s, r.path).presented_refresh_hz);
    return run;
}

nlohmann::json presented_summary_json(const presented_summary& summary)
{
    if (!summary.dropped.empty())
        return {{"dropped", summary.dropped}};
    nlohmann::json programs = nlohmann::json::array();
    for (const presented_program& p : summary.programs)
        programs.push_back({{"program", p.program}, {"runs", p.runs}, {"frames_per_second", p.frames_per_second},
                            {"missed_vblanks", p.missed_vblanks}, {"interval_median_ms", p.interval_median_ms},
                            {"interval_p99_ms", p.interval_p99_ms}, {"intervals_flagged", p.intervals_flagged},
                            {"runs_with_frames_lost", p.runs_with_frames_lost}});
    return {{"refresh_hz", summary.refresh_hz}, {"benchmarks", programs}};
}

// The description of a device with the screen and window the programs use.
nlohmann::json device_json(const session& s, std::size_t i)
{
    nlohmann::json device = i < s.device_descriptions.size() ? device_description_json(s.device_descriptions[i])
                                                              : nlohmann::json::object();
    if (i < s.devices.size()) {
        if (const std::string verdict = display_verdict(s, s.devices[i]); !verdict.empty())
            device["verdict"] = verdict;
        if (const std::optional<presented_summary> presented = presented_summarize(s, s.devices[i]))
            device["presented"] = presented_summary_json(*presented);
    }
    if (i >= s.screens.size())
        return device;
    const device_screen& d = s.screens[i];
    if (!d.error.empty()) {
        // Nothing but the path and why: no kind is guessed.
        return {{"path", d.path}, {"error", d.error}};
    }
    device["path"] = d.path;
    device["screen"] = {{"width", d.width}, {"height", d.height}, {"bits_per_pixel", d.bits_per_pixel},
                        {"row_bytes", d.row_bytes}};
    if (d.window_error.empty())
        device["window"] = {{"width", d.window.width}, {"height", d.window.height}, {"posx", d.window.posx},
                        {"posy", d.window.posy}, {"defaulted", d.defaulted}};
    return device;
}


} // namespace

nlohmann::json presented_json(const presented_record& r, std::optional<double> refresh_hz)
{
    nlohmann::json j = {{"units", r.units}, {"flips", r.events}, {"flips_queued", r.queued}, {"flips_busy", r.busy},
                        {"timestamps_us", r.timestamps_us}};
    if (!r.sequences.empty()) {
        j["sequence_first"] = r.sequences.front();
        j["sequence_last"] = r.sequences.back();
    }
    if (const std::string fault = presented_fault(r); !fault.empty()) {
        j["dropped"] = fault;
        return j;
    }
    if (!refresh_hz) {
        j["dropped"] = "no measured refresh to hold the flips to";
        return j;
    }
    const presented_figures f = presented_compute(r, *refresh_hz);
    j["refresh_hz"] = *refresh_hz;
    j["elapsed_seconds"] = round_to(f.elapsed_seconds, 1e-6);
    j["frames_per_second"] = round_to(f.frames_per_second, 0.001);
    j["interval_median_ms"] = round_to(f.interval_median_ms, 0.001);
    j["interval_p99_ms"] = round_to(f.interval_p99_ms, 0.001);
    j["interval_spread_percent"] = round_to(f.interval_spread_percent, 0.01);
    j["intervals_flagged"] = f.intervals_flagged;
    j["vblanks"] = f.vblanks;
    j["missed_vblanks"] = f.missed_vblanks;
    j["frames_lost"] = f.frames_lost;
    return j;
}

nlohmann::json results_json(const session& s, const std::string& finished)
{
    nlohmann::json window = nlohmann::json::object();
    for (const auto& [name, value] : s.window)
        window[name] = value;
    const runner_options& o = s.options;
    nlohmann::json devices = nlohmann::json::array();
    for (std::size_t i = 0; i < std::max(s.device_descriptions.size(), s.screens.size()); ++i)
        devices.push_back(device_json(s, i));
    nlohmann::json file = {
        {"schema", std::string(results_schema_family) + "2.1"},
        // Complete: every planned run made and counted; failures say which benchmarks failed.
        {"complete", s.complete && s.failures.empty()},
        {"fbbench_version", FBBENCH_VERSION},
        {"workload_version", 1},
        {"started", s.started},
        {"finished", finished},
        {"host", s.host},
        {"device", s.devices.empty() ? std::string() : s.devices.front()},
        {"devices", devices},
        {"window", window},
        {"options",
         {{"runs", o.runs}, {"max_runs", o.max_runs}, {"spread_percent", o.spread_percent}, {"warmup", o.warmup},
          {"memory", o.memory}, {"probe", o.probe}, {"timeout_seconds", o.timeout_seconds}, {"sync", options_sync_name(o.sync)},
          {"quick", o.quick}}},
        {"system", system_description_json(s.system)},
    };
    if (o.levels != 0)
        file["options"]["levels"] = o.levels;
    nlohmann::json& failures = file["failures"] = nlohmann::json::array();
    for (const bench_failure& f : s.failures)
        failures.push_back({{"program", f.program}, {"path", f.path}, {"message", f.message}});
    nlohmann::json& runs = file["runs"] = nlohmann::json::array();
    for (const run_record& r : s.runs)
        runs.push_back(run_json(s, r));
    nlohmann::json& results = file["results"] = nlohmann::json::array();
    for (const result_row& row : s.rows) {
        const benchmark* b = benchmark_find(row.program);
        nlohmann::json result = {{"program", row.program}, {"metric", row.metric.metric}, {"unit", row.metric.unit},
                                 {"higher_is_better", row.metric.higher_is_better},
                                 {"resolution", b != nullptr ? b->resolution : 0.01}};
        if (row.metric.points != 0)
            result["points"] = row.metric.points;
        result["path"] = row.path;
        const std::optional<value_stats>& device = result_row_stats(row, run_target::device);
        const std::optional<value_stats>& memory = result_row_stats(row, run_target::memory);
        const std::optional<value_stats>& display = result_row_stats(row, run_target::display);
        for (run_target t : run_targets_all)
            if (const std::optional<value_stats>& st = result_row_stats(row, t))
                result[run_target_key(t)] = stats_json(*st);
        if (device && memory && memory->median != 0)
            result["ratio"] = device->median / memory->median;
        if (device && display && device->median != 0)
            result["display_ratio"] = display->median / device->median;
        // The same two comparisons as speeds, a time's inverted: above 1 is better.
        field_set(result, "screen_vs_memory", row.screen_vs_memory);
        field_set(result, "display_vs_screen", row.display_vs_screen);
        field_set(result, "display_glass_at_most", row.glass_limit_hz);
        results.push_back(result);
    }
    nlohmann::json& warnings = file["warnings"] = nlohmann::json::array();
    for (const run_warning& w : s.warnings)
        warnings.push_back({{"kind", w.kind}, {"message", w.message}});
    return file;
}

namespace {

const char* node_kind_text(mode_t mode)
{
    return S_ISDIR(mode)    ? "a folder"
         : S_ISCHR(mode)    ? "a character device"
         : S_ISBLK(mode)    ? "a block device"
         : S_ISFIFO(mode)   ? "a FIFO"
         : S_ISSOCK(mode)   ? "a socket"
         : S_ISLNK(mode)    ? "a symbolic link"
                            : "not a regular file";
}

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The entry name in dir_fd is the open file itself (not a link to it).
bool entry_is(int dir_fd, const std::string& name, int fd)
{
    struct stat entry {}, open {};
    return fstatat(dir_fd, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 && fstat(fd, &open) == 0
        && same_file(entry, open);
}

std::vector<std::string> path_parts(const std::string& path)
{
    std::vector<std::string> parts;
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The link's owner may have it followed in this folder: the kernel's rule
// for protected links (fs.protected_symlinks), applied whatever the setting,
// as most boards leave it off. In a sticky, world-writable folder only the
// caller's own links and the folder owner's are followed.
bool link_followed(int dir_fd, const struct stat& link)
{
    struct stat folder {};
    if (fstat(dir_fd, &folder) != 0)
        return false;
    const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    return !shared || link.st_uid == geteuid() || link.st_uid == folder.st_uid;
}

// The process's root folder. A user-mode emulator given a prefix for the
// target's libraries (qemu-arm -L, QEMU_LD_PREFIX) opens "/" as that prefix,
// where no path the user names lies; /proc/self/root is the real root.
int root_open()
{
    const int root = open("/proc/self/root", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return root >= 0 ? root : open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Walks the path a part at a time as the kernel would, following links
// itself so that the rule above holds for each: the folder that holds the
// last part (opened for reading) and the last part's name there. 0, or a
// status with error set to one line.
int path_resolve(const std::string& path, unique_fd& dir_fd, std::string& name, std::string& error)
{
    std::vector<std::string> parts = path_parts(path);
    std::reverse(parts.begin(), parts.end()); // the next part at the back
    int dir = path.starts_with("/") ? root_open() : open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const auto fail = [&](int status, const std::string& why) {
        if (dir >= 0)
            close(dir);
        error = why;
        return status;
    };
    if (path.empty() || dir < 0)
        return fail(1, "cannot write " + bench_text_escape(path) + ": " + std::strerror(path.empty() ? ENOENT : errno));
    if (parts.empty())
        return fail(2, bench_text_escape(path) + " is a folder, not a results file");
    for (int links = 0;;) {
        const std::string part = parts.back();
        parts.pop_back();
        const int node = openat(dir, part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        struct stat st {};
        if (node < 0 || fstat(node, &st) != 0) {
            const int saved = errno;
            if (node >= 0)
                close(node);
            if (saved == ENOENT && parts.empty()) {
                name = part;
                break;
            }
            return fail(1, "cannot write " + bench_text_escape(path) + ": " + std::strerror(saved));
        }
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            const ssize_t n = readlinkat(node, "", target, sizeof target);
            const int saved = errno;
            close(node);
            if (!link_followed(dir, st))
                return fail(2, bench_text_escape(path) + " leads through another user's link in a sticky folder open to all ("
                                   + bench_text_escape(part) + "), which fbbench does not follow");
            if (++links > 40)
                return fail(1, "cannot write " + bench_text_escape(path) + ": " + std::strerror(ELOOP));
            if (n <= 0 || std::size_t(n) >= sizeof target)
                return fail(1, "cannot write " + bench_text_escape(path) + ": " + std::strerror(n < 0 ? saved : ENOENT));
            const std::string text(target, std::size_t(n));
            const std::vector<std::string> more = path_parts(text);
            parts.insert(parts.end(), more.rbegin(), more.rend());
            if (text.starts_with("/")) {
                close(dir);
                dir = root_open();
                if (dir < 0)
                    return fail(1, "cannot write " + bench_text_escape(path) + ": " + std::strerror(errno));
            }
            if (parts.empty()) // a link to "/"
                return fail(2, bench_text_escape(path) + " is a folder, not a results file");
            continue;
        }
        if (parts.empty()) {
            close(node);
            name = part;
            break;
        }
        if (!S_ISDIR(st.st_mode)) {
            close(node);
            return fail(1, "cannot write " + bench_text_escape(path) + ": " + std::strerror(ENOTDIR));
        }
        close(dir);
        dir = node;
    }
    dir_fd.reset(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir_fd.get() < 0)
        return fail(1, "cannot open the folder of " + bench_text_escape(path) + ": " + std::strerror(errno));
    close(dir);
    return 0;
}

// Finds the schema member of the outer object without holding the file in
// memory; stops there.
struct schema_sniffer : nlohmann::json_sax<nlohmann::json> {
    int depth = 0;
    bool schema_next = false; // the next value is the outer object's schema
    bool results = false;
    // Any value but an object at the outer level ends the search.
    bool scalar()
    {
        schema_next = false;
        return depth > 0;
    }
    bool null() override { return scalar(); }
    bool boolean(bool) override { return scalar(); }
    bool number_integer(number_integer_t) override { return scalar(); }
    bool number_unsigned(number_unsigned_t) override { return scalar(); }
    bool number_float(number_float_t, const string_t&) override { return scalar(); }
    bool binary(binary_t&) override { return scalar(); }
    bool string(string_t& text) override
    {
        results = schema_next && text.starts_with(results_schema_family);
        return !results && scalar();
    }
    bool start_object(std::size_t) override
    {
        schema_next = false;
        ++depth;
        return true;
    }
    bool key(string_t& text) override
    {
        schema_next = depth == 1 && text == "schema";
        return true;
    }
    bool end_object() override
    {
        --depth;
        return true;
    }
    bool start_array(std::size_t) override
    {
        const bool go = scalar();
        ++depth;
        return go;
    }
    bool end_array() override
    {
        --depth;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }
};

// Larger than any session writes.
constexpr off_t results_file_largest = off_t(1) << 30;

// The open file is a results file: a JSON object whose schema is fbbench's.
bool results_file_is(int fd, off_t size)
{
    if (size > results_file_largest)
        return false;
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    std::FILE* in = copy < 0 ? nullptr : fdopen(copy, "r");
    if (in == nullptr) {
        if (copy >= 0)
            close(copy);
        return false;
    }
    rewind(in);
    schema_sniffer sniffer;
    nlohmann::json::sax_parse(in, &sniffer);
    std::fclose(in);
    return sniffer.results;
}

// One attempt at resolving, checking and locking the file. 0, a status with
// error set, or -1 when the file was replaced between the steps (try again).
int output_open_once(results_output& output, bool force, std::string& error)
{
    const std::string& path = output.path;
    if (int status = path_resolve(path, output.dir_fd, output.name, error); status != 0)
        return status;
    // A look at the entry, which opens nothing: a FIFO would block, a device
    // could act on being opened.
    struct stat seen {};
    const bool found = fstatat(output.dir_fd.get(), output.name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) == 0;
    // A final slash names a folder, as it would for the kernel.
    if (path.ends_with("/") && (!found || !S_ISDIR(seen.st_mode))) {
        error = "cannot write " + bench_text_escape(path) + ": " + std::strerror(found ? ENOTDIR : EISDIR);
        return 1;
    }
    if (!found) {
        if (errno == ENOENT)
            return 0; // the first write places the file
        error = "cannot write " + bench_text_escape(path) + ": " + std::strerror(errno);
        return 1;
    }
    if (S_ISLNK(seen.st_mode))
        return -1; // put there since the walk
    if (!S_ISREG(seen.st_mode)) {
        error = bench_text_escape(path) + " is " + node_kind_text(seen.st_mode) + ", not a results file";
        return 2;
    }
    // Replaced by a rename, which the file's own mode would not stop: a
    // file the user may not write is refused as an open for writing would.
    if (faccessat(output.dir_fd.get(), output.name.c_str(), W_OK, AT_EACCESS) != 0) {
        error = "cannot write " + bench_text_escape(path) + ": " + std::strerror(errno);
        return 1;
    }
    output.fd.reset(openat(output.dir_fd.get(), output.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    if (output.fd.get() < 0 || fstat(output.fd.get(), &opened) != 0) {
        if (errno == ELOOP || errno == ENOENT)
            return -1;
        error = "cannot write " + bench_text_escape(path) + ": " + std::strerror(errno);
        return 1;
    }
    if (!same_file(seen, opened))
        return -1;
    if (flock(output.fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            error = bench_text_escape(path) + " is in use by another fbbench session; give each session its own --output";
            return 2;
        }
        error = "cannot lock " + bench_text_escape(path) + ": " + std::strerror(errno);
        return 1;
    }
    // The session that held the lock may have replaced the file meanwhile:
    // this descriptor then holds the old one, which no write may replace.
    if (!entry_is(output.dir_fd.get(), output.name, output.fd.get()))
        return -1;
    // An empty file holds nothing to keep.
    if (opened.st_size == 0)
        return 0;
    if (!results_file_is(output.fd.get(), opened.st_size)) {
        error = bench_text_escape(path) + " is not a results file, which fbbench does not replace; give another --output";
        return 2;
    }
    output.earlier = !force;
    return 0;
}

void output_close(results_output& output)
{
    output.fd.reset();
    output.dir_fd.reset();
    output.earlier = false;
}

// What a new file's mode is: what open would give it.
mode_t new_file_mode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

} // namespace

int results_output_open(results_output& output, const std::string& path, bool force, std::string& error)
{
    output.path = path;
    output.new_mode = new_file_mode();
    for (int attempt = 0; attempt < 10; ++attempt) {
        const int status = output_open_once(output, force, error);
        if (status == 0)
            return 0;
        output_close(output);
        if (status != -1)
            return status;
    }
    error = "cannot write " + bench_text_escape(path) + ": it keeps being replaced by another program";
    return 1;
}

int results_output_create(results_output& output, const std::string& stem, std::string& error)
{
    output.stem = stem;
    output.path = stem + ".json";
    output.name = output.path;
    output.new_mode = new_file_mode();
    output.dir_fd.reset(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (output.dir_fd.get() < 0) {
        error = "cannot open the current folder: " + std::string(std::strerror(errno));
        return 1;
    }
    return 0;
}

namespace {

// A temporary file beside the results file: without a name while it is
// written where the file system allows (O_TMPFILE), and locked from the
// moment it has one, so that a leftover is told from a live session's by
// its lock. Removed on every path.
struct temporary_file {
    int dir_fd = -1; // the results file's
    std::string name; // once it has one
    unique_fd fd;
    bool nameless = false;
    temporary_file() = default;
    temporary_file(const temporary_file&) = delete;
    temporary_file& operator=(const temporary_file&) = delete;
    ~temporary_file()
    {
        if (!name.empty())
            unlinkat(dir_fd, name.c_str(), 0);
    }
};

const char temporary_letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
const char temporary_prefix[] = ".fbbench.";
constexpr std::size_t temporary_random = 6;

// The short name ".fbbench.XXXXXX", so that a results file whose name is as
// long as a name can be still gets one.
std::string temporary_name(uint64_t& state)
{
    std::string name = temporary_prefix;
    for (std::size_t i = 0; i < temporary_random; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        name += temporary_letters[(state >> 33) % (sizeof temporary_letters - 1)];
    }
    return name;
}

uint64_t temporary_seed()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_nsec) ^ (uint64_t(getpid()) << 32) ^ uint64_t(now.tv_sec);
}

bool temporary_create(temporary_file& temporary, int dir_fd)
{
    temporary.dir_fd = dir_fd;
    temporary.fd.reset(openat(dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (temporary.fd.get() >= 0) {
        temporary.nameless = true;
        return flock(temporary.fd.get(), LOCK_EX | LOCK_NB) == 0;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return false;
    uint64_t state = temporary_seed();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temporary_name(state);
        temporary.fd.reset(openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (temporary.fd.get() >= 0) {
            temporary.name = name;
            return flock(temporary.fd.get(), LOCK_EX | LOCK_NB) == 0;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// Links the nameless file under name in its folder; false with errno set
// (EEXIST when the name is taken).
bool temporary_link(const temporary_file& temporary, const std::string& name)
{
    const std::string self = "/proc/self/fd/" + std::to_string(temporary.fd.get());
    return linkat(AT_FDCWD, self.c_str(), temporary.dir_fd, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Gives the temporary file its temporary name, when it has none yet.
bool temporary_name_give(temporary_file& temporary)
{
    if (!temporary.name.empty())
        return true;
    uint64_t state = temporary_seed();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temporary_name(state);
        if (temporary_link(temporary, name)) {
            temporary.name = name;
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// Puts the temporary file in place under name, which must be free: false
// with errno EEXIST when it is not.
bool temporary_place_new(temporary_file& temporary, const std::string& name)
{
    if (temporary.nameless)
        return temporary_link(temporary, name);
    if (renameat2(temporary.dir_fd, temporary.name.c_str(), temporary.dir_fd, name.c_str(), RENAME_NOREPLACE) == 0) {
        temporary.name.clear();
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without the flag: a hard link fails as well on a name taken.
    if (linkat(temporary.dir_fd, temporary.name.c_str(), temporary.dir_fd, name.c_str(), 0) != 0)
        return false;
    return true; // the destructor removes the temporary name
}

// The mode and owner of the file replaced, or a new file's mode.
bool file_attributes_copy(int to, int from, mode_t new_mode)
{
    if (from < 0)
        return fchmod(to, new_mode) == 0;
    struct stat st {};
    if (fstat(from, &st) != 0)
        return false;
    // Only root may give a file away; others keep their own.
    if (fchown(to, st.st_uid, st.st_gid) != 0 && errno != EPERM)
        return false;
    return fchmod(to, st.st_mode & 07777) == 0;
}

bool all_write(int fd, const std::string& text)
{
    for (std::size_t at = 0; at < text.size();) {
        const ssize_t n = write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += std::size_t(n);
    }
    return true;
}

// The text in a new temporary file beside the results file, synced.
bool temporary_write(temporary_file& temporary, const results_output& output, const std::string& text,
                     std::string& error)
{
    const bool written = temporary_create(temporary, output.dir_fd.get())
                      && file_attributes_copy(temporary.fd.get(), output.fd.get(), output.new_mode)
                      && all_write(temporary.fd.get(), text) && fsync(temporary.fd.get()) == 0;
    if (!written)
        error = "cannot write " + bench_text_escape(output.path) + ": " + std::strerror(errno);
    return written;
}

} // namespace

bool results_file_try(const results_output& output, const std::string& text, std::string& error)
{
    temporary_file temporary;
    return temporary_write(temporary, output, text, error);
}

bool results_file_write(results_output& output, const std::string& text, std::string& error)
{
    temporary_file temporary;
    if (!temporary_write(temporary, output, text, error))
        return false;
    if (output.fd.get() < 0) {
        // The first write: the name must still be free, or, for a default
        // name, the first free one of its numbered names.
        for (int n = 1;; ++n) {
            if (temporary_place_new(temporary, output.name))
                break;
            if (errno != EEXIST || output.stem.empty() || n >= 1000) {
                error = errno == EEXIST ? "cannot write " + bench_text_escape(output.path)
                                              + ": another program made a file of that name meanwhile"
                                        : "cannot write " + bench_text_escape(output.path) + ": " + std::strerror(errno);
                return false;
            }
            output.path = output.name = output.stem + "-" + std::to_string(n + 1) + ".json";
        }
    } else {
        // What stands under the name now must be the file opened: anything
        // else (a node or a link put there meanwhile) is left alone.
        if (!entry_is(output.dir_fd.get(), output.name, output.fd.get())) {
            error = "cannot write " + bench_text_escape(output.path) + ": it was replaced by something else during the session";
            return false;
        }
        if (!temporary_name_give(temporary)
            || renameat(output.dir_fd.get(), temporary.name.c_str(), output.dir_fd.get(), output.name.c_str()) != 0) {
            error = "cannot write " + bench_text_escape(output.path) + ": " + std::strerror(errno);
            return false;
        }
        temporary.name.clear();
    }
    output.fd = std::move(temporary.fd);
    output.earlier = false;
    // Some file systems cannot sync a folder; the rename stands there.
    if (fsync(output.dir_fd.get()) != 0 && errno != EINVAL) {
        error = "cannot sync the folder of " + bench_text_escape(output.path) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void results_leftovers_remove(const results_output& output)
{
    timespec started{};
    clock_gettime(CLOCK_REALTIME, &started);
    const int listing = openat(output.dir_fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listing < 0 ? nullptr : fdopendir(listing);
    if (dir == nullptr) {
        if (listing >= 0)
            close(listing);
        return;
    }
    const std::size_t length = sizeof temporary_prefix - 1 + temporary_random;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() != length || !name.starts_with(temporary_prefix)
            || name.find_first_not_of(temporary_letters, sizeof temporary_prefix - 1) != std::string::npos)
            continue;
        const int fd = openat(output.dir_fd.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st {};
        // Ours, and no session's now: a live one holds its temporary file
        // locked from the moment it has a name, and made it before this one
        // began looking.
        const bool leftover = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid()
                           && st.st_nlink == 1
                           && (st.st_ctim.tv_sec < started.tv_sec
                               || (st.st_ctim.tv_sec == started.tv_sec && st.st_ctim.tv_nsec < started.tv_nsec))
                           && flock(fd, LOCK_EX | LOCK_NB) == 0 && entry_is(output.dir_fd.get(), name, fd);
        if (leftover)
            unlinkat(output.dir_fd.get(), name.c_str(), 0);
        close(fd);
    }
    closedir(dir);
}

std::string utc_now_iso()
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buffer;
}

namespace {

bool session_has_own(const session& s)
{
    if (s.options.describe)
        return s.complete;
    return std::any_of(s.runs.begin(), s.runs.end(), [](const run_record& r) { return r.invalid_reason != "interrupted"; });
}

} // namespace

bool results_file_save(const session& s, results_output& output, std::string& error)
{
    const std::string text = results_json(s, utc_now_iso()).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    return output.earlier && !session_has_own(s) ? results_file_try(output, text, error)
                                                 : results_file_write(output, text, error);
}
