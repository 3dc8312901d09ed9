// What every program does alike, through the shared framebuffer access: bad
// input and failing devices are refused with one line on standard error, a
// non-zero exit status, nothing on standard output, nothing drawn and
// everything acquired released; FRAMEBUFFER names the device; depths other
// than 24 and 32 bits, 8 and 16 among them, stay inside the mapping; a lost report fails the run; a
// signal gives a DRM display back.
#include "bench_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/file.h>
#include <unistd.h>

namespace {

struct refusal {
    const char* name;
    std::vector<std::string> env;
    int status;
    std::string message; // after "<program>: "
    std::vector<std::string> log;
};

const std::vector<std::string> opened = {"open", "ioctl 0x4600", "close"};

// The node's kind is decided before any ioctl reaches it.
const std::vector<std::string> neither = {"open", "close"};
const std::vector<std::string> drm_opened = {"open", "destroy dumb 6", "drop master", "close"};
const std::string how_to_deepen =
    "8 or more are supported (set 16 or 32 with the kernel's video= option, as in video=HDMI-A-1:800x480-32)";

const refusal refusals[] = {
    {"OpenFails", {"TEST_FB_FAIL=open"}, 1,
     "cannot open /dev/fb0: Permission denied (run as root or as a member of the video group)", {"open"}},
    {"QueryFails", {"TEST_FB_FAIL=query"}, 1, "cannot query /dev/fb0: Invalid argument", opened},
    {"NodeOfNeitherKind", {"TEST_FB_NODE=neither"}, 1, "/dev/fb0 is neither a framebuffer nor a DRM device", neither},
    {"RegularFile", {"TEST_FB_NODE=file"}, 1, "/dev/fb0 is neither a framebuffer nor a DRM device", neither},
    {"DrmCardOfNeitherKind", {"TEST_FB_NODE=neither", "TEST_FB_DRM=1", "TEST_FB_KERNEL=64"}, 1,
     "/dev/fb0 is neither a framebuffer nor a DRM device", neither},
    {"MapFails", {"TEST_FB_FAIL=map"}, 1, "cannot map /dev/fb0: Cannot allocate memory",
     {"open", "ioctl 0x4600", "mmap 24000", "close"}},
    {"FourBitScreen", {"TEST_FB_SCREEN=100x60x4"}, 1, "/dev/fb0 has 4 bits per pixel; " + how_to_deepen, opened},
    {"ZeroBitScreen", {"TEST_FB_SCREEN=100x60x0"}, 1, "/dev/fb0 has 0 bits per pixel; " + how_to_deepen, opened},
    {"ScreenBeyondThirtyTwoBits", {"TEST_FB_SCREEN=70000x70000x32"}, 1,
     "/dev/fb0 screen of 70000x70000 at 32 bits per pixel is too large", opened},
    {"TooWide", {"WIDTH=101"}, 2, "window 101x60 at (0,0) crosses the right edge of the 100x60 screen", opened},
    {"MovedWithDefaultWidth", {"POSX=10"}, 2,
     "window 100x60 at (10,0) crosses the right edge of the 100x60 screen; WIDTH defaults to the screen's width, "
     "so set WIDTH too", opened},
    {"TooLow", {"POSY=10", "HEIGHT=51"}, 2, "window 100x51 at (0,10) crosses the bottom edge of the 100x60 screen",
     opened},
    {"MovedWithDefaultHeight", {"POSY=1"}, 2,
     "window 100x60 at (0,1) crosses the bottom edge of the 100x60 screen; HEIGHT defaults to the screen's height, "
     "so set HEIGHT too", opened},
    {"NegativePosition", {"POSX=-1", "WIDTH=10"}, 2, "window 10x60 at (-1,0) crosses the left edge of the 100x60 screen",
     opened},
    {"NegativeTop", {"POSY=-3"}, 2, "window 100x60 at (0,-3) crosses the top edge of the 100x60 screen", opened},
    {"NegativeHeight", {"HEIGHT=-8"}, 2, "window 100x-8 at (0,0) has a negative height", opened},
    {"PositionPlusWidthOverflows", {"POSX=2147483647", "WIDTH=1"}, 2,
     "window 1x60 at (2147483647,0) crosses the right edge of the 100x60 screen", opened},
    {"ControlCharactersEscaped", {"WIDTH= \n-2147483649\x1b"}, 2, "WIDTH= \\n-2147483649\\x1b is out of range", opened},
    {"DevicePathEscaped", {"FRAMEBUFFER=/no/fb\t1"}, 1, "cannot open /no/fb\\t1: No such file or directory", {}},
    {"UnknownTarget", {"FBBENCH_TARGET=ram"}, 2,
     "FBBENCH_TARGET=ram is not device, memory or memory:WIDTHxHEIGHTxDEPTH", {}},
    {"TargetShapeWithSign", {"FBBENCH_TARGET=memory:+100x60x32"}, 2,
     "FBBENCH_TARGET=memory:+100x60x32 is not device, memory or memory:WIDTHxHEIGHTxDEPTH", {}},
    {"ShallowTargetShape", {"FBBENCH_TARGET=memory:100x60x7"}, 2,
     "FBBENCH_TARGET=memory:100x60x7 is no screen to draw on: 8 or more bits per pixel are supported", {}},
    {"EmptyTargetShape", {"FBBENCH_TARGET=memory:0x60x32"}, 2,
     "FBBENCH_TARGET=memory:0x60x32 is no screen to draw on: it has no pixels", {}},
    {"MemoryTargetKeepsTheWindowRules", {"FBBENCH_TARGET=memory", "WIDTH=101"}, 2,
     "window 101x60 at (0,0) crosses the right edge of the 100x60 screen", opened},
    {"WidthBeyondThirtyTwoBits", {"WIDTH=99999999999"}, 2, "WIDTH=99999999999 is out of range", opened},
    {"PositionBeyondThirtyTwoBits", {"POSY=-2147483649"}, 2, "POSY=-2147483649 is out of range", opened},
    {"NamedDeviceMissing", {"FRAMEBUFFER=/nonexistent/fb1"}, 1, "cannot open /nonexistent/fb1: No such file or directory", {}},
    {"NamedDeviceFailsItsQuery", {"FRAMEBUFFER=/dev/fb1", "TEST_FB_DEVICE=/dev/fb1", "TEST_FB_FAIL=query"}, 1,
     "cannot query /dev/fb1: Invalid argument", opened},
    {"DisplayServerHoldsDrmMaster", {"TEST_FB_DRM=busy"}, 1,
     "/dev/fb0: a display server is using it (Device or resource busy)", {"open", "close"}},
    {"DrmNoConnectedDisplay", {"TEST_FB_DRM=disconnected"}, 1, "/dev/fb0 has no connected display",
     {"open", "drop master", "close"}},
    {"DrmWindowBeyondTheVisibleMode", {"TEST_FB_DRM=1", "WIDTH=101"}, 2,
     "window 101x60 at (0,0) crosses the right edge of the 100x60 screen", drm_opened},
    {"HoldNotSeconds", {"FBBENCH_HOLD=5s\n"}, 2, "FBBENCH_HOLD=5s\\n is not a number of seconds", {}},
    {"SyncNotNoneOrFrame", {"FBBENCH_SYNC=bogus"}, 2, "FBBENCH_SYNC=bogus is not none, frame or present", {}},
    {"SyncOnADrmCardStillChecked", {"TEST_FB_DRM=1", "FBBENCH_SYNC=frames"}, 2, "FBBENCH_SYNC=frames is not none, frame or present", {}},
    {"PresentWithoutItsDescriptor", {"TEST_FB_DRM=vkms", "FBBENCH_SYNC=present"}, 2,
     "FBBENCH_SYNC=present needs FBBENCH_PRESENT_FD, a descriptor above 2 open for writing (FBBENCH_PRESENT_FD=unset)", {}},
    {"PresentToStandardError", {"TEST_FB_DRM=vkms", "FBBENCH_SYNC=present", "FBBENCH_PRESENT_FD=2"}, 2,
     "FBBENCH_SYNC=present needs FBBENCH_PRESENT_FD, a descriptor above 2 open for writing (FBBENCH_PRESENT_FD=2)", {}},
    {"PresentOnAMemoryTarget", {"TEST_FB_DRM=vkms", "FBBENCH_SYNC=present", "FBBENCH_TARGET=memory"}, 2,
     "FBBENCH_SYNC=present needs FBBENCH_TARGET=device", {}},
    {"DepthNotSixteenOrThirtyTwo", {"TEST_FB_DRM=1", "FBBENCH_DEPTH=24"}, 2, "FBBENCH_DEPTH=24 is not 16 or 32", {}},
    {"DepthCheckedOnAFramebufferToo", {"FBBENCH_DEPTH=16bit"}, 2, "FBBENCH_DEPTH=16bit is not 16 or 32", {}},
    {"SixteenBitsWithoutAnRgb565Plane", {"TEST_FB_DRM=1", "TEST_FB_DRM_DRIVER=virtio_gpu", "FBBENCH_DEPTH=16"}, 1,
     "/dev/fb0 cannot show 16 bits per pixel (RGB565): its primary plane takes XRGB8888", {"open", "drop master", "close"}},
};

void PrintTo(const refusal& refused, std::ostream* os)
{
    *os << refused.name;
}

struct program {
    const char* name;
    const char* path;
};

void PrintTo(const program& p, std::ostream* os)
{
    *os << p.name;
}

std::string program_test_name(const testing::TestParamInfo<program>& param_info)
{
    return param_info.param.name;
}

const program programs[] = {
    {"rectangle", RECTANGLE_BENCH},
    {"mandelbrot", MANDELBROT_BENCH},
    {"sierpinski", SIERPINSKI_BENCH},
};

class Refusal : public testing::TestWithParam<std::tuple<program, refusal>> {};

TEST_P(Refusal, OneLineNoReportNothingDrawnAllReleased)
{
    const auto& [program, refused] = GetParam();
    std::vector<std::string> env = {"TEST_FB_SCREEN=100x60x32", "TEST_FB_CLOCK_STEP=1000000"};
    env.insert(env.end(), refused.env.begin(), refused.env.end());

    const bench_result result = bench_run(program.path, env);

    EXPECT_EQ(result.status, refused.status);
    EXPECT_EQ(result.err, std::filesystem::path(program.path).filename().string() + ": " + refused.message + "\n");
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(result.screen_dumped);
    EXPECT_EQ(result.log, refused.log);
}

INSTANTIATE_TEST_SUITE_P(Programs, Refusal, testing::Combine(testing::ValuesIn(programs), testing::ValuesIn(refusals)),
                         [](const testing::TestParamInfo<Refusal::ParamType>& param_info) {
                             return std::string(std::get<0>(param_info.param).name) + "_"
                                  + std::get<1>(param_info.param).name;
                         });

} // namespace

namespace {

// FRAMEBUFFER names the device; unset or empty, it is /dev/fb0.
class DeviceChoice : public testing::TestWithParam<program> {};

TEST_P(DeviceChoice, FramebufferNamesTheDevice)
{
    const std::vector<std::string> small = {"TEST_FB_SCREEN=64x48x32", "TEST_FB_CLOCK_STEP=1000000", "WIDTH=32", "HEIGHT=24"};
    for (const std::vector<std::string>& device : std::vector<std::vector<std::string>>{
             {"FRAMEBUFFER=/dev/fb1", "TEST_FB_DEVICE=/dev/fb1"},
             {"FRAMEBUFFER=", "TEST_FB_DEVICE=/dev/fb0"},
             {"TEST_FB_DEVICE=/dev/fb0"},
         }) {
        std::vector<std::string> env = small;
        env.insert(env.end(), device.begin(), device.end());
        const bench_result result = bench_run(GetParam().path, env);
        EXPECT_EQ(result.status, 0) << device.front() << ": " << result.err;
        EXPECT_TRUE(result.screen_dumped) << device.front();
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, DeviceChoice, testing::ValuesIn(programs), program_test_name);

} // namespace

namespace {

// Depths other than 24 and 32 still keep every store inside the mapping,
// whose guard pages would end the program otherwise: below 24 bits the
// screen's last pixel reaches past its end.
class UnusualDepth : public testing::TestWithParam<program> {};

TEST_P(UnusualDepth, StaysInsideTheMapping)
{
    for (const char* screen : {"TEST_FB_SCREEN=64x48x25", "TEST_FB_SCREEN=40x30x40", "TEST_FB_SCREEN=33x19x31",
                               "TEST_FB_SCREEN=64x48x16", "TEST_FB_SCREEN=33x19x8", "TEST_FB_SCREEN=33x19x12"}) {
        const bench_result result = bench_run(GetParam().path, {screen, "TEST_FB_CLOCK_STEP=1000000"});
        EXPECT_EQ(result.status, 0) << screen;
        EXPECT_EQ(result.err, "") << screen;
        EXPECT_TRUE(result.screen_dumped) << screen;
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, UnusualDepth, testing::ValuesIn(programs), program_test_name);

} // namespace

namespace {

// A report that cannot be written is a failed run, not a completed one; the
// screen is still released.
class LostReport : public testing::TestWithParam<program> {};

TEST_P(LostReport, FailsWithOneLine)
{
    const bench_result result =
        bench_run(GetParam().path, {"TEST_FB_SCREEN=64x48x32", "TEST_FB_CLOCK_STEP=1000000"}, "/dev/full");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, std::filesystem::path(GetParam().path).filename().string()
                              + ": cannot write the report: No space left on device\n");
    ASSERT_GE(result.log.size(), 2u);
    EXPECT_EQ(result.log[result.log.size() - 2], "close");
}

INSTANTIATE_TEST_SUITE_P(Programs, LostReport, testing::ValuesIn(programs), program_test_name);

} // namespace

namespace {

// What a board throws at a program: closed standard descriptors, which the
// device must never take (the test framebuffer ends a program whose device
// becomes one), and a second benchmark holding the screen.
class Hostile : public testing::TestWithParam<program> {
protected:
    std::string name() const { return std::filesystem::path(GetParam().path).filename().string(); }
};

TEST_P(Hostile, DeviceNeverBecomesAStandardDescriptor)
{
    const std::vector<std::string> env = {"TEST_FB_CLOCK_STEP=1000000", "WIDTH=32", "HEIGHT=24"};
    struct {
        int closed_fd;
        int status;
        bool report;
    } const cases[] = {{0, 0, true}, {1, 1, false}, {2, 0, true}};
    for (const auto& c : cases) {
        const bench_result result = bench_run(GetParam().path, env, nullptr, c.closed_fd);
        EXPECT_EQ(result.status, c.status) << "descriptor " << c.closed_fd << " closed: " << result.err;
        EXPECT_EQ(result.out.empty(), !c.report) << "descriptor " << c.closed_fd;
        EXPECT_TRUE(result.screen_dumped) << "descriptor " << c.closed_fd;
    }
    // A refusal with standard error closed still draws nothing.
    const bench_result refused = bench_run(GetParam().path, {"HEIGHT=-3"}, nullptr, 2);
    EXPECT_EQ(refused.status, 2);
    EXPECT_FALSE(refused.screen_dumped);
}

TEST_P(Hostile, ScreenHeldByAnotherBenchmarkIsRefused)
{
    char backing[] = "/tmp/fbbench-lock-XXXXXX";
    const int held = mkstemp(backing);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const bench_result result = bench_run(GetParam().path, {std::string("TEST_FB_BACKING=") + backing, "TEST_FB_CLOCK_STEP=1000000"});
    close(held);
    std::remove(backing);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, name() + ": /dev/fb0 is in use by another benchmark\n");
    EXPECT_EQ(result.log, (std::vector<std::string>{"open", "close"}));
}

// A memory target draws the same work into RAM: the device is opened and
// queried as usual (or not at all for a given shape) but never mapped, and
// under the same clock the report is the device run's, at every depth.
TEST_P(Hostile, MemoryTargetReportsLikeTheDevice)
{
    for (const std::string depth : {"32", "16", "8"}) {
        const std::vector<std::string> env = {"TEST_FB_SCREEN=64x48x" + depth, "TEST_FB_CLOCK_STEP=1000000", "WIDTH=48",
                                              "HEIGHT=32", "POSX=8"};
        const bench_result device = bench_run(GetParam().path, env);
        ASSERT_EQ(device.status, 0) << depth << ": " << device.err;
        const std::string readings = device.log.back();
        struct {
            std::string target;
            std::vector<std::string> log;
        } const cases[] = {
            {"FBBENCH_TARGET=memory", {"open", "ioctl 0x4600", "close", readings}},
            {"FBBENCH_TARGET=memory:64x48x" + depth, {readings}},
            {"FBBENCH_TARGET=device", device.log},
        };
        for (const auto& c : cases) {
            std::vector<std::string> target_env = env;
            target_env.push_back(c.target);
            const bench_result result = bench_run(GetParam().path, target_env);
            EXPECT_EQ(result.status, 0) << c.target << ": " << result.err;
            EXPECT_EQ(result.out, device.out) << c.target;
            EXPECT_EQ(result.log, c.log) << c.target;
        }
    }
}

// On a DRM card the programs draw the framebuffer's picture into the dumb
// buffer row by row, the rows the pitch apart; the dumb buffer is shown, the
// window brought to the display once, and all given back in reverse order.
// Under a 64-bit kernel the card answers a 32-bit program's framebuffer query
// with success, and maps its buffer at an offset of 4 GiB and more.
TEST_P(Hostile, DrmCardDrawsTheFramebuffersPictureAndGivesTheDisplayBack)
{
    const std::vector<std::string> env = {"TEST_FB_SCREEN=100x60x32", "TEST_FB_CLOCK_STEP=1000000", "WIDTH=64",
                                          "HEIGHT=40", "POSX=30", "POSY=10"};
    const bench_result fbdev = bench_run(GetParam().path, env);
    for (const char* kernel : {"TEST_FB_KERNEL=32", "TEST_FB_KERNEL=64"}) {
        std::vector<std::string> drm_env = env;
        drm_env.insert(drm_env.end(), {"TEST_FB_DRM=1", kernel});
        const bench_result drm = bench_run(GetParam().path, drm_env);
        ASSERT_EQ(drm.status, 0) << kernel << ": " << drm.err;
        EXPECT_EQ(drm.out, fbdev.out) << kernel;
        ASSERT_EQ(fbdev.screen.size(), 400u * 60);
        ASSERT_EQ(drm.screen.size(), 512u * 60) << kernel;
        for (size_t row = 0; row < 60; ++row) {
            EXPECT_TRUE(std::equal(fbdev.screen.begin() + row * 400, fbdev.screen.begin() + row * 400 + 400,
                                   drm.screen.begin() + row * 512)) << kernel << ", row " << row;
            EXPECT_TRUE(std::all_of(drm.screen.begin() + row * 512 + 400, drm.screen.begin() + row * 512 + 512,
                                    [](uint8_t byte) { return byte == screen_fill; })) << kernel << ", row " << row;
        }
        EXPECT_EQ(drm.log, (std::vector<std::string>{"open", "mmap 30720", "setcrtc fb 7, 1 connector(s)",
                                                     "dirtyfb 7: 30,10 to 94,50", "setcrtc fb 5, 1 connector(s)",
                                                     "munmap 30720", "rmfb 7", "destroy dumb 6", "drop master",
                                                     "close", fbdev.log.back()})) << kernel;
    }
}

// The dumb buffer's depth is the driver's preferred one where that is 16 (an
// SPI panel's), else 32, and FBBENCH_DEPTH chooses over it; either way the
// picture is the framebuffer's of that depth, row by row at the pitch.
TEST_P(Hostile, DrmCardDrawsAtTheDriversOrTheAskedDepth)
{
    const std::vector<std::string> env = {"TEST_FB_SCREEN=100x60x32", "TEST_FB_CLOCK_STEP=1000000", "WIDTH=64",
                                          "HEIGHT=40", "POSX=30", "POSY=10"};
    const struct {
        std::vector<std::string> drm;
        uint32_t bits_per_pixel;
    } cases[] = {
        {{"TEST_FB_DRM_DRIVER=mipi-dbi"}, 16},
        {{"TEST_FB_DRM_DRIVER=mipi-dbi", "FBBENCH_DEPTH=32"}, 32},
        {{"TEST_FB_DRM_DRIVER=vkms"}, 32},
        {{"TEST_FB_DRM_DRIVER=vkms", "FBBENCH_DEPTH=16"}, 16},
        {{"TEST_FB_DRM_DRIVER=virtio_gpu", "FBBENCH_DEPTH=32"}, 32},
    };
    for (const auto& c : cases) {
        std::vector<std::string> fbdev_env = env;
        fbdev_env.push_back("TEST_FB_SCREEN=100x60x" + std::to_string(c.bits_per_pixel));
        const bench_result fbdev = bench_run(GetParam().path, fbdev_env);
        std::vector<std::string> drm_env = env;
        drm_env.push_back("TEST_FB_DRM=1");
        drm_env.insert(drm_env.end(), c.drm.begin(), c.drm.end());
        const bench_result drm = bench_run(GetParam().path, drm_env);
        const std::string name = c.drm.back();
        ASSERT_EQ(drm.status, 0) << name << ": " << drm.err;
        EXPECT_EQ(drm.out, fbdev.out) << name;
        const size_t row_bytes = 100 * c.bits_per_pixel / 8, pitch = (row_bytes + 255) / 256 * 256;
        ASSERT_EQ(fbdev.screen.size(), row_bytes * 60) << name;
        ASSERT_EQ(drm.screen.size(), pitch * 60) << name;
        for (size_t row = 0; row < 60; ++row)
            EXPECT_TRUE(std::equal(fbdev.screen.begin() + row * row_bytes, fbdev.screen.begin() + (row + 1) * row_bytes,
                                   drm.screen.begin() + row * pitch)) << name << ", row " << row;
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, Hostile, testing::ValuesIn(programs), program_test_name);

} // namespace

namespace {

// FBBENCH_SYNC=frame flushes each unit of drawing, inside the timed part: one
// fsync (framebuffer) or dirty request (DRM, besides the one after the
// report) per rectangle, Mandelbrot pass or Sierpinski frame. The stores, the
// other calls and, under the same clock, the report stay those of a run
// without it; unset, empty and "none" are that run exactly.
struct sync_case {
    program bench;
    // Units of drawing in a run that read the clock this often.
    uint32_t (*units)(uint32_t clock_readings);
};

void PrintTo(const sync_case& c, std::ostream* os)
{
    *os << c.bench.name;
}

uint32_t clock_readings_of(const bench_result& result)
{
    const std::string& last = result.log.back();
    return uint32_t(std::stoul(last.substr(last.find(' ') + 1)));
}

class Sync : public testing::TestWithParam<sync_case> {};

TEST_P(Sync, FrameFlushesEachUnitAndChangesNothingElse)
{
    // 0.3 s per reading: Sierpinski draws four frames of its first level (3.3 frames/s) and stops.
    const std::vector<std::string> env = {"TEST_FB_SCREEN=100x60x32", "TEST_FB_CLOCK_STEP=300000", "WIDTH=64",
                                          "HEIGHT=40", "POSX=30", "POSY=10"};
    const struct {
        const char* name;
        std::vector<std::string> device;
        const char* flush_line; // what the test framebuffer logs for a flush
        uint32_t flushes_unsynced; // the DRM picture is brought to the display once after the report
    } devices[] = {
        {"framebuffer", {}, "fsync", 0},
        {"DRM", {"TEST_FB_DRM=1"}, "dirtyfb 7: 30,10 to 94,50", 1},
    };
    for (const auto& device : devices) {
        std::vector<std::string> base = env;
        base.insert(base.end(), device.device.begin(), device.device.end());
        const bench_result unset = bench_run(GetParam().bench.path, base);
        ASSERT_EQ(unset.status, 0) << device.name << ": " << unset.err;
        const auto flushes = [&](const bench_result& r) {
            return uint32_t(std::count(r.log.begin(), r.log.end(), device.flush_line));
        };
        EXPECT_EQ(flushes(unset), device.flushes_unsynced) << device.name;

        for (const char* same : {"FBBENCH_SYNC=", "FBBENCH_SYNC=none"}) {
            std::vector<std::string> same_env = base;
            same_env.push_back(same);
            const bench_result result = bench_run(GetParam().bench.path, same_env);
            EXPECT_EQ(result.status, 0) << device.name << ", " << same;
            EXPECT_EQ(result.out, unset.out) << device.name << ", " << same;
            EXPECT_EQ(result.err, unset.err) << device.name << ", " << same;
            EXPECT_EQ(result.log, unset.log) << device.name << ", " << same;
            EXPECT_EQ(result.screen, unset.screen) << device.name << ", " << same;
        }

        std::vector<std::string> frame_env = base;
        frame_env.push_back("FBBENCH_SYNC=frame");
        const bench_result frame = bench_run(GetParam().bench.path, frame_env);
        ASSERT_EQ(frame.status, 0) << device.name << ": " << frame.err;
        EXPECT_EQ(frame.out, unset.out) << device.name;
        EXPECT_EQ(frame.err, "") << device.name;
        EXPECT_TRUE(frame.screen == unset.screen) << device.name << ": the stores differ";
        const uint32_t units = GetParam().units(clock_readings_of(frame));
        EXPECT_GT(units, 1u) << device.name;
        EXPECT_EQ(flushes(frame), units + device.flushes_unsynced) << device.name;
        // Without the flushes of the units, the calls are those of the unsynced run.
        std::vector<std::string> others = frame.log;
        uint32_t dropped = 0;
        std::erase_if(others, [&](const std::string& line) {
            return line == device.flush_line && dropped++ < units;
        });
        EXPECT_EQ(others, unset.log) << device.name;
        // Every flush comes after the screen is mapped and shown, and before it is unmapped.
        const auto first = std::find(frame.log.begin(), frame.log.end(), device.flush_line);
        const auto mapped = std::find_if(frame.log.begin(), frame.log.end(),
                                         [](const std::string& line) { return line.starts_with("mmap"); });
        const auto unmapped = std::find_if(frame.log.begin(), frame.log.end(),
                                           [](const std::string& line) { return line.starts_with("munmap"); });
        EXPECT_LT(mapped - frame.log.begin(), first - frame.log.begin()) << device.name;
        EXPECT_LT(first - frame.log.begin(), unmapped - frame.log.begin()) << device.name;
    }
}

// FBBENCH_SYNC=present on a vkms card: each unit of drawing queues the same
// buffer with a page flip unless one is pending, and the flips' records go
// to FBBENCH_PRESENT_FD after the report. The stores, the report and the
// other calls stay those of a run without it.
TEST_P(Sync, PresentFlipsAndChangesNothingElse)
{
    const std::vector<std::string> env = {"TEST_FB_SCREEN=100x60x32", "TEST_FB_CLOCK_STEP=300000", "WIDTH=64",
                                          "HEIGHT=40", "POSX=30", "POSY=10", "TEST_FB_DRM=vkms"};
    const bench_result unset = bench_run(GetParam().bench.path, env);
    ASSERT_EQ(unset.status, 0) << unset.err;
    char records_name[] = "/tmp/fbbench-flips-test-XXXXXX";
    const int records_fd = mkstemp(records_name);
    ASSERT_GE(records_fd, 0);
    // The runner's descriptor, inherited by the program (and by an emulator
    // that runs it) as the runner passes it on.
    constexpr int present_fd = 50;
    ASSERT_EQ(dup2(records_fd, present_fd), present_fd);
    close(records_fd);
    std::vector<std::string> present_env = env;
    present_env.insert(present_env.end(), {"FBBENCH_SYNC=present", "FBBENCH_PRESENT_FD=" + std::to_string(present_fd)});
    const bench_result present = bench_run(GetParam().bench.path, present_env);
    close(present_fd);
    std::ifstream in(records_name);
    const std::string records((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(records_name);
    ASSERT_EQ(present.status, 0) << present.err;
    EXPECT_EQ(present.out, unset.out);
    EXPECT_EQ(present.err, "");
    EXPECT_TRUE(present.screen == unset.screen) << "the stores differ";
    const uint32_t units = GetParam().units(clock_readings_of(present));
    const auto flip = [](const std::string& line) { return line == "page flip 7 on crtc 31, event"; };
    const auto flips = uint32_t(std::count_if(present.log.begin(), present.log.end(), flip));
    EXPECT_GE(flips, 1u);
    EXPECT_LE(flips, units);
    std::vector<std::string> others = present.log;
    std::erase_if(others, flip);
    EXPECT_EQ(others, unset.log);
    // Every flip queued was shown, the last one waited for after the report.
    EXPECT_EQ(records.rfind("fbbench-present 1\nunits " + std::to_string(units) + "\nqueued " + std::to_string(flips)
                                + "\nbusy 0\nevents " + std::to_string(flips) + "\nkept " + std::to_string(flips) + "\n",
                            0),
              0u)
        << records;
    EXPECT_EQ(uint32_t(std::count(records.begin(), records.end(), '\n')), 6 + flips) << records;
}

// A flush that fails under FBBENCH_SYNC=frame ends the run at once with one
// line and no report, the screen given back; without it the report stands
// and a DRM picture that cannot be shown after it is said once.
TEST_P(Sync, FailedFlushIsOneLine)
{
    const std::string name = std::filesystem::path(GetParam().bench.path).filename().string();
    const struct {
        std::vector<std::string> device;
        const char* flush_line;
        const char* path;
    } devices[] = {
        {{}, "fsync", "/dev/fb0"},
        // The device's name in the messages escaped, as in every other.
        {{"TEST_FB_DRM=1", "FRAMEBUFFER=/dev/fb0\nX\x1b[2J", "TEST_FB_DEVICE=/dev/fb0\nX\x1b[2J"},
         "dirtyfb 7: 0,0 to 100,60", "/dev/fb0\\nX\\x1b[2J"},
    };
    for (const auto& device : devices) {
        std::vector<std::string> env = {"TEST_FB_SCREEN=100x60x32", "TEST_FB_CLOCK_STEP=300000", "TEST_FB_FAIL=flush"};
        env.insert(env.end(), device.device.begin(), device.device.end());
        const bench_result unsynced = bench_run(GetParam().bench.path, env);
        EXPECT_EQ(unsynced.status, 0) << device.flush_line;
        EXPECT_NE(unsynced.out, "") << device.flush_line;
        EXPECT_EQ(unsynced.err, device.device.empty()
                                    ? ""
                                    : name + ": cannot bring the picture to " + device.path + ": Input/output error\n");

        env.push_back("FBBENCH_SYNC=frame");
        const bench_result synced = bench_run(GetParam().bench.path, env);
        EXPECT_EQ(synced.status, 1) << device.flush_line;
        EXPECT_EQ(synced.out, "") << device.flush_line;
        EXPECT_EQ(synced.err, name + ": cannot bring the picture to " + device.path + ": Input/output error\n");
        EXPECT_EQ(std::count(synced.log.begin(), synced.log.end(), device.flush_line), 1) << device.flush_line;
        EXPECT_TRUE(synced.screen_dumped) << "the screen is unmapped";
        EXPECT_TRUE(std::find(synced.log.begin(), synced.log.end(), "close") != synced.log.end()) << device.flush_line;
    }
}

// A memory target has no display: FBBENCH_SYNC=frame flushes nothing.
TEST_P(Sync, MemoryTargetFlushesNothing)
{
    const bench_result result = bench_run(GetParam().bench.path, {"TEST_FB_SCREEN=100x60x32", "TEST_FB_CLOCK_STEP=1000000",
                                                                  "FBBENCH_TARGET=memory", "FBBENCH_SYNC=frame"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.log, (std::vector<std::string>{"open", "ioctl 0x4600", "close", result.log.back()}));
}

// The start reading and one per rectangle or frame; Mandelbrot draws 48 passes.
const sync_case sync_cases[] = {
    {{"rectangle", RECTANGLE_BENCH}, [](uint32_t readings) { return readings - 1; }},
    {{"mandelbrot", MANDELBROT_BENCH}, [](uint32_t) { return 48u; }},
    {{"sierpinski", SIERPINSKI_BENCH}, [](uint32_t readings) { return readings - 1; }},
};

INSTANTIATE_TEST_SUITE_P(Programs, Sync, testing::ValuesIn(sync_cases),
                         [](const testing::TestParamInfo<sync_case>& param_info) { return std::string(param_info.param.bench.name); });
// A signal while a DRM program shows its buffer gives the display back before
// the program ends: the CRTC shows the console's framebuffer (5) again, the
// program's framebuffer (7) and dumb buffer (6) are gone and master dropped.
// While drawing, the program then dies by the signal; while holding its
// finished picture, SIGINT and SIGTERM only end the wait. A framebuffer
// program needs nothing: the kernel keeps its picture.
struct signal_case {
    const char* name;
    std::vector<std::string> env;
    std::string wait_for; // the log line after which the signal is sent
    int signal;
    int status;
    bool report;
    std::vector<std::string> log_tail; // the log from wait_for on, without the clock readings
};

const std::vector<std::string> given_back = {"setcrtc fb 5, 1 connector(s)", "rmfb 7", "destroy dumb 6", "drop master"};

std::vector<std::string> lines_join(std::vector<std::string> first, const std::vector<std::string>& then)
{
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

// Large enough that each program draws for seconds on the real clock.
const std::vector<std::string> drawing = {"TEST_FB_SCREEN=1920x1080x32", "TEST_FB_DRM=1"};
const std::vector<std::string> holding = {"TEST_FB_SCREEN=100x60x32", "TEST_FB_CLOCK_STEP=1000000", "TEST_FB_DRM=1",
                                          "FBBENCH_HOLD=600"};
const std::string shown = "setcrtc fb 7, 1 connector(s)";
const std::string flushed = "dirtyfb 7: 0,0 to 100,60";

const signal_case signal_cases[] = {
    {"DrawingTerm", drawing, shown, SIGTERM, 128 + SIGTERM, false, lines_join({shown}, given_back)},
    {"DrawingInt", drawing, shown, SIGINT, 128 + SIGINT, false, lines_join({shown}, given_back)},
    {"DrawingHup", drawing, shown, SIGHUP, 128 + SIGHUP, false, lines_join({shown}, given_back)},
    {"HoldingTerm", holding, flushed, SIGTERM, 0, true,
     lines_join({flushed}, {given_back[0], "munmap 30720", "rmfb 7", "destroy dumb 6", "drop master", "close"})},
    {"HoldingInt", holding, flushed, SIGINT, 0, true,
     lines_join({flushed}, {given_back[0], "munmap 30720", "rmfb 7", "destroy dumb 6", "drop master", "close"})},
    {"HoldingHup", holding, flushed, SIGHUP, 128 + SIGHUP, true, lines_join({flushed}, given_back)},
    {"FramebufferDrawingTerm", {"TEST_FB_SCREEN=1920x1080x32"}, "mmap 8294400", SIGTERM, 128 + SIGTERM, false,
     {"mmap 8294400"}},
};

void PrintTo(const signal_case& c, std::ostream* os)
{
    *os << c.name;
}

class SignalGivesTheDisplayBack : public testing::TestWithParam<std::tuple<program, signal_case>> {};

TEST_P(SignalGivesTheDisplayBack, ThenTheProgramEndsAsItShould)
{
    const auto& [program, c] = GetParam();
    bool seen = false;
    const bench_result result = bench_run_command({program.path}, c.env, nullptr, -1, [&](pid_t pid) {
        seen = bench_log_wait(pid, c.wait_for);
        // From the request to the display into the hold's sleep.
        if (seen && c.wait_for == flushed)
            seen = bench_sleep_wait(pid);
        kill(pid, seen ? c.signal : SIGKILL);
    });
    ASSERT_TRUE(seen) << "no \"" << c.wait_for << "\" in a minute; the log: " << testing::PrintToString(result.log);
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(!result.out.empty(), c.report) << result.out;
    std::vector<std::string> tail(std::find(result.log.begin(), result.log.end(), c.wait_for), result.log.end());
    if (!tail.empty() && tail.back().starts_with("gettimeofday "))
        tail.pop_back();
    EXPECT_EQ(tail, c.log_tail);
}

INSTANTIATE_TEST_SUITE_P(Programs, SignalGivesTheDisplayBack,
                         testing::Combine(testing::ValuesIn(programs), testing::ValuesIn(signal_cases)),
                         [](const testing::TestParamInfo<SignalGivesTheDisplayBack::ParamType>& param_info) {
                             return std::string(std::get<0>(param_info.param).name) + "_"
                                  + std::get<1>(param_info.param).name;
                         });

} // namespace
