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
#include <climits>
#include <sys/file.h>
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
    if (r.other_cpu_percent)
        run["other_cpu_percent"] = *r.other_cpu_percent;
    if (r.kernel_cpu_percent)
        run["kernel_cpu_percent"] = *r.kernel_cpu_percent;
    if (r.leftover_processes > 0)
        run["leftover_processes"] = r.leftover_processes;
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
          {"memory", o.memory}, {"probe", o.probe}, {"timeout_seconds", o.timeout_seconds}, {"sync", o.sync},
          {"quick", o.quick}}},
        {"system", s.system},
    };
    if (o.levels != 0)
        file["options"]["levels"] = o.levels;
    nlohmann::json& failures = file["failures"] = nlohmann::json::array();
    for (const bench_failure& f : s.failures)
        failures.push_back({{"program", f.program}, {"path", f.path}, {"message", f.message}});
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

results_output::~results_output()
{
    if (fd >= 0)
        close(fd);
    if (dir_fd >= 0)
        close(dir_fd);
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

// The folder that holds the open file and its name there, as the kernel
// names the file it opened (no link is followed here); checked against the
// file itself, so that a name that no longer leads to it is never used.
bool output_folder_find(results_output& output, std::string& error)
{
    std::filesystem::path opened = output.path;
    char buffer[PATH_MAX];
    const std::string self = "/proc/self/fd/" + std::to_string(output.fd);
    if (const ssize_t n = readlink(self.c_str(), buffer, sizeof buffer); n > 0 && std::size_t(n) < sizeof buffer
                                                                        && buffer[0] == '/')
        opened = std::string(buffer, std::size_t(n));
    std::filesystem::path folder = opened.parent_path();
    if (folder.empty())
        folder = ".";
    output.name = opened.filename().string();
    output.dir_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (output.dir_fd < 0) {
        error = "cannot open the folder of " + output.path + ": " + std::strerror(errno);
        return false;
    }
    if (!entry_is(output.dir_fd, output.name, output.fd)) {
        error = "cannot tell which folder holds " + output.path;
        return false;
    }
    return true;
}

// One attempt at opening, checking and locking the file. 0, a status with
// error set, or -1 when the file was replaced between the steps (try again).
int output_open_once(results_output& output, bool exclusive, std::string& error)
{
    const std::string& path = output.path;
    // A look at what the path leads to, which opens nothing for writing: a
    // FIFO would block, a device could act on being opened.
    struct stat seen {};
    bool existed = false;
    if (!exclusive) {
        const int look = open(path.c_str(), O_PATH | O_CLOEXEC);
        if (look < 0 && errno != ENOENT) {
            error = "cannot write " + path + ": " + std::strerror(errno);
            return 1;
        }
        if (look >= 0) {
            existed = fstat(look, &seen) == 0;
            const int saved = errno;
            close(look);
            if (!existed) {
                error = "cannot write " + path + ": " + std::strerror(saved);
                return 1;
            }
            if (!S_ISREG(seen.st_mode)) {
                error = path + " is " + node_kind_text(seen.st_mode) + ", not a results file";
                return 2;
            }
        }
    }
    output.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (exclusive ? O_EXCL : 0),
                     0666);
    if (output.fd < 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return errno == EEXIST ? -2 : 1;
    }
    struct stat opened {};
    if (fstat(output.fd, &opened) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return 1;
    }
    if (!S_ISREG(opened.st_mode)) {
        error = path + " is " + node_kind_text(opened.st_mode) + ", not a results file";
        return 2;
    }
    if (existed && !same_file(seen, opened))
        return -1;
    if (flock(output.fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            error = path + " is in use by another fbbench session; give each session its own --output";
            return 2;
        }
        error = "cannot lock " + path + ": " + std::strerror(errno);
        return 1;
    }
    if (!output_folder_find(output, error))
        return 1;
    // The session that held the lock may have replaced the file meanwhile:
    // this descriptor then holds the old one, which no write may replace.
    if (!entry_is(output.dir_fd, output.name, output.fd))
        return -1;
    return 0;
}

void output_close(results_output& output)
{
    if (output.fd >= 0)
        close(output.fd);
    if (output.dir_fd >= 0)
        close(output.dir_fd);
    output.fd = output.dir_fd = -1;
}

// As results_output_open, but -2 when exclusive finds the file there.
int output_open(results_output& output, const std::string& path, bool exclusive, std::string& error)
{
    output.path = path;
    for (int attempt = 0; attempt < 10; ++attempt) {
        const int status = output_open_once(output, exclusive, error);
        if (status == 0)
            return 0;
        output_close(output);
        if (status != -1)
            return status;
    }
    error = "cannot write " + path + ": it keeps being replaced by another program";
    return 1;
}

} // namespace

int results_output_open(results_output& output, const std::string& path, bool exclusive, std::string& error)
{
    const int status = output_open(output, path, exclusive, error);
    return status == -2 ? 1 : status;
}

int results_output_create(results_output& output, const std::string& stem, std::string& error)
{
    for (int n = 1; n <= 1000; ++n) {
        const int status = output_open(output, stem + (n == 1 ? "" : "-" + std::to_string(n)) + ".json", true, error);
        if (status != -2)
            return status;
    }
    return 1;
}

namespace {

// The temporary file beside the results file, removed on every path.
struct temporary_file {
    int dir_fd = -1;
    std::string name;
    int fd = -1;
    temporary_file() = default;
    temporary_file(const temporary_file&) = delete;
    temporary_file& operator=(const temporary_file&) = delete;
    ~temporary_file()
    {
        if (fd >= 0)
            close(fd);
        if (!name.empty())
            unlinkat(dir_fd, name.c_str(), 0);
    }
};

// A new file of a short name in the folder, so that a results file whose
// name is as long as a name can be still gets one: ".fbbench.XXXXXX".
bool temporary_create(temporary_file& temporary, int dir_fd)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t state = uint64_t(now.tv_nsec) ^ (uint64_t(getpid()) << 32) ^ uint64_t(now.tv_sec);
    temporary.dir_fd = dir_fd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = ".fbbench.";
        for (int i = 0; i < 6; ++i) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            name += letters[(state >> 33) % (sizeof letters - 1)];
        }
        temporary.fd = openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (temporary.fd >= 0) {
            temporary.name = name;
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// The mode and owner of the file replaced.
bool file_attributes_copy(int to, int from)
{
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

} // namespace

bool results_file_write(results_output& output, const std::string& text, std::string& error)
{
    temporary_file temporary;
    if (!temporary_create(temporary, output.dir_fd)) {
        error = "cannot write " + output.path + ": " + std::strerror(errno);
        return false;
    }
    // The new file is locked before it takes the name, so that the lock
    // never lapses for a session that opens the name meanwhile.
    bool written = flock(temporary.fd, LOCK_EX | LOCK_NB) == 0 && file_attributes_copy(temporary.fd, output.fd)
                && all_write(temporary.fd, text) && fsync(temporary.fd) == 0;
    if (!written) {
        error = "cannot write " + output.path + ": " + std::strerror(errno);
        return false;
    }
    // What stands under the name now must be the file opened: anything
    // else (a node or a link put there meanwhile) is left alone.
    struct stat entry {};
    if (fstatat(output.dir_fd, output.name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0
        && !entry_is(output.dir_fd, output.name, output.fd)) {
        error = "cannot write " + output.path + ": it was replaced by something else during the session";
        return false;
    }
    if (renameat(output.dir_fd, temporary.name.c_str(), output.dir_fd, output.name.c_str()) != 0) {
        error = "cannot write " + output.path + ": " + std::strerror(errno);
        return false;
    }
    temporary.name.clear();
    close(output.fd);
    output.fd = temporary.fd;
    temporary.fd = -1;
    // Some file systems cannot sync a folder; the rename stands there.
    if (fsync(output.dir_fd) != 0 && errno != EINVAL) {
        error = "cannot sync the folder of " + output.path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string results_summary_row(const session& s, run_target target)
{
    // The host's cell says which target and whether the session was quick.
    std::string note = target == run_target::device ? "" : run_target_label(target);
    if (s.options.quick)
        note += note.empty() ? "quick" : ", quick";
    std::string row = "| " + s.host + (note.empty() ? "" : " (" + note + ")") + " |";
    const std::vector<result_row> rows = results_rows(s);
    const bool measured = std::any_of(rows.begin(), rows.end(), [&](const result_row& r) {
        return !s.devices.empty() && r.path == s.devices.front() && result_row_stats(r, target);
    });
    if (target != run_target::device && !measured)
        return "";
    for (const benchmark& b : benchmarks()) {
        // A per-level benchmark gives its first and last levels.
        std::optional<value_stats> first, last;
        bool found = false;
        for (const result_row& r : rows) {
            if (s.devices.empty() || r.path != s.devices.front() || r.program != b.name)
                continue;
            if (!found)
                first = result_row_stats(r, target);
            found = true;
            last = result_row_stats(r, target);
        }
        row += " " + number_text(first) + " |";
        if (b.per_level)
            row += " " + number_text(last) + " |";
    }
    return row;
}

std::string results_summary_header(const session& s)
{
    std::string header = "| host |", rule = "|---|";
    for (const benchmark& b : benchmarks()) {
        const std::string unit = std::string(" (") + b.unit + ")";
        if (!b.per_level) {
            header += std::string(" ") + b.label + unit + " |";
            rule += "---|";
            continue;
        }
        // A per-level benchmark gives its first and last levels.
        uint32_t first_points = 0, last_points = 0;
        for (const result_row& row : results_rows(s)) {
            if (s.devices.empty() || row.path != s.devices.front() || row.program != b.name
                || !result_row_stats(row, run_target::device))
                continue;
            if (first_points == 0)
                first_points = row.metric.points;
            last_points = row.metric.points;
        }
        auto level = [&](uint32_t points, const char* otherwise) {
            return std::string(b.label) + " " + (points != 0 ? std::to_string(points) + " points" + unit : otherwise);
        };
        header += " " + level(first_points, "first level") + " | " + level(last_points, "last level") + " |";
        rule += "---|---|";
    }
    return header + "\n" + rule;
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
