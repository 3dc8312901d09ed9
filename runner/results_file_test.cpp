// The results file: the whole session as JSON, and the file it goes to,
// wherever the path leads, never shared.
#include "results_file.h"
#include "runner_test_support.h"
#include "verdicts.h"

#include <cmath>
#include <fstream>
#include <sys/stat.h>

namespace {

TEST(ResultsFile, AfterAnInterruptedRun)
{
    const session s = interrupted_session();
    const scratch_folder scratch;
    const std::filesystem::path file = scratch.path / "results.json";
    std::string error;
    {
        results_output output;
        ASSERT_EQ(results_output_open(output, file, false, error), 0) << error;
        ASSERT_TRUE(results_file_write(output, results_json(s, "2026-12-08T17:41:00Z").dump(), error)) << error;
    }
    std::ifstream in(file);
    const nlohmann::json j = nlohmann::json::parse(in);

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
    EXPECT_EQ(j["runs"][3]["stdout"], report_text("rectangle-bench", {184.37}));
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
}

// The display's figures go into the file beside the screen's, with ratios
// that read "above 1 is better" for rates and times alike, and the
// device's verdict.
TEST(ResultsFile, DisplayFiguresRatiosAndGlass)
{
    const session s = display_session();
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
    EXPECT_EQ(j["devices"][0]["verdict"], display_verdict(s, "/dev/fb1"));

    // Frames beyond the refresh cannot all be shown.
    const nlohmann::json f = results_json(display_fast_session(), "2026-12-08T22:00:00Z");
    EXPECT_EQ(f["results"][0]["display_glass_at_most"], 75.0);
    EXPECT_EQ(f["results"][1]["display_glass_at_most"], 75.0);
    EXPECT_FALSE(f["results"][2].contains("display_glass_at_most"));
}

// A description as the file records it: what was not found is left out,
// never made up, and an unknown wait is null.
TEST(ResultsFile, DeviceDescriptionLeavesOutWhatWasNotFound)
{
    fb_screen_info screen;
    std::snprintf(screen.fix.id, sizeof screen.fix.id, "%s", "mi0283qtdrmfb");
    screen.var.xres = 320;
    const device_description shadow = {
        .path = "/dev/fb1",
        .kind = fb_device_kind::fbdev,
        .fb = {.screen = screen, .sysfs = {.stride = "640", .bits_per_pixel = "sixteen", .drm_card = "card1"}},
        .mapping = mapping_description{.found = {"deferred-io", "VmFlags"}},
        .display = display_description{.flush = flush_summary{.method = "fsync", .evidence = "the driver's own"}}};
    const struct {
        device_description device;
        nlohmann::json expected; // these fields, and only those at the top
    } cases[] = {
        {{.path = "/dev/fb7", .error = "cannot open /dev/fb7"}, {{"path", "/dev/fb7"}, {"error", "cannot open /dev/fb7"}}},
        {{.path = "/dev/dri/card0", .kind = fb_device_kind::drm}, {{"path", "/dev/dri/card0"}, {"kind", "drm"}, {"needs_flush", true}}},
        {shadow,
         {{"path", "/dev/fb1"}, {"kind", "fbdev"}, {"needs_flush", true}, {"driver_kind", "drm-emulation"},
          {"fix", {{"id", "mi0283qtdrmfb"}, {"smem_len", 0}, {"line_length", 0}, {"type", 0}, {"visual", 0}}},
          {"var", device_description_json(shadow)["var"]},
          {"sysfs", {{"stride", 640}, {"bits_per_pixel", "sixteen"}, {"drm_card", "card1"}}},
          {"mapping", {{"class", "deferred-io"}, {"evidence", "VmFlags"}}},
          {"display", {{"flush", {{"method", "fsync"}, {"evidence", "the driver's own"}, {"kernel_waits", nullptr}}}}}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(device_description_json(c.device), c.expected) << c.device.path;
    // Without sources only what the build itself knows is left.
    const system_description bare = {.program_architecture = "arm", .program_bits = 32, .libc = "glibc 2.36",
                                     .compiler = "GCC 12.2.0", .compile_flags = "-O2"};
    EXPECT_EQ(system_description_json(bare), (nlohmann::json{{"program_architecture", "arm"}, {"program_bits", 32},
                                                             {"libc", "glibc 2.36"}, {"compiler", "GCC 12.2.0"},
                                                             {"compile_flags", "-O2"}}));
    EXPECT_EQ(device_description_json(shadow)["var"]["xres"], 320);
    EXPECT_FALSE(device_description_json(shadow)["var"].contains("refresh_hz")) << "no pixel clock: no rate";
}

// The path as the kernel resolves it: a file, a link or a link to one, a
// dangling link (its file is made) are written where they lead, the link
// staying, and stay locked against a second session across every rewrite;
// anything else is refused with one line and nothing left behind.
TEST(ResultsFile, OutputIsWhatThePathLeadsTo)
{
    namespace fs = std::filesystem;
    const scratch_folder scratch;
    const fs::path& dir = scratch.path;
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
}

// The default name is made anew at the first write: sessions started in
// the same second take the next suffix instead of sharing a file.
TEST(ResultsFile, DefaultOutputIsNeverShared)
{
    namespace fs = std::filesystem;
    const scratch_folder scratch;
    const fs::path& dir = scratch.path;
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
}

} // namespace
