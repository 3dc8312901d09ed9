// The benchmarks fbbench knows, in one table: each program, the metric its
// report gives, the unit, which way is better, the report's lines and the
// resolution of the printed figure. Report parsing, the options, the table,
// the summary row and the results file all read it.
#pragma once

#include "benchlib.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

struct benchmark {
    const char* name; // "rectangle-bench"
    const char* label; // "rectangle": the short name in tables and summaries
    const char* drawn; // "rectangles": what it draws, in warnings and verdicts
    const char* flush_unit; // "rectangle": what FBBENCH_SYNC=frame flushes at a time
    const char* metric; // "fill rate"; Sierpinski's gets " at N points" per level
    const char* unit; // "MPixels/s"
    bool higher_is_better;
    bool per_level; // one metric per Sierpinski level, by points per frame
    const char* title; // the report's first line
    const char* line_format; // the printf format of its value lines
    double resolution; // the quantum of the printed figure, in unit
    double run_seconds; // a run's expected length; 0 when it depends on the window
    double least_seconds; // the shortest a run can be, whatever the window: drawing that the clock ends
    uint32_t quick_levels; // --quick's ladder, for a per-level benchmark; 0: the full run
};

// The three, in their default order.
const std::vector<benchmark>& benchmarks();

// The table as JSON, {"benchmarks": [...]}: the manifest that the build
// installs for the tools that do not link this library.
nlohmann::json benchmarks_manifest();

// What a --quick run of the benchmark gets in its environment, as NAME=value.
std::vector<std::string> benchmark_quick_environment(const benchmark& b);

// FBBENCH_LEVELS as inherited, when one of the programs climbs a ladder:
// levels is the height it cuts the ladder to, 0 when it cuts nothing (unset,
// empty, all the levels, or no such program). Empty, or the one line that
// refuses the value.
std::string benchmark_levels_read(const std::vector<std::string>& programs, uint32_t& levels);

// The entry of a program, or nullptr.
const benchmark* benchmark_find(const std::string& name);

// The smallest window, no smaller than window in either direction, in which
// the program draws something; nothing when window itself will do. A
// Sierpinski window is judged by the program's own rule.
std::optional<bench_window> benchmark_window_smallest(const std::string& name, const bench_window& window);
