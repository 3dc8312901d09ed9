// sierpinski-bench end to end under the test framebuffer and a virtual clock:
// the exact report, the number of clock readings, and a final screen equal to
// an independent replay of the last frame; and its own refusals.
//
// A clock schedule sets how long each frame seems to take, so a run climbs
// as many levels as it is given; the chaos game's cost doubles per level, so
// the runs here stop after a few.
#include "bench_run.h"
#include "sierpinski_replay.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/resource.h>

namespace {

// The screen after a run with the given number of frames at each level: the
// last frame, drawn at angle frames - 1 after the earlier frames' draws,
// written out step by step, on a screen that starts filled with screen_fill.
std::vector<uint8_t> sierpinski_replay(screen_geometry s, window_geometry w, const std::vector<uint32_t>& frames_per_level)
{
    uint32_t frames = 0;
    uint64_t steps = 0;
    for (size_t level = 0; level < frames_per_level.size(); ++level) {
        frames += frames_per_level[level];
        steps += uint64_t(frames_per_level[level]) * (1024u << level);
    }
    const uint32_t last_iterations = 1024u << (frames_per_level.size() - 1);
    std::srand(1); // the sequence of a generator that was never seeded
    for (uint64_t n = 0; n < steps - last_iterations; ++n)
        std::rand();

    const uint32_t bpp = s.bits_per_pixel;
    const std::vector<uint8_t> image = sierpinski_frame_replay(w.width, w.height, bpp, frames - 1, last_iterations);

    std::vector<uint8_t> screen(screen_len(s), screen_fill);
    const uint32_t row_bytes = (uint32_t(w.width) * bpp) >> 3;
    for (int32_t y = 0; y < w.height; ++y)
        for (uint32_t b = 0; b < row_bytes; ++b)
            screen.at(((s.xres * (w.posy + y) * bpp) >> 3) + ((uint32_t(w.posx) * bpp) >> 3) + b) =
                image.at(y * row_bytes + b);
    return screen;
}

struct sierpinski_run {
    const char* name;
    screen_geometry screen;
    window_geometry window;
    std::vector<std::string> window_env;
    uint64_t clock_start_us;
    std::string clock_steps_us; // TEST_FB_CLOCK_STEP
    std::vector<uint32_t> frames_per_level; // the last level's frames end the ladder
    std::string result_lines;
};

// Each reading advances the clock by 2^32 - 5e6 seconds: after k frames the
// 32-bit seconds difference is -5e6 * k, negative, so the window stays open
// until k = 430, where it wraps to +2144967296 s; the rate is then 2e-7 and
// the ladder ends unreported after 430 frames, the last at angle 429.
const std::string wrapping_step_us = std::to_string((4294967296ull - 5000000) * 1000000);

const sierpinski_run runs[] = {
    // Frames of 1 s: rate 1 after the first frame.
    {"WholeScreenSecondFrames", {800, 480, 32}, {800, 480, 0, 0}, {}, 1000000000000, "1000000", {1}, ""},
    // Frames of 0.3 s: the fourth ends at 1.2 s, rate 3.33.
    {"ThirdOfASecondFrames", {100, 60, 32}, {60, 40, 20, 10}, {"WIDTH=60", "HEIGHT=40", "POSX=20", "POSY=10"},
     1000000000000, "300000", {4}, ""},
    // Ten frames of 0.1 s close the first level at exactly 1 s, rate 10; then
    // frames of 0.3 s: four of 2048 steps, 1.2 s, rate 3.33, and the ladder ends.
    {"OneLevelThenTooSlow", {100, 60, 32}, {60, 40, 20, 10}, {"WIDTH=60", "HEIGHT=40", "POSX=20", "POSY=10"},
     1000000000000, "100000:10,300000", {10, 4},
     "Benchmarking     1024 iterations:    10.00 Frames/second\n"},
    // 15 frames of 0.07 s (1.05 s, 14.29), 8 of 0.13 s (1.04 s, 7.69), 5 of
    // 0.21 s (1.05 s, 4.76), then 2 of 0.6 s (1.2 s, 1.67: not printed).
    {"ThreeLevelsTwentyFourBits", {100, 60, 24}, {50, 40, 50, 20}, {"WIDTH=50", "HEIGHT=40", "POSX=50", "POSY=20"},
     1000000000000, "70000:15,130000:8,210000:5,600000", {15, 8, 5, 2},
     "Benchmarking     1024 iterations:    14.29 Frames/second\n"
     "Benchmarking     2048 iterations:     7.69 Frames/second\n"
     "Benchmarking     4096 iterations:     4.76 Frames/second\n"},
    // Microsecond differences run negative: readings at .7, 1.0, 1.3, 1.6, 1.9 s.
    {"MicrosecondsDifferenceNegative", {100, 60, 32}, {50, 30, 0, 30}, {"WIDTH=50", "HEIGHT=30", "POSY=30"},
     1000000700000, "300000", {4}, ""},
    // Frames of 0.250001 s: rate 3.99998 after the fourth, just short of 4.
    {"TwentyFourBitsEndingAtTheLastByte", {100, 60, 24}, {39, 23, 61, 37},
     {"WIDTH=39", "HEIGHT=23", "POSX=61", "POSY=37"}, 1000000000000, "250001", {4}, ""},
    // Frames of 0.5 s: the second ends at 1 s, rate 2.
    {"SixteenBitsWholeScreen", {320, 240, 16}, {320, 240, 0, 0}, {}, 1000000000000, "250001", {4}, ""},
    {"EightBitsBottomRightCorner", {100, 60, 8}, {39, 23, 61, 37}, {"WIDTH=39", "HEIGHT=23", "POSX=61", "POSY=37"},
     1000000000000, "250001", {4}, ""},
    {"RadiusZeroHeightSixteen", {100, 60, 32}, {5, 16, 3, 4}, {"WIDTH=5", "HEIGHT=16", "POSX=3", "POSY=4"},
     1000000000000, "500000", {2}, ""},
    {"RadiusZeroHeightSeventeenEndingAtTheLastByte", {100, 60, 24}, {1, 17, 99, 43},
     {"WIDTH=1", "HEIGHT=17", "POSX=99", "POSY=43"}, 1000000000000, "1000000", {1}, ""},
    // Radius 22 in 45 columns: at angle 0 a corner lies on the last column,
    // at 180 on the first.
    {"TightFitMoreThanAFullTurn", {100, 60, 32}, {45, 60, 55, 0}, {"WIDTH=45", "POSX=55"}, 1000000000000,
     wrapping_step_us, {430}, ""},
    {"WholeScreenMoreThanAFullTurn", {120, 90, 32}, {120, 90, 0, 0}, {}, 1000000000000, wrapping_step_us, {430}, ""},
    // A ladder capped at two levels: frames of 0.2 s close each at 1 s, rate 5.
    {"CappedAtTwoLevels", {100, 60, 32}, {100, 60, 0, 0}, {"FBBENCH_LEVELS=2"}, 1000000000000, "200000", {5, 5},
     "Benchmarking     1024 iterations:     5.00 Frames/second\n"
     "Benchmarking     2048 iterations:     5.00 Frames/second\n"},
};

void PrintTo(const sierpinski_run& run, std::ostream* os)
{
    *os << run.name;
}

class SierpinskiRun : public testing::TestWithParam<sierpinski_run> {};

TEST_P(SierpinskiRun, ReportsAndDrawsTheLastFrameExactly)
{
    const sierpinski_run& run = GetParam();
    const screen_geometry& s = run.screen;
    const window_geometry& w = run.window;
    std::vector<std::string> env = {
        screen_env(s),
        "TEST_FB_CLOCK_START=" + std::to_string(run.clock_start_us),
        "TEST_FB_CLOCK_STEP=" + run.clock_steps_us,
    };
    env.insert(env.end(), run.window_env.begin(), run.window_env.end());

    const bench_result result = bench_run(SIERPINSKI_BENCH, env);

    ASSERT_EQ(result.err, "");
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "Sierpinski frame buffer test bench\n\n" + run.result_lines + "\n");
    // One reading at the start and one per frame.
    uint32_t frames = 0;
    for (uint32_t level_frames : run.frames_per_level)
        frames += level_frames;
    EXPECT_EQ(result.log, completed_run_log(s, frames + 1));
    ASSERT_TRUE(result.screen_dumped);
    ASSERT_EQ(result.screen.size(), screen_len(s));
    EXPECT_TRUE(result.screen == sierpinski_replay(s, w, run.frames_per_level)) << "screens differ";

    // Whole rows are copied: byte 3 of a 32-bit window pixel becomes 0, and
    // nothing outside the window changes.
    const uint32_t pixel_bytes = s.bits_per_pixel / 8;
    uint32_t lit = 0;
    for (uint32_t y = 0; y < s.yres; ++y) {
        for (uint32_t x = 0; x < s.xres; ++x) {
            const uint8_t* pixel = &result.screen[(y * s.xres + x) * pixel_bytes];
            const bool inside = int32_t(x) >= w.posx && int32_t(x) < w.posx + w.width && int32_t(y) >= w.posy
                             && int32_t(y) < w.posy + w.height;
            if (!inside) {
                for (uint32_t b = 0; b < pixel_bytes; ++b)
                    ASSERT_EQ(pixel[b], screen_fill) << "pixel " << x << ',' << y << " byte " << b;
                continue;
            }
            if (pixel_bytes == 4) {
                ASSERT_EQ(pixel[3], 0) << "byte 3 of " << x << ',' << y;
            }
            for (uint32_t b = 0; b < pixel_bytes && b < 3; ++b)
                lit += pixel[b] != 0;
        }
    }
    // Radius 0 puts every point on the centre with bytes 0; otherwise points show.
    if (w.height / 2 - 8 == 0)
        EXPECT_EQ(lit, 0u);
    else
        EXPECT_GT(lit, 0u);
}

INSTANTIATE_TEST_SUITE_P(Windows, SierpinskiRun, testing::ValuesIn(runs),
                         [](const testing::TestParamInfo<sierpinski_run>& param_info) { return param_info.param.name; });

struct sierpinski_refusal {
    const char* name;
    std::vector<std::string> env;
    std::string message; // after "sierpinski-bench: "
    bool before_open = false; // refused before the device is opened
};

const sierpinski_refusal refusals[] = {
    {"LowerThanSixteenRows", {"HEIGHT=15"}, "window 100x15 is lower than 16 rows"},
    {"HeightZero", {"HEIGHT=0"}, "window 100x0 is lower than 16 rows"},
    {"OneColumnTooNarrow", {"WIDTH=44"}, "the triangle of radius 22 does not fit the 44x60 window"},
    {"NarrowAtTheRightEdge", {"WIDTH=30", "POSX=70"}, "the triangle of radius 22 does not fit the 30x60 window"},
    {"WidthZeroRadiusZero", {"WIDTH=0", "HEIGHT=16"}, "the triangle of radius 0 does not fit the 0x16 window"},
    {"SeventeenLevels", {"FBBENCH_LEVELS=17"}, "FBBENCH_LEVELS=17 is not a number of levels from 1 to 16", true},
    {"LevelsWithAControlCharacter", {"FBBENCH_LEVELS=8\033"}, "FBBENCH_LEVELS=8\\x1b is not a number of levels from 1 to 16",
     true},
};

void PrintTo(const sierpinski_refusal& refused, std::ostream* os)
{
    *os << refused.name;
}

class SierpinskiRefusal : public testing::TestWithParam<sierpinski_refusal> {};

// Refused after the screen query and before the mapping, or before the
// device is opened: nothing is mapped, so nothing can be drawn and there is
// no screen to dump.
TEST_P(SierpinskiRefusal, OneLineStatusTwoNothingMapped)
{
    const sierpinski_refusal& refused = GetParam();
    std::vector<std::string> env = {"TEST_FB_SCREEN=100x60x32", "TEST_FB_CLOCK_STEP=1000000"};
    env.insert(env.end(), refused.env.begin(), refused.env.end());

    const bench_result result = bench_run(SIERPINSKI_BENCH, env);

    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "sierpinski-bench: " + refused.message + "\n");
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(result.screen_dumped);
    const std::vector<std::string> queried = {"open", "ioctl 0x4600", "close"};
    EXPECT_EQ(result.log, refused.before_open ? std::vector<std::string>() : queried);
}

INSTANTIATE_TEST_SUITE_P(Windows, SierpinskiRefusal, testing::ValuesIn(refusals),
                         [](const testing::TestParamInfo<sierpinski_refusal>& param_info) {
                             return param_info.param.name;
                         });

// A 256 MiB screen under a 384 MiB address-space limit: the mapping fits, the
// back buffer of the same size does not. The limit is set in a child of the
// test, which the program inherits; the screen dump goes to /dev/null, since
// reading it back would not fit the limit either. AddressSanitizer and the
// ARM emulator reserve far more address space than any such limit, so their
// builds skip it.
TEST(SierpinskiRunDeathTest, FailedBackBufferAllocationIsOneLineStatusOneNothingDrawn)
{
#if defined(__SANITIZE_ADDRESS__) || defined(BENCH_EMULATOR)
    GTEST_SKIP() << "AddressSanitizer and the ARM emulator cannot start under an address-space limit";
#else
    auto run_limited = [] {
        const rlim_t limit = rlim_t(384) << 20;
        rlimit current{};
        getrlimit(RLIMIT_AS, &current);
        const rlimit lowered{limit, current.rlim_max};
        if (setrlimit(RLIMIT_AS, &lowered) != 0)
            std::_Exit(3);
        const bench_result result = bench_run(SIERPINSKI_BENCH, {"TEST_FB_SCREEN=8192x8192x32", "TEST_FB_CLOCK_STEP=1000000",
                                                                 "TEST_FB_DUMP=/dev/null"});
        // No clock reading: the measurement never started, so nothing was drawn.
        const std::vector<std::string> log = {"open", "ioctl 0x4600", "mmap 268435456", "munmap 268435456", "close"};
        const bool as_expected = result.status == 1
                              && result.err == "sierpinski-bench: cannot allocate the 268435456-byte back buffer\n"
                              && result.out.empty() && result.log == log;
        if (!as_expected) {
            std::fprintf(stderr, "status %d\nerr: %s\nout: %s\nlog:\n", result.status, result.err.c_str(),
                         result.out.c_str());
            for (const std::string& line : result.log)
                std::fprintf(stderr, "  %s\n", line.c_str());
        }
        std::fflush(stderr);
        std::_Exit(as_expected ? 0 : 1);
    };
    EXPECT_EXIT(run_limited(), testing::ExitedWithCode(0), "");
#endif
}

} // namespace
