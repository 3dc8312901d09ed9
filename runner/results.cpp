#include "results.h"

#include "display_target.h"
#include "execute.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool counted(const run_record& r, const std::string& program, const std::string& path)
{
    return r.valid && !r.warmup && r.program == program && r.path == path;
}

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

nlohmann::json run_json(const run_record& r)
{
    nlohmann::json values = nlohmann::json::object();
    for (const report_value& v : r.values)
        values[v.metric] = v.value;
    nlohmann::json run = {{"program", r.program}, {"target", run_target_key(r.target)}, {"path", r.path}, {"warmup", r.warmup}};
    if (r.signal != 0)
        run["signal"] = signal_name(r.signal);
    else
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
    if (r.other_cpu_percent)
        run["other_cpu_percent"] = *r.other_cpu_percent;
    if (r.kernel_cpu_percent)
        run["kernel_cpu_percent"] = *r.kernel_cpu_percent;
    return run;
}

// The description of a device with the screen and window the programs use.
nlohmann::json device_json(const session& s, std::size_t i)
{
    nlohmann::json device = i < s.device_descriptions.size() ? s.device_descriptions[i] : nlohmann::json::object();
    if (i < s.devices.size())
        if (const std::string verdict = display_verdict(s, s.devices[i]); !verdict.empty())
            device["verdict"] = verdict;
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

std::string number_text(const std::optional<value_stats>& s)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.2f", s ? s->median : 0.0);
    return s ? buffer : "-";
}

} // namespace

std::vector<double> results_values(const session& s, const std::string& program, const std::string& path,
                                   run_target target, const std::string& metric)
{
    std::vector<double> values;
    for (const run_record& r : s.runs)
        if (counted(r, program, path) && r.target == target)
            for (const report_value& v : r.values)
                if (v.metric == metric)
                    values.push_back(v.value);
    return values;
}

spread_target results_spread_target(const session& s, const std::string& program)
{
    const benchmark* b = benchmark_find(program);
    return {s.options.spread_percent, b != nullptr ? b->resolution : 0.01};
}

std::vector<result_row> results_rows(const session& s)
{
    std::vector<result_row> rows;
    for (const run_record& r : s.runs) {
        for (const report_value& v : r.values) {
            if (!r.valid || r.warmup)
                continue;
            const bool known = std::any_of(rows.begin(), rows.end(), [&](const result_row& row) {
                return row.program == r.program && row.path == r.path && row.metric.metric == v.metric;
            });
            if (known)
                continue;
            result_row row{r.program, r.path, v, {}};
            row.metric.value = 0;
            const spread_target spread = results_spread_target(s, r.program);
            for (run_target t : run_targets_all)
                if (auto values = results_values(s, r.program, r.path, t, v.metric); !values.empty())
                    result_row_stats(row, t) = stats_compute(values, spread);
            rows.push_back(row);
        }
    }
    // Rows of a program on a device stay together, levels by points.
    std::stable_sort(rows.begin(), rows.end(), [&](const result_row& a, const result_row& b) {
        auto first_run = [&](const result_row& row) {
            return std::find_if(s.runs.begin(), s.runs.end(),
                                [&](const run_record& r) { return r.program == row.program && r.path == row.path; });
        };
        const auto fa = first_run(a), fb = first_run(b);
        return fa != fb ? fa < fb : a.metric.points < b.metric.points;
    });
    return rows;
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
        {"schema", "fbbench-results/2"},
        {"complete", s.complete},
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
          {"memory", o.memory}, {"probe", o.probe}, {"timeout_seconds", o.timeout_seconds}, {"sync", o.sync}}},
        {"system", s.system},
    };
    nlohmann::json& runs = file["runs"] = nlohmann::json::array();
    for (const run_record& r : s.runs)
        runs.push_back(run_json(r));
    nlohmann::json& results = file["results"] = nlohmann::json::array();
    for (const result_row& row : results_rows(s)) {
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
        if (device && memory)
            if (const std::optional<double> r = stats_speedup(device->median, memory->median, row.metric.higher_is_better))
                result["screen_vs_memory"] = *r;
        if (const std::optional<double> r = display_vs_screen(row))
            result["display_vs_screen"] = *r;
        if (const std::optional<double> hz = display_glass_limit(s, row))
            result["display_glass_at_most"] = *hz;
        results.push_back(result);
    }
    nlohmann::json& warnings = file["warnings"] = nlohmann::json::array();
    for (const run_warning& w : s.warnings)
        warnings.push_back({{"kind", w.kind}, {"message", w.message}});
    return file;
}

bool results_path_resolve(const std::string& path, std::string& resolved, std::string& error)
{
    std::filesystem::path at = path;
    // As many links as the kernel follows in one path.
    for (int links = 0; links <= 40; ++links) {
        struct stat st {};
        if (lstat(at.c_str(), &st) != 0) {
            if (errno != ENOENT) {
                error = "cannot use " + path + " as the results file: " + std::strerror(errno);
                return false;
            }
            resolved = at.string();
            return true;
        }
        if (S_ISREG(st.st_mode)) {
            resolved = at.string();
            return true;
        }
        if (!S_ISLNK(st.st_mode)) {
            const char* kind = S_ISDIR(st.st_mode)    ? "a folder"
                             : S_ISCHR(st.st_mode)    ? "a character device"
                             : S_ISBLK(st.st_mode)    ? "a block device"
                             : S_ISFIFO(st.st_mode)   ? "a FIFO"
                             : S_ISSOCK(st.st_mode)   ? "a socket"
                                                      : "not a regular file";
            error = path + (at == path ? "" : " names " + at.string() + ", which") + " is " + kind
                  + ", not a results file";
            return false;
        }
        std::error_code ec;
        const std::filesystem::path target = std::filesystem::read_symlink(at, ec);
        if (ec) {
            error = "cannot read the link " + at.string() + ": " + ec.message();
            return false;
        }
        at = target.is_absolute() ? target : at.parent_path() / target;
    }
    error = "cannot use " + path + " as the results file: " + std::strerror(ELOOP);
    return false;
}

namespace {

// The temporary file beside the results file, removed on every path.
struct temporary_file {
    std::string path;
    int fd = -1;
    temporary_file() = default;
    temporary_file(const temporary_file&) = delete;
    temporary_file& operator=(const temporary_file&) = delete;
    ~temporary_file()
    {
        if (fd >= 0)
            close(fd);
        if (!path.empty())
            unlink(path.c_str());
    }
};

// The mode and owner of the file replaced, or of a new file.
bool file_attributes_set(int fd, const std::string& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        const mode_t mask = umask(0);
        umask(mask);
        return fchmod(fd, 0666 & ~mask) == 0;
    }
    // Only root may give a file away; others keep their own.
    if (fchown(fd, st.st_uid, st.st_gid) != 0 && errno != EPERM)
        return false;
    return fchmod(fd, st.st_mode & 07777) == 0;
}

bool folder_sync(const std::string& path)
{
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.empty())
        folder = ".";
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    // Some file systems cannot sync a folder; the rename stands there.
    const bool synced = fsync(fd) == 0 || errno == EINVAL;
    const int saved = errno;
    close(fd);
    errno = saved;
    return synced;
}

} // namespace

bool results_file_write(const std::string& path, const std::string& text, std::string& error)
{
    // Checked again at each write: what was a file at the start may have
    // been replaced by something that must not be replaced.
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        error = "cannot write " + path + ": it is no longer a regular file";
        return false;
    }
    temporary_file temporary;
    temporary.path = path + ".XXXXXX";
    temporary.fd = mkostemp(temporary.path.data(), O_CLOEXEC);
    if (temporary.fd < 0) {
        temporary.path.clear();
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    bool written = file_attributes_set(temporary.fd, path);
    for (std::size_t at = 0; written && at < text.size();) {
        const ssize_t n = write(temporary.fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        written = n > 0;
        if (written)
            at += std::size_t(n);
    }
    written = written && fsync(temporary.fd) == 0;
    const int saved = errno;
    written = close(temporary.fd) == 0 && written;
    temporary.fd = -1;
    if (!written) {
        error = "cannot write " + path + ": " + std::strerror(saved);
        return false;
    }
    if (rename(temporary.path.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    temporary.path.clear();
    if (!folder_sync(path)) {
        error = "cannot sync the folder of " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string results_summary_row(const session& s)
{
    std::string row = "| " + s.host + " |";
    const std::vector<result_row> rows = results_rows(s);
    for (const benchmark& b : benchmarks()) {
        // A per-level benchmark gives its first and last levels.
        std::optional<value_stats> first, last;
        bool found = false;
        for (const result_row& r : rows) {
            if (s.devices.empty() || r.path != s.devices.front() || r.program != b.name)
                continue;
            if (!found)
                first = result_row_stats(r, run_target::device);
            found = true;
            last = result_row_stats(r, run_target::device);
        }
        row += " " + number_text(first) + " |";
        if (b.per_level)
            row += " " + number_text(last) + " |";
    }
    return row;
}

std::string results_summary_header(const session& s)
{
    uint32_t first_points = 0, last_points = 0;
    for (const result_row& row : results_rows(s)) {
        if (s.devices.empty() || row.path != s.devices.front() || row.program != "sierpinski-bench"
            || !result_row_stats(row, run_target::device))
            continue;
        if (first_points == 0)
            first_points = row.metric.points;
        last_points = row.metric.points;
    }
    auto level = [](uint32_t points, const char* otherwise) {
        return points != 0 ? "Sierpinski " + std::to_string(points) + " points (frames/s)" : std::string(otherwise);
    };
    return "| host | rectangle (MPixels/s) | Mandelbrot (s) | " + level(first_points, "Sierpinski first level")
         + " | " + level(last_points, "Sierpinski last level") + " |\n|---|---|---|---|---|";
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
