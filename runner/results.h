// What a session of runs has gathered: the results file, the table on the
// terminal and the Markdown summary row.
#pragma once

#include "benchmarks.h"
#include "options.h"
#include "presented.h"
#include "report.h"
#include "stats.h"
#include "targets.h"
#include "warnings.h"

#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <sys/types.h>
#include <string>
#include <vector>

struct run_record {
    std::string program;
    run_target target = run_target::device;
    std::string path; // the device
    bool warmup = false;
    int exit_status = -1; // when the program exited, else -1
    bool valid = false;
    std::string invalid_reason;
    std::string out; // at most the capture limit of each
    std::string err;
    std::vector<report_value> values;
    double wall_seconds = 0;
    int signal = 0; // the signal that killed it, else 0
    bool timed_out = false; // killed by fbbench at the deadline
    bool out_truncated = false;
    bool err_truncated = false;
    std::optional<double> other_cpu_percent; // other user processes' CPU time, percent of one core
    bool competing = false; // that time was above the threshold
    std::optional<double> kernel_cpu_percent; // the kernel threads' CPU time, percent of one core
    int leftover_processes = 0; // processes the program left running, killed after it
    std::optional<presented_record> presented{}; // a presented run's flips, as the program wrote them
};

// A valid run that is not a warm-up: the runs every statistic counts.
inline bool run_counted(const run_record& r, const std::string& program, const std::string& path)
{
    return r.valid && !r.warmup && r.program == program && r.path == path;
}

// A benchmark on a device that failed, with the one-line message shown.
struct bench_failure {
    std::string program;
    std::string path;
    std::string message;
};

// A device as the programs will see it: its screen and the window the
// variables give on it.
struct device_screen {
    std::string path;
    std::string error; // one line when it cannot be opened or queried
    std::string kind; // "fbdev" or "drm"
    uint32_t width = 0, height = 0, bits_per_pixel = 0, row_bytes = 0;
    bench_window window;
    std::string window_error; // one line when the programs would refuse the window
    std::vector<std::string> defaulted; // of WIDTH, HEIGHT, POSX, POSY: those not set, as "width", ...
};

struct session {
    runner_options options;
    std::string host;
    std::string started; // UTC, ISO 8601
    std::vector<std::string> devices; // paths, in order, each once
    std::vector<device_screen> screens; // one per device, in the same order
    std::vector<std::pair<std::string, std::string>> window; // the window variables set
    nlohmann::json system = nlohmann::json::object();
    nlohmann::json device_descriptions = nlohmann::json::array();
    std::vector<run_record> runs;
    std::vector<bench_failure> failures;
    std::vector<run_warning> warnings;
    bool complete = false; // not stopped: the file says complete only when no benchmark failed either
};

// One row of results: a metric of a program on a device, every target.
struct result_row {
    std::string program;
    std::string path;
    report_value metric; // name, unit, direction, points; value unused
    std::array<std::optional<value_stats>, std::size(run_targets_all)> stats; // by target; see result_row_stats
};

// The statistics of a row on a target: none when it had no counted run.
inline const std::optional<value_stats>& result_row_stats(const result_row& row, run_target target)
{
    return row.stats[std::size_t(target)];
}
inline std::optional<value_stats>& result_row_stats(result_row& row, run_target target)
{
    return row.stats[std::size_t(target)];
}

// The values of a metric over the counted valid runs of a program, device
// and target.
std::vector<double> results_values(const session& s, const std::string& program, const std::string& path,
                                   run_target target, const std::string& metric);

// Rows in the order the runs came: program, device, then the metrics in the
// order reported (Sierpinski levels by points).
std::vector<result_row> results_rows(const session& s);

// The whole results file, finished at the given UTC time.
nlohmann::json results_json(const session& s, const std::string& finished);

// The schema of every results file begins so; the version follows.
inline constexpr char results_schema_family[] = "fbbench-results/";

// The results file for the whole session. The path is walked a part at a
// time, each link followed by fbbench itself under the kernel's rule for
// protected links whatever fs.protected_symlinks says (none that another
// user planted in a sticky folder open to all); every write then replaces
// the file it found, in the folder it found it in.
struct results_output {
    std::string path; // as given, or the default name taken, for messages
    int fd = -1; // the file now in place, locked against a second session; -1 until the first write places one
    int dir_fd = -1; // the folder that holds it
    std::string name; // its name there
    std::string stem; // for a default name: the first write takes stem.json, else stem-2.json and so on
    // An earlier session's results file stands there, kept until this
    // session has something of its own to put in its place.
    bool earlier = false;
    mode_t new_mode = 0644; // a new file's mode, as open would give it
    results_output() = default;
    results_output(const results_output&) = delete;
    results_output& operator=(const results_output&) = delete;
    ~results_output();
};

// Finds the file for path, creating nothing: a missing file is placed by
// the first write. Refuses a path that is, or names, anything but a regular
// file (a device node, FIFO, socket or folder) without opening it, a
// non-empty file that is not a results file, a file another session has
// locked, and a link that another user planted. An existing results file
// is locked and marked earlier, unless force. Returns 0, or the exit status
// (2 for those refusals, 1 when the path cannot be walked) with error set
// to one line; nothing stays open then.
int results_output_open(results_output& output, const std::string& path, bool force, std::string& error);

// A new file named stem.json in the current folder, or stem-2.json,
// stem-3.json and so on when that exists at the first write, so that
// sessions started in the same second never share one. Returns as
// results_output_open.
int results_output_create(results_output& output, const std::string& stem, std::string& error);

// Writes text to a temporary file beside the file and renames it over it,
// or links it in as the new file at the first write, so that the file
// always holds a whole text, then syncs the folder; the new file keeps the
// old one's mode, and its owner where this process may set it, and takes
// over the lock. Refuses to replace anything that is no longer the file
// opened, and any file that took a new file's name meanwhile. The temporary
// file is gone on every return. False with error set to one line on
// failure.
bool results_file_write(results_output& output, const std::string& text, std::string& error);

// Writes text to a temporary file beside the file and removes it, leaving
// the file as it is: finds a folder or disk that would refuse the file.
bool results_file_try(const results_output& output, const std::string& text, std::string& error);

// Removes the temporary files that sessions of this user killed mid-write
// left in the file's folder: those of the temporary name's pattern, owned
// by this user, made before the call, and locked by no session.
void results_leftovers_remove(const results_output& output);

// The stop rule's target for a program's figures under the session's options.
spread_target results_spread_target(const session& s, const std::string& program);

// One Markdown table row: host, then each benchmark's median on the first
// device in the order of the table of benchmarks (rectangle MPixels/s,
// Mandelbrot seconds, Sierpinski frames/s at the first and the last level);
// "-" where missing. The screen's figures, or the display's, whose row names
// the host "host (display)"; empty for the display when it was not measured.
std::string results_summary_row(const session& s, run_target target = run_target::device);

// The header of that row and the line under it, naming the Sierpinski levels
// the row holds, so that rows of several boards are known to be comparable
// ("Sierpinski 1024 points (frames/s)").
std::string results_summary_header(const session& s);

// The current UTC time, ISO 8601 ("2026-12-08T17:40:00Z").
std::string utc_now_iso();
