// The command line of fbbench.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum class display_sync { automatic, always, never };

// As the results file names it: "auto", "always" or "never".
const char* options_sync_name(display_sync sync);

struct runner_options {
    int runs = 3; // valid runs at least, per benchmark, device and target
    int max_runs = 10;
    int spread_percent = 3; // more runs while the spread is above this
    int warmup = 0; // uncounted runs before the counted ones
    // Seconds a run may take before it is stopped: the slowest board's
    // Mandelbrot with a wide margin (see the manual page).
    int timeout_seconds = 600;
    bool memory = true; // RAM runs beside the screen runs
    bool probe = true;
    // The display target (FBBENCH_SYNC=frame): where the picture needs a flush,
    // on every device (--sync) or on none (--no-sync).
    display_sync sync = display_sync::automatic;
    bool quiet = false; // no progress, description or closing note: only the table, warnings and errors
    bool describe = false; // describe the machine and devices, run nothing
    bool summary = false;
    bool strict = false;
    bool force = false; // replace an earlier session's results file at once, not after the first run
    // One run each and a shorter ladder where a benchmark has levels: a
    // first look, not for comparison with full sessions.
    bool quick = false;
    bool no_wait = false; // refuse, rather than wait, when another session holds a device
    // FBBENCH_LEVELS as inherited, where it cuts a full session's ladder; 0: the whole ladder.
    uint32_t levels = 0;
    std::string output; // empty: fbbench-<host>-<UTC time>.json
    std::string programs_dir; // empty: next to fbbench, else PATH
    std::vector<std::string> devices; // each once; empty: FRAMEBUFFER as inherited
    std::vector<std::string> programs; // in the order to run
};

enum class options_action { run, help, version, list_benchmarks, usage_error };

// Parses argv with getopt_long. On usage_error, message holds one line
// naming what is wrong.
options_action options_parse(int argc, char* const argv[], runner_options& options, std::string& message);

// One line when --timeout is too short for a program to finish even one
// run (what it draws for a fixed time, and a second to start and end);
// empty otherwise.
std::string options_timeout_refusal(const runner_options& options);

// The benchmark programs fbbench knows, in their default order.
const std::vector<std::string>& options_known_programs();

void options_usage_print(std::FILE* out);

// One line or more per option, its default where it has one.
void options_help_print(std::FILE* out);
