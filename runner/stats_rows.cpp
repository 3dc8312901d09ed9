#include "stats_rows.h"

#include "benchmarks.h"
#include "plan.h"

#include <algorithm>

std::vector<double> stats_values(const session& s, const std::string& program, const std::string& path,
                                 run_target target, const std::string& metric)
{
    std::vector<double> values;
    for (const run_record& r : s.runs)
        if (run_counted(r, program, path) && r.target == target)
            for (const report_value& v : r.values)
                if (v.metric == metric)
                    values.push_back(v.value);
    return values;
}

std::size_t stats_counted(const session& s, const std::string& program, const std::string& path, run_target target)
{
    return std::size_t(std::count_if(s.runs.begin(), s.runs.end(), [&](const run_record& r) {
        return run_counted(r, program, path) && r.target == target;
    }));
}

spread_target stats_spread_target(const session& s, const std::string& program)
{
    const benchmark* b = benchmark_find(program);
    return {s.options.spread_percent, b != nullptr ? b->resolution : 0.01};
}

namespace {

// How many times faster one target's figure is than another's.
std::optional<double> row_speedup(const result_row& row, run_target faster, run_target than)
{
    const std::optional<value_stats>& a = result_row_stats(row, faster);
    const std::optional<value_stats>& b = result_row_stats(row, than);
    if (!a || !b)
        return std::nullopt;
    return stats_speedup(a->median, b->median, row.metric.higher_is_better);
}

// Only a figure of whole frames can be held against the refresh; where the
// display presented frames, they are measured instead.
std::optional<double> glass_limit(const session& s, const result_row& row)
{
    const std::optional<value_stats>& display = result_row_stats(row, run_target::display);
    const benchmark* b = benchmark_find(row.program);
    if (!display || b == nullptr || !b->per_level || stats_counted(s, row.program, row.path, run_target::presented) > 0)
        return std::nullopt;
    const std::optional<double> hz = plan_find(s, row.path).refresh_hz;
    if (!hz || display->median <= *hz)
        return std::nullopt;
    return hz;
}

} // namespace

void stats_rows_update(session& s)
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
            const spread_target spread = stats_spread_target(s, r.program);
            for (run_target t : run_targets_all)
                if (auto values = stats_values(s, r.program, r.path, t, v.metric); !values.empty())
                    result_row_stats(row, t) = stats_compute(values, spread);
            row.screen_vs_memory = row_speedup(row, run_target::device, run_target::memory);
            row.display_vs_screen = row_speedup(row, run_target::display, run_target::device);
            row.presented_vs_screen = row_speedup(row, run_target::presented, run_target::device);
            row.glass_limit_hz = glass_limit(s, row);
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
    s.rows = std::move(rows);
}
