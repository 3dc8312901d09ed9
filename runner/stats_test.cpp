// The statistics of repeated runs and the rules built on them: when a
// figure has settled, when more runs are needed, a stepped clock, a slow
// first run and the speed ratios; the kernel threads' CPU time beside a run.
#include "kernel_work.h"
#include "runner_test_support.h"
#include "stats.h"

#include <cmath>
#include <fstream>

namespace {

struct stats_case {
    std::vector<double> values;
    double median, min, max, mean;
    std::optional<double> stddev, spread;
    bool settled, resolution_limited;
    std::vector<std::size_t> outliers;
};

TEST(Stats, FiguresSettlingResolutionAndOutliers)
{
    const std::optional<double> none;
    const stats_case cases[] = {
        {{5}, 5, 5, 5, 5, none, none, true, false, {}}, // one run: no spread, nothing to judge
        {{10, 8, 12, 9}, 9.5, 8, 12, 9.75, std::sqrt(2.9166666666666665), 4 / 9.5 * 100, false, false, {}},
        {{100, 101, 99, 100, 140}, 100, 99, 140, 108, std::sqrt(320.5), 41, false, false, {4}},
        {{0, 0, 0}, 0, 0, 0, 0, 0, none, false, true, {}}, // a median of 0: spread undefined
        // The MAD is 0: the mean absolute deviation stands in.
        {{7, 7, 7, 7, 9}, 7, 7, 9, 7.4, std::sqrt(0.8), 2 / 7.0 * 100, false, false, {4}},
        {{12.34, 12.34, 12.34, 12.35, 15.00}, 12.34, 12.34, 15.00, 12.874, std::sqrt(5.64992 / 4), 2.66 / 12.34 * 100, false,
         false, {4}},
        // Two decimals of 0.16 s cannot show a spread under 12.5 %: one quantum apart settles.
        {{0.15, 0.16, 0.16}, 0.16, 0.15, 0.16, 0.47 / 3, std::sqrt(0.0000333333333), 0.01 / 0.16 * 100, true, true, {}},
        {{0.03, 0.03}, 0.03, 0.03, 0.03, 0.03, 0, 0, true, true, {}},
        {{2.00, 2.20, 2.00}, 2, 2, 2.2, 6.2 / 3, std::sqrt(0.04 / 3), 10, false, false, {}},
    };
    for (const stats_case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.values));
        const value_stats s = stats_compute(c.values, {3, 0.01});
        EXPECT_EQ(s.median, c.median);
        EXPECT_EQ(s.min, c.min);
        EXPECT_EQ(s.max, c.max);
        EXPECT_NEAR(s.mean, c.mean, 1e-9);
        ASSERT_EQ(s.stddev.has_value(), c.stddev.has_value());
        if (s.stddev) {
            EXPECT_NEAR(*s.stddev, *c.stddev, 1e-6);
        }
        ASSERT_EQ(s.spread_percent.has_value(), c.spread.has_value());
        if (s.spread_percent) {
            EXPECT_NEAR(*s.spread_percent, *c.spread, 1e-9);
        }
        EXPECT_EQ(s.runs, c.values.size());
        EXPECT_EQ(s.settled, c.settled);
        EXPECT_EQ(s.resolution_limited, c.resolution_limited);
        EXPECT_EQ(stats_outliers(c.values), c.outliers);
    }
}

TEST(Stats, RepetitionRule)
{
    struct {
        std::vector<std::vector<double>> values;
        std::size_t valid;
        int runs, max_runs;
        bool more;
    } cases[] = {
        {{{100, 100}}, 2, 3, 10, true}, // below the minimum
        {{{100, 100, 101}}, 3, 3, 10, false}, // 1 % spread
        {{{100, 100, 104}}, 3, 3, 10, true}, // 4 % spread
        {{{100, 100, 104}}, 10, 3, 10, false}, // at the maximum
        {{{100, 100, 100}, {50}, {}}, 3, 3, 10, false}, // a level seen in one run only
        {{{100, 100, 100}, {50, 60}}, 3, 3, 10, true}, // any metric spreading
        {{}, 3, 3, 10, false}, // a valid report with no values
        {{{0.15, 0.16, 0.17}}, 3, 3, 10, false}, // 12.5 %: two quanta of 0.16
        {{{0.15, 0.16, 0.18}}, 3, 3, 10, true}, // three quanta
        {{{0, 0, 0}}, 3, 3, 10, true}, // a median of 0: no spread to judge, runs go on
        {{{5}}, 1, 1, 10, false}, // a single run asked for
    };
    for (const auto& c : cases)
        EXPECT_EQ(stats_more_needed(c.values, c.valid, c.runs, c.max_runs, {3, 0.01}), c.more)
            << testing::PrintToString(c.values);
}

TEST(Stats, ClockStepAndSlowFirstRun)
{
    // Allowed: 10 ms plus 0.1 % of the monotonic time.
    EXPECT_FALSE(stats_clock_stepped(10.0199, 10));
    EXPECT_TRUE(stats_clock_stepped(10.0201, 10));
    EXPECT_TRUE(stats_clock_stepped(8.9, 10));
    EXPECT_FALSE(stats_clock_stepped(0.0099, 0));
    EXPECT_TRUE(stats_clock_stepped(-0.0101, 0));

    // Samples a quarter second apart: a step stands out of a clock set in
    // small steps, which is drift; two samples alone judge the whole run.
    // samples(seconds, drift per second, step at, step)
    const auto samples = [](double seconds, double drift_per_second, double step_at, double step) {
        std::vector<clock_sample> out;
        for (double t = 0; t <= seconds + 1e-9; t += 0.25)
            out.push_back({100 + t, 5 + t * drift_per_second + (t >= step_at ? step : 0)});
        return out;
    };
    const struct {
        std::vector<clock_sample> samples;
        int steps;
        double stepped, drift;
    } clocks[] = {
        {samples(10, 0.005, 99, 0), 0, 0, 0.05}, // a VM's agent, 0.5 ms every 100 ms
        {samples(10, 0, 4, 0.128), 1, 0.128, 0}, // an NTP client's step
        {samples(10, 0, 4, -0.5), 1, -0.5, 0},
        {samples(10, 0.005, 4, 0.128), 1, 0.12925, 0.04875}, // the step's span drifts too
        {{{0, 1}, {2, 1.02}}, 1, 0.02, 0},
        {{{0, 1}, {2, 1.005}}, 0, 0, 0.005},
        {{{0, 1}}, 0, 0, 0},
    };
    for (const auto& c : clocks) {
        const clock_change change = stats_clock_change(c.samples);
        EXPECT_EQ(change.steps, c.steps);
        EXPECT_NEAR(change.stepped_seconds, c.stepped, 1e-9);
        EXPECT_NEAR(change.drift_seconds, c.drift, 1e-9);
    }

    EXPECT_TRUE(stats_first_slow({80, 100, 101, 99}, true));
    EXPECT_FALSE(stats_first_slow({95, 100, 101, 99}, true)); // within 10 %
    EXPECT_FALSE(stats_first_slow({80, 100}, true)); // too few to tell
    EXPECT_TRUE(stats_first_slow({14, 12, 12.1}, false)); // a time: higher is worse
    EXPECT_FALSE(stats_first_slow({10, 12, 12.1}, false));
}

// Ratios read "above 1 is better" whichever way the metric goes.
TEST(Stats, SpeedupReadsOneWay)
{
    const struct {
        double first, second;
        bool higher_is_better;
        std::optional<double> speedup;
    } cases[] = {
        {41.5, 20.75, true, 2.0}, // a rate twice as high
        {1.5, 3.0, false, 2.0}, // a time half as long
        {3.0, 1.5, false, 0.5},
        {0, 1, true, std::nullopt},
        {1, 0, false, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(stats_speedup(c.first, c.second, c.higher_is_better), c.speedup) << c.first << " " << c.second;
}

// The kernel's own threads are told from user processes by PF_KTHREAD in
// /proc/PID/stat, whatever their names hold.
TEST(KernelWork, KernelThreadsAlone)
{
    const struct {
        const char* stat;
        std::optional<unsigned long long> ticks;
    } cases[] = {
        {"41 (kworker/0:2-events) I 2 0 0 0 -1 69238880 0 0 0 0 7 35 0 0 20 0 1 0 90 0 0", 42},
        {"77 (a (b) c) S 1 77 77 0 -1 4194560 120 0 0 0 100 23 0 0 20 0 1 0 300 0 0", std::nullopt},
        {"9 (ksoftirqd/0) S 2 0 0 0 -1 69238848 0 0 0 0 0", std::nullopt}, // cut short
        {"9 ksoftirqd", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kernel_thread_ticks_parse(c.stat), c.ticks) << c.stat;

    namespace fs = std::filesystem;
    const scratch_folder scratch;
    const fs::path& proc = scratch.path;
    for (const auto& [pid, stat] : std::vector<std::pair<const char*, const char*>>{
             {"2", "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 1 2 0 0 20 0 1 0 0 0 0"},
             {"41", cases[0].stat},
             {"77", cases[1].stat},
             {"self", cases[0].stat}}) {
        fs::create_directory(proc / pid);
        std::ofstream(proc / pid / "stat") << stat << "\n";
    }
    EXPECT_EQ(kernel_threads_ticks(proc), 45u);
    fs::remove_all(proc);
    EXPECT_EQ(kernel_threads_ticks(proc), std::nullopt);
}

} // namespace
