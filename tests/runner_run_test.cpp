// fbbench end to end over the three real programs under the test
// framebuffer: the file against the programs' own reports, a failing
// benchmark beside a passing one, and an interrupted session.
#include "bench_run.h"
#include "mandelbrot.h"
#include "procfs.h"
#include "unique_fd.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <functional>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

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

std::string text_of(const std::filesystem::path& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

nlohmann::json file_json(const std::filesystem::path& path)
{
    std::ifstream in(path);
    return nlohmann::json::parse(in, nullptr, false);
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Looks again and again until done; false when it is not after seconds.
bool poll_until(const std::function<bool()>& done, double seconds = 60,
                std::chrono::milliseconds every = std::chrono::milliseconds(10))
{
    for (const auto start = std::chrono::steady_clock::now(); !done(); std::this_thread::sleep_for(every))
        if (seconds_since(start) >= seconds)
            return false;
    return true;
}

// Gone, or a zombie: it runs no more.
bool process_ended(pid_t pid)
{
    const std::optional<procfs_stat> stat = procfs_stat_read(pid);
    return !stat || stat->state == 'Z' || stat->state == 'X';
}

bool ended_within(pid_t pid, double seconds)
{
    return poll_until([&] { return process_ended(pid); }, seconds);
}

// The first child of a process, once it has one (0 after a minute).
pid_t child_wait(pid_t pid)
{
    const std::string children = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    pid_t child = 0;
    poll_until([&] { return bool(std::istringstream(procfs_file_read(children)) >> child); });
    return child;
}

// A folder of its own, made in parent, removed with all it holds.
struct scratch_folder {
    std::filesystem::path path; // empty when none could be made
    explicit scratch_folder(const std::filesystem::path& parent = std::filesystem::temp_directory_path())
    {
        std::string name = (parent / "fbbench-run-XXXXXX").string();
        if (mkdtemp(name.data()) != nullptr)
            path = name;
    }
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;
    ~scratch_folder()
    {
        if (path.empty())
            return;
        std::error_code error;
        // A test may have left it read-only.
        std::filesystem::permissions(path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, error);
        std::filesystem::remove_all(path, error);
        if (error)
            ADD_FAILURE() << "cannot remove " << path << ": " << error.message();
    }
};

// The file opened and locked, as a benchmark that runs holds its device;
// none held when it cannot be.
unique_fd lock_hold(const std::filesystem::path& path)
{
    unique_fd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (fd.get() >= 0 && flock(fd.get(), LOCK_EX) != 0)
        fd.reset();
    return fd;
}

// Mounts a small tmpfs on the folder and fills it to the last block. Empty,
// or why it could not.
std::string full_disk_mount(const std::filesystem::path& folder)
{
    if (geteuid() != 0)
        return "only root may mount a small file system to fill";
    if (mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") != 0)
        return std::string("cannot mount a tmpfs: ") + std::strerror(errno);
    const unique_fd fill(open((folder / "fill").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    const std::string block(4096, 'x');
    while (fill.get() >= 0 && write(fill.get(), block.data(), block.size()) > 0) {
    }
    return "";
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
        ASSERT_FALSE(folder.empty()) << "no scratch folder";
        // A test run as a background job inherits these ignored; fbbench
        // would keep them so.
        for (int sig : {SIGINT, SIGTERM, SIGHUP})
            signal(sig, SIG_DFL);
    }

    bench_result fbbench(std::vector<std::string> args, std::vector<std::string> env,
                         const std::function<void(pid_t)>& while_running = {}, int closed_fd = -1,
                         bool quiet = true)
    {
        args.insert(args.begin(), {FBBENCH, "--no-probe", "--output", output.string()});
        if (quiet)
            args.insert(args.begin() + 1, "--quiet");
        env.insert(env.begin(), {"TEST_FB_SCREEN=320x240x32", programs_path});
        return bench_run_command(args, env, nullptr, closed_fd, while_running);
    }

    // A folder of the three programs for --programs, those named replaced by
    // the stand-in that prints what it is told.
    std::string programs_with_stand_ins(const std::vector<std::string>& stand_ins)
    {
        const std::filesystem::path programs = folder / "report-stand-ins";
        std::filesystem::create_directory(programs);
        const std::map<std::string, std::string> real = {
            {"rectangle-bench", RECTANGLE_BENCH}, {"mandelbrot-bench", MANDELBROT_BENCH}, {"sierpinski-bench", SIERPINSKI_BENCH}};
        for (const auto& [name, path] : real) {
            const bool stand_in = std::find(stand_ins.begin(), stand_ins.end(), name) != stand_ins.end();
            std::filesystem::create_symlink(stand_in ? REPORT_STAND_IN : path, programs / name);
        }
        return programs.string();
    }

    // fbbench over the stand-in under mandelbrot-bench's name (a program
    // with no fixed run time, which any --timeout fits), behaving as
    // mode says. A watchdog kills fbbench and the stand-in when fbbench
    // has not ended 60 s after while_running, and fails the test.
    bench_result stand_in(const char* mode, std::vector<std::string> args,
                          const std::function<void(pid_t)>& while_running = {})
    {
        const std::filesystem::path programs = folder / "programs";
        std::filesystem::create_directories(programs);
        for (const std::string& name : options_programs)
            if (!std::filesystem::exists(programs / name))
                std::filesystem::create_symlink(STAND_IN_BENCH, programs / name);
        args.insert(args.begin(), {"--programs", programs.string(), "--no-memory"});
        args.push_back("mandelbrot-bench");
        return fbbench(args, {std::string("STAND_IN=") + mode, "STAND_IN_PID=" + pid_file().string()}, [&](pid_t pid) {
            if (while_running)
                while_running(pid);
            if (!ended_within(pid, 60)) {
                ADD_FAILURE() << "fbbench still running after 60 s";
                kill(pid, SIGKILL);
                if (const pid_t child = stand_in_pid(0); child > 0)
                    kill(child, SIGKILL);
            }
        });
    }

    std::filesystem::path pid_file() const { return folder / "stand-in.pid"; }

    // A results file that fbbench wrote in this test run: one stand-in run,
    // complete. Its text, to compare what is left with.
    std::string earlier_results()
    {
        std::filesystem::remove(output);
        std::filesystem::remove(pid_file());
        const bench_result made = stand_in("exit139", {});
        std::filesystem::remove(pid_file());
        return made.status == 1 ? text_of(output) : "";
    }

    // The stand-in's process id, once it has written it (0 after seconds).
    pid_t stand_in_pid(double seconds) const
    {
        pid_t pid = 0;
        return poll_until([&] { return std::ifstream(pid_file()) >> pid && pid > 0; }, seconds) ? pid : 0;
    }

    // What is left in the folder besides the programs: the results file,
    // the stand-in's file, and no temporary file.
    std::vector<std::string> folder_names() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            if (entry.path().filename() != "programs")
                names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    const std::vector<std::string> options_programs = {"rectangle-bench", "mandelbrot-bench", "sierpinski-bench"};
    const scratch_folder scratch;
    const std::filesystem::path folder = scratch.path;
    const std::filesystem::path output = folder / "results.json";
};

// Mandelbrot's value line for a run of so many seconds, as the program prints it.
std::string mandelbrot_line(double seconds)
{
    char line[80];
    std::snprintf(line, sizeof line, MANDELBROT_REPORT_LINE, seconds);
    return line;
}

// The stand-in's reports as Mandelbrot's, one a run in turn; for RAM or
// display runs alone under STAND_IN_REPORT_MEMORY or _DISPLAY.
std::string mandelbrot_reports(const std::vector<double>& seconds, const std::string& variable = "STAND_IN_REPORT")
{
    std::string reports = variable + "=";
    for (double s : seconds)
        reports += std::string(reports.back() == '=' ? "" : "|") + MANDELBROT_REPORT_TITLE "\\n" + mandelbrot_line(s)
                 + "\\n";
    return reports;
}

// A warning of the kind (any kind when empty) that holds the text.
bool warned(const nlohmann::json& file, const std::string& kind, const std::string& text = "")
{
    for (const nlohmann::json& w : file["warnings"])
        if ((kind.empty() || w["kind"] == kind) && w["message"].get<std::string>().find(text) != std::string::npos)
            return true;
    return false;
}

struct session_case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> env;
    int status = 0;
    std::map<std::string, std::size_t> valid_runs; // per program and target, warm-ups among them
    std::string message = ""; // standard error, warnings aside
    std::vector<std::string> stand_ins = {}; // programs replaced by the stand-in
    const char* invalid_reason = ""; // of every invalid run
    std::vector<std::string> warning_kinds = {}; // each given at least once
    std::function<void(const nlohmann::json&, const std::string&)> check = {}; // on the file and the table
};

void PrintTo(const session_case& c, std::ostream* os)
{
    *os << c.name;
}

const session_case session_cases[] = {
    {.name = "AllThree", .args = {"--runs", "3"}, .env = {virtual_clock},
     .valid_runs = {{"rectangle-bench", 3}, {"mandelbrot-bench", 3}, {"sierpinski-bench", 3}}},
    // A failing benchmark beside a passing one.
    {.name = "OneFails", .args = {"--runs", "1", "sierpinski-bench", "mandelbrot-bench"},
     .env = {virtual_clock, "STAND_IN_STATUS=1", "STAND_IN_ERROR=sierpinski-bench: cannot open /dev/fb0: No such device"},
     .status = 1, .valid_runs = {{"sierpinski-bench", 0}, {"mandelbrot-bench", 1}},
     .message = "sierpinski-bench: cannot open /dev/fb0: No such device\n", .stand_ins = {"sierpinski-bench"},
     .invalid_reason = "exit status 1"},
    // A report of a figure that is no number is read, recorded, and not counted.
    {.name = "NotFinite", .args = {"mandelbrot-bench"},
     .env = {mandelbrot_reports({std::nan("")}), "FBBENCH_TARGET=memory"}, .status = 1,
     .valid_runs = {{"mandelbrot-bench", 0}},
     .message = "fbbench: the report of mandelbrot-bench does not count (value not finite): "
              + mandelbrot_line(std::nan("")) + "\n",
     .stand_ins = {"mandelbrot-bench"}, .invalid_reason = "value not finite", .warning_kinds = {"fbbench-target-set"}},
    // 0.03 s a run: one significant digit, settled by the quantum and
    // marked; the warning names a window that reaches 1.00 s.
    {.name = "ResolutionLimited", .args = {"--runs", "3", "mandelbrot-bench"},
     .env = {"TEST_FB_CLOCK_STEP=30000", "TEST_FB_SCREEN=1024x768x32", "WIDTH=160", "HEIGHT=120"},
     .valid_runs = {{"mandelbrot-bench", 3}}, .warning_kinds = {"resolution"},
     .check = [](const nlohmann::json& file, const std::string&) {
         const nlohmann::json& r = file["results"][0];
         EXPECT_EQ(r["device"]["median"], 0.03);
         EXPECT_EQ(r["device"]["resolution_limited"], true);
         EXPECT_EQ(r["device"]["settled"], true);
         EXPECT_EQ(r["memory"]["resolution_limited"], true);
         EXPECT_EQ(r["resolution"], 0.01);
         EXPECT_TRUE(warned(file, "resolution", "WIDTH=924 HEIGHT=693")) << file["warnings"];
         EXPECT_EQ(file["devices"][0]["window"],
                   nlohmann::json({{"width", 160}, {"height", 120}, {"posx", 0}, {"posy", 0},
                                   {"defaulted", {"posx", "posy"}}}));
         EXPECT_EQ(file["devices"][0]["screen"],
                   nlohmann::json({{"width", 1024}, {"height", 768}, {"bits_per_pixel", 32}, {"row_bytes", 4096}}));
     }},
    // Never settling: one warning with the spread and the target, the row
    // marked; one outlier line naming the run, though the MAD is 0.
    {.name = "NotSettled", .args = {"--runs", "5", "--max-runs", "5", "--no-memory", "--no-sync", "mandelbrot-bench"},
     .env = {mandelbrot_reports({12.34, 12.34, 12.34, 12.35, 15.00})}, .valid_runs = {{"mandelbrot-bench", 5}},
     .stand_ins = {"mandelbrot-bench"}, .check = [](const nlohmann::json& file, const std::string& out) {
         EXPECT_EQ(file["results"][0]["device"]["settled"], false);
         EXPECT_EQ(file["results"][0]["device"]["runs"], 5);
         EXPECT_TRUE(warned(file, "not-settled", "spread of its time is 21.6 %, above the target of 3.0 %"))
             << file["warnings"];
         EXPECT_TRUE(warned(file, "outlier", "screen run 5 of mandelbrot-bench")) << file["warnings"];
         std::size_t lines = 0;
         for (const nlohmann::json& w : file["warnings"])
             lines += w["kind"] == "not-settled" || w["kind"] == "outlier";
         EXPECT_EQ(lines, 2u);
         EXPECT_NE(out.find("mandelbrot-bench time  s      12.34*   21.6%     5\n"), std::string::npos) << out;
     }},
    // Each target's warnings quote its own figures: the display, slow
    // and unsettled, beside a steady screen and RAM, with or without RAM.
    {.name = "DisplayWarningsQuoteTheDisplay", .args = {"--runs", "3", "--max-runs", "3", "mandelbrot-bench"},
     .env = {mandelbrot_reports({0.50}), mandelbrot_reports({0.47}, "STAND_IN_REPORT_MEMORY"),
             mandelbrot_reports({0.75, 0.90}, "STAND_IN_REPORT_DISPLAY")},
     .valid_runs = {{"mandelbrot-bench", 3}}, .stand_ins = {"mandelbrot-bench"},
     .check = [](const nlohmann::json& file, const std::string&) {
         EXPECT_EQ(file["results"][0]["display"]["median"], 0.75);
         EXPECT_TRUE(warned(file, "not-settled", "(display) did not settle")) << file["warnings"];
         EXPECT_TRUE(warned(file, "resolution", "display 0.75 s")) << file["warnings"];
         EXPECT_EQ(std::count_if(file["warnings"].begin(), file["warnings"].end(),
                                 [](const nlohmann::json& w) { return w["kind"] == "resolution"; }),
                   1)
             << "one advice for the device: " << file["warnings"];
         EXPECT_FALSE(warned(file, "not-settled", "(RAM)")) << file["warnings"];
         for (const nlohmann::json& w : file["warnings"]) {
             const std::string message = w["message"];
             EXPECT_FALSE(message.find("(display)") != std::string::npos && message.find("0.47") != std::string::npos)
                 << message;
         }
     }},
    {.name = "DisplayWarningsWithoutRam", .args = {"--runs", "3", "--max-runs", "3", "--no-memory", "mandelbrot-bench"},
     .env = {mandelbrot_reports({0.50}), mandelbrot_reports({0.75, 0.90}, "STAND_IN_REPORT_DISPLAY")},
     .valid_runs = {{"mandelbrot-bench", 3}}, .stand_ins = {"mandelbrot-bench"},
     .check = [](const nlohmann::json& file, const std::string&) {
         EXPECT_TRUE(warned(file, "not-settled", "(display) did not settle")) << file["warnings"];
         EXPECT_TRUE(warned(file, "resolution", "display 0.75 s")) << file["warnings"];
     }},
    // The first counted run slow after one warm-up: the advice is a second.
    {.name = "SlowFirstRun",
     .args = {"--runs", "3", "--max-runs", "4", "--warmup", "1", "--no-memory", "--no-sync", "mandelbrot-bench"},
     .env = {mandelbrot_reports({9.99, 20.00, 12.00, 12.10, 12.05})}, .valid_runs = {{"mandelbrot-bench", 5}},
     .stand_ins = {"mandelbrot-bench"}, .check = [](const nlohmann::json& file, const std::string&) {
         EXPECT_TRUE(warned(file, "slow-first-run", "consider --warmup 2")) << file["warnings"];
         EXPECT_FALSE(warned(file, "outlier")) << "the slow run is named once: " << file["warnings"];
     }},
    // A slow first run is named once; the runs after it are judged among
    // themselves, where 12.60 stands out from four of 12.00.
    {.name = "SlowFirstRunAmongSteadyOnes",
     .args = {"--runs", "6", "--max-runs", "6", "--no-memory", "--no-sync", "mandelbrot-bench"},
     .env = {mandelbrot_reports({30.00, 12.00, 12.00, 12.00, 12.00, 12.60})}, .valid_runs = {{"mandelbrot-bench", 6}},
     .stand_ins = {"mandelbrot-bench"}, .check = [](const nlohmann::json& file, const std::string&) {
         EXPECT_TRUE(warned(file, "slow-first-run")) << file["warnings"];
         EXPECT_TRUE(warned(file, "outlier", "screen run 6 of")) << file["warnings"];
         EXPECT_FALSE(warned(file, "outlier", "run 1")) << file["warnings"];
     }},
    // One run each; the ladder stops at its eighth level though the
    // clock would let it climb on; every output says it was quick.
    {.name = "Quick", .args = {"--quick", "--summary"}, .env = {"TEST_FB_CLOCK_STEP=20000:260,100000"},
     .valid_runs = {{"rectangle-bench", 1}, {"mandelbrot-bench", 1}, {"sierpinski-bench", 1}},
     .check = [](const nlohmann::json& file, const std::string& out) {
         EXPECT_EQ(file["options"]["quick"], true);
         std::vector<uint32_t> points;
         for (const nlohmann::json& r : file["results"])
             if (r["program"] == "sierpinski-bench")
                 points.push_back(r["points"]);
         EXPECT_EQ(points.size(), 8u);
         EXPECT_EQ(points.back(), 131072u);
         EXPECT_NE(out.find("quick: one run each, Sierpinski to 8 levels; compare with quick runs only\n"),
                   std::string::npos) << out;
         EXPECT_NE(out.find(" (quick) |"), std::string::npos) << out;
         EXPECT_NE(out.find(" (display, quick) |"), std::string::npos) << out;
     }},
};

class FbbenchRunSession : public FbbenchRun, public testing::WithParamInterface<session_case> {};

TEST_P(FbbenchRunSession, FileHoldsTheReportsExactly)
{
    const session_case& c = GetParam();
    std::vector<std::string> args = c.args;
    std::vector<std::string> env = c.env;
    if (!c.stand_ins.empty()) {
        args.insert(args.begin(), {"--programs", programs_with_stand_ins(c.stand_ins)});
        env.push_back("STAND_IN_COUNTER=" + (folder / "report-stand-ins" / "count").string());
    }
    const bench_result result = fbbench(args, env);
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
    EXPECT_EQ(file["complete"], c.status == 0) << "a failed benchmark leaves the session incomplete";
    EXPECT_EQ(file["workload_version"], 1);
    EXPECT_EQ(file["devices"][0]["fix"]["id"], "test fb") << "the device is described";
    const bool memory = std::find(c.args.begin(), c.args.end(), "--no-memory") == c.args.end();
    const bool display = std::find(c.args.begin(), c.args.end(), "--no-sync") == c.args.end();
    // The test framebuffer's memory is ordinary pages, a deferred-I/O
    // shadow by its mapping: its display is measured too.
    std::map<std::string, std::map<std::string, std::size_t>> valid; // by target
    nlohmann::json last;
    for (const nlohmann::json& run : file["runs"]) {
        if (memory && !last.is_null() && last["program"] == run["program"]) {
            EXPECT_NE(run["target"], last["target"]) << "screen and RAM runs alternate";
        }
        last = run;
        for (const char* target : {"device", "memory", "display"})
            valid[target][run["program"]] += run["target"] == target && run["valid"].get<bool>();
        if (run["valid"] == true) {
            EXPECT_EQ(run["values"].get<metric_values>(), report_values(run["stdout"]));
            EXPECT_EQ(run["exit_status"], 0);
        } else {
            EXPECT_EQ(run["invalid_reason"], c.invalid_reason);
        }
        EXPECT_TRUE(run["other_cpu_percent"].is_number()) << run;
        EXPECT_TRUE(run["kernel_cpu_percent"].is_number()) << run;
    }
    EXPECT_EQ(valid["device"], c.valid_runs);
    if (memory) {
        EXPECT_EQ(valid["memory"], c.valid_runs);
    }
    if (display) {
        EXPECT_EQ(valid["display"], c.valid_runs);
    }
    for (const std::string& kind : c.warning_kinds)
        EXPECT_TRUE(warned(file, kind)) << kind << " in " << file["warnings"];
    if (c.check)
        c.check(file, result.out);
    // Every value reaches the table.
    for (const nlohmann::json& r : file["results"]) {
        char median[32];
        std::snprintf(median, sizeof median, "%.2f", r["device"]["median"].get<double>());
        EXPECT_NE(result.out.find(r["program"].get<std::string>() + " " + r["metric"].get<std::string>()),
                  std::string::npos);
        EXPECT_NE(result.out.find(median), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Sessions, FbbenchRunSession, testing::ValuesIn(session_cases),
                         [](const testing::TestParamInfo<session_case>& param_info) { return std::string(param_info.param.name); });

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

// A card whose framebuffers have no dirty hook (vkms) fails dirty requests
// with ENOSYS: such a flush does nothing, so no display target is measured,
// and the description and the verdict say so instead of "kernel waits".
TEST_F(FbbenchRun, DrmCardWithoutDirtyHookNeedsNoFlush)
{
    const bench_result result = bench_run_command(
        {FBBENCH, "--output", output.string(), "--runs", "1", "--no-memory", "mandelbrot-bench"},
        {"TEST_FB_SCREEN=320x240x32", programs_path, virtual_clock, "TEST_FB_DRM=nodirty"});
    ASSERT_EQ(result.status, 0) << result.err;
    const nlohmann::json file = file_json(output);
    ASSERT_TRUE(file.is_object());
    const nlohmann::json& device = file["devices"][0];
    EXPECT_EQ(device["display"]["flush"]["needed"], false) << device.dump();
    EXPECT_EQ(device["display"]["flush"]["evidence"], "no flush needed (the driver has no dirty hook)");
    EXPECT_TRUE(device["display"]["flush"]["kernel_waits"].is_null());
    // A full-screen update is complete once written: the probe still measures it.
    EXPECT_GT(device["display"]["update_probe"].value("updates", 0), 0) << device.dump();
    for (const nlohmann::json& run : file["runs"])
        EXPECT_EQ(run["target"], "device") << run.dump();
    EXPECT_NE(device.value("verdict", "").find("no flush needed (the driver has no dirty hook)"), std::string::npos)
        << device.dump();
    const bench_result described = bench_run_command({FBBENCH, "--describe", "--output", output.string()},
        {"TEST_FB_SCREEN=100x60x32", programs_path, virtual_clock, "TEST_FB_DRM=nodirty"});
    EXPECT_EQ(described.status, 0) << described.err;
    EXPECT_EQ((described.out + described.err).find("kernel waits"), std::string::npos) << described.out;
    EXPECT_NE((described.out + described.err).find("flush dirtyfb: no flush needed"), std::string::npos)
        << described.out;
    // A program pushing each frame takes the ENOSYS as done.
    const bench_result synced = bench_run_command({MANDELBROT_DIR "/mandelbrot-bench"},
        {"TEST_FB_SCREEN=64x48x32", "TEST_FB_CLOCK_STEP=250000", "TEST_FB_DRM=nodirty", "FBBENCH_SYNC=frame"});
    EXPECT_EQ(synced.status, 0) << synced.err;
}

// The presented target on the stand-in's cards: vkms's counter advances at
// 60 Hz and the flips are counted; a counter that does not move drops the
// target when a run shows it; a card without vblank drops it at the plan.
TEST_F(FbbenchRun, PresentedFramesAreCountedOrDropped)
{
    const struct {
        const char* drm;
        int presented_runs; // counted
        std::string dropped; // the start of the reason, empty when measured
        const char* warning; // the warning's kind, if one
    } cases[] = {
        {"vkms", 1, "", nullptr},
        {"stuck", 0, "the vblank counter does not move (every flip event has sequence 1000)", "presented-dropped"},
        {"1", 0, "no vblank events: drmWaitVBlank: Operation not supported", nullptr},
    };
    for (const auto& c : cases) {
        // The flips are shown on the real clock's vblanks: Mandelbrot's passes take a real tenth of a second.
        const bench_result result = bench_run_command(
            {FBBENCH, "--no-probe", "--output", output.string(), "--runs", "1", "--no-memory", "--summary",
             "mandelbrot-bench"},
            {"TEST_FB_SCREEN=320x240x32", programs_path, std::string("TEST_FB_DRM=") + c.drm});
        ASSERT_EQ(result.status, 0) << c.drm << ": " << result.err;
        const nlohmann::json file = file_json(output);
        ASSERT_TRUE(file.is_object()) << c.drm;
        int counted = 0;
        for (const nlohmann::json& run : file["runs"])
            if (run["target"] == "presented" && run["valid"].get<bool>()) {
                ++counted;
                const nlohmann::json& p = run["presented"];
                EXPECT_GE(p["flips"].get<int>(), 2) << p.dump();
                EXPECT_EQ(p["timestamps_us"].size(), p["flips"].get<std::size_t>()) << p.dump();
                EXPECT_EQ(p["missed_vblanks"].get<int>() + p["flips"].get<int>() - 1, p["vblanks"].get<int>()) << p.dump();
                EXPECT_LE(p["frames_per_second"].get<double>(), 60.0 * 1.005) << p.dump();
                EXPECT_NEAR(p["interval_median_ms"].get<double>(), 16.667, 0.002) << p.dump();
            }
        EXPECT_EQ(counted, c.presented_runs) << c.drm;
        const nlohmann::json& device = file["devices"][0];
        // "Mandelbrot: N frames/s presented at 60.0 Hz measured, M missed"
        const auto verdict_in = [](const std::string& text) {
            const std::size_t at = text.find("Mandelbrot: ");
            const std::size_t rate = text.find(" frames/s presented at 60.0 Hz measured, ", at);
            const std::size_t missed = text.find(" missed", rate);
            return at != std::string::npos && rate != std::string::npos && missed != std::string::npos
                && text.find_first_not_of("0123456789.", at + 12) == rate
                && text.find_first_not_of("0123456789", rate + 41) == missed;
        };
        if (c.dropped.empty()) {
            EXPECT_TRUE(verdict_in(device.value("verdict", ""))) << device.dump();
            EXPECT_TRUE(verdict_in(result.out)) << result.out;
            EXPECT_EQ(device["presented"]["benchmarks"][0]["program"], "mandelbrot-bench") << device.dump();
            EXPECT_NE(std::count(result.log.begin(), result.log.end(), "page flip 7 on crtc 31, event"), 0);
        } else {
            EXPECT_EQ(device["presented"]["dropped"].get<std::string>().rfind(c.dropped, 0), 0u) << device.dump();
            EXPECT_FALSE(verdict_in(result.out)) << result.out;
            EXPECT_NE(result.out.find("/dev/fb0: presented dropped (" + c.dropped), std::string::npos) << result.out;
        }
        EXPECT_EQ(warned(file, "presented-dropped"), c.warning != nullptr) << c.drm << ": " << file["warnings"].dump();
        if (c.drm == std::string("1")) {
            EXPECT_NE(result.err.find("presented on /dev/fb0 is dropped (no vblank events"), std::string::npos) << result.err;
        }
    }
}

// A window in which a benchmark would draw nothing, a deadline it cannot
// meet or a device it cannot use is refused before anything runs or is
// written: one line, exit status 2.
TEST_F(FbbenchRun, RefusesWindowsBeforeRunning)
{
    const struct {
        std::vector<std::string> env;
        std::string program;
        const char* line;
        std::vector<std::string> args = {};
    } cases[] = {
        {{"WIDTH=2"}, "rectangle-bench",
         "fbbench: rectangle-bench draws nothing in the 2x240 window at (0,0) on /dev/fb0; the smallest window that "
         "works there is 4x240\n"},
        {{"HEIGHT=15"}, "sierpinski-bench",
         "fbbench: sierpinski-bench draws nothing in the 320x15 window at (0,0) on /dev/fb0; the smallest window that "
         "works there is 320x16\n"},
        {{"HEIGHT=0"}, "mandelbrot-bench",
         "fbbench: mandelbrot-bench draws nothing in the 320x0 window at (0,0) on /dev/fb0; the smallest window that "
         "works there is 320x1\n"},
        // Runs that cannot succeed: a deadline shorter than the drawing, a
        // device that is not there or is no display device.
        {{}, "rectangle-bench",
         "fbbench: --timeout 2 is shorter than any run of rectangle-bench, which draws for at least 5 s; give 6 or "
         "more\n",
         {"--timeout", "2"}},
        {{}, "sierpinski-bench",
         "fbbench: --timeout 1 is shorter than any run of sierpinski-bench, which draws for at least 1 s; give 2 or "
         "more\n",
         {"--timeout", "1"}},
        {{}, "mandelbrot-bench", "fbbench: cannot open /nonexistent/fb9: No such file or directory\n",
         {"--device", "/nonexistent/fb9"}},
        {{}, "mandelbrot-bench", "fbbench: /dev/null is neither a framebuffer nor a DRM device\n",
         {"--device", "/dev/null"}},
        {{"POSX=10"}, "mandelbrot-bench",
         "fbbench: /dev/fb0: window 320x240 at (10,0) crosses the right edge of the 320x240 screen; WIDTH defaults to "
         "the screen's width, so set WIDTH too\n"},
        // A depth the programs would refuse.
        {{"FBBENCH_DEPTH=24"}, "mandelbrot-bench", "fbbench: FBBENCH_DEPTH=24 is not 16 or 32\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        std::vector<std::string> args = c.args;
        args.push_back(c.program);
        const bench_result result = fbbench(args, c.env, {}, -1, false);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.err, c.line);
        EXPECT_EQ(result.out, "");
        EXPECT_FALSE(std::filesystem::exists(output));
    }
}

// Other processes' CPU time during each run is measured: a busy loop on
// every core while the rectangles run, screen and RAM, is seen and named.
TEST_F(FbbenchRun, CompetingWorkIsMeasured)
{
    std::atomic<bool> stop = false;
    std::vector<std::thread> spinners;
    for (unsigned i = 0; i < std::max(2u, std::thread::hardware_concurrency()); ++i)
        spinners.emplace_back([&] {
            while (!stop.load(std::memory_order_relaxed)) {
            }
        });
    const bench_result result = fbbench({"--runs", "1", "--max-runs", "1", "--no-sync", "rectangle-bench"}, {});
    stop = true;
    for (std::thread& t : spinners)
        t.join();
    EXPECT_EQ(result.status, 0) << result.err;
    const nlohmann::json file = file_json(output);
    ASSERT_TRUE(file.is_object());
    ASSERT_EQ(file["runs"].size(), 2u);
    for (const nlohmann::json& run : file["runs"]) {
        // The spinners share the cores with the benchmark: well above 5 % of one.
        EXPECT_GT(run["other_cpu_percent"].get<double>(), 20) << run["target"];
    }
    EXPECT_TRUE(warned(file, "competing-work", "RAM run 1 of rectangle-bench")) << file["warnings"];
    EXPECT_TRUE(warned(file, "competing-work", "screen run 1 of rectangle-bench")) << file["warnings"];
}

// --describe: the machine and the devices, written as a file with no runs,
// in seconds; each device once, one that cannot be opened with its error.
TEST_F(FbbenchRun, DescribeWritesNoRuns)
{
    const bench_result result =
        fbbench({"--describe", "--device", "/dev/fb0", "--device", "/nonexistent/fb9", "--device", "/dev/fb0"},
                {"WIDTH=100"}, {}, -1, false);
    EXPECT_EQ(result.status, 0) << result.err;
    const nlohmann::json file = file_json(output);
    ASSERT_TRUE(file.is_object());
    EXPECT_EQ(file["complete"], true);
    EXPECT_EQ(file["runs"], nlohmann::json::array());
    EXPECT_EQ(file["results"], nlohmann::json::array());
    ASSERT_EQ(file["devices"].size(), 2u);
    EXPECT_EQ(file["devices"][0]["kind"], "fbdev");
    EXPECT_EQ(file["devices"][0]["window"]["width"], 100);
    EXPECT_EQ(file["devices"][0]["window"]["defaulted"], nlohmann::json({"height", "posx", "posy"}));
    EXPECT_EQ(file["devices"][1], nlohmann::json({{"path", "/nonexistent/fb9"},
                                                  {"error", "cannot open /nonexistent/fb9: No such file or directory"}}));
    EXPECT_NE(result.out.find("/dev/fb0: \"test fb\""), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("/nonexistent/fb9: cannot open"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("benchmark and metric"), std::string::npos) << "no table";
    EXPECT_NE(result.err.find("fbbench: results in " + output.string() + "\n"), std::string::npos) << result.err;
}

// A 16-bit screen, a framebuffer's or a DRM card's RGB565 dumb buffer (the
// driver's preferred depth, or FBBENCH_DEPTH's), is measured as a 32-bit one
// is: every program on the screen and in RAM, on the display where a DRM
// picture needs a flush, the probes at 2 bytes a pixel; the file says 16.
TEST_F(FbbenchRun, SixteenBitScreensAreMeasuredOnEveryTarget)
{
    const struct {
        const char* name;
        std::vector<std::string> env;
        uint32_t row_bytes;
        bool display;
    } cases[] = {
        {"framebuffer", {"TEST_FB_SCREEN=320x240x16"}, 640, false},
        {"vkms asked for 16", {"TEST_FB_DRM=1", "TEST_FB_DRM_DRIVER=vkms", "FBBENCH_DEPTH=16"}, 768, true},
        {"SPI panel", {"TEST_FB_DRM=1", "TEST_FB_DRM_DRIVER=mipi-dbi"}, 768, true},
    };
    for (const auto& c : cases) {
        std::vector<std::string> env = {"TEST_FB_SCREEN=320x240x32", programs_path, virtual_clock};
        env.insert(env.end(), c.env.begin(), c.env.end());
        const bench_result result =
            bench_run_command({FBBENCH, "--quiet", "--quick", "--force", "--output", output.string()}, env);
        ASSERT_EQ(result.status, 0) << c.name << ": " << result.err;
        const nlohmann::json file = file_json(output);
        ASSERT_TRUE(file.is_object()) << c.name;
        const nlohmann::json& device = file["devices"][0];
        EXPECT_EQ(device["screen"], nlohmann::json({{"width", 320}, {"height", 240}, {"bits_per_pixel", 16},
                                                     {"row_bytes", c.row_bytes}})) << c.name;
        std::map<std::string, int> valid;
        for (const nlohmann::json& run : file["runs"])
            valid[run["program"].get<std::string>() + " " + run["target"].get<std::string>()] += run["valid"].get<bool>();
        for (const char* program : {"rectangle-bench", "mandelbrot-bench", "sierpinski-bench"}) {
            for (const char* target : {"device", "memory", "display"}) {
                if (std::string(target) != "display" || c.display) {
                    EXPECT_EQ(valid[std::string(program) + " " + target], 1) << c.name << ": " << program << " " << target;
                }
            }
        }
        if (c.display) {
            EXPECT_GT(device["display"]["update_probe"].value("updates", 0), 0) << c.name << ": " << device.dump();
        } else {
            ASSERT_TRUE(device["mapping"]["probes"].is_array()) << device.dump();
            EXPECT_FALSE(device["mapping"]["probes"].empty()) << device.dump();
            for (const nlohmann::json& probe : device["mapping"]["probes"])
                EXPECT_GT(probe["screen_mpixels"].get<double>(), 0) << probe.dump();
        }
    }
}

// A DRM device's screen is its chosen mode, rows a dumb buffer's pitch apart
// (the stand-in rounds it up to 256 bytes), as the programs see it.
TEST_F(FbbenchRun, DescribesADrmScreenAsTheProgramsSeeIt)
{
    const bench_result result = fbbench({"--describe"}, {"TEST_FB_DRM=1", "TEST_FB_SCREEN=100x60x32", "POSX=4", "WIDTH=50"});
    EXPECT_EQ(result.status, 0) << result.err;
    const nlohmann::json file = file_json(output);
    ASSERT_TRUE(file.is_object());
    const nlohmann::json& device = file["devices"][0];
    EXPECT_EQ(device["kind"], "drm");
    EXPECT_EQ(device["screen"], nlohmann::json({{"width", 100}, {"height", 60}, {"bits_per_pixel", 32}, {"row_bytes", 512}}));
    EXPECT_EQ(device["window"], nlohmann::json({{"width", 50}, {"height", 60}, {"posx", 4}, {"posy", 0},
                                                 {"defaulted", {"height", "posy"}}}));
}

// Without --quiet: the plan with its estimate first, then one progress line
// a run counting down the whole session: a line each when standard error is
// no terminal, one line rewritten in place on a terminal.
TEST_F(FbbenchRun, PlanAndProgress)
{
    const std::vector<std::string> args = {"--runs", "1", "--max-runs", "1", "--no-memory", "--no-sync", "rectangle-bench"};
    const bench_result result = fbbench(args, {virtual_clock}, {}, -1, false);
    EXPECT_EQ(result.status, 0) << result.err;
    std::vector<std::string> lines;
    std::istringstream err(result.err);
    for (std::string line; std::getline(err, line);)
        if (!line.starts_with("fbbench: warning: "))
            lines.push_back(line);
    const std::string plan = "fbbench: 1 benchmark x 1 device x 1 target x 1 run = 1 run at least, under a minute in all";
    const std::string progress = "fbbench: rectangle-bench on /dev/fb0, screen: run 1 of 1, under a minute left in all";
    EXPECT_EQ(lines, (std::vector<std::string>{plan, progress, "fbbench: results in " + output.string()}));

    // script(1) gives fbbench a terminal; the terminal's output comes back on standard output.
#ifdef BENCH_EMULATOR
    GTEST_SKIP() << "skipped: script(1) is a host program, which the emulator does not run";
#endif
    if (access("/usr/bin/script", X_OK) != 0)
        GTEST_SKIP() << "skipped: script(1) is not installed, so no terminal to show progress on";
    std::string command = "stty cols 200; " FBBENCH " --no-probe --output " + output.string();
    for (const std::string& a : args)
        command += " " + a;
    const bench_result terminal = bench_run_command({"/usr/bin/script", "-q", "-e", "-c", command, "/dev/null"},
                                                    {"TEST_FB_SCREEN=320x240x32", programs_path, virtual_clock});
    EXPECT_EQ(terminal.status, 0) << terminal.out;
    EXPECT_NE(terminal.out.find("\r\033[K" + progress + "\r\033[K"), std::string::npos) << terminal.out;
    EXPECT_EQ(terminal.out.find(progress + "\r\n"), std::string::npos) << "no line end after the progress";

    // In an 80-column terminal every line fits, the progress line rewritten in
    // place among them, and an estimate that cannot be made says so; so in a
    // terminal that does not know its width, as a board's serial console.
    for (const char* width : {"80", "0", "40"}) {
        SCOPED_TRACE(std::string("stty cols ") + width);
        const bench_result narrow = bench_run_command(
            {"/usr/bin/script", "-q", "-e", "-c",
             std::string("stty cols ") + width + "; " FBBENCH " --no-probe --runs 1 --output " + output.string()
                 + " mandelbrot-bench",
             "/dev/null"},
            {"TEST_FB_SCREEN=320x240x32", programs_path, virtual_clock});
        EXPECT_EQ(narrow.status, 0) << narrow.out;
        std::string unwrapped = narrow.out;
        for (std::size_t at; (at = unwrapped.find("\r\n  ")) != std::string::npos;)
            unwrapped.replace(at, 4, " ");
        EXPECT_NE(unwrapped.find("time unknown until a run of mandelbrot-bench has ended"), std::string::npos) << narrow.out;
        std::string line;
        for (std::size_t at = 0; at <= narrow.out.size(); ++at) {
            if (at == narrow.out.size() || narrow.out[at] == '\r' || narrow.out[at] == '\n') {
                EXPECT_LE(std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xc0) != 0x80; }),
                          std::max(std::atoi(width), 80 * (width[0] == '0')))
                    << line;
                line.clear();
            } else if (narrow.out.compare(at, 3, "\033[K") == 0) {
                at += 2;
            } else {
                line += narrow.out[at];
            }
        }
        // However narrow, the progress line says which run it is.
        if (width == std::string("40")) {
            EXPECT_NE(narrow.out.find("\r\033[Kmandelbrot-bench /dev/fb0 screen 1/1"), std::string::npos) << narrow.out;
        }
    }
}

TEST_F(FbbenchRun, InterruptKeepsTheCompletedRun)
{
    // The real clock: each rectangle run takes five seconds, so the signal
    // comes during the second run, after the first has been written.
    const bench_result result = fbbench({"rectangle-bench"}, {}, [&](pid_t pid) {
        poll_until([&] {
            const nlohmann::json file = file_json(output);
            return file.is_object() && file.contains("runs") && !file["runs"].empty();
        });
        // Into the second run, however slow the machine: a signal before its
        // start leaves it unstarted. The program has started once its command
        // is its own, not fbbench's (after an emulator's name, when run by one).
        const pid_t program = child_wait(pid);
        poll_until([&] {
            std::istringstream in(procfs_file_read("/proc/" + std::to_string(program) + "/cmdline"));
            std::string first, second;
            return program <= 0 || !std::getline(in, first, '\0') || first.ends_with("rectangle-bench")
                || (std::getline(in, second, '\0') && second.ends_with("rectangle-bench"));
        });
        kill(pid, SIGINT);
    });
    EXPECT_EQ(result.signal, SIGINT) << "fbbench dies by the signal, status " << result.status << ": " << result.err;
    const nlohmann::json file = file_json(output);
    ASSERT_TRUE(file.is_object());
    EXPECT_EQ(file["complete"], false);
    ASSERT_EQ(file["runs"].size(), 2u);
    EXPECT_EQ(file["runs"][0]["valid"], true);
    EXPECT_EQ(file["runs"][1]["invalid_reason"], "interrupted");
    EXPECT_EQ(file["results"][0]["device"]["runs"], 1);
    EXPECT_NE(result.out.find("rectangle-bench fill rate"), std::string::npos);
    // Screen, RAM and display, three runs each at the least.
    EXPECT_TRUE(result.out.starts_with("interrupted after 1 of at least 9 runs: partial results\n")) << result.out;
}

// A stand-in that hangs, crashes, exits 139 or floods its output: each run is
// recorded for what it was, fbbench goes on and ends, and nothing stays.
TEST_F(FbbenchRun, MisbehavingProgramsAreRecordedAndEnded)
{
    struct fault_case {
        const char* mode;
        std::vector<std::string> args;
        nlohmann::json run; // fields the run must have, as given
        const char* warning; // the kind of warning given, if any
        const char* table; // what the table says of the failure
    } cases[] = {
        {"segv", {}, {{"signal", "SIGSEGV"}, {"invalid_reason", "killed by SIGSEGV"}}, "killed",
         "failed: killed by SIGSEGV"},
        {"exit139", {}, {{"exit_status", 139}, {"invalid_reason", "exit status 139"}}, nullptr,
         "failed: mandelbrot-bench exited with status 139"},
        {"flood", {}, {{"exit_status", 0}, {"stdout_truncated", true}, {"stderr_truncated", false}}, nullptr,
         "was not recognised"},
        {"hang", {"--timeout", "3"},
         {{"timed_out", true}, {"signal", "SIGKILL"}, {"invalid_reason", "timed out after 3 s"}}, "timed-out",
         "failed: timed out after 3 s"},
        // A report, then exit 0 on the deadline's SIGTERM: still not counted.
        {"late", {"--timeout", "2"},
         {{"timed_out", true}, {"exit_status", 0}, {"invalid_reason", "timed out after 2 s"}}, "timed-out",
         "failed: timed out after 2 s"},
        // Three processes left sleeping, two of them in sessions of their own.
        {"leave", {}, {{"exit_status", 0}, {"leftover_processes", 3}, {"invalid_reason", "report not recognised"}},
         nullptr, "was not recognised"},
    };
    long quiet_rss_kb = 0;
    for (const fault_case& c : cases) {
        SCOPED_TRACE(c.mode);
        std::filesystem::remove(output);
        std::filesystem::remove(pid_file());
        const auto start = std::chrono::steady_clock::now();
        const bench_result result = stand_in(c.mode, c.args);
        EXPECT_EQ(result.status, 1) << result.err;
        // The deadline, then the SIGTERM the stand-in ignores, then SIGKILL.
        EXPECT_LT(seconds_since(start), 30);
        const pid_t child = stand_in_pid(0);
        EXPECT_GT(child, 0) << "the stand-in ran";
        EXPECT_TRUE(child <= 0 || process_ended(child)) << "the stand-in " << child << " is still running";

        const nlohmann::json file = file_json(output);
        if (!file.is_object() || file["runs"].size() != 1) {
            ADD_FAILURE() << "no file with one run";
            continue;
        }
        EXPECT_EQ(file["schema"], "fbbench-results/2.1");
        // Each fault fails the benchmark: the file says so, and which.
        EXPECT_EQ(file["complete"], false);
        ASSERT_EQ(file["failures"].size(), 1u) << file["failures"];
        EXPECT_EQ(file["failures"][0]["program"], "mandelbrot-bench");
        const nlohmann::json& run = file["runs"][0];
        for (const auto& [key, value] : c.run.items())
            EXPECT_EQ(run[key], value) << key;
        EXPECT_EQ(run["valid"], false);
        EXPECT_NE(run.contains("exit_status"), run.contains("signal")) << run.dump();
        EXPECT_EQ(c.warning != nullptr && warned(file, c.warning), c.warning != nullptr);
        EXPECT_NE(result.out.find(c.table), std::string::npos) << result.out;

        if (c.mode == std::string("exit139"))
            quiet_rss_kb = result.max_rss_kb;
        std::istringstream err(run["stderr"].get<std::string>());
        for (std::string word; err >> word;)
            if (pid_t left = 0; word == "left" && err >> left && !process_ended(left)) {
                ADD_FAILURE() << "process " << left << " outlived its run";
                kill(left, SIGKILL);
            }
        if (c.mode == std::string("flood")) {
            EXPECT_EQ(run["stdout"].get<std::string>().size(), 64u * 1024);
            EXPECT_LT(std::filesystem::file_size(output), 256u * 1024);
            // 50 MB printed leave fbbench (or any child) about as small as a
            // run that printed nothing.
            EXPECT_LT(result.max_rss_kb - quiet_rss_kb, 16 * 1024) << quiet_rss_kb << " kB before";
        }
    }
}

// -o at what is not a regular file, or at another session's: refused before anything runs (no device
// opened, no program started), with one line, and the node left as it was.
TEST_F(FbbenchRun, OutputThatIsNoFileIsRefused)
{
    const bool root = geteuid() == 0;
    const std::filesystem::path read_only = folder / "read-only";
    std::filesystem::create_directory(read_only);
    std::filesystem::permissions(read_only, std::filesystem::perms(0555));
    unique_fd held;
    struct refusal_case {
        const char* name;
        std::filesystem::path path;
        std::function<int(const char*)> make; // 0 on success
        int status;
    } cases[] = {
        {"FIFO", folder / "fifo", [](const char* p) { return mkfifo(p, 0600); }, 2},
        // A copy of /dev/null.
        {"CharacterDevice", folder / "null", [](const char* p) { return mknod(p, S_IFCHR | 0666, makedev(1, 3)); }, 2},
        {"Folder", folder / "folder", [](const char* p) { return mkdir(p, 0700); }, 2},
        {"SymlinkToFIFO", folder / "fifo-link",
         [&](const char* p) { return symlink((folder / "fifo").c_str(), p); }, 2},
        // Another session's file, locked for as long as it runs.
        {"HeldByAnotherSession", folder / "held.json",
         [&](const char* p) { return (held = lock_hold(p)).get() < 0 ? -1 : 0; }, 2},
        // Root writes in a folder of mode 0555; nobody creates files in /proc.
        {"ReadOnlyFolder", root ? std::filesystem::path("/proc/fbbench-results.json") : read_only / "results.json",
         [](const char*) { return 0; }, 1},
    };
    std::string skipped;
    for (const refusal_case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.name == std::string("CharacterDevice") && !root) {
            skipped += std::string(skipped.empty() ? "" : ", ") + c.name;
            continue;
        }
        ASSERT_EQ(c.make(c.path.c_str()), 0) << std::strerror(errno);
        struct stat before {};
        const bool existed = lstat(c.path.c_str(), &before) == 0;
        const bench_result result = stand_in("exit139", {"--output", c.path.string()});
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_EQ(result.out, "");
        // At most the screen was read, to work out the window, and opened
        // for the session's lock: nothing mapped or drawn.
        const std::vector<std::string> screen_read = {"open", "ioctl 0x4600", "close", "open", "close"};
        EXPECT_TRUE(result.log.empty() || result.log == screen_read) << testing::PrintToString(result.log);
        EXPECT_EQ(stand_in_pid(0), 0) << "no program ran";
        struct stat after {};
        if (existed) {
            ASSERT_EQ(lstat(c.path.c_str(), &after), 0);
            EXPECT_EQ(after.st_mode, before.st_mode);
            EXPECT_EQ(after.st_rdev, before.st_rdev);
            EXPECT_EQ(after.st_ino, before.st_ino);
        }
    }
    if (!skipped.empty())
        GTEST_SKIP() << "skipped " << skipped << ": only root may make a device node";
}

// A link is followed and stays; an existing file keeps its mode and owner;
// no temporary file is left beside either.
TEST_F(FbbenchRun, OutputLinkAndFileAreKept)
{
    const std::filesystem::path elsewhere = folder / "elsewhere";
    std::filesystem::create_directory(elsewhere);
    const std::filesystem::path target = elsewhere / "target.json";
    const bool root = geteuid() == 0;
    const std::string earlier = earlier_results();
    ASSERT_NE(earlier, "");
    struct keep_case {
        const char* name;
        std::filesystem::path written; // the file that gets the results
        std::function<void()> make;
        mode_t mode;
        uid_t owner;
    } cases[] = {
        {"Symlink", target,
         [&] {
             std::ofstream(target) << earlier;
             std::filesystem::create_symlink("elsewhere/target.json", output);
         },
         0644, geteuid()},
        {"File0600OfAnotherUser", output,
         [&] {
             std::ofstream(output) << earlier;
             chmod(output.c_str(), 0600);
             if (root) {
                 EXPECT_EQ(chown(output.c_str(), 12345, 12345), 0);
             }
         },
         0600, root ? 12345 : geteuid()},
    };
    for (const keep_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(output);
        std::filesystem::remove(target);
        std::filesystem::remove(pid_file());
        const mode_t mask = umask(022);
        c.make();
        umask(mask);
        const bench_result result = stand_in("exit139", {});
        EXPECT_EQ(result.status, 1) << result.err;
        EXPECT_EQ(std::filesystem::is_symlink(output), c.written != output);
        const nlohmann::json file = file_json(c.written);
        ASSERT_TRUE(file.is_object());
        EXPECT_EQ(file["runs"].size(), 1u);
        struct stat st {};
        ASSERT_EQ(stat(c.written.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.mode);
        EXPECT_EQ(st.st_uid, c.owner);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(elsewhere), {}), c.written == target ? 1 : 0);
        EXPECT_EQ(folder_names(), (std::vector<std::string>{"elsewhere", "results.json", "stand-in.pid"}));
    }
}

// Whether sig waits in the process's shared pending set, from its status.
bool signal_pending(pid_t pid, int sig)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("ShdPnd:"))
            return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1) & 1) != 0;
    return false;
}

// Stop signals at awkward moments: the file is always left, complete false;
// fbbench dies by the signal; a second one ends a program at once, well
// before the grace after the first would; a signal ignored at the start
// stays ignored; fbbench killed takes its program along.
TEST_F(FbbenchRun, SignalsAtAnyMoment)
{
    // fbbench has its handlers once the results file exists: it is opened
    // after they are installed.
    const auto handlers_wait = [&] { return poll_until([&] { return std::filesystem::exists(output); }); };
    std::chrono::steady_clock::time_point signalled;
    const auto send = [&](pid_t pid, int sig) {
        if (signalled == std::chrono::steady_clock::time_point())
            signalled = std::chrono::steady_clock::now();
        kill(pid, sig);
    };
    struct signal_case {
        const char* name;
        const char* mode;
        std::function<void(pid_t)> act;
        int signal; // fbbench's end
        bool complete;
        double within; // seconds from the first signal (or the start) to fbbench's end
        std::vector<std::string> args = {};
    } cases[] = {
        // At the start, during the machine's description or the run.
        {"InterruptAtStart", "hang",
         [&](pid_t pid) {
             ASSERT_TRUE(handlers_wait());
             send(pid, SIGINT);
         },
         SIGINT, false, 20},
        // The stand-in ignores SIGTERM: the second one, sent once fbbench has
        // taken the first, kills it at once, not after the 5 s grace.
        {"TermTwice", "hang",
         [&](pid_t pid) {
             ASSERT_GT(stand_in_pid(20), 0);
             send(pid, SIGTERM);
             poll_until([&] { return !signal_pending(pid, SIGTERM); }, 6, std::chrono::milliseconds(1));
             send(pid, SIGTERM);
         },
         SIGTERM, false, 3},
        {"HangupOnce", "hang",
         [&](pid_t pid) {
             ASSERT_GT(stand_in_pid(20), 0);
             send(pid, SIGHUP);
         },
         SIGHUP, false, 30},
        // Ignored, the signal leaves fbbench to end by itself, the file not
        // complete all the same, as the stand-in fails.
        {"IgnoredAtStart", "exit139",
         [&](pid_t pid) {
             ASSERT_TRUE(handlers_wait());
             send(pid, SIGINT);
         },
         0, false, 20},
        // Ignored, it stays so while a run holds the stop signals blocked:
        // the run ends at its deadline, and fbbench by itself.
        {"IgnoredDuringARun", "sleep",
         [&](pid_t pid) {
             ASSERT_GT(stand_in_pid(20), 0);
             send(pid, SIGINT);
         },
         0, false, 20, {"--timeout", "2"}},
        // The program does not ignore the death signal, SIGTERM.
        {"FbbenchKilled", "sleep",
         [&](pid_t pid) {
             ASSERT_GT(stand_in_pid(20), 0);
             send(pid, SIGKILL);
         },
         SIGKILL, false, 20},
    };
    for (const signal_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(output);
        std::filesystem::remove(pid_file());
        const bool ignore = std::string(c.name).starts_with("Ignored");
        if (ignore)
            signal(SIGINT, SIG_IGN);
        signalled = {};
        double ended = 0;
        const bench_result result = stand_in(c.mode, c.args, [&](pid_t pid) {
            c.act(pid);
            ended_within(pid, 60);
            ended = seconds_since(signalled);
        });
        signal(SIGINT, SIG_DFL);
        EXPECT_EQ(result.signal, c.signal) << "status " << result.status << ": " << result.err;
        EXPECT_LT(ended, c.within);
        if (const pid_t child = stand_in_pid(0); child > 0 && !ended_within(child, 5)) {
            ADD_FAILURE() << "the stand-in " << child << " outlived fbbench";
            kill(child, SIGKILL);
        }
        const nlohmann::json file = file_json(output);
        if (!file.is_object()) {
            ADD_FAILURE() << "no valid file is left";
            continue;
        }
        EXPECT_EQ(file["complete"], c.complete);
        for (const nlohmann::json& run : file["runs"])
            if (c.mode == std::string("hang")) {
                EXPECT_EQ(run["invalid_reason"], "interrupted");
            }
        std::vector<std::string> names = folder_names();
        std::erase(names, "stand-in.pid");
        EXPECT_EQ(names, std::vector<std::string>{"results.json"}) << "no temporary file is left";
    }
}

// The log's lines after the last one that shows the dumb buffer: the display
// is given back there when the console's framebuffer is set again.
bool given_back_after_shown(const std::vector<std::string>& log)
{
    const auto shown = std::find(log.rbegin(), log.rend(), "setcrtc fb 7, 1 connector(s)");
    return shown != log.rend() && std::find(log.rbegin(), shown, "setcrtc fb 5, 1 connector(s)") != shown;
}

// fbbench killed while a DRM program holds its picture: the program's death
// signal is SIGTERM, on which it gives the display back.
TEST_F(FbbenchRun, KilledFbbenchLeavesNoDarkDisplay)
{
    bool holding = false;
    const bench_result result = fbbench(
        {"--runs", "1", "--no-memory", "--no-sync", "mandelbrot-bench"}, {virtual_clock, "TEST_FB_DRM=1", "FBBENCH_HOLD=600"},
        [&](pid_t pid) {
            const pid_t program = child_wait(pid);
            holding = program > 0 && bench_sleep_wait(program);
            kill(pid, SIGKILL);
            if (program > 0 && !ended_within(program, 20)) {
                ADD_FAILURE() << "the program outlived fbbench";
                kill(program, SIGKILL);
            }
        });
    EXPECT_TRUE(holding) << "the program held its picture";
    EXPECT_EQ(result.signal, SIGKILL);
    EXPECT_TRUE(given_back_after_shown(result.log)) << testing::PrintToString(result.log);
}

// A stop signal while a probe draws, on a framebuffer or a DRM card: the
// probes end at once, a DRM display is given back, then fbbench writes the
// description and its file, and dies by the signal.
TEST_F(FbbenchRun, StopDuringTheProbesIsTakenAtOnce)
{
    const struct {
        const char* name;
        std::vector<std::string> env;
        const char* drawing; // the log line of a probe at work
        int signal;
        const char* described; // in the header printed
    } cases[] = {
        {"Framebuffer", {}, "mmap 307200", SIGINT, "/dev/fb0: \"test fb\""},
        {"Drm", {"TEST_FB_DRM=1"}, "setcrtc fb 7, 1 connector(s)", SIGTERM, "/dev/fb0: DRM"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(output);
        std::vector<std::string> env = {"TEST_FB_SCREEN=320x240x32", programs_path};
        env.insert(env.end(), c.env.begin(), c.env.end());
        bool drawing = false;
        double ended = 0;
        const bench_result result = bench_run_command(
            {FBBENCH, "--describe", "--output", output.string()}, env, nullptr, -1, [&](pid_t pid) {
                drawing = bench_log_wait(pid, c.drawing);
                const auto sent = std::chrono::steady_clock::now();
                kill(pid, c.signal);
                ended_within(pid, 60);
                ended = seconds_since(sent);
            });
        ASSERT_TRUE(drawing) << testing::PrintToString(result.log);
        EXPECT_EQ(result.signal, c.signal) << result.err;
        EXPECT_LT(ended, 0.5);
        const nlohmann::json file = file_json(output);
        ASSERT_TRUE(file.is_object()) << "no file";
        EXPECT_EQ(file["complete"], false);
        EXPECT_FALSE(file["system"].empty());
        EXPECT_EQ(file["devices"].size(), 1u);
        EXPECT_NE(result.out.find(c.described), std::string::npos) << result.out;
        if (!c.env.empty()) {
            EXPECT_TRUE(given_back_after_shown(result.log)) << testing::PrintToString(result.log);
        }
    }
}

// While another session holds a device's lock, no probe writes to it or
// flushes it: each is skipped with the reason (a framebuffer gets the one
// fsync that tells whether it has one).
TEST_F(FbbenchRun, ProbesLeaveAHeldDeviceAlone)
{
    const std::filesystem::path backing = folder / "backing";
    std::ofstream(backing).put('\0');
    const unique_fd held = lock_hold(backing);
    ASSERT_GE(held.get(), 0) << std::strerror(errno);
    const struct {
        const char* name;
        std::vector<std::string> env;
        const char* touch; // the log line of a write reaching the display
        long most; // times it may appear
    } cases[] = {
        {"Framebuffer", {}, "fsync", 1},
        {"Drm", {"TEST_FB_DRM=1"}, "setcrtc fb 7, 1 connector(s)", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> env = {"TEST_FB_SCREEN=320x240x32", programs_path, "TEST_FB_BACKING=" + backing.string()};
        env.insert(env.end(), c.env.begin(), c.env.end());
        const bench_result result = bench_run_command({FBBENCH, "--describe", "--output", output.string()}, env);
        EXPECT_EQ(result.status, 0) << result.err;
        const nlohmann::json file = file_json(output);
        ASSERT_TRUE(file.is_object());
        const nlohmann::json& device = file["devices"][0];
        EXPECT_EQ(device["display"]["update_probe"], nlohmann::json({{"skipped", "in use by another session"}}));
        if (device.contains("mapping")) {
            EXPECT_EQ(device["mapping"]["probes_skipped"], "in use by another session");
            EXPECT_FALSE(device["mapping"].contains("probes"));
        }
        EXPECT_LE(std::count(result.log.begin(), result.log.end(), c.touch), c.most) << testing::PrintToString(result.log);
    }
}

// What a process that bench_run_command started has written to standard
// error so far; empty once it has ended. The file its descriptor names is
// read, not the descriptor: until the child has its own, it is the test's,
// under ctest a pipe that a read would wait on for good.
std::string err_so_far(pid_t pid)
{
    std::error_code error;
    const std::filesystem::path path = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd/2", error);
    return error ? "" : text_of(path);
}

// Waits until it has written text to standard error; false once it has
// ended without, or after a minute.
bool err_wait(pid_t pid, const std::string& text)
{
    bool written = false;
    poll_until([&] { return (written = err_so_far(pid).find(text) != std::string::npos) || process_ended(pid); });
    return written;
}

// Two sessions on one device: the second waits for the whole of the first,
// saying for whom, or with --no-wait is refused in one line before anything
// is written; no benchmark of one meets the other's.
TEST_F(FbbenchRun, SecondSessionWaitsForTheFirst)
{
    const std::filesystem::path backing = folder / "backing";
    std::ofstream(backing).put('\0');
    const std::vector<std::string> env = {"TEST_FB_SCREEN=320x240x32", programs_path, virtual_clock,
                                          "TEST_FB_BACKING=" + backing.string()};
    const std::filesystem::path second = folder / "second.json", refused = folder / "refused.json";
    const auto session = [&](const std::filesystem::path& file, std::vector<std::string> args) {
        args.insert(args.begin(), {FBBENCH, "--no-probe", "--output", file.string(), "--runs", "1", "--no-memory",
                                   "--no-sync"});
        args.push_back("rectangle-bench");
        return args;
    };
    // The first session's program once it holds its picture: a run of the
    // first is on the device until the test lets it end.
    // A child that ends before it sleeps is not the program holding its
    // picture: look again.
    const auto holding = [](pid_t fbbench_pid, pid_t after) {
        pid_t program = 0;
        const auto held = [&] {
            return (program = child_wait(fbbench_pid)) > 0 && program != after && bench_sleep_wait(program);
        };
        return poll_until(held) ? program : 0;
    };
    bench_result refusal, waited;
    bool said = false, still_waiting = false;
    std::string waiting_line;
    std::vector<std::string> first_env = env;
    first_env.push_back("FBBENCH_HOLD=600");
    // The deadline ends a failed test's holds in minutes, not in ten.
    const bench_result first = fbbench(
        {"--runs", "2", "--no-memory", "--no-sync", "--timeout", "120", "rectangle-bench"}, first_env,
        [&](pid_t pid) {
            const pid_t run1 = holding(pid, 0);
            ASSERT_GT(run1, 0) << "the first session's run holds the device";
            const std::string holder = "is in use by another fbbench session (pid " + std::to_string(pid) + ": ";
            refusal = bench_run_command(session(refused, {"--no-wait"}), env);
            waited = bench_run_command(session(second, {}), env, nullptr, -1, [&](pid_t other) {
                said = err_wait(other, holder);
                waiting_line = err_so_far(other);
                kill(run1, SIGTERM);
                // Between the first's runs the device stays the first's.
                const pid_t run2 = holding(pid, run1);
                still_waiting = run2 > 0 && err_so_far(other) == waiting_line;
                if (run2 > 0)
                    kill(run2, SIGTERM);
                ended_within(other, 60);
            });
        },
        -1, false);
    EXPECT_TRUE(said) << waiting_line << waited.err;
    EXPECT_TRUE(waiting_line.starts_with("fbbench: /dev/fb0 is in use by another fbbench session (pid "))
        << waiting_line;
    EXPECT_NE(waiting_line.find(": " FBBENCH " --no-probe --output "), std::string::npos) << "names the command";
    EXPECT_TRUE(waiting_line.ends_with("; waiting for it to end\n")) << waiting_line;
    EXPECT_TRUE(still_waiting) << waited.err;
    // --no-wait: one line, status 2, no file.
    EXPECT_EQ(refusal.status, 2);
    EXPECT_EQ(std::count(refusal.err.begin(), refusal.err.end(), '\n'), 1) << refusal.err;
    EXPECT_TRUE(refusal.err.starts_with("fbbench: /dev/fb0 is in use by another fbbench session (pid "))
        << refusal.err;
    EXPECT_TRUE(refusal.err.ends_with("; not waiting (--no-wait)\n")) << refusal.err;
    EXPECT_FALSE(std::filesystem::exists(refused));
    for (const auto& [name, result, file, runs] :
         {std::tuple{"first", &first, output, 2u}, std::tuple{"second", const_cast<const bench_result*>(&waited), second, 1u}}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(result->status, 0) << result->err;
        const nlohmann::json data = file_json(file);
        ASSERT_TRUE(data.is_object());
        EXPECT_EQ(data["complete"], true);
        EXPECT_EQ(data["failures"], nlohmann::json::array());
        ASSERT_EQ(data["runs"].size(), runs);
        for (const nlohmann::json& run : data["runs"])
            EXPECT_EQ(run["valid"], true) << run.dump();
    }
}

// A benchmark that fails leaves a file that says so: not complete, and
// which benchmark failed on which device, with the message shown.
TEST_F(FbbenchRun, FailedBenchmarkIsNamedInTheFile)
{
    const std::filesystem::path backing = folder / "backing";
    std::ofstream(backing).put('\0');
    const unique_fd held = lock_hold(backing);
    ASSERT_GE(held.get(), 0) << "as a program run by itself holds it: " << std::strerror(errno);
    const bench_result result = fbbench({"--runs", "1", "--no-memory", "--no-sync", "rectangle-bench", "mandelbrot-bench"},
                                        {virtual_clock, "TEST_FB_BACKING=" + backing.string()});
    EXPECT_EQ(result.status, 1);
    const nlohmann::json file = file_json(output);
    ASSERT_TRUE(file.is_object());
    EXPECT_EQ(file["complete"], false);
    const std::string message = "rectangle-bench: /dev/fb0 is in use by another benchmark";
    EXPECT_EQ(file["failures"],
              nlohmann::json::parse(R"([{"program": "rectangle-bench", "path": "/dev/fb0", "message": ")" + message
                                    + R"("}, {"program": "mandelbrot-bench", "path": "/dev/fb0", "message": "mandelbrot-bench: /dev/fb0 is in use by another benchmark"}])"));
    EXPECT_EQ(result.out.find("interrupted"), std::string::npos) << "a failure is no interruption: " << result.out;
}

// FBBENCH_LEVELS inherited cuts the Sierpinski ladder: the session records
// it, warns, and compares as no full session; a value the program would
// refuse is refused before anything runs; --quick climbs its own ladder.
TEST_F(FbbenchRun, InheritedLevelsAreRecorded)
{
    const struct {
        const char* name;
        std::vector<std::string> args;
        const char* levels;
        int status;
        std::string refusal; // the whole of standard error
        nlohmann::json recorded; // options.levels, null: absent
        const char* warned; // in the fbbench-levels-set warning, nullptr: none
    } cases[] = {
        {"Two", {"--runs", "1"}, "2", 0, "", 2, "FBBENCH_LEVELS=2 in the environment cuts the Sierpinski ladder to 2 levels"},
        {"Empty", {"--runs", "1"}, "", 0, "", nullptr, nullptr},
        {"QuickClimbsItsOwn", {"--quick"}, "2", 0, "", nullptr, "--quick climbs its own 8 levels"},
        {"Letters", {"--runs", "1"}, "abc", 2, "fbbench: FBBENCH_LEVELS=abc is not a number of levels from 1 to 16\n", nullptr, nullptr},
        {"Seventeen", {"--runs", "1"}, "17", 2, "fbbench: FBBENCH_LEVELS=17 is not a number of levels from 1 to 16\n", nullptr, nullptr},
        {"Escape", {"--runs", "1"}, "8\033]0;x", 2,
         "fbbench: FBBENCH_LEVELS=8\\x1b]0;x is not a number of levels from 1 to 16\n", nullptr, nullptr},
    };
    std::map<std::string, std::filesystem::path> kept;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(output);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--no-memory", "--no-sync", "rectangle-bench", "sierpinski-bench"});
        const bench_result result = fbbench(args, {virtual_clock, std::string("FBBENCH_LEVELS=") + c.levels});
        EXPECT_EQ(result.status, c.status) << result.err;
        if (c.status != 0) {
            EXPECT_EQ(result.err, c.refusal);
            EXPECT_FALSE(std::filesystem::exists(output)) << "nothing ran";
            continue;
        }
        const nlohmann::json file = file_json(output);
        ASSERT_TRUE(file.is_object());
        EXPECT_EQ(file["options"].contains("levels") ? file["options"]["levels"] : nlohmann::json(), c.recorded);
        std::string warning;
        for (const nlohmann::json& w : file["warnings"])
            if (w["kind"] == "fbbench-levels-set")
                warning = w["message"];
        EXPECT_EQ(warning.find(c.warned != nullptr ? c.warned : "\n"), c.warned != nullptr ? 0u : std::string::npos)
            << warning;
        int top = 0;
        for (const nlohmann::json& r : file["results"])
            top = std::max(top, r.value("points", 0));
        if (c.recorded == 2)
            EXPECT_EQ(top, 2048);
        else
            EXPECT_GT(top, 2048);
        const std::filesystem::path copy = folder / (std::string(c.name) + ".json");
        std::filesystem::copy_file(output, copy);
        kept[c.name] = copy;
    }
    // fbbench-compare: a cut ladder beside a full one is marked and warned of
    // as a quick session is.
    const bench_result compared = bench_run_command({FBBENCH_COMPARE, kept["Empty"].string(), kept["Two"].string()}, {"PATH=/usr/bin:/bin"});
    EXPECT_EQ(compared.status, 0) << compared.err;
    EXPECT_NE(compared.err.find("fbbench-compare: warning (quick-mixed): "), std::string::npos) << compared.err;
}

// A flush that fails drops the display target with its reason, whether the
// description found it or a display run did; every screen and RAM run is
// still made.
TEST_F(FbbenchRun, FailingFlushDropsOnlyTheDisplay)
{
    const struct {
        const char* name;
        std::vector<std::string> env;
        int status;
        const char* line; // on standard error
        std::size_t display_runs;
    } cases[] = {
        {"FoundByTheDescription", {}, 0, "; the display of /dev/fb0 is dropped (fsync failed: Input/output error)\n", 0},
        // Unprobed, a DRM card's flush is first tried by a display run.
        {"FoundByADisplayRun", {"TEST_FB_DRM=1"}, 1,
         "\nmandelbrot-bench: cannot bring the picture to /dev/fb0: Input/output error\n", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> env = {virtual_clock, "TEST_FB_FAIL=flush"};
        env.insert(env.end(), c.env.begin(), c.env.end());
        const bench_result result = fbbench({"--runs", "3", "--max-runs", "3", "mandelbrot-bench"}, env, {}, -1, false);
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_NE(result.err.find(c.line), std::string::npos) << result.err;
        const nlohmann::json file = file_json(output);
        ASSERT_TRUE(file.is_object());
        std::map<std::string, std::size_t> valid, made;
        for (const nlohmann::json& run : file["runs"]) {
            valid[run["target"]] += run["valid"].get<bool>();
            made[run["target"]] += 1;
        }
        EXPECT_EQ(valid["device"], 3u);
        EXPECT_EQ(valid["memory"], 3u);
        EXPECT_EQ(valid["display"], 0u);
        EXPECT_EQ(made["display"], c.display_runs);
        EXPECT_TRUE(warned(file, "display-dropped") || c.display_runs > 0) << file["warnings"];
    }
}

// A capture folder with no room: fbbench says so, and the run is recorded
// as not captured, not as the benchmark's failure.
TEST_F(FbbenchRun, FullCaptureFolderIsSaid)
{
    const scratch_folder full_folder(folder);
    const std::filesystem::path& full = full_folder.path;
    if (const std::string unmounted = full_disk_mount(full); !unmounted.empty())
        GTEST_SKIP() << "skipped: " << unmounted;
    const bench_result result = fbbench({"--runs", "1", "--no-memory", "--no-sync", "mandelbrot-bench"},
                                        {virtual_clock, "TMPDIR=" + full.string()});
    umount(full.c_str());
    const std::string where = "in " + full.string() + ": No space left on device";
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("fbbench: cannot capture the output of mandelbrot-bench " + where + "\n"),
              std::string::npos)
        << result.err;
    const nlohmann::json file = file_json(output);
    ASSERT_TRUE(file.is_object());
    ASSERT_EQ(file["runs"].size(), 1u);
    EXPECT_EQ(file["runs"][0]["invalid_reason"], "output not captured " + where);
    EXPECT_FALSE(file["runs"][0].contains("exit_status")) << "it did not run";
}

// -o at an existing file: one that is not a results file is refused before
// anything runs; an earlier session's results stay until this session has a
// run of its own, or are replaced at once with --force; an empty file holds
// nothing to keep.
TEST_F(FbbenchRun, ExistingOutputIsRefusedOrKeptUntilTheFirstRun)
{
    const std::string earlier = earlier_results();
    ASSERT_NE(earlier, "");
    struct existing_case {
        const char* name;
        std::string before; // the file's text
        const char* mode; // the stand-in's
        std::vector<std::string> args;
        bool interrupt; // SIGINT once the stand-in runs
        int status;
        const char* message; // in standard error
        bool kept; // the file is left as it was
        std::size_t runs; // else the runs of the new file
    } cases[] = {
        {"Notes", "notes\n", "exit139", {}, false, 2, "is not a results file", true, 0},
        {"NotesForced", "notes\n", "exit139", {"--force"}, false, 2, "is not a results file", true, 0},
        {"JsonOfAnotherSchema", "{\"schema\": \"other/1\", \"runs\": []}\n", "exit139", {}, false, 2,
         "is not a results file", true, 0},
        {"ResultsInterruptedInTheFirstRun", earlier, "sleep", {}, true, 128 + SIGINT, "keeps the earlier results",
         true, 0},
        {"ResultsReplacedAfterTheFirstRun", earlier, "exit139", {}, false, 1, "", false, 1},
        {"ResultsForced", earlier, "sleep", {"--force"}, true, 128 + SIGINT, "", false, 1},
        {"Empty", "", "sleep", {}, true, 128 + SIGINT, "", false, 1},
    };
    for (const existing_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(pid_file());
        std::ofstream(output) << c.before;
        const bench_result result = stand_in(c.mode, c.args, [&](pid_t pid) {
            if (c.interrupt && stand_in_pid(20) > 0)
                kill(pid, SIGINT);
        });
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        if (c.status == 2) {
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
            EXPECT_EQ(stand_in_pid(0), 0) << "no program ran";
        }
        if (c.kept) {
            EXPECT_EQ(text_of(output), c.before);
            continue;
        }
        const nlohmann::json file = file_json(output);
        ASSERT_TRUE(file.is_object()) << text_of(output);
        EXPECT_EQ(file["runs"].size(), c.runs);
        EXPECT_NE(text_of(output), c.before);
    }
}

// No empty results file and no temporary one is left: a description killed
// at once leaves a results file, a disk full at the first write leaves
// nothing, and a session killed during a rewrite leaves a temporary file
// that the next session in the folder removes, but never one that another
// session holds or another user owns.
TEST_F(FbbenchRun, NoEmptyFileNorLeftoverTemporary)
{
    // Killed as soon as the file is there, during the description.
    const bench_result described = bench_run_command(
        {FBBENCH, "--describe", "--output", output.string()}, {"TEST_FB_SCREEN=320x240x32", programs_path}, nullptr,
        -1, [&](pid_t pid) {
            poll_until([&] { return std::filesystem::exists(output); }, 6, std::chrono::milliseconds(1));
            kill(pid, SIGKILL);
        });
    EXPECT_EQ(described.signal, SIGKILL);
    const nlohmann::json skeleton = file_json(output);
    ASSERT_TRUE(skeleton.is_object()) << "the file holds '" << text_of(output) << "'";
    EXPECT_EQ(skeleton["complete"], false);
    EXPECT_EQ(folder_names(), std::vector<std::string>{"results.json"});

    std::string skipped;
    {
        // Gone before the folder's names are looked at.
        const scratch_folder full_folder(folder);
        const std::filesystem::path& full = full_folder.path;
        if (const std::string unmounted = full_disk_mount(full); !unmounted.empty()) {
            skipped = "the full disk: " + unmounted;
        } else {
            const bench_result result = stand_in("exit139", {"--output", (full / "x.json").string()});
            std::vector<std::string> left;
            for (const auto& entry : std::filesystem::directory_iterator(full))
                left.push_back(entry.path().filename().string());
            umount(full.c_str());
            EXPECT_EQ(result.status, 1) << result.err;
            EXPECT_NE(result.err.find("No space left on device"), std::string::npos) << result.err;
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
            EXPECT_EQ(left, std::vector<std::string>{"fill"});
            EXPECT_EQ(stand_in_pid(0), 0) << "no program ran";
        }
    }

    // Killed at its first rename: a temporary file is left.
    std::filesystem::remove(output);
    ASSERT_NE(earlier_results(), "");
    if (bench_run_command({"/usr/bin/strace", "-o", "/dev/null", "/bin/true"}, {}).status != 0)
        GTEST_SKIP() << "skipped " << (skipped.empty() ? "" : skipped + "; ")
                     << "the leftover: strace cannot trace here, so fbbench cannot be killed at its rename";
    const bench_result killed = bench_run_command(
        {"/usr/bin/strace", "-f", "-o", "/dev/null", "-e", "trace=rename,renameat,renameat2", "-e",
         "inject=rename,renameat,renameat2:signal=SIGKILL", FBBENCH, "--quiet", "--no-probe", "--no-memory",
         "--output", output.string(), "--programs", (folder / "programs").string(), "mandelbrot-bench"},
        {"TEST_FB_SCREEN=320x240x32", programs_path, "STAND_IN=exit139"});
    EXPECT_EQ(killed.status, 128 + SIGKILL) << killed.err;
    std::vector<std::string> temporaries;
    for (const std::string& name : folder_names())
        if (name.starts_with(".fbbench."))
            temporaries.push_back(name);
    ASSERT_EQ(temporaries.size(), 1u) << testing::PrintToString(folder_names());
    // Another session's, locked while it writes, and another user's.
    const std::filesystem::path held = folder / ".fbbench.held00", others = folder / ".fbbench.other0";
    const unique_fd held_fd = lock_hold(held);
    ASSERT_GE(held_fd.get(), 0) << std::strerror(errno);
    std::ofstream(others) << "{}";
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(others.c_str(), 65534, 65534), 0);
    }
    const bench_result next = stand_in("exit139", {"--force"});
    EXPECT_EQ(next.status, 1) << next.err;
    std::vector<std::string> names = folder_names();
    std::erase(names, "stand-in.pid");
    std::vector<std::string> expected = {".fbbench.held00", "results.json"};
    if (root)
        expected.insert(expected.begin() + 1, ".fbbench.other0");
    EXPECT_EQ(names, expected);
    if (!skipped.empty())
        GTEST_SKIP() << "skipped " << skipped;
}

// Root is refused a link in a sticky, world-writable folder unless the
// link is its own or the folder owner's, whatever fs.protected_symlinks
// says, as the last part of the path or on the way; the file behind the
// link is left alone.
TEST_F(FbbenchRun, PlantedLinkIsNotFollowed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "skipped: only root can plant a link as another user";
    const std::string earlier = earlier_results();
    ASSERT_NE(earlier, "");
    const std::filesystem::path victim = folder / "victim.json", victims = folder / "victims";
    std::filesystem::create_directory(victims);
    struct link_case {
        const char* name;
        uid_t folder_owner, link_owner;
        std::filesystem::path target;
        std::string below; // the path under the link
        bool followed;
    } cases[] = {
        {"PlantedByAnother", 0, 65534, victim, "", false},
        {"FolderPlantedByAnother", 0, 65534, victims, "/x.json", false},
        {"OwnLink", 65534, 0, victim, "", true},
        {"FolderOwnersLink", 65534, 65534, victim, "", true},
    };
    for (const link_case& c : cases) {
        SCOPED_TRACE(c.name);
        const scratch_folder sticky_folder(folder);
        const std::filesystem::path& sticky = sticky_folder.path;
        std::filesystem::remove_all(victims / "x.json");
        ASSERT_EQ(chown(sticky.c_str(), c.folder_owner, c.folder_owner), 0);
        std::filesystem::permissions(sticky, std::filesystem::perms(01777));
        std::ofstream(victim) << earlier;
        const std::filesystem::path link = sticky / "link";
        std::filesystem::create_symlink(c.target, link);
        ASSERT_EQ(lchown(link.c_str(), c.link_owner, c.link_owner), 0);
        std::filesystem::remove(pid_file());
        const bench_result result = stand_in("exit139", {"--output", link.string() + c.below});
        EXPECT_EQ(result.status, c.followed ? 1 : 2) << result.err;
        EXPECT_EQ(std::filesystem::exists(victims / "x.json"), c.followed && !c.below.empty());
        EXPECT_EQ(text_of(victim) == earlier, !c.followed || !c.below.empty());
        if (!c.followed) {
            EXPECT_NE(result.err.find("another user's link"), std::string::npos) << result.err;
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        }
        EXPECT_TRUE(std::filesystem::is_symlink(link));
    }
}

// What the user typed comes back in messages with its control characters
// escaped, so that a message stays one line and cannot drive the terminal.
TEST_F(FbbenchRun, MessagesQuoteInputEscaped)
{
    const std::string missing = (folder / "no\033[2Jsuch\n" / "x.json").string();
    const struct {
        const char* name;
        std::vector<std::string> args;
        const char* shown; // in standard error
    } cases[] = {
        {"Device", {"--device", "/dev/fb\033[2J\n", "--runs", "1", "mandelbrot-bench"}, "/dev/fb\\x1b[2J\\n"},
        {"Output", {"--output", missing, "mandelbrot-bench"}, "no\\x1b[2Jsuch\\n/x.json"},
        {"Runs", {"--runs", "\033]0;x\a"}, "--runs \\x1b]0;x\\x07 is not"},
        {"Program", {"bench\033[1m"}, "unknown program bench\\x1b[1m"},
        {"Option", {"--\033[1m"}, "unknown option --\\x1b[1m"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(output);
        const bench_result result = fbbench(c.args, {"STAND_IN=exit139"});
        EXPECT_NE(result.status, 0);
        EXPECT_NE(result.err.find(c.shown), std::string::npos) << result.err;
        EXPECT_EQ(std::count_if(result.err.begin(), result.err.end(), [](char ch) { return ch != '\n' && ch > 0 && ch < 0x20; }), 0)
            << result.err;
    }
}

// Standard output full or closed: one line on standard error and a
// non-zero status, for the help as for a session's table.
TEST_F(FbbenchRun, FullOrClosedStdoutIsSaid)
{
    const struct {
        const char* name;
        std::vector<std::string> args;
        const char* stdout_path;
        int closed_fd;
        const char* reason;
    } cases[] = {
        {"HelpFull", {"--help"}, "/dev/full", -1, "No space left on device"},
        {"VersionClosed", {"--version"}, nullptr, STDOUT_FILENO, "Bad file descriptor"},
        {"SessionFull", {"--runs", "1", "--no-memory", "--no-sync", "rectangle-bench"}, "/dev/full", -1,
         "No space left on device"},
        {"SessionClosed", {"--runs", "1", "--no-memory", "--no-sync", "rectangle-bench"}, nullptr, STDOUT_FILENO,
         "Bad file descriptor"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> command = {FBBENCH, "--quiet", "--no-probe", "--output", output.string()};
        command.insert(command.end(), c.args.begin(), c.args.end());
        const bench_result result = bench_run_command(command, {"TEST_FB_SCREEN=320x240x32", programs_path, virtual_clock},
                                                      c.stdout_path, c.closed_fd);
        EXPECT_EQ(result.status, 1) << result.err;
        const std::string said = std::string("fbbench: cannot write to standard output: ") + c.reason + "\n";
        EXPECT_TRUE(result.err.ends_with(said)) << result.err;
        EXPECT_EQ(result.err.find("standard output"), result.err.size() - said.size() + 25) << "said once";
    }
}

// fbbench >&- : the programs' reports still reach their captured output.
TEST_F(FbbenchRun, ClosedStdoutLeavesTheProgramsTheirs)
{
    const bench_result result
        = fbbench({"--runs", "1", "--no-memory", "--no-sync", "rectangle-bench"}, {virtual_clock}, {}, STDOUT_FILENO);
    const nlohmann::json file = file_json(output);
    ASSERT_TRUE(file.is_object()) << result.err;
    ASSERT_EQ(file["runs"].size(), 1u);
    EXPECT_EQ(file["runs"][0]["valid"], true) << file["runs"][0].dump();
    // Only fbbench's own table had nowhere to go.
    EXPECT_EQ(result.status, 1);
}

} // namespace
