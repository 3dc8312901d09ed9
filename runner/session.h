// What a session gathers as it goes, in the order of its phases: the devices
// and their windows, the description, the plan, each run's record, the
// statistics of the rows, failures and warnings. Every phase reads it; each
// writes only its own part.
#pragma once

#include "cli.h"
#include "presented.h"
#include "report.h"
#include "stats.h"
#include "targets.h"
#include "describe.h"

#include "benchlib.h"

#include <array>
#include <nlohmann/json.hpp>
#include <optional>
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
    // How far the wall clock, which the programs time with, drifted from the
    // monotonic clock over the run, in percent; only beyond the tolerance.
    std::optional<double> clock_drift_percent;
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
    uint32_t width = 0, height = 0, bits_per_pixel = 0, row_bytes = 0;
    bench_window window;
    std::string window_error; // one line when the programs would refuse the window
    std::vector<std::string> defaulted; // of WIDTH, HEIGHT, POSX, POSY: those not set, as "width", ...
};

// What the session runs on a device, read from its description once.
struct device_plan {
    std::string path;
    std::vector<run_target> targets; // in the order a benchmark's runs alternate
    std::string display_dropped; // why the display, asked for, is not run: its flush failed
    std::string presented_dropped; // why presented is not run on a DRM card
    bool presented_planned = false; // presented was planned, whether or not a run dropped it since
    bool flush_has_effect = true; // false where the description found the flush does nothing
    std::optional<double> refresh_hz; // the display's: measured from vblank events, else the mode's
    std::optional<double> presented_refresh_hz; // the measured refresh that flips are held to
    std::optional<double> updates_per_second; // the full-screen update probe's
    std::string refresh_text; // "refresh 60.0 Hz measured", "mode 60 Hz, ...": empty when unknown
};

// One row of results: a metric of a program on a device, every target, with
// the comparisons between them.
struct result_row {
    std::string program;
    std::string path;
    report_value metric; // name, unit, direction, points; value unused
    std::array<std::optional<value_stats>, std::size(run_targets_all)> stats; // by target; see result_row_stats
    // How many times faster, above 1 better (stats_speedup): the screen than
    // RAM, the display and the presented frames than the screen.
    std::optional<double> screen_vs_memory{}, display_vs_screen{}, presented_vs_screen{};
    // Where the display's figure is frames per second above the refresh:
    // the refresh, the most that can reach the glass. Nothing where the
    // presented frames were measured.
    std::optional<double> glass_limit_hz{};
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

struct session {
    runner_options options;
    std::string host;
    std::string started; // UTC, ISO 8601
    std::vector<std::string> devices; // paths, in order, each once
    std::vector<device_screen> screens; // one per device, in the same order
    std::vector<std::pair<std::string, std::string>> window; // the window variables set
    system_description system;
    std::vector<device_description> device_descriptions; // one per device described, in order
    std::vector<device_plan> plan; // one per device, from the description (plan_make)
    std::vector<run_record> runs;
    std::vector<result_row> rows; // the statistics of the runs so far (stats_rows_update)
    std::vector<bench_failure> failures;
    std::vector<run_warning> warnings;
    bool complete = false; // not stopped: the file says complete only when no benchmark failed either
};
