#include "stats.h"

#include <algorithm>
#include <cmath>

double stats_median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

value_stats stats_compute(std::vector<double> values)
{
    value_stats s;
    s.runs = values.size();
    s.median = stats_median(values);
    const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
    s.min = *lo;
    s.max = *hi;
    s.spread_percent = s.median != 0 ? (s.max - s.min) / std::fabs(s.median) * 100 : 0;
    return s;
}

std::vector<std::size_t> stats_outliers(const std::vector<double>& values)
{
    std::vector<std::size_t> outliers;
    if (values.size() < 3)
        return outliers;
    const double median = stats_median(values);
    std::vector<double> deviations;
    for (double v : values)
        deviations.push_back(std::fabs(v - median));
    const double mad = stats_median(deviations);
    if (mad == 0)
        return outliers;
    for (std::size_t i = 0; i < values.size(); ++i)
        if (0.6745 * std::fabs(values[i] - median) / mad > 3.5)
            outliers.push_back(i);
    return outliers;
}

bool stats_more_needed(const std::vector<std::vector<double>>& metric_values, std::size_t valid_runs, int runs,
                       int max_runs, int spread_percent)
{
    if (valid_runs < std::size_t(runs))
        return true;
    if (valid_runs >= std::size_t(max_runs))
        return false;
    return std::any_of(metric_values.begin(), metric_values.end(), [&](const std::vector<double>& values) {
        return !values.empty() && stats_compute(values).spread_percent > spread_percent;
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

bool stats_clock_stepped(double realtime_seconds, double monotonic_seconds)
{
    return std::fabs(realtime_seconds - monotonic_seconds) > 0.001 + 0.001 * monotonic_seconds;
}
