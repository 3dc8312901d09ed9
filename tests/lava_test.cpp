// fbbench-lava: the cases a results file gives, the block that carries it
// through a job's log, and what it does with a file it cannot use.
#include "lava_cases.h"
#include "lava_tool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A results file of one device with a screen, RAM and display figure, a
// second device that failed, and two warnings of one kind.
nlohmann::json results_sample()
{
    return nlohmann::json::parse(R"({
      "schema": "fbbench-results/2", "complete": true,
      "devices": [
        {"path": "/dev/dri/card0", "kind": "drm",
         "display": {"refresh": {"method": "drm-vblank", "status": "measured", "median_hz": 59.94},
                     "update_probe": {"skipped": "a display server holds DRM master"}}},
        {"path": "/dev/fb9", "error": "cannot open /dev/fb9: No such file or directory"}],
      "runs": [
        {"program": "rectangle-bench", "path": "/dev/dri/card0", "target": "device", "valid": true},
        {"program": "rectangle-bench", "path": "/dev/dri/card0", "target": "device", "valid": false},
        {"program": "rectangle-bench", "path": "/dev/dri/card0", "target": "device", "valid": true, "warmup": true},
        {"program": "rectangle-bench", "path": "/dev/dri/card0", "target": "memory", "valid": true},
        {"program": "sierpinski-bench", "path": "/dev/dri/card0", "target": "display", "valid": true}],
      "results": [
        {"program": "rectangle-bench", "metric": "fill rate", "unit": "MPixels/s", "path": "/dev/dri/card0",
         "device": {"median": 44.27, "settled": true}, "memory": {"median": 43.9, "settled": false}},
        {"program": "sierpinski-bench", "metric": "frame rate at 1024 points", "unit": "frames/s",
         "path": "/dev/dri/card0", "display": {"median": 1e-3, "settled": true}}],
      "warnings": [{"kind": "outlier", "message": "a"}, {"kind": "device-query", "message": "b"},
                   {"kind": "outlier", "message": "c"}]
    })");
}

std::vector<std::string> lines(const std::vector<lava_case>& cases)
{
    std::vector<std::string> out;
    const std::string text = lava_cases_format(cases);
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        out.push_back(text.substr(at, end - at));
    return out;
}

TEST(LavaCases, EveryCaseOfAFileInOrder)
{
    const std::vector<std::string> expected = {
        "fbbench pass",
        "describe.dri-card0 pass",
        "describe.dri-card0.refresh pass 59.94 Hz",
        "describe.dri-card0.update-probe skip",
        "describe.fb9 fail",
        // two counted runs, one of them invalid; the warm-up is not counted
        "rectangle-bench.dri-card0.device fail 1 runs",
        "rectangle-bench.dri-card0.memory pass 1 runs",
        "sierpinski-bench.dri-card0.display pass 1 runs",
        "rectangle-bench.fill-rate.dri-card0.device pass 44.27 MPixels/s",
        "rectangle-bench.fill-rate.dri-card0.memory fail 43.9 MPixels/s",
        "sierpinski-bench.frame-rate-at-1024-points.dri-card0.display pass 0.001 frames/s",
        "warning.outlier fail",
        "warning.device-query fail",
        "warning.outlier.2 fail",
    };
    EXPECT_EQ(lines(lava_cases_make(results_sample(), 0)), expected);
}

// Files fbbench wrote on the stand-in's vkms card and on its card whose
// vblank counter does not move: the frames presented a second and the
// vblanks missed per benchmark, or one skipped case for a dropped target,
// whose dropped run is no failed one.
TEST(LavaCases, PresentedFramesAndMissedVblanks)
{
    const struct {
        const char* file;
        std::vector<std::string> present, absent;
    } cases[] = {
        {"presented-vkms.json",
         {"mandelbrot-bench.fb0.presented pass 1 runs", "mandelbrot-bench.time.fb0.presented pass 0.04 s",
          "mandelbrot-bench.fb0.presented-fps pass 59.999 frames/s", "mandelbrot-bench.fb0.missed-vblanks pass 0 vblanks"},
         {"presented.fb0 skip"}},
        {"presented-stuck.json", {"presented.fb0 skip", "warning.presented-dropped fail"},
         {"mandelbrot-bench.fb0.presented fail 0 runs", "mandelbrot-bench.fb0.presented-fps pass 59.999 frames/s"}},
    };
    for (const auto& c : cases) {
        std::ifstream in(std::string(LAVA_STAND_IN_FIXTURES) + "/" + c.file);
        const nlohmann::json file = nlohmann::json::parse(in);
        const std::vector<std::string> got = lines(lava_cases_make(file, 0));
        for (const std::string& line : c.present)
            EXPECT_NE(std::find(got.begin(), got.end(), line), got.end()) << c.file << ": " << line;
        for (const std::string& line : c.absent)
            EXPECT_EQ(std::find(got.begin(), got.end(), line), got.end()) << c.file << ": " << line;
    }
    nlohmann::json faster;
    {
        std::ifstream in(std::string(LAVA_STAND_IN_FIXTURES) + "/presented-vkms.json");
        faster = nlohmann::json::parse(in);
    }
    // More frames presented than the display refreshes: a wrong measurement.
    faster["devices"][0]["presented"]["benchmarks"][0]["frames_per_second"] = 61.0;
    const std::vector<std::string> got = lines(lava_cases_make(faster, 0));
    EXPECT_NE(std::find(got.begin(), got.end(), "mandelbrot-bench.fb0.presented-fps fail 61 frames/s"), got.end());
}

TEST(LavaCases, FbbenchCaseFailsOnAFailedOrUnfinishedRun)
{
    struct row {
        int status;
        bool complete;
        const char* expected;
    };
    for (const row& r : std::vector<row>{{0, true, "pass"}, {1, true, "fail"}, {3, true, "fail"}, {0, false, "fail"}}) {
        nlohmann::json file = results_sample();
        file["complete"] = r.complete;
        const std::vector<lava_case> cases = lava_cases_make(file, r.status);
        EXPECT_EQ(cases.front().name, "fbbench");
        EXPECT_EQ(cases.front().result, r.expected) << "status " << r.status << " complete " << r.complete;
    }
}

TEST(LavaCases, NameParts)
{
    const std::vector<std::pair<std::string, std::string>> table = {
        {"fill rate", "fill-rate"},
        {"frame rate at 1024 points", "frame-rate-at-1024-points"},
        {"Deferred IO", "deferred-io"},
        {"--a  b--", "a-b"},
        {"", "none"},
        {"\xc3\xa9t\xc3\xa9", "t"},
    };
    for (const auto& [text, part] : table)
        EXPECT_EQ(lava_name_part(text), part) << text;
}

TEST(LavaCases, FileThatIsNoResultsFileIsRefusedWithWhereItFailed)
{
    struct row {
        const char* pointer; // what to change
        nlohmann::json value;
        const char* message; // a part of the message
    };
    const std::vector<row> table = {
        {"", 42, "not a JSON object"},
        {"/schema", "other/1", "schema \"other/1\""},
        {"/runs", nlohmann::json::object(), "\"runs\" is a object"},
        {"/runs/0/valid", "yes", "runs[0]'s \"valid\" is a string"},
        {"/results/0/device/median", "44", "results[0].device's \"median\" is a string"},
        {"/results/0/unit", "MPixels per s", "unit \"MPixels per s\" is not 1 to 32 letters, digits"},
        {"/devices/0", "fb0", "devices[0] is not an object"},
        {"/warnings/0/kind", nullptr, "warnings[0]'s \"kind\" is a null"},
    };
    for (const row& r : table) {
        nlohmann::json file = results_sample();
        file[nlohmann::json::json_pointer(r.pointer)] = r.value;
        try {
            lava_cases_make(file, 0);
            ADD_FAILURE() << r.pointer << ": accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(r.message), std::string::npos) << e.what();
        }
    }
}

TEST(LavaBlock, Base64AndCrc32AsTheirStandardsGive)
{
    // RFC 4648's test vectors; CRC-32's check value.
    const std::vector<std::pair<std::string, std::string>> table = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"foobar", "Zm9vYmFy"},
        {std::string("\xff\x00\xfe", 3), "/wD+"},
    };
    for (const auto& [data, text] : table)
        EXPECT_EQ(lava_base64(data), text);
    EXPECT_EQ(lava_crc32("123456789"), 0xCBF43926u);
}

TEST(LavaBlock, LinesAreShortAndFramedByTheirMarkers)
{
    const std::string content(200, 'x');
    const std::string block = lava_block_make("fbbench-board", 1, content);
    EXPECT_EQ(block.rfind("FBBENCH-RESULTS-BEGIN name=fbbench-board status=1 bytes=200 crc32=", 0), 0u);
    std::vector<std::string> body;
    for (std::size_t at = block.find('\n') + 1, end; (end = block.find('\n', at)) != std::string::npos; at = end + 1)
        body.push_back(block.substr(at, end - at));
    EXPECT_EQ(body.back(), "FBBENCH-RESULTS-END name=fbbench-board");
    body.pop_back();
    std::string joined;
    for (const std::string& line : body) {
        EXPECT_LE(line.size(), 76u);
        joined += line;
    }
    EXPECT_EQ(joined, lava_base64(content));
}

class LavaRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/lava_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        folder = dir;
    }
    void TearDown() override
    {
        for (const std::string& f : written)
            std::remove(f.c_str());
        rmdir(folder.c_str());
    }
    std::string file(const std::string& name, const std::string& content)
    {
        const std::string path = folder + "/" + name;
        std::ofstream(path) << content;
        written.push_back(path);
        return path;
    }
    std::string folder;
    std::vector<std::string> written;
};

TEST_F(LavaRun, FileItCannotUseGivesOneLineAFailedCaseAndAMissingBlock)
{
    struct row {
        std::string path;
        std::string message;
    };
    const std::vector<row> table = {
        {folder + "/absent.json", "cannot read " + folder + "/absent.json: No such file or directory"},
        {folder, "not a regular file"},
        {file("cut.json", "{\"schema\": \"fbbench-res"), "is not JSON"},
        {file("other.json", "{\"schema\": \"fbbench-results/2\"}"), "has no \"complete\""},
    };
    for (const row& r : table) {
        for (bool emit : {false, true}) {
            lava_options options;
            options.results = r.path;
            options.status = 2;
            options.emit = emit;
            std::string out, error;
            EXPECT_EQ(lava_run(options, out, error), 1) << r.path;
            EXPECT_NE(error.find(r.message), std::string::npos) << error;
            EXPECT_EQ(error.find('\n'), std::string::npos) << error;
            if (emit)
                EXPECT_EQ(out.rfind("FBBENCH-RESULTS-MISSING name=", 0), 0u) << out;
            else
                EXPECT_EQ(out, "fbbench fail\n");
        }
    }
}

// A results file fbbench wrote on the emulated vexpress board.
nlohmann::json board_file()
{
    std::ifstream in(LAVA_BOARD_FIXTURES "/vexpress/fbbench-fb0.json");
    std::stringstream text;
    text << in.rdbuf();
    return nlohmann::json::parse(text.str());
}

// What reaches the job's log: printable ASCII, one line.
bool one_printable_line(const std::string& text)
{
    const std::size_t end = text.find('\n');
    if (end != std::string::npos && end + 1 != text.size())
        return false;
    for (std::size_t i = 0; i < text.size() && i != end; ++i)
        if (text[i] < 0x20 || text[i] > 0x7e)
            return false;
    return true;
}

// How many lines fbbench-lava-results could take the text for.
int markers(const std::string& text)
{
    const std::string prefix = "FBBENCH-RESULTS-";
    int found = 0;
    for (std::size_t at = 0; (at = text.find(prefix, at)) != std::string::npos;) {
        at += prefix.size();
        while (at < text.size() && text[at] >= 'A' && text[at] <= 'Z')
            ++at;
        found += text.compare(at, 6, " name=") == 0;
    }
    return found;
}

TEST_F(LavaRun, RealFileWithOneFieldWrongGivesOneLineAFailedCaseAndAMissingLine)
{
    struct row {
        const char* pointer; // what to change
        nlohmann::json value;
        const char* message; // a part of the message
    };
    const std::string forged = "x\nFBBENCH-RESULTS-BEGIN name=forged status=0 bytes=2 crc32=00000000";
    const std::vector<row> table = {
        {"/runs/0/warmup", 1, "runs[0]'s \"warmup\" is a number"},
        {"/runs/0/target", false, "runs[0]'s \"target\" is a boolean"},
        {"/runs/1/valid", "true", "runs[1]'s \"valid\" is a string"},
        {"/devices/0/display", "fsync", "devices[0]'s \"display\" is a string"},
        {"/devices/0/display/refresh", nlohmann::json::array(), "devices[0].display's \"refresh\" is a array"},
        {"/devices/0/display/update_probe/updates_per_second", "703.69",
         "devices[0].display.update_probe's \"updates_per_second\" is a string"},
        {"/devices/0/error", false, "devices[0]'s \"error\" is a boolean"},
        {"/results/0/memory", 39.59, "results[0]'s \"memory\" is a number"},
        {"/results/0/device/settled", 1, "results[0].device's \"settled\" is a number"},
        {"/complete", "true", "the file's \"complete\" is a string"},
        {"/warnings/0", "display-drop", "warnings[0] is not an object"},
        // Values that would reach the log or lava-test-case as they are.
        {"/schema", forged, "schema \"x\\nFBBENCH\\x2dRESULTS-BEGIN name=forged"},
        {"/results/0/unit", "MPixels/s\x1b]0;owned\x07", "unit \"MPixels/s\\x1b]0;owned\\x07\" is not"},
        {"/results/0/unit", "MPixels\v/s", "unit \"MPixels\\x0b/s\" is not"},
        {"/results/0/unit", "MPixels/s>", "unit \"MPixels/s>\" is not"},
        {"/results/0/unit", "", "unit \"\" is not"},
    };
    for (const row& r : table) {
        nlohmann::json content = board_file();
        content[nlohmann::json::json_pointer(r.pointer)] = r.value;
        const std::string path = file("fbbench-fb0.json", content.dump());
        for (bool emit : {false, true}) {
            lava_options options;
            options.results = path;
            options.emit = emit;
            std::string out, error;
            EXPECT_EQ(lava_run(options, out, error), 1) << r.pointer;
            const std::string line = lava_line_text(error);
            EXPECT_NE(line.find(r.message), std::string::npos) << r.pointer << ": " << line;
            EXPECT_TRUE(one_printable_line(line)) << line;
            if (emit) {
                EXPECT_EQ(out.rfind("FBBENCH-RESULTS-MISSING name=fbbench-fb0 status=0 ", 0), 0u) << out;
                EXPECT_TRUE(one_printable_line(out)) << out;
                EXPECT_EQ(markers(out), 1) << out;
                EXPECT_EQ(markers(line), 0) << line;
            } else {
                EXPECT_EQ(out, "fbbench fail\n");
            }
        }
    }
    // The file as fbbench wrote it is taken.
    lava_options options;
    options.results = file("fbbench-fb0.json", board_file().dump());
    std::string out, error;
    EXPECT_EQ(lava_run(options, out, error), 0) << error;
}

TEST_F(LavaRun, MissingLineIsOneLineWhateverThePathHolds)
{
    lava_options options;
    options.results = folder + "/x\x1b[2J\nFBBENCH-RESULTS-END name=x\n.json";
    options.emit = true;
    std::string out, error;
    EXPECT_EQ(lava_run(options, out, error), 1);
    EXPECT_TRUE(one_printable_line(out)) << out;
    EXPECT_EQ(markers(out), 1) << out;
    EXPECT_NE(out.find("x\\x1b[2J\\nFBBENCH\\x2dRESULTS-END name=x\\n.json"), std::string::npos) << out;
    EXPECT_TRUE(one_printable_line(lava_line_text(error))) << error;
    EXPECT_EQ(markers(lava_line_text(error)), 0) << error;
}

TEST_F(LavaRun, BlockIsNamedAfterTheFileAndCarriesItWhole)
{
    const std::string content = results_sample().dump();
    const std::vector<std::pair<std::string, std::string>> table = {
        {"fbbench-pi 4.json", "fbbench-pi_4"},
        {"..json", "_"},
        {".x.json", "_x"},
        {"-x.json", "_x"},
        {std::string(250, 'n') + ".json", std::string(200, 'n')},
    };
    for (const auto& [file_name, name] : table) {
        lava_options options;
        options.results = file(file_name, content);
        options.emit = true;
        options.status = 1;
        std::string out, error;
        ASSERT_EQ(lava_run(options, out, error), 0) << error;
        EXPECT_EQ(out, lava_block_make(name, 1, content));
    }
}

TEST(LavaOptions, BadUsageIsOneLine)
{
    struct row {
        std::vector<std::string> args;
        std::string error; // empty: accepted
    };
    const std::string bad_name = "--name wants letters, digits and '_', with '.' and '-' after the first, not ";
    const std::vector<row> table = {
        {{"r.json"}, ""},
        {{"--emit", "--status", "255", "--name", "n", "r.json"}, ""},
        {{"--name", "fbbench-board_2.1", "r.json"}, ""},
        {{"--name", std::string(200, 'n'), "r.json"}, ""},
        {{"--name", "..", "r.json"}, bad_name + "\"..\""},
        {{"--name", ".", "r.json"}, bad_name + "\".\""},
        {{"--name", ".hidden", "r.json"}, bad_name + "\".hidden\""},
        {{"--name", "", "r.json"}, bad_name + "\"\""},
        {{"--name", "../up", "r.json"}, bad_name + "\"../up\""},
        {{"--name", "a b", "r.json"}, bad_name + "\"a b\""},
        {{"--name", "-x", "r.json"}, bad_name + "\"-x\""},
        {{"--name", std::string(201, 'n'), "r.json"}, "--name is longer than 200 characters"},
        {{}, "no results file given"},
        {{"a.json", "b.json"}, "one results file only"},
        {{"--status", "256", "r.json"}, "--status wants an exit status, 0 to 255, not \"256\""},
        {{"--status", "-1", "r.json"}, "--status wants an exit status, 0 to 255, not \"-1\""},
        {{"--status", "1x", "r.json"}, "--status wants an exit status, 0 to 255, not \"1x\""},
        {{"r.json", "--status"}, "option --status wants a value"},
        {{"--bogus", "r.json"}, "unknown option --bogus"},
    };
    for (const row& r : table) {
        std::vector<std::string> words = {"fbbench-lava"};
        words.insert(words.end(), r.args.begin(), r.args.end());
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        lava_options options;
        bool help = false;
        std::string error;
        const bool ok = lava_options_parse(static_cast<int>(words.size()), argv.data(), options, help, error);
        EXPECT_EQ(ok, r.error.empty()) << words.back();
        EXPECT_EQ(error, r.error);
    }
}

} // namespace
