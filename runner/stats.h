// Statistics of repeated runs, and the rules that decide whether a run
// counts and whether more runs are needed.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

// What the stop rule is held to: the spread asked for and the quantum of the
// printed figure.
struct spread_target {
    int spread_percent = 3;
    double resolution = 0.01;
};

struct value_stats {
    double median = 0;
    double min = 0;
    double max = 0;
    double mean = 0;
    std::optional<double> stddev; // sample standard deviation; none for one value
    std::optional<double> spread_percent; // (max - min) / median * 100; none for one value or a median of 0
    std::size_t runs = 0;
    bool settled = true; // the spread is within the target; a single value is not judged
    bool resolution_limited = false; // the median is under 100 quanta: under 1 % resolution
};

// Statistics of at least one value.
value_stats stats_compute(std::vector<double> values, const spread_target& target = {});

double stats_median(std::vector<double> values);

// The spread, in percent, that the stop rule accepts: the target, or two
// quanta of the median when the figure is too coarse to show less.
double stats_spread_limit(double median, const spread_target& target);

// Indices of the values whose modified z-score, 0.6745 (x - median) / MAD,
// exceeds 3.5 in magnitude. When the MAD is 0 the mean absolute deviation
// around the median stands in, scaled by 1.2533 instead (its ratio to the
// standard deviation); none when that is 0 too.
std::vector<std::size_t> stats_outliers(const std::vector<double>& values);

// Whether another run is needed: below the minimum count, or below the
// maximum while any of the metrics' value lists has not settled.
bool stats_more_needed(const std::vector<std::vector<double>>& metric_values, std::size_t valid_runs, int runs,
                       int max_runs, const spread_target& target);

// Whether the first of three or more values is much worse than the others:
// beyond all of them and more than 10 % off their median.
bool stats_first_slow(const std::vector<double>& values, bool higher_is_better);

// How many times faster the first figure is than the second: their ratio
// for a rate, its inverse for a time, so that above 1 is always better.
// Nothing when a figure is not above 0.
std::optional<double> stats_speedup(double first, double second, bool higher_is_better);

// Whether the wall clock moved against the monotonic clock over a span:
// their elapsed times differ by more than 10 ms plus 0.1 %. NTP clients
// step by 128 ms or more and slew by at most 0.05 %.
bool stats_clock_stepped(double realtime_seconds, double monotonic_seconds);

// The wall clock's offset from the monotonic clock, at a monotonic time.
struct clock_sample {
    double monotonic = 0;
    double offset = 0;
};

// How the wall clock moved during a run, from samples a fraction of a
// second apart: the steps, each a change between two samples beyond the
// tolerance above, and the drift, the rest of the change. A clock set in
// steps too small to be told apart is drift: a repeated run would see it
// again.
struct clock_change {
    int steps = 0;
    double stepped_seconds = 0;
    double drift_seconds = 0;
    double seconds = 0; // monotonic, first sample to last
};
clock_change stats_clock_change(const std::vector<clock_sample>& samples);
