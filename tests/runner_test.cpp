// The runner's logic on injected reports and runs: report parsing, the
// statistics and the rules built on them, options, and the results file.
#include "benchmarks.h"
#include "cli.h"
#include "describe_session.h"
#include "kernel_work.h"
#include "plan.h"
#include "presented.h"
#include "report.h"
#include "results_file.h"
#include "stats.h"
#include "stats_rows.h"
#include "table.h"
#include "verdicts.h"

#include <gtest/gtest.h>

#include "bench_present.h"

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string rectangle_ok = "Rectangle frame buffer test bench\nBenchmarking 100x60 size: 184.37 MPixels/second\n";
const std::string mandelbrot_ok = "Mandelbrot frame buffer test bench\nBenchmarking 48 iterations: 12.34 seconds\n";
const std::string sierpinski_title = "Sierpinski frame buffer test bench\n\n";
const std::string sierpinski_levels = "Benchmarking     1024 iterations:    57.50 Frames/second\n"
                                      "Benchmarking     2048 iterations:  1030.12 Frames/second\n";

struct report_case {
    const char* name;
    std::string program;
    std::string text;
    bool parses;
    std::vector<double> values;
    const char* invalid = ""; // why a parsed report does not count
};

const report_case report_cases[] = {
    {"Rectangle", "rectangle-bench", rectangle_ok, true, {184.37}},
    {"RectangleTruncated", "rectangle-bench", rectangle_ok.substr(0, rectangle_ok.size() - 1), false, {}},
    {"RectangleOneDecimal", "rectangle-bench",
     "Rectangle frame buffer test bench\nBenchmarking 100x60 size: 184.4 MPixels/second\n", false, {}},
    {"RectangleTrailingLine", "rectangle-bench", rectangle_ok + "\n", false, {}},
    {"Mandelbrot", "mandelbrot-bench", mandelbrot_ok, true, {12.34}},
    {"MandelbrotOtherPasses", "mandelbrot-bench",
     "Mandelbrot frame buffer test bench\nBenchmarking 47 iterations: 12.34 seconds\n", false, {}},
    {"MandelbrotUnderAnotherName", "rectangle-bench", mandelbrot_ok, false, {}},
    {"Sierpinski", "sierpinski-bench", sierpinski_title + sierpinski_levels + "\n", true, {57.50, 1030.12}},
    {"SierpinskiNoLevel", "sierpinski-bench", sierpinski_title + "\n", true, {}},
    {"SierpinskiWithoutLastLine", "sierpinski-bench", sierpinski_title + sierpinski_levels, false, {}},
    {"SierpinskiSkipsALevel", "sierpinski-bench",
     sierpinski_title + "Benchmarking     2048 iterations:    57.50 Frames/second\n\n", false, {}},
    {"SierpinskiNarrowColumn", "sierpinski-bench",
     sierpinski_title + "Benchmarking 1024 iterations: 57.50 Frames/second\n\n", false, {}},
    {"UnknownProgram", "other-bench", rectangle_ok, false, {}},
    // Parsed as printed, but not counted.
    {"RectangleOfNoPixels", "rectangle-bench",
     "Rectangle frame buffer test bench\nBenchmarking 0x30 size: 0.00 MPixels/second\n", true, {0}, "no work"},
    {"MandelbrotBelowResolution", "mandelbrot-bench",
     "Mandelbrot frame buffer test bench\nBenchmarking 48 iterations: 0.00 seconds\n", true, {0},
     "value below resolution"},
    {"MandelbrotNan", "mandelbrot-bench", "Mandelbrot frame buffer test bench\nBenchmarking 48 iterations: nan seconds\n",
     true, {NAN}, "value not finite"},
    {"SierpinskiInf", "sierpinski-bench",
     sierpinski_title + "Benchmarking     1024 iterations:      inf Frames/second\n\n", true, {INFINITY},
     "value not finite"},
};

class ReportParse : public testing::TestWithParam<report_case> {};

TEST_P(ReportParse, TakesExactReportsOnly)
{
    const report_case& c = GetParam();
    std::vector<report_value> values = {{"stale", "", true, 0, 1}};
    ASSERT_EQ(report_parse(c.program, c.text, values), c.parses);
    if (!c.parses)
        return;
    ASSERT_EQ(values.size(), c.values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        if (!std::isnan(c.values[i])) {
            EXPECT_EQ(values[i].value, c.values[i]) << i;
        }
    EXPECT_EQ(report_invalid_reason(values), c.invalid);
}

INSTANTIATE_TEST_SUITE_P(Reports, ReportParse, testing::ValuesIn(report_cases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(ReportParse, NamesMetricsWithUnitAndDirection)
{
    std::vector<report_value> values;
    ASSERT_TRUE(report_parse("sierpinski-bench", sierpinski_title + sierpinski_levels + "\n", values));
    EXPECT_EQ(values[1].metric, "frame rate at 2048 points");
    EXPECT_EQ(values[1].points, 2048u);
    EXPECT_EQ(values[1].unit, "frames/s");
    ASSERT_TRUE(report_parse("mandelbrot-bench", mandelbrot_ok, values));
    EXPECT_EQ(values[0].metric, "time");
    EXPECT_FALSE(values[0].higher_is_better);
}

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
    std::string name = (fs::temp_directory_path() / "runner_test-XXXXXX").string();
    ASSERT_NE(mkdtemp(name.data()), nullptr);
    const fs::path proc = name;
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

// options_parse over the arguments after the program's name.
options_action options_parse_args(const std::vector<const char*>& args, runner_options& o, std::string& message)
{
    std::vector<char*> argv = {const_cast<char*>("fbbench")};
    for (const char* a : args)
        argv.push_back(const_cast<char*>(a));
    argv.push_back(nullptr);
    return options_parse(int(argv.size() - 1), argv.data(), o, message);
}

struct options_case {
    std::vector<const char*> args;
    options_action action;
    int runs = 0, max_runs = 0;
    std::vector<std::string> programs = {};
    int timeout_seconds = 600;
    std::vector<std::string> devices = {};
    const char* message = nullptr; // the one line, as shown, when checked
};

TEST(Options, NumbersProgramsAndBadUsage)
{
    const std::vector<std::string> all = options_known_programs();
    const options_case cases[] = {
        {{}, options_action::run, 3, 10, all},
        {{"--runs", "5", "-m", "7", "sierpinski-bench", "rectangle-bench", "sierpinski-bench"}, options_action::run, 5,
         7, {"sierpinski-bench", "rectangle-bench"}},
        {{"--runs=20"}, options_action::run, 20, 20, all}, // the default ceiling rises
        {{"--warmup", "0"}, options_action::run, 3, 10, all},
        {{"--timeout", "3"}, options_action::run, 3, 10, all, 3},
        {{"--timeout", "0"}, options_action::usage_error},
        {{"--timeout", "2.5"}, options_action::usage_error},
        {{"--runs", "5", "--max-runs", "4"}, options_action::usage_error},
        {{"--runs", "0"}, options_action::usage_error},
        {{"--runs", "-1"}, options_action::usage_error},
        {{"--runs", "3x"}, options_action::usage_error},
        {{"--spread", ""}, options_action::usage_error},
        {{"--max-runs", "99999999999"}, options_action::usage_error},
        {{"--runs"}, options_action::usage_error},
        {{"--fast"}, options_action::usage_error, 0, 0, {}, 600, {}, "unknown option --fast"},
        {{"--fast=2"}, options_action::usage_error, 0, 0, {}, 600, {}, "unknown option --fast=2"},
        {{"-x"}, options_action::usage_error, 0, 0, {}, 600, {}, "unknown option -x"},
        // Named as typed, abbreviated or not.
        {{"--quiet=1"}, options_action::usage_error, 0, 0, {}, 600, {}, "option --quiet takes no value"},
        {{"--quie=1"}, options_action::usage_error, 0, 0, {}, 600, {}, "option --quiet takes no value"},
        {{"--qui"}, options_action::usage_error, 0, 0, {}, 600, {}, "ambiguous option --qui"},
        // One run each, whatever the order; a count of runs beside it contradicts it.
        {{"--quick", "sierpinski-bench"}, options_action::run, 1, 1, {"sierpinski-bench"}},
        {{"--quick", "--runs", "3"}, options_action::usage_error, 0, 0, {}, 600, {},
         "--quick makes one run each; leave out --runs"},
        {{"--warmup=1", "--max-runs=4", "--quick"}, options_action::usage_error, 0, 0, {}, 600, {},
         "--quick makes one run each; leave out --warmup"},
        {{"--s", "4"}, options_action::usage_error, 0, 0, {}, 600, {}, "ambiguous option --s"},
        {{"--runs"}, options_action::usage_error, 0, 0, {}, 600, {}, "option --runs needs a value"},
        {{"--device", ""}, options_action::usage_error, 0, 0, {}, 600, {},
         "option --device needs a device path, not an empty one"},
        {{"-d", "/dev/fb1", "--device=/dev/fb0", "-d", "/dev/fb1"}, options_action::run, 3, 10, all, 600,
         {"/dev/fb1", "/dev/fb0"}}, // each device once
        {{"--describe", "--no-probe"}, options_action::run, 3, 10, all},
        {{"line-bench"}, options_action::usage_error, 0, 0, {}, 600, {},
         "unknown program line-bench (rectangle-bench, mandelbrot-bench or sierpinski-bench)"},
        {{"--sync"}, options_action::run, 3, 10, all},
        {{"--no-sync"}, options_action::run, 3, 10, all},
        {{"--sync=frame"}, options_action::usage_error, 0, 0, {}, 600, {}, "option --sync takes no value"},
        {{"--help"}, options_action::help},
        {{"-V"}, options_action::version},
        {{"--force"}, options_action::run, 3, 10, all},
        // What the user typed is quoted with its control characters escaped.
        {{"--runs", "1\x1b[2J"}, options_action::usage_error, 0, 0, {}, 600, {},
         "--runs 1\\x1b[2J is not a positive whole number"},
        {{"line\nbench"}, options_action::usage_error, 0, 0, {}, 600, {},
         "unknown program line\\nbench (rectangle-bench, mandelbrot-bench or sierpinski-bench)"},
        {{"--fa\x1b]0;x\x07"}, options_action::usage_error, 0, 0, {}, 600, {}, "unknown option --fa\\x1b]0;x\\x07"},
        {{"-\x01"}, options_action::usage_error, 0, 0, {}, 600, {}, "unknown option -\\x01"},
        {{"--runs\r"}, options_action::usage_error, 0, 0, {}, 600, {}, "unknown option --runs\\r"},
        // Runs and warm-ups that no session could count, let alone run.
        {{"--runs", "2147483647", "--warmup", "2147483647"}, options_action::usage_error, 0, 0, {}, 600, {},
         "too many runs: the plan asks for up to 38654705646 (3 benchmarks x 1 device x 3 targets x "
         "(2147483647 runs + 2147483647 warm-ups)), more than 2147483647"},
        {{"--max-runs", "2147483647", "--no-memory", "--no-sync", "-d", "a", "-d", "b", "rectangle-bench"},
         options_action::usage_error, 0, 0, {}, 600, {},
         "too many runs: the plan asks for up to 4294967294 (1 benchmark x 2 devices x 1 target x "
         "(2147483647 runs + 0 warm-ups)), more than 2147483647"},
        {{"--max-runs", "2147483647", "--no-memory", "--no-sync", "rectangle-bench"}, options_action::run, 3,
         2147483647, {"rectangle-bench"}},
    };
    for (const options_case& c : cases) {
        runner_options o;
        std::string message;
        const std::string shown = c.args.empty() ? "(none)" : c.args[0];
        ASSERT_EQ(options_parse_args(c.args, o, message), c.action) << shown;
        EXPECT_EQ(message.empty(), c.action != options_action::usage_error) << shown;
        if (c.message != nullptr) {
            EXPECT_EQ(message, c.message);
        }
        if (c.action != options_action::run)
            continue;
        EXPECT_EQ(o.devices, c.devices) << shown;
        EXPECT_EQ(o.runs, c.runs) << shown;
        EXPECT_EQ(o.max_runs, c.max_runs) << shown;
        EXPECT_EQ(o.programs, c.programs) << shown;
        EXPECT_EQ(o.timeout_seconds, c.timeout_seconds) << shown;
    }
}

// The plan and statistics of a session built by hand, as the run loop keeps them.
void settle(session& s)
{
    plan_make(s);
    stats_rows_update(s);
}

// The display warnings of a program's figures on a device.
void display_warnings_add(session& s, const std::string& program, const std::string& path)
{
    const std::vector<run_warning> found = verdicts_bench(s, program, path, {});
    s.warnings.insert(s.warnings.end(), found.begin(), found.end());
}

run_record injected_run(run_target target, const std::string& report, bool warmup = false)
{
    run_record r{"rectangle-bench", target, "/dev/fb0", warmup, 0, true, "", report, "", {}, 5.01, 0, false, false, false, 1.5, false, {}};
    r.valid = report_parse(r.program, report, r.values);
    return r;
}

std::string rectangle_report(const char* rate)
{
    return "Rectangle frame buffer test bench\nBenchmarking 100x60 size: " + std::string(rate) + " MPixels/second\n";
}

// A 320x240 (or given) 32-bit framebuffer with the window given, or a device with an error.
device_screen screen_of(const std::string& path, bench_window window, uint32_t width = 320, uint32_t height = 240)
{
    device_screen d;
    d.path = path;
    d.kind = "fbdev";
    d.width = width;
    d.height = height;
    d.bits_per_pixel = 32;
    d.row_bytes = width * 4;
    d.window = window;
    return d;
}

session rectangle_session()
{
    session s;
    s.host = "board";
    s.started = "2026-12-08T17:40:00Z";
    s.devices = {"/dev/fb0", "/dev/fb1"};
    s.device_descriptions = {{{"path", "/dev/fb0"}, {"kind", "fbdev"}}, {{"path", "/dev/fb1"}, {"kind", "fbdev"}}};
    device_screen fb0 = screen_of("/dev/fb0", {400, 240, 0, 0}, 800, 480);
    fb0.defaulted = {"posx", "posy"};
    device_screen fb1;
    fb1.path = "/dev/fb1";
    fb1.error = "cannot open /dev/fb1: No such file or directory";
    s.screens = {fb0, fb1};
    s.window = {{"WIDTH", "400"}, {"HEIGHT", "240"}};
    return s;
}

TEST(Results, FileAfterAnInterruptedRun)
{
    session s = rectangle_session();
    s.runs = {injected_run(run_target::device, rectangle_report("99.00"), true), injected_run(run_target::device, rectangle_report("180.50")),
              injected_run(run_target::memory, rectangle_report("722.00")), injected_run(run_target::device, rectangle_report("184.37"))};
    run_record killed = injected_run(run_target::memory, "");
    killed.exit_status = -1;
    killed.signal = SIGINT;
    killed.invalid_reason = "interrupted";
    killed.out_truncated = true;
    killed.other_cpu_percent.reset();
    s.runs.push_back(killed);
    settle(s);

    const std::filesystem::path file = std::filesystem::temp_directory_path() / ("runner_test-" + std::to_string(getpid()));
    std::string error;
    {
        results_output output;
        ASSERT_EQ(results_output_open(output, file, false, error), 0) << error;
        ASSERT_TRUE(results_file_write(output, results_json(s, "2026-12-08T17:41:00Z").dump(), error)) << error;
    }
    std::ifstream in(file);
    const nlohmann::json j = nlohmann::json::parse(in);
    std::filesystem::remove(file);

    EXPECT_EQ(j["schema"], "fbbench-results/2.1");
    EXPECT_EQ(j["options"]["timeout_seconds"], 600);
    EXPECT_EQ(j["complete"], false);
    EXPECT_EQ(j["workload_version"], 1);
    EXPECT_EQ(j["window"], nlohmann::json({{"WIDTH", "400"}, {"HEIGHT", "240"}}));
    // The screen and window the programs use; a device that cannot be opened has its error and no kind.
    EXPECT_EQ(j["devices"][0]["screen"],
              nlohmann::json({{"width", 800}, {"height", 480}, {"bits_per_pixel", 32}, {"row_bytes", 3200}}));
    EXPECT_EQ(j["devices"][0]["window"], nlohmann::json({{"width", 400}, {"height", 240}, {"posx", 0}, {"posy", 0},
                                                         {"defaulted", {"posx", "posy"}}}));
    EXPECT_EQ(j["devices"][1],
              nlohmann::json({{"path", "/dev/fb1"}, {"error", "cannot open /dev/fb1: No such file or directory"}}));
    ASSERT_EQ(j["runs"].size(), 5u);
    EXPECT_EQ(j["runs"][3]["values"]["fill rate"], 184.37);
    EXPECT_EQ(j["runs"][3]["stdout"], rectangle_report("184.37"));
    EXPECT_EQ(j["runs"][3]["other_cpu_percent"], 1.5);
    EXPECT_FALSE(j["runs"][3].contains("invalid_reason"));
    EXPECT_EQ(j["runs"][4]["invalid_reason"], "interrupted");
    EXPECT_EQ(j["runs"][4]["valid"], false);
    EXPECT_FALSE(j["runs"][4].contains("other_cpu_percent"));
    // An exit status or a signal, never both; a flag only when set.
    EXPECT_EQ(j["runs"][3]["exit_status"], 0);
    EXPECT_FALSE(j["runs"][3].contains("signal"));
    EXPECT_EQ(j["runs"][4]["signal"], "SIGINT");
    EXPECT_FALSE(j["runs"][4].contains("exit_status"));
    EXPECT_FALSE(j["runs"][4].contains("timed_out"));
    EXPECT_EQ(j["runs"][4]["stdout_truncated"], true);
    EXPECT_EQ(j["runs"][3]["stdout_truncated"], false);
    EXPECT_EQ(j["runs"][3]["stderr_truncated"], false);
    ASSERT_EQ(j["results"].size(), 1u);
    const nlohmann::json& r = j["results"][0];
    EXPECT_EQ(r["unit"], "MPixels/s");
    EXPECT_EQ(r["higher_is_better"], true);
    EXPECT_EQ(r["resolution"], 0.01);
    // The warm-up and the killed run count for nothing.
    const double median = (180.50 + 184.37) / 2;
    EXPECT_EQ(r["device"], nlohmann::json({{"median", median},
                                           {"min", 180.50},
                                           {"max", 184.37},
                                           {"mean", median},
                                           {"stddev", std::sqrt(2 * (184.37 - median) * (184.37 - median))},
                                           {"spread_percent", (184.37 - 180.50) / median * 100},
                                           {"runs", 2},
                                           {"settled", true},
                                           {"resolution_limited", false}}));
    // A single run has no spread.
    EXPECT_EQ(r["memory"]["runs"], 1);
    EXPECT_EQ(r["memory"]["spread_percent"], nullptr);
    EXPECT_EQ(r["memory"]["stddev"], nullptr);
    EXPECT_EQ(r["ratio"], median / 722.00);
    EXPECT_EQ(results_summary_row(s), "| board | 182.44 | - | - | - |");
    EXPECT_EQ(results_summary_header(s), "| host | rectangle (MPixels/s) | Mandelbrot (s) | Sierpinski first level | "
                                         "Sierpinski last level |\n|---|---|---|---|---|");

    // The header names the levels the row holds, which differ between boards.
    run_record sierpinski{"sierpinski-bench", run_target::device, "/dev/fb0", false, 0, true, "", "", "", {}, 2.0, 0, false, false, false, {}, false, {}};
    ASSERT_TRUE(report_parse(sierpinski.program, sierpinski_title + sierpinski_levels + "\n", sierpinski.values));
    s.runs.push_back(sierpinski);
    settle(s);
    EXPECT_EQ(results_summary_header(s).substr(0, results_summary_header(s).find('\n')),
              "| host | rectangle (MPixels/s) | Mandelbrot (s) | Sierpinski 1024 points (frames/s) | "
              "Sierpinski 2048 points (frames/s) |");
    EXPECT_EQ(results_summary_row(s), "| board | 182.44 | - | 57.50 | 1030.12 |");
    // The display's row only where the display was measured.
    EXPECT_EQ(results_summary_row(s, run_target::display), "");
    s.runs.push_back(injected_run(run_target::display, rectangle_report("9.00")));
    settle(s);
    EXPECT_EQ(results_summary_row(s, run_target::display), "| board (display) | 9.00 | - | - | - |");
}

TEST(Options, SyncChoosesTheDisplayTarget)
{
    const struct {
        std::vector<const char*> args;
        display_sync sync;
    } cases[] = {{{}, display_sync::automatic},
                 {{"--sync"}, display_sync::always},
                 {{"--no-sync"}, display_sync::never},
                 {{"--sync", "--no-sync"}, display_sync::never}};
    for (const auto& c : cases) {
        runner_options o;
        std::string message;
        ASSERT_EQ(options_parse_args(c.args, o, message), options_action::run);
        EXPECT_EQ(o.sync, c.sync);
    }
}

// A deadline shorter than what a program draws for a fixed time, and a
// second to start and end, is refused; a program with no fixed time fits any.
TEST(Options, TimeoutThatNoRunCanMeet)
{
    const struct {
        int timeout;
        std::vector<std::string> programs;
        const char* refusal;
    } cases[] = {
        {5, {"mandelbrot-bench", "rectangle-bench"},
         "--timeout 5 is shorter than any run of rectangle-bench, which draws for at least 5 s; give 6 or more"},
        {6, {"rectangle-bench"}, ""},
        {1, {"sierpinski-bench"},
         "--timeout 1 is shorter than any run of sierpinski-bench, which draws for at least 1 s; give 2 or more"},
        {1, {"mandelbrot-bench"}, ""},
    };
    for (const auto& c : cases) {
        runner_options o;
        o.timeout_seconds = c.timeout;
        o.programs = c.programs;
        EXPECT_EQ(options_timeout_refusal(o), c.refusal);
    }
}

// Which devices get the display target: those whose picture needs a flush,
// unless --sync or --no-sync says otherwise.
TEST(DisplayTarget, WhereThePictureNeedsAFlush)
{
    const nlohmann::json direct = {{"path", "/dev/fb0"}, {"kind", "fbdev"}, {"mapping", {{"class", "direct-uncached"}}}};
    const nlohmann::json shadow = {{"path", "/dev/fb1"}, {"kind", "fbdev"}, {"mapping", {{"class", "deferred-io"}}}};
    const nlohmann::json drm = {{"path", "/dev/dri/card0"}, {"kind", "drm"}};
    const nlohmann::json unopened = {{"path", "/dev/fb7"}, {"error", "cannot open /dev/fb7"}};
    using targets = std::vector<run_target>;
    constexpr run_target device = run_target::device, memory = run_target::memory, display = run_target::display;
    const struct {
        display_sync sync;
        bool memory;
        const nlohmann::json& device;
        targets expected;
    } cases[] = {
        {display_sync::automatic, true, direct, {device, memory}},
        {display_sync::automatic, true, shadow, {device, memory, display}},
        {display_sync::automatic, false, drm, {device, display}},
        {display_sync::automatic, true, unopened, {device, memory}},
        {display_sync::always, true, direct, {device, memory, display}},
        {display_sync::never, true, shadow, {device, memory}},
        {display_sync::never, true, drm, {device, memory}},
    };
    for (const auto& c : cases) {
        runner_options o;
        o.sync = c.sync;
        o.memory = c.memory;
        EXPECT_EQ(device_plan_make(o, c.device).targets, c.expected) << options_sync_name(c.sync) << " " << c.device.dump();
    }
}

run_record injected(const std::string& program, run_target target, const std::string& report)
{
    run_record r{program, target, "/dev/fb1", false, 0, true, "", report, "", {}, 5.0, 0, false, false, false, {}, false, {}};
    r.valid = report_parse(r.program, report, r.values);
    return r;
}

std::string sierpinski_report(const char* first, const char* second, const char* third)
{
    return sierpinski_title + "Benchmarking     1024 iterations: " + first + " Frames/second\n"
         + "Benchmarking     2048 iterations: " + second + " Frames/second\n"
         + "Benchmarking     4096 iterations: " + third + " Frames/second\n\n";
}

std::string mandelbrot_report(const char* seconds)
{
    return "Mandelbrot frame buffer test bench\nBenchmarking 48 iterations: " + std::string(seconds) + " seconds\n";
}

// A session on /dev/fb1 with a display measured: its description has a
// 75 Hz mode and no vblank events, and the update probe's figure.
session display_session()
{
    session s;
    s.complete = true;
    s.devices = {"/dev/fb1"};
    s.device_descriptions = {{{"path", "/dev/fb1"},
                              {"kind", "drm"},
                              {"display",
                               {{"refresh", {{"nominal_hz", 75.0}, {"status", "no vblank events"}}},
                                {"update_probe", {{"updates_per_second", 432.4}}}}}}};
    s.runs = {
        injected("sierpinski-bench", run_target::device, sierpinski_report("   57.50", "   40.00", "   20.00")),
        injected("sierpinski-bench", run_target::memory, sierpinski_report("   60.00", "   41.00", "   21.00")),
        injected("sierpinski-bench", run_target::display, sierpinski_report("   30.00", "   12.34", "   11.00")),
        injected("rectangle-bench", run_target::device, rectangle_report("16.69")),
        injected("rectangle-bench", run_target::display, rectangle_report("9.00")),
        injected("mandelbrot-bench", run_target::device, mandelbrot_report("3.10")),
        injected("mandelbrot-bench", run_target::display, mandelbrot_report("7.26")),
    };
    s.runs.back().kernel_cpu_percent = 42.1;
    settle(s);
    return s;
}

std::string table_of(session s, int columns = 0)
{
    settle(s);
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    results_table_print(out, s, columns);
    std::fclose(out);
    const std::string table(text, size);
    std::free(text);
    return table;
}

// The display's figures go into the file beside the screen's, with ratios
// that read "above 1 is better" for rates and times alike; a display that
// receives under half of what is drawn is warned of once per program and
// device at the row of the largest loss, saying how it was measured; one
// that beats the drawing is noise, with its runs named.
TEST(DisplayTarget, FiguresRatiosAndWarnings)
{
    session s = display_session();
    for (run_record& r : s.runs)
        ASSERT_TRUE(r.valid) << r.program << " " << run_target_key(r.target);
    for (const char* program : {"sierpinski-bench", "rectangle-bench", "mandelbrot-bench"})
        display_warnings_add(s, program, "/dev/fb1");
    ASSERT_EQ(s.warnings.size(), 2u);
    EXPECT_EQ(s.warnings[0].kind, "display-drop");
    // 12.34 of 40 is the largest loss (0.31), before 11 of 20 and 30 of 57.5.
    EXPECT_EQ(s.warnings[0].message, "/dev/fb1 shows 12.3 of the 40.0 frames/s of Sierpinski frames drawn at 2048 "
                                     "points when each frame is flushed on its own");
    // Rectangles: 9 of 16.69 is over half: no warning. Mandelbrot: 7.26 s for 3.10 s is under half.
    EXPECT_EQ(s.warnings[1].message, "/dev/fb1 takes 7.26 s to show the Mandelbrot passes drawn in 3.10 s when each "
                                     "pass is flushed on its own");

    const nlohmann::json j = results_json(s, "2026-12-08T22:00:00Z");
    ASSERT_EQ(j["results"].size(), 5u);
    const nlohmann::json& level = j["results"][1];
    EXPECT_EQ(level["metric"], "frame rate at 2048 points");
    EXPECT_EQ(level["display"]["median"], 12.34);
    EXPECT_EQ(level["display_ratio"], 12.34 / 40.00);
    EXPECT_EQ(level["display_vs_screen"], 12.34 / 40.00);
    EXPECT_EQ(level["ratio"], 40.00 / 41.00);
    EXPECT_EQ(level["screen_vs_memory"], 40.00 / 41.00);
    EXPECT_EQ(j["results"][3]["display_ratio"], 9.00 / 16.69);
    EXPECT_FALSE(j["results"][3].contains("memory"));
    // A time: the old ratio keeps its direction, the new one reads as a speed.
    EXPECT_EQ(j["results"][4]["display_ratio"], 7.26 / 3.10);
    EXPECT_EQ(j["results"][4]["display_vs_screen"], 3.10 / 7.26);
    // 30 frames/s on a 75 Hz mode can all reach the glass.
    EXPECT_FALSE(j["results"][0].contains("display_glass_at_most"));
    EXPECT_EQ(j["devices"][0]["verdict"],
              "/dev/fb1: 54 % of the rectangles drawn reach the display when each rectangle is flushed; 43 % of the "
              "Mandelbrot passes drawn reach the display when each pass is flushed; 31 % to 55 % of the Sierpinski "
              "frames drawn reach the display when each frame is flushed; 432 full-screen updates/s; mode 75 Hz, no "
              "vblank events; kernel copy work: up to 42 % of a core");

    // Frames beyond the refresh cannot all be shown; a display above the
    // drawing is noise, its runs named.
    session fast = display_session();
    fast.runs = {injected("sierpinski-bench", run_target::device, sierpinski_report(" 1000.00", "  500.00", "  100.00")),
                 injected("sierpinski-bench", run_target::display, sierpinski_report(" 1154.00", "  480.00", "   40.00"))};
    settle(fast);
    display_warnings_add(fast, "sierpinski-bench", "/dev/fb1");
    ASSERT_EQ(fast.warnings.size(), 2u);
    EXPECT_EQ(fast.warnings[1].kind, "display-noise");
    EXPECT_EQ(fast.warnings[1].message,
              "sierpinski-bench on /dev/fb1: the display measured 1.15 times as fast as the screen (frame rate at 1024 "
              "points: 1154.00 against 1000.00 frames/s; display run 1), which a flush cannot do: noise or a wrong "
              "measurement; measure again on a quiet machine");
    const nlohmann::json f = results_json(fast, "2026-12-08T22:00:00Z");
    EXPECT_EQ(f["results"][0]["display_glass_at_most"], 75.0);
    EXPECT_EQ(f["results"][1]["display_glass_at_most"], 75.0);
    EXPECT_FALSE(f["results"][2].contains("display_glass_at_most"));
    // Never more than all of it reaches the display.
    const std::string verdict = f["devices"][0]["verdict"];
    EXPECT_TRUE(verdict.starts_with("/dev/fb1: 40 % to 100 % of the Sierpinski frames drawn reach the display when "
                                    "each frame is flushed (measured faster than the drawing: noise); at most 75 "
                                    "frames/s reach the glass;"))
        << verdict;
    const std::string table = table_of(fast, 80);
    EXPECT_NE(table.find("1154.00^"), std::string::npos) << table;
    EXPECT_NE(table.find("1.154!"), std::string::npos) << table;
    EXPECT_NE(table.find("at most 75 frames/s reach the glass of /dev/fb1"), std::string::npos) << table;
}

// The header's cpu line names the model and the cores as /proc/cpuinfo gave
// them: an arm64 kernel gives no model.
TEST(Results, HeaderNamesTheCpu)
{
    const struct {
        nlohmann::json cpu;
        const char* line;
    } cases[] = {
        {{{"model", "ARMv7 Processor rev 0 (v7l)"}, {"core_names", {"Cortex-A9"}}, {"cores", 1},
          {"features", {"half", "vfp", "neon", "vfpv3"}}},
         "cpu ARMv7 Processor rev 0 (v7l) / Cortex-A9, 1 core, vfp neon vfpv3\n"},
        {{{"core_names", {"Cortex-A72"}}, {"cores", 1}, {"features", {"fp", "asimd"}}}, "cpu Cortex-A72, 1 core, fp asimd\n"},
        {{{"model", "AMD EPYC"}, {"cores", 2}}, "cpu AMD EPYC, 2 cores, no VFP named\n"},
        {nlohmann::json::object(), "cpu unknown, 0 cores, no VFP named\n"},
    };
    for (const auto& c : cases) {
        session s;
        s.host = "board";
        s.system = {{"cpu", c.cpu}};
        char* text = nullptr;
        std::size_t size = 0;
        std::FILE* out = open_memstream(&text, &size);
        session_header_print(out, s);
        std::fclose(out);
        const std::string header(text, size);
        std::free(text);
        EXPECT_NE(header.find("\n" + std::string(c.line)), std::string::npos) << header;
    }
}

// The table fits the width it is given, leads with the verdict and the
// display, leaves out what was not planned, puts each mark on its figure
// and explains every mark and ratio.
TEST(Results, TableFitsAndExplains)
{
    session s = display_session();
    const struct {
        const char* name;
        int columns;
        std::vector<std::string> lines; // each in the table, in this order
    } cases[] = {
        {"Wide", 0,
         {"/dev/fb1: 54 % of the rectangles drawn",
          "benchmark and metric                        unit       display  spread  runs  display/screen  screen  spread  "
          "runs    RAM  spread  runs  screen/RAM\n",
          "sierpinski-bench frame rate at 2048 points  frames/s     12.34       \u2013     1           0.308   40.00       "
          "\u2013     1  41.00       \u2013     1       0.976\n",
          "rectangle-bench fill rate                   MPixels/s     9.00       \u2013     1           0.539   16.69       "
          "\u2013     1      -       -     0           -\n",
          "Ratios compare speeds", "display/screen: the display's speed", "screen/RAM: the screen's speed"}},
        {"Eighty", 80,
         {"/dev/fb1: 54 % of the rectangles drawn reach the display when each rectangle is\n  flushed;",
          "               display  spread  disp/scr  screen  spread    RAM  spread  scr/RAM\n"
          "sierpinski-bench (frames/s)\n",
          "  2048 points    12.34       \u2013     0.308   40.00       \u2013  41.00       \u2013    0.976\n",
          "mandelbrot-bench (s)\n  time            7.26       \u2013     0.427    3.10       \u2013      -       -        -\n",
          "disp/scr: the display's"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string table = table_of(s, c.columns);
        std::size_t at = 0;
        for (const std::string& line : c.lines) {
            const std::size_t found = table.find(line, at);
            EXPECT_NE(found, std::string::npos) << line << "\nin\n" << table;
            at = found == std::string::npos ? at : found;
        }
        std::istringstream lines(table);
        for (std::string line; c.columns != 0 && std::getline(lines, line);)
            EXPECT_LE(std::count_if(line.begin(), line.end(), [](char ch) { return (ch & 0xc0) != 0x80; }), c.columns)
                << line;
    }

    // Below 60 columns each target gets a line of its own; every line fits.
    const std::string stacked = table_of(s, 40);
    EXPECT_NE(stacked.find("             median  spread  ratio\n"
                           "sierpinski-bench (frames/s)\n"
                           "  1024 points\n"
                           "    display   30.00       \u2013  0.522\n"
                           "    screen    57.50       \u2013\n"
                           "    RAM       60.00       \u2013  0.958\n"
                           "  2048 points\n"),
              std::string::npos)
        << stacked;
    EXPECT_NE(stacked.find("\ndisplay ratio: the display's speed"), std::string::npos) << stacked;
    std::istringstream stacked_lines(stacked);
    for (std::string line; std::getline(stacked_lines, line);)
        EXPECT_LE(std::count_if(line.begin(), line.end(), [](char ch) { return (ch & 0xc0) != 0x80; }), 40) << line;

    // Marks on their figures: the screen never settles (0.50 to 0.60) and
    // is under 1 % resolution; RAM ran once. Not planned for the display
    // and without RAM runs, neither has columns.
    session rect = rectangle_session();
    rect.complete = true;
    rect.devices.resize(1);
    rect.options.sync = display_sync::never;
    for (const char* rate : {"0.50", "0.60", "0.55"})
        rect.runs.push_back(injected_run(run_target::device, rectangle_report(rate)));
    rect.runs.push_back(injected_run(run_target::memory, rectangle_report("722.00")));
    std::string table = table_of(rect);
    EXPECT_NE(table.find("rectangle-bench fill rate  MPixels/s    0.55*~   18.2%     3  722.00       \u2013     1       "
                         "0.001\n"),
              std::string::npos)
        << table;
    EXPECT_EQ(table.find("display"), std::string::npos) << table;
    EXPECT_NE(table.find("\n* the spread stayed above the target"), std::string::npos) << table;
    EXPECT_NE(table.find("\n~ under 1 % resolution"), std::string::npos) << table;
    rect.options.memory = false;
    std::erase_if(rect.runs, [](const run_record& r) { return r.target == run_target::memory; });
    table = table_of(rect);
    EXPECT_EQ(table.find("RAM"), std::string::npos) << table;
    EXPECT_EQ(table.find("Ratios"), std::string::npos) << table;

    // Two devices, the display planned on one: the other's display cells
    // stay blank rather than read as failed runs.
    session two = display_session();
    two.devices = {"/dev/fb0", "/dev/fb1"};
    two.device_descriptions.push_back({{"path", "/dev/fb0"}, {"kind", "fbdev"}, {"mapping", {{"class", "direct-uncached"}}}});
    two.runs = {injected("rectangle-bench", run_target::device, rectangle_report("16.69")),
                injected("rectangle-bench", run_target::display, rectangle_report("9.00"))};
    run_record direct = injected("rectangle-bench", run_target::device, rectangle_report("20.00"));
    direct.path = "/dev/fb0";
    two.runs.push_back(direct);
    table = table_of(two);
    EXPECT_NE(table.find("rectangle-bench (/dev/fb0) fill rate  MPixels/s                                          20.00"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("rectangle-bench (/dev/fb1) fill rate  MPixels/s     9.00       \u2013     1           0.539   "
                         "16.69"),
              std::string::npos)
        << table;

    // An interrupted session says so first.
    rect.complete = false;
    rect.options.programs = {"rectangle-bench"};
    EXPECT_TRUE(table_of(rect).starts_with("interrupted after 3 of at least 3 runs: partial results\n")) << table_of(rect);
}

// The windows fbbench refuses before running: those in which a program draws nothing.
TEST(Devices, WindowsInWhichAProgramDrawsNothing)
{
    const struct {
        const char* program;
        bench_window window;
        const char* refusal;
    } cases[] = {
        {"rectangle-bench", {2, 120, 0, 0},
         "rectangle-bench draws nothing in the 2x120 window at (0,0) on /dev/fb0; the smallest window that works there is 4x120"},
        {"rectangle-bench", {4, 4, 10, 10}, ""},
        {"mandelbrot-bench", {2, 120, 0, 0}, ""},
        {"mandelbrot-bench", {100, 0, 0, 0},
         "mandelbrot-bench draws nothing in the 100x0 window at (0,0) on /dev/fb0; the smallest window that works there is 100x1"},
        {"sierpinski-bench", {100, 15, 0, 0},
         "sierpinski-bench draws nothing in the 100x15 window at (0,0) on /dev/fb0; the smallest window that works there is 100x16"},
        // A triangle of radius 42 needs 85 columns.
        {"sierpinski-bench", {84, 100, 0, 0},
         "sierpinski-bench draws nothing in the 84x100 window at (0,0) on /dev/fb0; the smallest window that works there is 85x100"},
        {"sierpinski-bench", {85, 100, 0, 0}, ""},
    };
    for (const auto& c : cases) {
        const device_screen d = screen_of("/dev/fb0", c.window);
        EXPECT_EQ(device_window_refusal(c.program, d), c.refusal);
    }
    // The window is worked out from the variables on the device's own screen.
    device_screen d = screen_of("/dev/fb0", {});
    std::string message;
    ASSERT_TRUE(device_window_compute(d, {"160", nullptr, "8", nullptr}, message)) << message;
    EXPECT_EQ(d.window.width, 160);
    EXPECT_EQ(d.window.height, 240);
    EXPECT_EQ(d.window.posx, 8);
    EXPECT_EQ(d.defaulted, (std::vector<std::string>{"height", "posy"}));
    EXPECT_FALSE(device_window_compute(d, {"400", nullptr, nullptr, nullptr}, message));
    EXPECT_EQ(message, "/dev/fb0: window 400x240 at (0,0) crosses the right edge of the 320x240 screen");
}

// Every program fbbench knows has one entry that reads its report back.
TEST(Benchmarks, TableNamesEveryKnownProgram)
{
    EXPECT_EQ(options_known_programs(), (std::vector<std::string>{"rectangle-bench", "mandelbrot-bench", "sierpinski-bench"}));
    for (const std::string& name : options_known_programs()) {
        const benchmark* b = benchmark_find(name);
        ASSERT_NE(b, nullptr) << name;
        EXPECT_EQ(b->resolution, 0.01);
    }
    EXPECT_EQ(benchmark_find("line-bench"), nullptr);
}

// The path as the kernel resolves it: a file, a link or a link to one, a
// dangling link (its file is made) are written where they lead, the link
// staying, and stay locked against a second session across every rewrite;
// anything else is refused with one line and nothing left behind.
TEST(Results, OutputIsWhatThePathLeadsTo)
{
    namespace fs = std::filesystem;
    std::string name = (fs::temp_directory_path() / "runner_test-XXXXXX").string();
    ASSERT_NE(mkdtemp(name.data()), nullptr);
    const fs::path dir = name;
    fs::create_directory(dir / "sub");
    std::ofstream(dir / "sub" / "file.json"); // empty: nothing to keep
    std::ofstream(dir / "notes.json") << "{}\n"; // JSON, but not a results file
    fs::create_symlink("sub/file.json", dir / "link");
    fs::create_symlink("../link", dir / "sub" / "link-to-link"); // relative to its own folder
    fs::create_symlink("gone.json", dir / "dangling");
    fs::create_symlink("loop", dir / "loop");
    fs::create_symlink("sub", dir / "folder-link");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    // As long a name as a folder takes: the temporary name must fit too.
    const std::string longest(255 - 5, 'n');
    struct {
        fs::path path;
        int status;
        fs::path written;
    } cases[] = {
        {dir / "new.json", 0, dir / "new.json"},
        {dir / "sub" / "file.json", 0, dir / "sub" / "file.json"},
        {dir / "link", 0, dir / "sub" / "file.json"},
        {dir / "sub" / "link-to-link", 0, dir / "sub" / "file.json"},
        {dir / "dangling", 0, dir / "gone.json"},
        {dir / (longest + ".json"), 0, dir / (longest + ".json")},
        {dir / "loop", 1, ""},
        {dir / "sub", 2, ""},
        {dir / "folder-link", 2, ""},
        {dir / "fifo", 2, ""},
        {dir / "notes.json", 2, ""},
        {dir.string() + "/sub/file.json/", 1, ""},
        {dir.string() + "/new-folder/", 1, ""},
        {dir / "missing" / "x.json", 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string error;
        results_output output;
        EXPECT_EQ(results_output_open(output, c.path.string(), false, error), c.status) << error;
        EXPECT_EQ(error.empty(), c.status == 0) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        if (c.status != 0)
            continue;
        for (const char* text : {"{\"runs\": 1, \"schema\": \"fbbench-results/2\"}\n", "{\"runs\": 2, \"schema\": \"fbbench-results/2\"}\n"}) {
            ASSERT_TRUE(results_file_write(output, text, error)) << error;
            std::ifstream in(c.written);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text);
            results_output second;
            EXPECT_EQ(results_output_open(second, c.path.string(), false, error), 2) << "the lock follows the file";
            EXPECT_NE(error.find("in use by another fbbench session"), std::string::npos) << error;
        }
        EXPECT_EQ(fs::is_symlink(c.path), c.path != c.written);
    }
    for (const fs::path& folder : {dir, dir / "sub"})
        for (const auto& entry : fs::directory_iterator(folder))
            EXPECT_FALSE(entry.path().filename().string().starts_with(".fbbench.")) << entry.path();
    fs::remove_all(dir);
}

// The default name is made anew at the first write: sessions started in
// the same second take the next suffix instead of sharing a file.
TEST(Results, DefaultOutputIsNeverShared)
{
    namespace fs = std::filesystem;
    std::string name = (fs::temp_directory_path() / "runner_test-XXXXXX").string();
    ASSERT_NE(mkdtemp(name.data()), nullptr);
    const fs::path dir = name;
    const std::string stem = (dir / "fbbench-host-20261208T174000Z").string();
    results_output first, second, third;
    std::string error;
    for (results_output* output : {&first, &second, &third}) {
        ASSERT_EQ(results_output_create(*output, stem, error), 0) << error;
        ASSERT_TRUE(results_file_write(*output, "{}\n", error)) << error;
    }
    EXPECT_EQ(first.path, stem + ".json");
    EXPECT_EQ(second.path, stem + "-2.json");
    EXPECT_EQ(third.path, stem + "-3.json");
    fs::remove_all(dir);
}

// The flip records as a program writes them (bench_present_format), for
// flips at the given kernel times (microseconds) and vblank numbers.
std::string flip_records(const std::vector<std::pair<int64_t, uint32_t>>& flips, uint64_t busy = 0, int flip_errno = 0)
{
    std::vector<bench_flip_record> records;
    for (const auto& [us, sequence] : flips)
        records.push_back({uint32_t(us / 1000000), uint32_t(us % 1000000), sequence});
    bench_present present;
    present.records = records.data();
    present.record_count = records.size();
    present.units = 1000;
    present.queued = present.events = records.size();
    present.busy = busy;
    present.flip_errno = flip_errno;
    std::string text(bench_present_format(present, nullptr, 0), '\0');
    bench_present_format(present, text.data(), text.size() + 1);
    return text;
}

// Flips at vkms's 60 Hz from vblank 100 on, one per vblank but for the
// vblanks skipped after the given ones.
std::vector<std::pair<int64_t, uint32_t>> vkms_flips(std::size_t count, const std::set<std::size_t>& skipped_after = {},
                                                     int64_t period_us = 16667)
{
    std::vector<std::pair<int64_t, uint32_t>> flips;
    uint32_t sequence = 100;
    for (std::size_t i = 0; i < count; ++i) {
        flips.emplace_back(int64_t(12800000000) + int64_t(sequence - 100) * period_us, sequence);
        sequence += skipped_after.count(i) != 0 ? 2 : 1;
    }
    return flips;
}

TEST(Presented, IntervalsMissedVblanksAndFaults)
{
    std::vector<std::pair<int64_t, uint32_t>> stuck = vkms_flips(10);
    for (auto& flip : stuck)
        flip.second = 1000;
    std::vector<std::pair<int64_t, uint32_t>> one_late = vkms_flips(200);
    one_late[150].first += 500; // 3 % late, and the next interval as early
    const struct {
        const char* name;
        std::string text;
        std::string fault;
        double fps = 0, median_ms = 0, p99_ms = 0;
        uint64_t flagged = 0, vblanks = 0, missed = 0;
        bool lost = false;
    } cases[] = {
        {"every vblank", flip_records(vkms_flips(301)), "", 60.0, 16.667, 16.667, 0, 300, 0, false},
        {"two missed", flip_records(vkms_flips(101, {10, 60})), "", 100 / (102 * 0.016667), 16.667, 33.334, 2, 102, 2, true},
        {"one late flip", flip_records(one_late), "", 60.0, 16.667, 16.667, 2, 199, 0, false},
        {"a frame time 1 % off", flip_records(vkms_flips(61, {}, 16834)), "", 1e6 / 16834, 16.834, 16.834, 60, 60, 0, false},
        {"stuck counter", flip_records(stuck), "the vblank counter does not move (every flip event has sequence 1000)"},
        {"counter behind the flips", flip_records({{1000000, 5}, {1016667, 6}, {1033334, 6}}), "the vblank counter does not advance with the flips (sequence 6 then 6)"},
        {"flip refused", flip_records({}, 0, EINVAL), "the page flip failed: Invalid argument"},
        {"always busy", flip_records({}, 40), "every page flip was refused as busy"},
        {"one flip", flip_records(vkms_flips(1)), "fewer than two flips were presented"},
    };
    for (const auto& c : cases) {
        presented_record record;
        std::string error;
        ASSERT_TRUE(presented_parse(c.text, record, error)) << c.name << ": " << error;
        EXPECT_EQ(presented_fault(record), c.fault) << c.name;
        if (!c.fault.empty()) {
            EXPECT_EQ(presented_json(record, 60.0)["dropped"], c.fault) << c.name;
            continue;
        }
        const presented_figures f = presented_compute(record, 60.0);
        EXPECT_NEAR(f.frames_per_second, c.fps, 0.01) << c.name;
        EXPECT_NEAR(f.interval_median_ms, c.median_ms, 0.001) << c.name;
        EXPECT_NEAR(f.interval_p99_ms, c.p99_ms, 0.001) << c.name;
        EXPECT_EQ(f.intervals_flagged, c.flagged) << c.name;
        EXPECT_EQ(f.vblanks, c.vblanks) << c.name;
        EXPECT_EQ(f.missed_vblanks, c.missed) << c.name;
        // Every vblank of the run showed a new frame or was missed.
        EXPECT_EQ(f.missed_vblanks + f.flips - 1, f.vblanks) << c.name;
        EXPECT_EQ(f.frames_lost, c.lost) << c.name;
        EXPECT_LE(f.frames_per_second, 60.0 * (1 + presented_interval_tolerance)) << c.name;
    }
}

TEST(Presented, RecordsNotWrittenSoAreRefused)
{
    const std::string good = flip_records(vkms_flips(3));
    const struct {
        const char* name;
        std::string text, error;
    } cases[] = {
        {"nothing", "", "no flip records"},
        {"another header", "fbbench-present 2\n" + good.substr(good.find('\n') + 1), "the flip records are not recognised"},
        {"a bad flip line", good + "flip 1 2\n", "line 10 of the flip records is not recognised"},
        {"microseconds beyond a second", good + "flip 1 1000000 5\n", "line 10 of the flip records is not recognised"},
        {"an unknown line", good + "frames 3\n", "line 10 of the flip records is not recognised"},
        {"a flip more than kept", good + "flip 1 2 3\n", "the flip records do not add up"},
    };
    for (const auto& c : cases) {
        presented_record record;
        std::string error;
        EXPECT_FALSE(presented_parse(c.text, record, error)) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
    }
}

} // namespace
