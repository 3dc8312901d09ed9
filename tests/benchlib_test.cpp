#include "benchlib.h"
#include "digits.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <fcntl.h>
#include <xf86drmMode.h>
#include <unistd.h>

namespace {

fb_var_screeninfo screen_info(uint32_t xres, uint32_t yres, uint32_t bits_per_pixel)
{
    fb_var_screeninfo vinfo{};
    vinfo.xres = xres;
    vinfo.yres = yres;
    vinfo.bits_per_pixel = bits_per_pixel;
    return vinfo;
}

TEST(BenchValueParse, KeepsTheMeaningOfAtoi)
{
    const struct {
        const char* text;
        int32_t value;
    } cases[] = {
        {"", 0},          {"abc", 0},          {"42", 42},         {"  \t\n42", 42},
        {"+7", 7},        {"-3", -3},          {"12abc", 12},      {"1 2", 1},
        {"+-5", 0},       {"- 5", 0},          {"0x10", 0},        {"00000000000000000000123", 123},
        {"2147483647", INT32_MAX},             {"-2147483648", INT32_MIN},
    };
    for (const auto& c : cases) {
        int32_t value = 99;
        EXPECT_TRUE(bench_value_parse(c.text, value)) << '"' << c.text << '"';
        EXPECT_EQ(value, c.value) << '"' << c.text << '"';
    }
}

TEST(BenchValueParse, RefusesValuesBeyondThirtyTwoBits)
{
    for (const char* text : {"2147483648", "-2147483649", "99999999999", " +99999999999999999999999x"}) {
        int32_t value = 99;
        EXPECT_FALSE(bench_value_parse(text, value)) << text;
    }
}

TEST(DigitsParse, TakesDecimalDigitsOnlyWithinTheType)
{
    const struct {
        const char* text;
        bool taken;
        uint32_t value;
    } cases[] = {
        {"", false, 0},         {"-1", false, 0},        {"+1", false, 0},        {" 1", false, 0},
        {"1 ", false, 0},       {"\t1", false, 0},       {"0x10", false, 0},      {"1x", false, 0},
        {"4294967296", false, 0}, {"99999999999999999999", false, 0},
        {"0", true, 0},         {"007", true, 7},        {"00000000000000000000042", true, 42},
        {"4294967295", true, UINT32_MAX},
    };
    for (const auto& c : cases) {
        uint32_t value = 99;
        EXPECT_EQ(digits_parse(c.text, value), c.taken) << '"' << c.text << '"';
        EXPECT_EQ(value, c.taken ? c.value : 99u) << '"' << c.text << '"';
    }
}

TEST(BenchWindowFits, AcceptsExactlyTheWindowsOnTheScreen)
{
    const fb_var_screeninfo vinfo = screen_info(100, 60, 32);
    EXPECT_TRUE(bench_window_fits({100, 60, 0, 0}, vinfo));
    EXPECT_TRUE(bench_window_fits({0, 0, 100, 60}, vinfo));
    EXPECT_TRUE(bench_window_fits({40, 10, 60, 50}, vinfo));
    EXPECT_FALSE(bench_window_fits({101, 60, 0, 0}, vinfo));
    EXPECT_FALSE(bench_window_fits({100, 61, 0, 0}, vinfo));
    EXPECT_FALSE(bench_window_fits({41, 10, 60, 50}, vinfo));
    EXPECT_FALSE(bench_window_fits({40, 11, 60, 50}, vinfo));
    EXPECT_FALSE(bench_window_fits({-1, 10, 0, 0}, vinfo));
    EXPECT_FALSE(bench_window_fits({10, -1, 0, 0}, vinfo));
    EXPECT_FALSE(bench_window_fits({10, 10, -1, 0}, vinfo));
    EXPECT_FALSE(bench_window_fits({10, 10, 0, -1}, vinfo));
    // Sums that overflow 32 bits must not wrap into range.
    EXPECT_FALSE(bench_window_fits({1, 1, INT32_MAX, 0}, vinfo));
    EXPECT_FALSE(bench_window_fits({INT32_MAX, 1, INT32_MAX, 0}, vinfo));
    EXPECT_FALSE(bench_window_fits({1, INT32_MAX, 0, INT32_MAX}, vinfo));
}

TEST(FbPixelOffset, AddressesRowsFromTheVisibleWidth)
{
    const fb_var_screeninfo vinfo = screen_info(100, 60, 32);
    EXPECT_EQ(fb_screen_len(vinfo), 100u * 60 * 4);
    EXPECT_EQ(fb_pixel_offset(vinfo, {100, 60, 0, 0}, 10, 2), 840u);
    EXPECT_EQ(fb_pixel_offset(vinfo, {50, 60, 5, 0}, 10, 2), 860u);
    EXPECT_EQ(fb_pixel_offset(vinfo, {50, 10, 100 - 50, 60 - 10}, 49, 9), fb_screen_len(vinfo) - 4);

    const fb_var_screeninfo deep = screen_info(100, 60, 24);
    EXPECT_EQ(fb_screen_len(deep), 100u * 60 * 3);
    EXPECT_EQ(fb_pixel_offset(deep, {100, 60, 0, 0}, 99, 59), fb_screen_len(deep) - 3);
    EXPECT_EQ(fb_pixel_offset(deep, {10, 10, 100, 50}, 0, 1), (100u * 51 * 24 >> 3) + (100u * 24 >> 3));

    // Below 24 bits a pixel's byte 2 lies in the next pixel; the screen's last
    // pixel is its last 2 bytes (16 bits) or its last byte (8 bits).
    struct shallow_offset {
        uint32_t bits_per_pixel;
        bench_window window;
        uint32_t x, y, offset;
    };
    const shallow_offset shallow[] = {
        {16, {100, 60, 0, 0}, 10, 2, 420},  {16, {50, 60, 5, 0}, 10, 2, 430},  {16, {100, 60, 0, 0}, 99, 59, 11998},
        {16, {1, 1, 99, 59}, 0, 0, 11998},  {8, {100, 60, 0, 0}, 10, 2, 210},   {8, {50, 60, 5, 0}, 10, 2, 215},
        {8, {100, 60, 0, 0}, 99, 59, 5999}, {8, {2, 1, 98, 59}, 0, 0, 5998},
    };
    for (const shallow_offset& c : shallow) {
        const fb_var_screeninfo s = screen_info(100, 60, c.bits_per_pixel);
        EXPECT_EQ(fb_screen_len(s), 100u * 60 * c.bits_per_pixel / 8);
        EXPECT_EQ(fb_pixel_offset(s, c.window, c.x, c.y), c.offset) << c.bits_per_pixel << " bpp " << c.x << ',' << c.y;
    }
}

// Sets window variables for one test and puts back what was there before.
class BenchWindowRead : public testing::Test {
protected:
    static constexpr std::array<const char*, 4> names = {"WIDTH", "HEIGHT", "POSX", "POSY"};

    void SetUp() override
    {
        for (size_t i = 0; i < names.size(); ++i) {
            const char* value = std::getenv(names[i]);
            saved[i] = value ? std::optional<std::string>(value) : std::nullopt;
            unsetenv(names[i]);
        }
    }

    void TearDown() override
    {
        for (size_t i = 0; i < names.size(); ++i) {
            if (saved[i])
                setenv(names[i], saved[i]->c_str(), 1);
            else
                unsetenv(names[i]);
        }
    }

    std::array<std::optional<std::string>, 4> saved;
    const fb_var_screeninfo vinfo = screen_info(800, 480, 32);
    bench_window window{-5, -5, -5, -5};
};

TEST_F(BenchWindowRead, DefaultsToTheWholeScreen)
{
    ASSERT_EQ(bench_window_read(vinfo, window), 0);
    EXPECT_EQ(window.width, 800);
    EXPECT_EQ(window.height, 480);
    EXPECT_EQ(window.posx, 0);
    EXPECT_EQ(window.posy, 0);
}

TEST_F(BenchWindowRead, TakesPresentValuesEvenWhenEmptyOrNotNumbers)
{
    setenv("WIDTH", "abc", 1);
    setenv("HEIGHT", "", 1);
    setenv("POSX", " 100px", 1);
    setenv("POSY", "+50", 1);
    ASSERT_EQ(bench_window_read(vinfo, window), 0);
    EXPECT_EQ(window.width, 0);
    EXPECT_EQ(window.height, 0);
    EXPECT_EQ(window.posx, 100);
    EXPECT_EQ(window.posy, 50);
}

TEST_F(BenchWindowRead, RefusesWindowsTheScreenCannotHold)
{
    const std::array<std::array<const char*, 2>, 6> cases = {{
        {"WIDTH", "801"},
        {"HEIGHT", "481"},
        {"POSX", "-1"},
        {"WIDTH", "-4"},
        {"POSY", "1"},
        {"WIDTH", "99999999999"},
    }};
    for (const auto& [name, value] : cases) {
        setenv(name, value, 1);
        testing::internal::CaptureStderr();
        EXPECT_EQ(bench_window_read(vinfo, window), bench_exit_window) << name << '=' << value;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        unsetenv(name);
    }
}

TEST(BenchSyncParse, TakesNoneFrameOrPresentOnly)
{
    const struct {
        const char* text;
        bool valid;
        bench_sync sync;
    } cases[] = {
        {nullptr, true, bench_sync::none},    {"", true, bench_sync::none},        {"none", true, bench_sync::none},
        {"frame", true, bench_sync::frame},   {"present", true, bench_sync::present}, {"Frame", false, bench_sync::none},
        {"frame ", false, bench_sync::none},  {"1", false, bench_sync::none},      {"vblank", false, bench_sync::none},
        {"presented", false, bench_sync::none},
    };
    for (const auto& c : cases) {
        bench_sync sync = bench_sync::frame;
        EXPECT_EQ(bench_sync_parse(c.text, sync), c.valid) << (c.text ? c.text : "(unset)");
        EXPECT_EQ(sync, c.sync) << (c.text ? c.text : "(unset)");
    }
}

// What a flush does on each kind of screen. The descriptors are a pipe
// (which, like a direct framebuffer, has no fsync: EINVAL, and answers no
// DRM request: ENOTTY natively, ENOSYS under a user-mode emulator, which
// counts as a display that needs no request) and a descriptor that is not
// open.
TEST(FbScreenFlush, DispatchesByDeviceKind)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const int closed_fd = 1000;
    ASSERT_EQ(fcntl(closed_fd, F_GETFD), -1);
    drmModeClip clip{10, 10, 15, 15};
    const int dirty_errno = drmModeDirtyFB(pipe_fds[0], 7, &clip, 1) == 0 ? 0 : errno;
    ASSERT_TRUE(dirty_errno == ENOTTY || dirty_errno == ENOSYS) << dirty_errno;
    const int drm_result = dirty_errno == ENOSYS ? 0 : dirty_errno;
    const struct {
        const char* name;
        bench_target_kind target;
        int fb_fd, drm_fd;
        uint32_t drm_fb_id;
        fb_flush_method method;
        int result;
    } cases[] = {
        {"framebuffer", bench_target_kind::device, pipe_fds[0], -1, 0, fb_flush_method::fsync, 0},
        {"framebuffer that fails", bench_target_kind::device, closed_fd, -1, 0, fb_flush_method::fsync, EBADF},
        {"memory target of a framebuffer", bench_target_kind::memory, closed_fd, -1, 0, fb_flush_method::none, 0},
        {"memory of a given shape", bench_target_kind::memory_shape, -1, -1, 0, fb_flush_method::none, 0},
        {"DRM", bench_target_kind::device, pipe_fds[0], pipe_fds[0], 7, fb_flush_method::dirtyfb, drm_result},
        {"DRM before its framebuffer", bench_target_kind::device, pipe_fds[0], pipe_fds[0], 0, fb_flush_method::dirtyfb, 0},
        {"memory target of a DRM device", bench_target_kind::memory, pipe_fds[0], pipe_fds[0], 7, fb_flush_method::none,
         0},
    };
    for (const auto& c : cases) {
        fb_screen screen;
        screen.target.kind = c.target;
        screen.fb_fd = c.fb_fd;
        screen.drm.fd = c.drm_fd;
        screen.drm.fb_id = c.drm_fb_id;
        screen.drm.device = "/dev/dri/card9";
        EXPECT_EQ(fb_screen_flush_method(screen), c.method) << c.name;
        testing::internal::CaptureStderr();
        EXPECT_EQ(fb_screen_flush(screen, {10, 10, 5, 5}), c.result) << c.name;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, "") << c.name << ": the caller says what failed";
    }
    close(pipe_fds[0]);
    close(pipe_fds[1]);
}

} // namespace

namespace {

// The same rules over given texts, as fbbench applies them to each device
// before any program runs.
TEST(BenchWindowCompute, TextsGiveTheWindowOrOneLine)
{
    const fb_var_screeninfo vinfo = screen_info(320, 240, 32);
    struct {
        bench_window_texts texts;
        bool accepted;
        bench_window window;
        const char* message;
    } cases[] = {
        {{}, true, {320, 240, 0, 0}, ""},
        {{"2", nullptr, nullptr, nullptr}, true, {2, 240, 0, 0}, ""},
        {{"160", "120", "64", "48"}, true, {160, 120, 64, 48}, ""},
        {{"x", "", nullptr, nullptr}, true, {0, 0, 0, 0}, ""},
        {{nullptr, nullptr, "1", nullptr}, false, {}, "window 320x240 at (1,0) crosses the right edge of the 320x240 "
                                                     "screen; WIDTH defaults to the screen's width, so set WIDTH too"},
        {{nullptr, "99999999999", nullptr, nullptr}, false, {}, "HEIGHT=99999999999 is out of range"},
    };
    for (const auto& c : cases) {
        bench_window window{-5, -5, -5, -5};
        std::string message;
        ASSERT_EQ(bench_window_compute(c.texts, vinfo, window, message), c.accepted) << message;
        EXPECT_EQ(message, c.message);
        if (!c.accepted)
            continue;
        EXPECT_EQ(window.width, c.window.width);
        EXPECT_EQ(window.height, c.window.height);
        EXPECT_EQ(window.posx, c.window.posx);
        EXPECT_EQ(window.posy, c.window.posy);
    }
}

} // namespace
