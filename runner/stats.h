// Statistics of repeated runs, and the rules that decide whether a run
// counts and whether more runs are needed.
#pragma once

#include <cstddef>
#include <vector>

struct value_stats {
    double median = 0;
    double min = 0;
    double max = 0;
    double spread_percent = 0; // (max - min) / median * 100; 0 when the median is 0
    std::size_t runs = 0;
};

// Statistics of at least one value.
value_stats stats_compute(std::vector<double> values);

double stats_median(std::vector<double> values);

// Indices of the values whose modified z-score, 0.6745 (x - median) / MAD,
// exceeds 3.5 in magnitude. None when the median absolute deviation is 0.
std::vector<std::size_t> stats_outliers(const std::vector<double>& values);

// Whether another run is needed: below the minimum count, or above the
// spread (in any of the metrics' value lists) and below the maximum.
bool stats_more_needed(const std::vector<std::vector<double>>& metric_values, std::size_t valid_runs, int runs,
                       int max_runs, int spread_percent);

// Whether the first of three or more values is much worse than the others:
// beyond all of them and more than 10 % off their median.
bool stats_first_slow(const std::vector<double>& values, bool higher_is_better);

// Whether the wall clock was stepped during a run: its elapsed time differs
// from the monotonic clock's by more than 1 ms plus 0.1 %.
bool stats_clock_stepped(double realtime_seconds, double monotonic_seconds);
