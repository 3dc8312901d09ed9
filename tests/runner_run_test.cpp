// fbbench end to end over the three real programs under the test
// framebuffer: the file against the programs' own reports, a failing
// benchmark beside a passing one, and an interrupted session.
#include "bench_run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <map>
#include <sstream>
#include <thread>

namespace {

const std::string programs_path = "PATH=" RECTANGLE_DIR ":" MANDELBROT_DIR ":" SIERPINSKI_DIR ":/usr/bin:/bin";
// Fast readings for the rectangles' five seconds and a few Sierpinski
// levels, then one second a reading, which ends the ladder.
const std::string virtual_clock = "TEST_FB_CLOCK_STEP=20000:260,100000:30,1000000";

// The values a report prints, by metric name, read independently of fbbench.
using metric_values = std::map<std::string, double>;

metric_values report_values(const std::string& out)
{
    metric_values values;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        int points = 0;
        const std::size_t colon = line.rfind(": ");
        if (colon == std::string::npos)
            continue;
        const double value = std::strtod(line.c_str() + colon + 2, nullptr);
        if (line.ends_with("MPixels/second"))
            values["fill rate"] = value;
        else if (line.ends_with(" seconds"))
            values["time"] = value;
        else if (std::sscanf(line.c_str(), "Benchmarking %d iterations", &points) == 1)
            values["frame rate at " + std::to_string(points) + " points"] = value;
    }
    return values;
}

nlohmann::json file_json(const std::filesystem::path& path)
{
    std::ifstream in(path);
    return nlohmann::json::parse(in, nullptr, false);
}

class FbbenchRun : public testing::Test {
protected:
    void SetUp() override
    {
#ifdef BENCH_EMULATOR
        // fbbench starts the programs itself: an emulated fbbench's children
        // run only when the kernel hands ARM programs to the emulator.
        if (!std::filesystem::exists("/proc/sys/fs/binfmt_misc/qemu-arm"))
            GTEST_SKIP() << "skipped: no binfmt_misc entry for qemu-arm, so fbbench cannot start ARM programs";
#endif
        output = std::filesystem::temp_directory_path() / ("fbbench-run-" + std::to_string(getpid()) + ".json");
    }
    void TearDown() override { std::filesystem::remove(output); }

    bench_result fbbench(std::vector<std::string> args, std::vector<std::string> env,
                         const std::function<void(pid_t)>& while_running = {})
    {
        args.insert(args.begin(), {FBBENCH, "--quiet", "--no-probe", "--output", output.string()});
        env.insert(env.begin(), {"TEST_FB_SCREEN=320x240x32", programs_path});
        return bench_run_command(args, env, nullptr, -1, while_running);
    }

    std::filesystem::path output;
};

struct session_case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> env;
    int status;
    std::map<std::string, std::size_t> valid_runs; // per program and target
    const char* message;
};

TEST_F(FbbenchRun, FileHoldsTheReportsExactly)
{
    const session_case cases[] = {
        {"AllThree", {"--runs", "3"}, {virtual_clock}, 0, {{"rectangle-bench", 3}, {"mandelbrot-bench", 3}, {"sierpinski-bench", 3}}, ""},
        // Sierpinski refuses a window lower than 16 rows; Mandelbrot still runs.
        {"OneFails", {"--runs", "1", "sierpinski-bench", "mandelbrot-bench"}, {virtual_clock, "HEIGHT=15"}, 1,
         {{"sierpinski-bench", 0}, {"mandelbrot-bench", 1}}, "sierpinski-bench: window 320x15 is lower than 16 rows\n"},
    };
    for (const session_case& c : cases) {
        SCOPED_TRACE(c.name);
        const bench_result result = fbbench(c.args, c.env);
        EXPECT_EQ(result.status, c.status) << result.err;
        // Warnings depend on the machine (is it idle?); failures do not.
        std::string failures;
        std::istringstream err(result.err);
        for (std::string line; std::getline(err, line);)
            if (!line.starts_with("fbbench: warning: "))
                failures += line + "\n";
        EXPECT_EQ(failures, c.message);
        const nlohmann::json file = file_json(output);
        ASSERT_TRUE(file.is_object());
        EXPECT_EQ(file["complete"], true);
        EXPECT_EQ(file["devices"][0]["fix"]["id"], "test fb") << "the device is described";
        // The test framebuffer's memory is ordinary pages, a deferred-I/O
        // shadow by its mapping: its display is measured too.
        std::map<std::string, std::size_t> device_runs, memory_runs, display_runs;
        nlohmann::json last;
        for (const nlohmann::json& run : file["runs"]) {
            if (!last.is_null() && last["program"] == run["program"]) {
                EXPECT_NE(run["target"], last["target"]) << "screen and RAM runs alternate";
            }
            last = run;
            device_runs[run["program"]] += 0;
            memory_runs[run["program"]] += 0;
            display_runs[run["program"]] += 0;
            (run["target"] == "device"   ? device_runs
             : run["target"] == "memory" ? memory_runs
                                         : display_runs)[run["program"]] += run["valid"].get<bool>();
            if (run["valid"] == true) {
                EXPECT_EQ(run["values"].get<metric_values>(), report_values(run["stdout"]));
            }
            EXPECT_EQ(run["exit_status"] == 0, run["valid"] == true);
        }
        EXPECT_EQ(device_runs, c.valid_runs);
        EXPECT_EQ(memory_runs, c.valid_runs);
        EXPECT_EQ(display_runs, c.valid_runs);
        // Every value reaches the table.
        for (const nlohmann::json& r : file["results"]) {
            char median[32];
            std::snprintf(median, sizeof median, "%.2f", r["device"]["median"].get<double>());
            EXPECT_NE(result.out.find(r["program"].get<std::string>() + " " + r["metric"].get<std::string>()),
                      std::string::npos);
            EXPECT_NE(result.out.find(median), std::string::npos);
        }
    }
}

// A DRM card's picture needs a dirty request: its display is measured as a
// third target, and its description probes full-screen updates on a dumb
// buffer shown on the CRTC, giving the display back after; while a display
// server holds the card, the probe is skipped with the reason.
TEST_F(FbbenchRun, DrmCardDisplayIsMeasuredAndGivenBack)
{
    // Without --no-probe: the probe is under test.
    const bench_result result = bench_run_command(
        {FBBENCH, "--quiet", "--output", output.string(), "--runs", "1", "mandelbrot-bench"},
        {"TEST_FB_SCREEN=320x240x32", programs_path, virtual_clock, "TEST_FB_DRM=1"});
    ASSERT_EQ(result.status, 0) << result.err;
    const nlohmann::json file = file_json(output);
    ASSERT_TRUE(file.is_object());
    const nlohmann::json& display = file["devices"][0]["display"];
    EXPECT_EQ(display["flush"]["method"], "dirtyfb");
    EXPECT_EQ(display["flush"]["kernel_waits"], true);
    EXPECT_GT(display["update_probe"]["updates"].get<int>(), 0) << display.dump();
    EXPECT_EQ(display["refresh"]["status"], "no vblank events") << display.dump();
    std::map<std::string, int> valid;
    for (const nlohmann::json& run : file["runs"])
        valid[run["target"]] += run["valid"].get<bool>();
    EXPECT_EQ(valid, (std::map<std::string, int>{{"device", 1}, {"memory", 1}, {"display", 1}}));
    EXPECT_NE(result.out.find("display/screen"), std::string::npos) << result.out;
    // Every time the dumb buffer was shown, the console's framebuffer came back.
    const auto count = [&](const std::string& line) { return std::count(result.log.begin(), result.log.end(), line); };
    EXPECT_GE(count("setcrtc fb 7, 1 connector(s)"), 3); // the probe, the screen run, the display run
    EXPECT_EQ(count("setcrtc fb 5, 1 connector(s)"), count("setcrtc fb 7, 1 connector(s)"));

    const bench_result busy = bench_run_command(
        {FBBENCH, "--quiet", "--output", output.string(), "--runs", "1", "mandelbrot-bench"},
        {"TEST_FB_SCREEN=320x240x32", programs_path, virtual_clock, "TEST_FB_DRM=busy"});
    EXPECT_EQ(busy.status, 1);
    const nlohmann::json busy_file = file_json(output);
    ASSERT_TRUE(busy_file.is_object());
    EXPECT_EQ(busy_file["devices"][0]["display"]["update_probe"]["skipped"],
              "a display server holds DRM master (Device or resource busy)");
    EXPECT_EQ(std::count(busy.log.begin(), busy.log.end(), "setcrtc fb 7, 1 connector(s)"), 0) << "nothing shown";
}

TEST_F(FbbenchRun, InterruptKeepsTheCompletedRun)
{
    // The real clock: each rectangle run takes five seconds, so the signal
    // comes during the second run, after the first has been written.
    const bench_result result = fbbench({"rectangle-bench"}, {}, [&](pid_t pid) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            const nlohmann::json file = file_json(output);
            if (file.is_object() && !file["runs"].empty())
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(pid, SIGINT);
    });
    EXPECT_EQ(result.status, 130) << result.err;
    const nlohmann::json file = file_json(output);
    ASSERT_TRUE(file.is_object());
    EXPECT_EQ(file["complete"], false);
    ASSERT_EQ(file["runs"].size(), 2u);
    EXPECT_EQ(file["runs"][0]["valid"], true);
    EXPECT_EQ(file["runs"][1]["invalid_reason"], "interrupted");
    EXPECT_EQ(file["results"][0]["device"]["runs"], 1);
    EXPECT_NE(result.out.find("rectangle-bench fill rate"), std::string::npos);
}

} // namespace
