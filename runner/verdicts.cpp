#include "verdicts.h"

#include "benchmarks.h"
#include "describe.h"
#include "plan.h"
#include "stats_rows.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

namespace {

// Where a warning or verdict names a program's runs on a device.
struct bench_place {
    const std::string& program;
    const std::string& path;
    std::string shown_path = bench_text_escape(path);
};

std::string numbers_text(const std::set<std::size_t>& numbers)
{
    std::string text;
    for (std::size_t n : numbers)
        text += (text.empty() ? "" : ", ") + std::to_string(n);
    return text;
}

// A larger window to name for a figure under 1 % resolution: for a time, one
// with enough pixels for 100 quanta at the time a pixel takes now, where it
// still fits at POSX and POSY, else at the corner; for a rate, the whole
// screen.
std::string window_advice(const session& s, const std::string& path, const result_row& row, double median,
                          double resolution)
{
    const auto device = std::find_if(s.screens.begin(), s.screens.end(), [&](const device_screen& d) {
        return d.path == path;
    });
    if (device == s.screens.end() || !device->error.empty() || !device->window_error.empty())
        return "use a larger window";
    const bench_window& w = device->window;
    const bool whole = uint32_t(w.width) == device->width && uint32_t(w.height) == device->height;
    if (!row.metric.higher_is_better && median > 0 && w.width > 0 && w.height > 0) {
        const double factor = std::sqrt(100 * resolution / median);
        const long width = std::lround(std::ceil(w.width * factor)), height = std::lround(std::ceil(w.height * factor));
        const std::string about = " (about " + std::to_string(long(100 * resolution)) + ".00 " + row.metric.unit + ")";
        const std::string size = "WIDTH=" + std::to_string(width) + " HEIGHT=" + std::to_string(height);
        if (w.posx + width <= long(device->width) && w.posy + height <= long(device->height))
            return "use a larger window, e.g. " + size + " at the same POSX and POSY" + about;
        if (width <= long(device->width) && height <= long(device->height))
            return "use a larger window, e.g. " + size + " POSX=0 POSY=0" + about;
    }
    if (!whole)
        return "use a larger window, e.g. the whole " + std::to_string(device->width) + "x"
             + std::to_string(device->height) + " screen (WIDTH, HEIGHT, POSX and POSY unset)";
    return "the whole screen is in use already: no larger window is possible";
}

// One warning for a benchmark's figures under 1 % resolution on a device,
// whichever targets they are on: each target's figure, and one window that
// gives the slowest target about 100 quanta.
void resolution_warning_add(std::vector<run_warning>& out, const session& s, const bench_place& b,
                            const std::vector<run_target>& targets)
{
    const spread_target spread = stats_spread_target(s, b.program);
    const result_row* first = nullptr;
    std::size_t coarse = 0;
    for (const result_row& row : s.rows) {
        if (row.program != b.program || row.path != b.path)
            continue;
        const bool limited = std::any_of(targets.begin(), targets.end(), [&](run_target t) {
            const std::optional<value_stats>& st = result_row_stats(row, t);
            return st && st->resolution_limited;
        });
        if (limited && coarse++ == 0)
            first = &row;
    }
    if (first == nullptr)
        return;
    std::string figures;
    const value_stats* slowest = nullptr;
    run_target slowest_target = run_target::device;
    for (run_target t : targets) {
        const std::optional<value_stats>& st = result_row_stats(*first, t);
        if (!st || !st->resolution_limited)
            continue;
        char figure[80];
        std::snprintf(figure, sizeof figure, "%s%s %.2f %s", figures.empty() ? "" : ", ", run_target_label(t),
                      st->median, first->metric.unit.c_str());
        figures += figure;
        const bool slower = slowest == nullptr || (first->metric.higher_is_better ? st->median < slowest->median
                                                                                  : st->median > slowest->median);
        if (slower)
            slowest = &*st, slowest_target = t;
    }
    std::string others;
    if (coarse > 1)
        others = " (and " + std::to_string(coarse - 1) + " more of its figures)";
    char text[600];
    std::snprintf(text, sizeof text,
                  "%s on %s %s is under 1 %% resolution (%s)%s, the report printing steps of %.2f; %s, the %s being "
                  "the slowest",
                  b.program.c_str(), b.shown_path.c_str(), first->metric.metric.c_str(), figures.c_str(), others.c_str(),
                  spread.resolution,
                  window_advice(s, b.path, *first, slowest->median, spread.resolution).c_str(),
                  run_target_label(slowest_target));
    out.push_back({"resolution", text});
}

// The warnings of a benchmark on a device and target, each once: runs that
// did not settle, outliers, a slow first run and competing work, each
// naming what to do.
void bench_warnings_add(std::vector<run_warning>& out, const session& s, const bench_place& b, run_target target)
{
    const runner_options& o = s.options;
    const std::string where = b.program + " on " + b.shown_path + " (" + run_target_label(target) + ")";
    // The counted runs of this target, numbered from 1.
    std::vector<const run_record*> counted;
    for (const run_record& r : s.runs)
        if (run_counted(r, b.program, b.path) && r.target == target)
            counted.push_back(&r);

    const spread_target spread = stats_spread_target(s, b.program);
    const result_row* worst = nullptr;
    double worst_excess = 0;
    std::set<std::size_t> outlier_runs;
    std::vector<std::string> outlier_metrics;
    bool slow = false;
    for (const result_row& row : s.rows) {
        if (row.program != b.program || row.path != b.path)
            continue;
        const std::optional<value_stats>& st = result_row_stats(row, target);
        if (!st)
            continue;
        if (!st->settled) {
            const double excess = st->spread_percent ? *st->spread_percent / stats_spread_limit(st->median, spread) : 1e9;
            if (worst == nullptr || excess > worst_excess)
                worst = &row, worst_excess = excess;
        }
        std::vector<double> values;
        std::vector<std::size_t> numbers;
        for (std::size_t i = 0; i < counted.size(); ++i)
            for (const report_value& v : counted[i]->values)
                if (v.metric == row.metric.metric)
                    values.push_back(v.value), numbers.push_back(i + 1);
        // A slow first run is its own warning; the others are judged without
        // it, so that its distance cannot make them look like outliers.
        const bool first_slow = stats_first_slow(values, row.metric.higher_is_better);
        const std::size_t skipped = first_slow ? 1 : 0;
        const std::vector<std::size_t> outliers =
            stats_outliers(std::vector<double>(values.begin() + std::ptrdiff_t(skipped), values.end()));
        for (std::size_t i : outliers)
            outlier_runs.insert(numbers[i + skipped]);
        if (!outliers.empty())
            outlier_metrics.push_back(row.metric.metric);
        slow = slow || first_slow;
    }
    char text[600];
    if (worst != nullptr) {
        const value_stats& st = *result_row_stats(*worst, target);
        char spread_shown[48] = "undefined (median 0)";
        if (st.spread_percent)
            std::snprintf(spread_shown, sizeof spread_shown, "%.1f %%", *st.spread_percent);
        std::snprintf(text, sizeof text,
                      "%s did not settle in %zu runs: the spread of its %s is %s, above the target of %.1f %%; "
                      "measure on a quieter machine, or allow more runs with --max-runs",
                      where.c_str(), st.runs, worst->metric.metric.c_str(), spread_shown,
                      stats_spread_limit(st.median, spread));
        out.push_back({"not-settled", text});
    }
    if (!outlier_runs.empty()) {
        std::string metrics = outlier_metrics.front();
        if (outlier_metrics.size() > 1)
            metrics += " and " + std::to_string(outlier_metrics.size() - 1) + " more";
        out.push_back({"outlier",
                    std::string(run_target_label(target)) + " run" + (outlier_runs.size() == 1 ? " " : "s ")
                        + numbers_text(outlier_runs) + " of " + b.program + " on " + b.shown_path + " gave outliers ("
                        + metrics + "); measure on a quiet machine"});
    }
    if (slow)
        out.push_back({"slow-first-run",
                    "the first " + std::string(run_target_label(target)) + " run of " + b.program + " on " + b.shown_path
                        + " was much slower than the rest; consider --warmup " + std::to_string(o.warmup + 1)});
    std::set<std::size_t> busy_runs;
    double busiest = 0;
    for (std::size_t i = 0; i < counted.size(); ++i)
        if (counted[i]->competing) {
            busy_runs.insert(i + 1);
            busiest = std::max(busiest, counted[i]->other_cpu_percent.value_or(0));
        }
    if (!busy_runs.empty()) {
        std::snprintf(text, sizeof text,
                      "other processes used up to %.1f %% of a core during %s run%s %s of %s on %s (more than "
                      "%.0f %%); stop them and measure again",
                      busiest, run_target_label(target), busy_runs.size() == 1 ? "" : "s", numbers_text(busy_runs).c_str(),
                      b.program.c_str(), b.shown_path.c_str(), competing_work_threshold_percent);
        out.push_back({"competing-work", text});
    }
    std::set<std::size_t> drift_runs;
    double drift = 0;
    for (std::size_t i = 0; i < counted.size(); ++i)
        if (const std::optional<double>& d = counted[i]->clock_drift_percent) {
            drift_runs.insert(i + 1);
            if (std::fabs(*d) > std::fabs(drift))
                drift = *d;
        }
    if (!drift_runs.empty()) {
        std::snprintf(text, sizeof text,
                      "the wall clock ran up to %.2f %% %s against the monotonic clock during %s run%s %s of %s on %s; "
                      "the program times with the wall clock, so its figures are off by as much: stop what keeps "
                      "setting the clock and measure again",
                      std::fabs(drift), drift > 0 ? "fast" : "slow", run_target_label(target),
                      drift_runs.size() == 1 ? "" : "s", numbers_text(drift_runs).c_str(), b.program.c_str(),
                      b.shown_path.c_str());
        out.push_back({"clock-drift", text});
    }
}


// Above this the display measured faster than the drawing it shows, which
// a flush cannot do: noise or a wrong measurement.
constexpr double display_noise_ratio = 1.05;

// The numbers, from 1, of the counted runs of a target whose figure of the
// metric beats the given one by more than the noise ratio.
std::string runs_beating(const session& s, const result_row& row, run_target target, double figure)
{
    std::string numbers;
    std::size_t n = 0;
    for (const run_record& r : s.runs) {
        if (!r.valid || r.warmup || r.program != row.program || r.path != row.path || r.target != target)
            continue;
        ++n;
        for (const report_value& v : r.values)
            if (v.metric == row.metric.metric
                && stats_speedup(v.value, figure, row.metric.higher_is_better).value_or(0) > display_noise_ratio)
                numbers += (numbers.empty() ? "" : ", ") + std::to_string(n);
    }
    return numbers;
}

void display_drop_warning_add(std::vector<run_warning>& out, const session& s, const std::string& program,
                              const std::string& path)
{
    const result_row* worst = nullptr;
    for (const result_row& row : s.rows) {
        if (row.program != program || row.path != path)
            continue;
        const std::optional<double> share = row.display_vs_screen;
        if (share && *share < 0.5 && (worst == nullptr || *share < *worst->display_vs_screen))
            worst = &row;
    }
    if (worst == nullptr)
        return;
    const double drawn = result_row_stats(*worst, run_target::device)->median;
    const double shown = result_row_stats(*worst, run_target::display)->median;
    // Each unit is pushed on its own; without those pushes the kernel may
    // batch the changes, so the figure is no upper bound of what is shown.
    const benchmark* b = benchmark_find(program);
    if (b == nullptr)
        return;
    std::string at_points;
    if (b->per_level)
        at_points = " at " + std::to_string(worst->metric.points) + " points";
    char message[300];
    if (b->higher_is_better)
        std::snprintf(message, sizeof message, "%s shows %.1f of the %.1f %s of %s drawn%s when each %s is flushed on its own",
                      bench_text_escape(path).c_str(), shown, drawn, b->unit, b->drawn, at_points.c_str(), b->flush_unit);
    else
        std::snprintf(message, sizeof message,
                      "%s takes %.2f %s to show the %s drawn in %.2f %s when each %s is flushed on its own", bench_text_escape(path).c_str(),
                      shown, b->unit, b->drawn, drawn, b->unit, b->flush_unit);
    out.push_back({"display-drop", message});
}

void display_noise_warning_add(std::vector<run_warning>& out, const session& s, const std::string& program,
                               const std::string& path)
{
    const result_row* worst = nullptr;
    for (const result_row& row : s.rows)
        if (row.program == program && row.path == path && row.display_vs_screen.value_or(0) > display_noise_ratio
            && (worst == nullptr || *row.display_vs_screen > *worst->display_vs_screen))
            worst = &row;
    if (worst == nullptr)
        return;
    const double drawn = result_row_stats(*worst, run_target::device)->median;
    const double shown = result_row_stats(*worst, run_target::display)->median;
    const std::string display_runs = runs_beating(s, *worst, run_target::display, drawn);
    char message[400];
    std::snprintf(message, sizeof message,
                  "%s on %s: the display measured %.2f times as fast as the screen (%s: %.2f against %.2f %s; display "
                  "run%s %s), which a flush cannot do: noise or a wrong measurement; measure again on a quiet machine",
                  program.c_str(), bench_text_escape(path).c_str(), *worst->display_vs_screen, worst->metric.metric.c_str(), shown, drawn,
                  worst->metric.unit.c_str(), display_runs.find(',') == std::string::npos ? "" : "s",
                  display_runs.empty() ? "none alone" : display_runs.c_str());
    out.push_back({"display-noise", message});
}

std::string percent_text(double share)
{
    char text[32];
    std::snprintf(text, sizeof text, share * 100 < 9.95 ? "%.1f %%" : "%.0f %%", share * 100);
    return text;
}

} // namespace

std::optional<presented_summary> presented_summarize(const session& s, const std::string& path)
{
    const device_plan& device = plan_find(s, path);
    if (!device.presented_dropped.empty())
        return presented_summary{.dropped = device.presented_dropped};
    const std::optional<double> hz = device.presented_refresh_hz;
    if (!hz || !plan_has(s, path, run_target::presented))
        return std::nullopt;
    presented_summary summary{.refresh_hz = *hz};
    for (const benchmark& b : benchmarks()) {
        std::vector<double> fps, missed, median_ms, p99_ms;
        presented_program p{.program = b.name};
        for (const run_record& r : s.runs) {
            if (!run_counted(r, b.name, path) || r.target != run_target::presented || !r.presented)
                continue;
            const presented_figures f = presented_compute(*r.presented, *hz);
            fps.push_back(f.frames_per_second);
            missed.push_back(double(f.missed_vblanks));
            median_ms.push_back(f.interval_median_ms);
            p99_ms.push_back(f.interval_p99_ms);
            p.intervals_flagged += f.intervals_flagged;
            p.runs_with_frames_lost += f.frames_lost;
        }
        if (fps.empty())
            continue;
        const auto rounded = [](double value, double quantum) { return std::round(value / quantum) * quantum; };
        p.runs = fps.size();
        p.frames_per_second = rounded(stats_median(fps), 0.001);
        p.missed_vblanks = rounded(stats_median(missed), 0.5);
        p.interval_median_ms = rounded(stats_median(median_ms), 0.001);
        p.interval_p99_ms = rounded(stats_median(p99_ms), 0.001);
        summary.programs.push_back(p);
    }
    return summary;
}

namespace {

// "rectangle: 60.0 frames/s presented at 60.0 Hz measured, 0 missed", a
// clause a benchmark with presented runs on the device.
std::vector<std::string> presented_clauses(const session& s, const std::string& path)
{
    std::vector<std::string> clauses;
    const std::optional<presented_summary> summary = presented_summarize(s, path);
    for (const presented_program& p : summary ? summary->programs : std::vector<presented_program>{}) {
        char text[200];
        std::snprintf(text, sizeof text, "%s: %.1f frames/s presented at %.1f Hz measured, %.0f missed",
                      benchmark_find(p.program)->label, p.frames_per_second, summary->refresh_hz, p.missed_vblanks);
        clauses.push_back(text);
    }
    return clauses;
}

} // namespace

std::string presented_line(const session& s, const std::string& path)
{
    const std::optional<presented_summary> summary = presented_summarize(s, path);
    if (!summary)
        return "";
    if (!summary->dropped.empty())
        return bench_text_escape(path) + ": presented dropped (" + summary->dropped + ")";
    std::string line;
    for (const std::string& clause : presented_clauses(s, path))
        line += (line.empty() ? bench_text_escape(path) + ": " : "; ") + clause;
    return line;
}

std::string display_verdict(const session& s, const std::string& path)
{
    std::vector<std::string> clauses;
    // Where the display presented frames, they are measured: no cap.
    const std::vector<std::string> presented = presented_clauses(s, path);
    for (const benchmark& b : benchmarks()) {
        std::optional<double> least, most, glass;
        for (const result_row& row : s.rows) {
            if (row.program != b.name || row.path != path)
                continue;
            if (const std::optional<double> share = row.display_vs_screen) {
                least = std::min(least.value_or(*share), *share);
                most = std::max(most.value_or(*share), *share);
            }
            if (row.glass_limit_hz)
                glass = row.glass_limit_hz;
        }
        if (!least)
            continue;
        // No more than all that is drawn can reach the display; a display
        // measured faster than the drawing is said to be noise.
        const double shown_least = std::min(*least, 1.0), shown_most = std::min(*most, 1.0);
        const std::string shares =
            percent_text(shown_least) + (shown_most - shown_least >= 0.005 ? " to " + percent_text(shown_most) : "");
        clauses.push_back(shares + " of the " + b.drawn + " drawn reach the display when each " + b.flush_unit
                          + " is flushed"
                          + (*most > display_noise_ratio ? " (measured faster than the drawing: noise)" : ""));
        if (glass && presented.empty()) {
            char text[80];
            std::snprintf(text, sizeof text, "at most %.0f frames/s reach the glass", *glass);
            clauses.push_back(text);
        }
    }
    const device_plan& device = plan_find(s, path);
    if (clauses.empty() && !device.flush_has_effect) {
        std::string verdict = path + ": " + no_flush_needed + ": the display shows the screen memory as it is drawn, "
                            + "so the screen's figures are the display's";
        for (const std::string& clause : presented)
            verdict += "; " + clause;
        return verdict;
    }
    clauses.insert(clauses.begin(), presented.begin(), presented.end());
    if (clauses.empty())
        return "";
    char text[120];
    if (device.updates_per_second) {
        std::snprintf(text, sizeof text, "%.0f full-screen updates/s", *device.updates_per_second);
        clauses.push_back(text);
    }
    if (!device.refresh_text.empty())
        clauses.push_back(device.refresh_text);
    double kernel = -1;
    for (const run_record& r : s.runs)
        if (r.valid && !r.warmup && r.path == path && r.target == run_target::display && r.kernel_cpu_percent)
            kernel = std::max(kernel, *r.kernel_cpu_percent);
    if (kernel >= 0.5) {
        std::snprintf(text, sizeof text, "kernel copy work: up to %.0f %% of a core", kernel);
        clauses.push_back(text);
    }
    std::string verdict = bench_text_escape(path) + ": ";
    for (std::size_t i = 0; i < clauses.size(); ++i)
        verdict += (i == 0 ? "" : "; ") + clauses[i];
    return verdict;
}

std::vector<run_warning> verdicts_bench(const session& s, const std::string& program, const std::string& path,
                                        const std::vector<run_target>& targets)
{
    std::vector<run_warning> out;
    const bench_place place{program, path};
    for (run_target t : targets)
        bench_warnings_add(out, s, place, t);
    resolution_warning_add(out, s, place, targets);
    display_drop_warning_add(out, s, program, path);
    display_noise_warning_add(out, s, program, path);
    return out;
}
