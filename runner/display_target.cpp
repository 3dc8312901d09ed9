#include "display_target.h"

#include "benchlib.h"
#include "describe.h"
#include "presented.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

bool display_flush_needed(const nlohmann::json& device)
{
    if (!device.is_object())
        return false;
    if (device.value("kind", "") == "drm")
        return display_flush_has_effect(device);
    const nlohmann::json& mapping = device.value("mapping", nlohmann::json::object());
    return mapping.is_object() && mapping.value("class", "") == "deferred-io";
}

bool display_flush_has_effect(const nlohmann::json& device)
{
    const nlohmann::json& display = device.value("display", nlohmann::json::object());
    const nlohmann::json& flush = display.is_object() ? display.value("flush", nlohmann::json::object())
                                                      : nlohmann::json::object();
    return !flush.is_object() || flush.value("needed", true) != false;
}

namespace {

bool display_wanted(const runner_options& options, const nlohmann::json& device)
{
    return (options.sync == display_sync::always && display_flush_has_effect(device))
        || (options.sync == display_sync::automatic && display_flush_needed(device));
}

} // namespace

std::string display_target_dropped(const runner_options& options, const nlohmann::json& device)
{
    if (!device.is_object() || !display_wanted(options, device))
        return "";
    const nlohmann::json& flush = device.value("display", nlohmann::json::object()).value("flush", nlohmann::json::object());
    return flush.is_object() && flush.contains("error") && flush["error"].is_string() ? flush["error"].get<std::string>()
                                                                                       : "";
}

std::vector<run_target> device_targets(const runner_options& options, const nlohmann::json& device)
{
    std::vector<run_target> targets = {run_target::device};
    if (options.memory)
        targets.push_back(run_target::memory);
    if (display_wanted(options, device) && display_target_dropped(options, device).empty())
        targets.push_back(run_target::display);
    if (presented_wanted(options, device))
        targets.push_back(run_target::presented);
    return targets;
}

const nlohmann::json& device_description_find(const session& s, const std::string& path)
{
    static const nlohmann::json none = nlohmann::json::object();
    for (const nlohmann::json& device : s.device_descriptions)
        if (device.is_object() && device.value("path", "") == path)
            return device;
    return none;
}

std::optional<double> display_refresh_hz(const nlohmann::json& device)
{
    if (!device.is_object() || !device.contains("display") || !device["display"].is_object())
        return std::nullopt;
    const nlohmann::json& refresh = device["display"].value("refresh", nlohmann::json::object());
    if (!refresh.is_object())
        return std::nullopt;
    for (const char* key : {"median_hz", "nominal_hz"})
        if (refresh.contains(key) && refresh[key].is_number() && refresh[key].get<double>() > 0)
            return refresh[key].get<double>();
    return std::nullopt;
}

std::optional<double> display_glass_limit(const session& s, const result_row& row)
{
    const std::optional<value_stats>& display = result_row_stats(row, run_target::display);
    const benchmark* b = benchmark_find(row.program);
    // Only a figure of whole frames can be held against the refresh; where
    // the display presented frames, they are measured instead.
    if (!display || b == nullptr || !b->per_level || presented_measured(s, row.program, row.path))
        return std::nullopt;
    const std::optional<double> hz = display_refresh_hz(device_description_find(s, row.path));
    if (!hz || display->median <= *hz)
        return std::nullopt;
    return hz;
}

std::optional<double> display_vs_screen(const result_row& row)
{
    const std::optional<value_stats>& device = result_row_stats(row, run_target::device);
    const std::optional<value_stats>& display = result_row_stats(row, run_target::display);
    if (!device || !display)
        return std::nullopt;
    return stats_speedup(display->median, device->median, row.metric.higher_is_better);
}

namespace {

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

void display_drop_warning_add(session& s, const std::string& program, const std::string& path,
                              const std::vector<result_row>& rows)
{
    const result_row* worst = nullptr;
    for (const result_row& row : rows) {
        if (row.program != program || row.path != path)
            continue;
        const std::optional<double> share = display_vs_screen(row);
        if (share && *share < 0.5 && (worst == nullptr || *share < *display_vs_screen(*worst)))
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
    run_warning_add(s.warnings, "display-drop", message);
}

void display_noise_warning_add(session& s, const std::string& program, const std::string& path,
                               const std::vector<result_row>& rows)
{
    const result_row* worst = nullptr;
    for (const result_row& row : rows)
        if (row.program == program && row.path == path && display_vs_screen(row).value_or(0) > display_noise_ratio
            && (worst == nullptr || *display_vs_screen(row) > *display_vs_screen(*worst)))
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
                  program.c_str(), bench_text_escape(path).c_str(), *display_vs_screen(*worst), worst->metric.metric.c_str(), shown, drawn,
                  worst->metric.unit.c_str(), display_runs.find(',') == std::string::npos ? "" : "s",
                  display_runs.empty() ? "none alone" : display_runs.c_str());
    run_warning_add(s.warnings, "display-noise", message);
}

std::string percent_text(double share)
{
    char text[32];
    std::snprintf(text, sizeof text, share * 100 < 9.95 ? "%.1f %%" : "%.0f %%", share * 100);
    return text;
}

} // namespace

void display_warnings_add(session& s, const std::string& program, const std::string& path)
{
    const std::vector<result_row> rows = results_rows(s);
    display_drop_warning_add(s, program, path, rows);
    display_noise_warning_add(s, program, path, rows);
}

bool presented_measured(const session& s, const std::string& program, const std::string& path)
{
    return std::any_of(s.runs.begin(), s.runs.end(), [&](const run_record& r) {
        return run_counted(r, program, path) && r.target == run_target::presented;
    });
}

std::optional<nlohmann::json> presented_summary(const session& s, const std::string& path)
{
    const nlohmann::json& device = device_description_find(s, path);
    if (const std::string reason = presented_target_dropped(s.options, device); !reason.empty())
        return nlohmann::json{{"dropped", reason}};
    const std::optional<double> hz = presented_refresh_hz(device);
    if (!hz || !presented_wanted(s.options, device))
        return std::nullopt;
    nlohmann::json programs = nlohmann::json::array();
    for (const benchmark& b : benchmarks()) {
        std::vector<double> fps, missed, median_ms, p99_ms;
        uint64_t flagged = 0, lost = 0;
        for (const run_record& r : s.runs) {
            if (!r.valid || r.warmup || r.program != b.name || r.path != path || r.target != run_target::presented
                || !r.presented)
                continue;
            const presented_figures f = presented_compute(*r.presented, *hz);
            fps.push_back(f.frames_per_second);
            missed.push_back(double(f.missed_vblanks));
            median_ms.push_back(f.interval_median_ms);
            p99_ms.push_back(f.interval_p99_ms);
            flagged += f.intervals_flagged;
            lost += f.frames_lost;
        }
        if (fps.empty())
            continue;
        const auto rounded = [](double value, double quantum) { return std::round(value / quantum) * quantum; };
        programs.push_back({{"program", b.name}, {"runs", fps.size()},
                              {"frames_per_second", rounded(stats_median(fps), 0.001)},
                              {"missed_vblanks", rounded(stats_median(missed), 0.5)},
                              {"interval_median_ms", rounded(stats_median(median_ms), 0.001)},
                              {"interval_p99_ms", rounded(stats_median(p99_ms), 0.001)},
                              {"intervals_flagged", flagged}, {"runs_with_frames_lost", lost}});
    }
    return nlohmann::json{{"refresh_hz", *hz}, {"benchmarks", programs}};
}

namespace {

// "rectangle: 60.0 frames/s presented at 60.0 Hz measured, 0 missed", a
// clause a benchmark with presented runs on the device.
std::vector<std::string> presented_clauses(const session& s, const std::string& path)
{
    std::vector<std::string> clauses;
    const std::optional<nlohmann::json> summary = presented_summary(s, path);
    if (!summary || !summary->contains("benchmarks"))
        return clauses;
    for (const nlohmann::json& b : (*summary)["benchmarks"]) {
        const benchmark* entry = benchmark_find(b["program"].get<std::string>());
        char text[200];
        std::snprintf(text, sizeof text, "%s: %.1f frames/s presented at %.1f Hz measured, %.0f missed",
                      entry != nullptr ? entry->label : b["program"].get<std::string>().c_str(),
                      b["frames_per_second"].get<double>(), (*summary)["refresh_hz"].get<double>(),
                      b["missed_vblanks"].get<double>());
        clauses.push_back(text);
    }
    return clauses;
}

} // namespace

std::string presented_line(const session& s, const std::string& path)
{
    const std::optional<nlohmann::json> summary = presented_summary(s, path);
    if (!summary)
        return "";
    if (summary->contains("dropped"))
        return bench_text_escape(path) + ": presented dropped (" + (*summary)["dropped"].get<std::string>() + ")";
    std::string line;
    for (const std::string& clause : presented_clauses(s, path))
        line += (line.empty() ? bench_text_escape(path) + ": " : "; ") + clause;
    return line;
}

std::string display_verdict(const session& s, const std::string& path)
{
    std::vector<std::string> clauses;
    const std::vector<result_row> rows = results_rows(s);
    // Where the display presented frames, they are measured: no cap.
    const std::vector<std::string> presented = presented_clauses(s, path);
    for (const benchmark& b : benchmarks()) {
        std::optional<double> least, most, glass;
        for (const result_row& row : rows) {
            if (row.program != b.name || row.path != path)
                continue;
            if (const std::optional<double> share = display_vs_screen(row)) {
                least = std::min(least.value_or(*share), *share);
                most = std::max(most.value_or(*share), *share);
            }
            if (const std::optional<double> limit = display_glass_limit(s, row))
                glass = limit;
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
    const nlohmann::json& device = device_description_find(s, path);
    if (clauses.empty() && device.is_object() && !display_flush_has_effect(device)) {
        std::string verdict = path + ": " + no_flush_needed + ": the display shows the screen memory as it is drawn, "
                            + "so the screen's figures are the display's";
        for (const std::string& clause : presented)
            verdict += "; " + clause;
        return verdict;
    }
    clauses.insert(clauses.begin(), presented.begin(), presented.end());
    if (clauses.empty())
        return "";
    const nlohmann::json& display = device.value("display", nlohmann::json::object());
    const nlohmann::json& probe = display.is_object() ? display.value("update_probe", nlohmann::json::object())
                                                      : nlohmann::json::object();
    char text[120];
    if (probe.is_object() && probe.contains("updates_per_second") && probe["updates_per_second"].is_number()) {
        std::snprintf(text, sizeof text, "%.0f full-screen updates/s", probe["updates_per_second"].get<double>());
        clauses.push_back(text);
    }
    const nlohmann::json& refresh = display.is_object() ? display.value("refresh", nlohmann::json::object())
                                                        : nlohmann::json::object();
    if (refresh.is_object() && refresh.contains("median_hz") && refresh["median_hz"].is_number()) {
        std::snprintf(text, sizeof text, "refresh %.1f Hz measured", refresh["median_hz"].get<double>());
        clauses.push_back(text);
    } else if (refresh.is_object() && refresh.contains("nominal_hz") && refresh["nominal_hz"].is_number()) {
        std::snprintf(text, sizeof text, "mode %.0f Hz, %s", refresh["nominal_hz"].get<double>(),
                      refresh.value("status", "refresh not measured").c_str());
        clauses.push_back(text);
    }
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
