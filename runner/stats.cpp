#include "stats.h"

#include <algorithm>
#include <cmath>

double stats_median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double stats_spread_limit(double median, const spread_target& target)
{
    const double coarse = median != 0 ? 2 * target.resolution / std::fabs(median) * 100 : 0;
    return std::max(double(target.spread_percent), coarse);
}

value_stats stats_compute(std::vector<double> values, const spread_target& target)
{
    value_stats s;
    s.runs = values.size();
    s.median = stats_median(values);
    const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
    s.min = *lo;
    s.max = *hi;
    double sum = 0;
    for (double v : values)
        sum += v;
    s.mean = sum / double(values.size());
    if (values.size() > 1) {
        double squares = 0;
        for (double v : values)
            squares += (v - s.mean) * (v - s.mean);
        s.stddev = std::sqrt(squares / double(values.size() - 1));
        if (s.median != 0)
            s.spread_percent = (s.max - s.min) / std::fabs(s.median) * 100;
        // Two decimals apart by exactly two quanta must not fail by rounding.
        s.settled = s.spread_percent && *s.spread_percent <= stats_spread_limit(s.median, target) * (1 + 1e-9);
    }
    s.resolution_limited = std::fabs(s.median) < 100 * target.resolution;
    return s;
}

std::vector<std::size_t> stats_outliers(const std::vector<double>& values)
{
    std::vector<std::size_t> outliers;
    if (values.size() < 3)
        return outliers;
    const double median = stats_median(values);
    std::vector<double> deviations;
    double deviation_sum = 0;
    for (double v : values) {
        deviations.push_back(std::fabs(v - median));
        deviation_sum += deviations.back();
    }
    // Scaled so that either estimates the standard deviation of normal values.
    double scale = stats_median(deviations) / 0.6745;
    if (scale == 0)
        scale = 1.2533 * deviation_sum / double(values.size());
    if (scale == 0)
        return outliers;
    for (std::size_t i = 0; i < values.size(); ++i)
        if (deviations[i] / scale > 3.5)
            outliers.push_back(i);
    return outliers;
}

bool stats_more_needed(const std::vector<std::vector<double>>& metric_values, std::size_t valid_runs, int runs,
                       int max_runs, const spread_target& target)
{
    if (valid_runs < std::size_t(runs))
        return true;
    if (valid_runs >= std::size_t(max_runs))
        return false;
    return std::any_of(metric_values.begin(), metric_values.end(), [&](const std::vector<double>& values) {
        return !values.empty() && !stats_compute(values, target).settled;
    });
}

bool stats_first_slow(const std::vector<double>& values, bool higher_is_better)
{
    if (values.size() < 3)
        return false;
    const std::vector<double> rest(values.begin() + 1, values.end());
    const double median = stats_median(rest);
    const double first = values[0];
    const auto [lo, hi] = std::minmax_element(rest.begin(), rest.end());
    const bool worst = higher_is_better ? first < *lo : first > *hi;
    return worst && std::fabs(first - median) > 0.1 * std::fabs(median);
}

std::optional<double> stats_speedup(double first, double second, bool higher_is_better)
{
    if (!(first > 0) || !(second > 0))
        return std::nullopt;
    return higher_is_better ? first / second : second / first;
}

bool stats_clock_stepped(double realtime_seconds, double monotonic_seconds)
{
    return std::fabs(realtime_seconds - monotonic_seconds) > 0.01 + 0.001 * monotonic_seconds;
}

clock_change stats_clock_change(const std::vector<clock_sample>& samples)
{
    clock_change change;
    if (samples.size() < 2)
        return change;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        const double span = samples[i].monotonic - samples[i - 1].monotonic;
        const double moved = samples[i].offset - samples[i - 1].offset;
        if (stats_clock_stepped(span + moved, span)) {
            ++change.steps;
            change.stepped_seconds += moved;
        } else {
            change.drift_seconds += moved;
        }
    }
    change.seconds = samples.back().monotonic - samples.front().monotonic;
    return change;
}
