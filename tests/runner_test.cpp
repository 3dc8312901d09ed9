// The runner's logic on injected reports and runs: report parsing, the
// statistics and the rules built on them, options, and the results file.
#include "display_target.h"
#include "options.h"
#include "report.h"
#include "results.h"
#include "stats.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

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
        EXPECT_EQ(values[i].value, c.values[i]) << i;
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
    value_stats expected;
    std::vector<std::size_t> outliers;
};

TEST(Stats, MedianRangeSpreadAndOutliers)
{
    const stats_case cases[] = {
        {{5}, {5, 5, 5, 0, 1}, {}},
        {{10, 8, 12, 9}, {9.5, 8, 12, 4 / 9.5 * 100, 4}, {}},
        {{100, 101, 99, 100, 140}, {100, 99, 140, 41, 5}, {4}},
        {{0, 0, 0}, {0, 0, 0, 0, 3}, {}},
        {{7, 7, 7, 7, 9}, {7, 7, 9, 2 / 7.0 * 100, 5}, {}}, // no deviation to measure against
    };
    for (const stats_case& c : cases) {
        const value_stats s = stats_compute(c.values);
        EXPECT_EQ(s.median, c.expected.median);
        EXPECT_EQ(s.min, c.expected.min);
        EXPECT_EQ(s.max, c.expected.max);
        EXPECT_DOUBLE_EQ(s.spread_percent, c.expected.spread_percent);
        EXPECT_EQ(s.runs, c.expected.runs);
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
    };
    for (const auto& c : cases)
        EXPECT_EQ(stats_more_needed(c.values, c.valid, c.runs, c.max_runs, 3), c.more) << c.valid;
}

TEST(Stats, ClockStepAndSlowFirstRun)
{
    // Allowed: 1 ms plus 0.1 % of the monotonic time.
    EXPECT_FALSE(stats_clock_stepped(10.0109, 10));
    EXPECT_TRUE(stats_clock_stepped(10.0111, 10));
    EXPECT_TRUE(stats_clock_stepped(8.9, 10));
    EXPECT_FALSE(stats_clock_stepped(0.0009, 0));
    EXPECT_TRUE(stats_clock_stepped(-0.0011, 0));

    EXPECT_TRUE(stats_first_slow({80, 100, 101, 99}, true));
    EXPECT_FALSE(stats_first_slow({95, 100, 101, 99}, true)); // within 10 %
    EXPECT_FALSE(stats_first_slow({80, 100}, true)); // too few to tell
    EXPECT_TRUE(stats_first_slow({14, 12, 12.1}, false)); // a time: higher is worse
    EXPECT_FALSE(stats_first_slow({10, 12, 12.1}, false));
}

struct options_case {
    std::vector<const char*> args;
    options_action action;
    int runs = 0, max_runs = 0;
    std::vector<std::string> programs = {};
    int timeout_seconds = 600;
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
        {{"--fast"}, options_action::usage_error},
        {{"-x"}, options_action::usage_error},
        {{"line-bench"}, options_action::usage_error},
        {{"--sync"}, options_action::run, 3, 10, all},
        {{"--no-sync"}, options_action::run, 3, 10, all},
        {{"--sync=frame"}, options_action::usage_error},
        {{"--help"}, options_action::help},
        {{"-V"}, options_action::version},
    };
    for (const options_case& c : cases) {
        std::vector<char*> argv = {const_cast<char*>("fbbench")};
        for (const char* a : c.args)
            argv.push_back(const_cast<char*>(a));
        argv.push_back(nullptr);
        runner_options o;
        std::string message;
        const std::string shown = c.args.empty() ? "(none)" : c.args[0];
        ASSERT_EQ(options_parse(int(argv.size() - 1), argv.data(), o, message), c.action) << shown;
        EXPECT_EQ(message.empty(), c.action != options_action::usage_error) << shown;
        if (c.action != options_action::run)
            continue;
        EXPECT_EQ(o.runs, c.runs) << shown;
        EXPECT_EQ(o.max_runs, c.max_runs) << shown;
        EXPECT_EQ(o.programs, c.programs) << shown;
        EXPECT_EQ(o.timeout_seconds, c.timeout_seconds) << shown;
    }
}

run_record injected_run(const std::string& target, const std::string& report, bool warmup = false)
{
    run_record r{"rectangle-bench", target, "/dev/fb0", warmup, 0, true, "", report, "", {}, 5.01};
    r.valid = report_parse(r.program, report, r.values);
    return r;
}

std::string rectangle_report(const char* rate)
{
    return "Rectangle frame buffer test bench\nBenchmarking 100x60 size: " + std::string(rate) + " MPixels/second\n";
}

TEST(Results, FileAfterAnInterruptedRun)
{
    session s;
    s.host = "board";
    s.started = "2026-12-08T17:40:00Z";
    s.devices = {"/dev/fb0"};
    s.device_descriptions = {{{"path", "/dev/fb0"}}};
    s.window = {{"WIDTH", "400"}};
    s.runs = {injected_run("device", rectangle_report("99.00"), true), injected_run("device", rectangle_report("180.50")),
              injected_run("memory", rectangle_report("722.00")), injected_run("device", rectangle_report("184.37"))};
    run_record killed = injected_run("memory", "");
    killed.exit_status = -1;
    killed.signal = SIGINT;
    killed.invalid_reason = "interrupted";
    killed.out_truncated = true;
    s.runs.push_back(killed);

    const std::filesystem::path file = std::filesystem::temp_directory_path() / ("runner_test-" + std::to_string(getpid()));
    std::string error;
    ASSERT_TRUE(results_file_write(file, results_json(s, "2026-12-08T17:41:00Z").dump(), error)) << error;
    std::ifstream in(file);
    const nlohmann::json j = nlohmann::json::parse(in);
    std::filesystem::remove(file);

    EXPECT_EQ(j["schema"], "fbbench-results/2");
    EXPECT_EQ(j["options"]["timeout_seconds"], 600);
    EXPECT_EQ(j["complete"], false);
    EXPECT_EQ(j["window"], nlohmann::json({{"WIDTH", "400"}}));
    ASSERT_EQ(j["runs"].size(), 5u);
    EXPECT_EQ(j["runs"][3]["values"]["fill rate"], 184.37);
    EXPECT_EQ(j["runs"][3]["stdout"], rectangle_report("184.37"));
    EXPECT_FALSE(j["runs"][3].contains("invalid_reason"));
    EXPECT_EQ(j["runs"][4]["invalid_reason"], "interrupted");
    EXPECT_EQ(j["runs"][4]["valid"], false);
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
    // The warm-up and the killed run count for nothing.
    EXPECT_EQ(r["device"], nlohmann::json({{"median", (180.50 + 184.37) / 2}, {"min", 180.50}, {"max", 184.37},
                                           {"spread_percent", (184.37 - 180.50) / ((180.50 + 184.37) / 2) * 100},
                                           {"runs", 2}}));
    EXPECT_EQ(r["memory"]["runs"], 1);
    EXPECT_EQ(r["ratio"], (180.50 + 184.37) / 2 / 722.00);
    EXPECT_EQ(results_summary_row(s), "| board | 182.44 | - | - | - |");
    EXPECT_EQ(results_summary_header(s), "| host | rectangle (MPixels/s) | Mandelbrot (s) | Sierpinski first level | "
                                         "Sierpinski last level |\n|---|---|---|---|---|");

    // The header names the levels the row holds, which differ between boards.
    run_record sierpinski{"sierpinski-bench", "device", "/dev/fb0", false, 0, true, "", "", "", {}, 2.0};
    ASSERT_TRUE(report_parse(sierpinski.program, sierpinski_title + sierpinski_levels + "\n", sierpinski.values));
    s.runs.push_back(sierpinski);
    EXPECT_EQ(results_summary_header(s).substr(0, results_summary_header(s).find('\n')),
              "| host | rectangle (MPixels/s) | Mandelbrot (s) | Sierpinski 1024 points (frames/s) | "
              "Sierpinski 2048 points (frames/s) |");
    EXPECT_EQ(results_summary_row(s), "| board | 182.44 | - | 57.50 | 1030.12 |");
}

TEST(Options, SyncChoosesTheDisplayTarget)
{
    const struct {
        std::vector<const char*> args;
        const char* sync;
    } cases[] = {{{}, "auto"}, {{"--sync"}, "always"}, {{"--no-sync"}, "never"}, {{"--sync", "--no-sync"}, "never"}};
    for (const auto& c : cases) {
        std::vector<char*> argv = {const_cast<char*>("fbbench")};
        for (const char* a : c.args)
            argv.push_back(const_cast<char*>(a));
        argv.push_back(nullptr);
        runner_options o;
        std::string message;
        ASSERT_EQ(options_parse(int(argv.size() - 1), argv.data(), o, message), options_action::run);
        EXPECT_EQ(o.sync, c.sync);
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
    using targets = std::vector<std::string>;
    const struct {
        const char* sync;
        bool memory;
        const nlohmann::json& device;
        targets expected;
    } cases[] = {
        {"auto", true, direct, {"device", "memory"}},
        {"auto", true, shadow, {"device", "memory", "display"}},
        {"auto", false, drm, {"device", "display"}},
        {"auto", true, unopened, {"device", "memory"}},
        {"always", true, direct, {"device", "memory", "display"}},
        {"never", true, shadow, {"device", "memory"}},
        {"never", true, drm, {"device", "memory"}},
    };
    for (const auto& c : cases) {
        runner_options o;
        o.sync = c.sync;
        o.memory = c.memory;
        EXPECT_EQ(device_targets(o, c.device), c.expected) << c.sync << " " << c.device.dump();
    }
}

run_record injected(const std::string& program, const std::string& target, const std::string& report)
{
    run_record r{program, target, "/dev/fb1", false, 0, true, "", report, "", {}, 5.0};
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

// The display's figures go into the file beside the screen's, with their
// ratio; a display that receives under half of what is drawn is warned of,
// once per program and device, at the row of the largest loss.
TEST(DisplayTarget, FiguresRatioAndDropWarning)
{
    session s;
    s.devices = {"/dev/fb1"};
    s.runs = {
        injected("sierpinski-bench", "device", sierpinski_report("   57.50", "   40.00", "   20.00")),
        injected("sierpinski-bench", "memory", sierpinski_report("   60.00", "   41.00", "   21.00")),
        injected("sierpinski-bench", "display", sierpinski_report("   30.00", "   12.34", "   11.00")),
        injected("rectangle-bench", "device", rectangle_report("16.69")),
        injected("rectangle-bench", "display", rectangle_report("9.00")),
        injected("mandelbrot-bench", "device", mandelbrot_report("3.10")),
        injected("mandelbrot-bench", "display", mandelbrot_report("7.26")),
    };
    for (run_record& r : s.runs)
        ASSERT_TRUE(r.valid) << r.program << " " << r.target;
    for (const char* program : {"sierpinski-bench", "rectangle-bench", "mandelbrot-bench"})
        display_drop_warnings_add(s, program, "/dev/fb1");
    ASSERT_EQ(s.warnings.size(), 2u);
    EXPECT_EQ(s.warnings[0].kind, "display-drop");
    // 12.34 of 40 is the largest loss (0.31), before 11 of 20 and 30 of 57.5.
    EXPECT_EQ(s.warnings[0].message, "/dev/fb1 shows at most 12.3 of the 40.0 Sierpinski frames/s drawn at 2048 points");
    // Rectangles: 9 of 16.69 is over half: no warning. Mandelbrot: 7.26 s for 3.10 s is under half.
    EXPECT_EQ(s.warnings[1].message, "/dev/fb1 takes 7.26 s to show the Mandelbrot passes drawn in 3.10 s");

    const nlohmann::json j = results_json(s, "2026-12-08T22:00:00Z");
    ASSERT_EQ(j["results"].size(), 5u);
    const nlohmann::json& level = j["results"][1];
    EXPECT_EQ(level["metric"], "frame rate at 2048 points");
    EXPECT_EQ(level["display"]["median"], 12.34);
    EXPECT_EQ(level["display_ratio"], 12.34 / 40.00);
    EXPECT_EQ(level["ratio"], 40.00 / 41.00);
    EXPECT_EQ(j["results"][3]["display_ratio"], 9.00 / 16.69);
    EXPECT_FALSE(j["results"][3].contains("memory"));
    EXPECT_EQ(j["options"]["sync"], "auto");

    // The table gains the display column and the display/screen ratio.
    std::FILE* table = std::tmpfile();
    ASSERT_NE(table, nullptr);
    results_table_print(table, s);
    std::rewind(table);
    std::string text;
    for (int ch; (ch = std::fgetc(table)) != EOF;)
        text += char(ch);
    std::fclose(table);
    EXPECT_NE(text.find("display  display/screen\n"), std::string::npos) << text;
    EXPECT_NE(text.find("12.34           0.308\n"), std::string::npos) << text;

    // Without display runs the table keeps its columns.
    std::erase_if(s.runs, [](const run_record& r) { return r.target == "display"; });
    table = std::tmpfile();
    ASSERT_NE(table, nullptr);
    results_table_print(table, s);
    std::rewind(table);
    text.clear();
    for (int ch; (ch = std::fgetc(table)) != EOF;)
        text += char(ch);
    std::fclose(table);
    EXPECT_EQ(text.find("display"), std::string::npos) << text;
    EXPECT_NE(text.find("screen/RAM\n"), std::string::npos) << text;
}

TEST(Results, PathResolvedToTheFileItNames)
{
    namespace fs = std::filesystem;
    std::string name = (fs::temp_directory_path() / "runner_test-XXXXXX").string();
    ASSERT_NE(mkdtemp(name.data()), nullptr);
    const fs::path dir = name;
    fs::create_directory(dir / "sub");
    std::ofstream(dir / "sub" / "file.json") << "{}";
    fs::create_symlink("sub/file.json", dir / "link");
    fs::create_symlink("../link", dir / "sub" / "link-to-link"); // relative to its own folder
    fs::create_symlink("gone.json", dir / "dangling");
    fs::create_symlink("loop", dir / "loop");
    fs::create_symlink("sub", dir / "folder-link");
    struct {
        fs::path path;
        bool accepted;
        fs::path resolved;
    } cases[] = {
        {dir / "new.json", true, dir / "new.json"},
        {dir / "sub" / "file.json", true, dir / "sub" / "file.json"},
        {dir / "link", true, dir / "sub" / "file.json"},
        {dir / "sub" / "link-to-link", true, dir / "sub" / "file.json"},
        {dir / "dangling", true, dir / "gone.json"}, // the file the link names is made
        {dir / "loop", false, ""},
        {dir / "sub", false, ""},
        {dir / "folder-link", false, ""},
        {dir / "missing" / "x.json", true, dir / "missing" / "x.json"}, // the write says why not
    };
    for (const auto& c : cases) {
        std::string resolved, error;
        const bool accepted = results_path_resolve(c.path.string(), resolved, error);
        EXPECT_EQ(accepted, c.accepted) << c.path;
        EXPECT_EQ(error.empty(), c.accepted) << c.path;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        if (accepted) {
            EXPECT_EQ(fs::weakly_canonical(resolved), fs::weakly_canonical(c.resolved)) << c.path;
        }
    }
    fs::remove_all(dir);
}

} // namespace
