// rectangle-bench end to end under the test framebuffer and a virtual clock:
// the exact report, and a screen equal to a replay of the same random draws.
#include "bench_run.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Replays count rectangles the way the benchmark defines them, pixel by
// pixel, on a screen that starts filled with screen_fill.
std::vector<uint8_t> rectangle_replay(screen_geometry s, window_geometry w, uint32_t count)
{
    std::vector<uint8_t> screen(screen_len(s), screen_fill);
    const int32_t rect_w = w.width / 4, rect_h = w.height / 4;
    std::srand(1); // the sequence of a generator that was never seeded
    for (uint32_t k = 0; k < count; ++k) {
        const uint8_t byte2 = std::rand() & 255, byte1 = std::rand() & 255, byte0 = std::rand() & 255;
        const int rx = std::rand(), ry = std::rand();
        const uint32_t x = w.width - rect_w ? uint32_t(rx) % uint32_t(w.width - rect_w) : 0;
        const uint32_t y = w.height - rect_h ? uint32_t(ry) % uint32_t(w.height - rect_h) : 0;
        for (int32_t row = 0; row < rect_h; ++row) {
            for (int32_t col = 0; col < rect_w; ++col) {
                const uint32_t offset = ((s.xres * (w.posy + y + row) * s.bits_per_pixel) >> 3)
                                      + (((w.posx + x + col) * s.bits_per_pixel) >> 3);
                screen.at(offset) = byte0;
                screen.at(offset + 1) = byte1;
                screen.at(offset + 2) = byte2;
            }
        }
    }
    return screen;
}

struct rectangle_run {
    const char* name;
    screen_geometry screen;
    window_geometry window;
    std::vector<std::string> window_env;
    uint64_t clock_start_us;
    uint32_t clock_step_us;
    uint32_t rect_count;
    const char* result_line;
};

const rectangle_run runs[] = {
    // Readings every 1.7 ms: the 2942nd rectangle's reading is 5001 ms after the start.
    {"WholeScreen", {800, 480, 32}, {800, 480, 0, 0}, {}, 1000000000000, 1700, 2942,
     "Benchmarking 200x120 size: 14.12 MPixels/second"},
    {"TwentyFourBitsEndingAtTheLastByte", {100, 60, 24}, {39, 23, 61, 37},
     {"WIDTH=39", "HEIGHT=23", "POSX=61", "POSY=37"}, 1000000000000, 1000, 5000,
     "Benchmarking 9x5 size: 0.04 MPixels/second"},
    // The millisecond clock wraps 2296 ms into the run.
    {"MillisecondClockWraps", {100, 60, 32}, {80, 48, 10, 6}, {"WIDTH=80", "HEIGHT=48", "POSX=10", "POSY=6"},
     4294965000000, 1000, 5000, "Benchmarking 20x12 size: 0.24 MPixels/second"},
    {"WidthSix", {100, 60, 32}, {6, 60, 0, 0}, {"WIDTH=6"}, 1000000000000, 1000000, 5,
     "Benchmarking 1x15 size: 0.00 MPixels/second"},
    {"WidthThreeDrawsNothing", {100, 60, 32}, {3, 60, 0, 0}, {"WIDTH=3"}, 1000000000000, 1000000, 5,
     "Benchmarking 0x15 size: 0.00 MPixels/second"},
    {"WidthZeroDrawsNothing", {100, 60, 32}, {0, 60, 0, 0}, {"WIDTH=0"}, 1000000000000, 1000000, 5,
     "Benchmarking 0x15 size: 0.00 MPixels/second"},
    // Below 24 bits a pixel's byte 2 is its right neighbour's byte 0, which
    // the neighbour's own stores then overwrite.
    {"SixteenBitsWholeScreen", {320, 240, 16}, {320, 240, 0, 0}, {}, 1000000000000, 1000, 5000,
     "Benchmarking 80x60 size: 4.80 MPixels/second"},
    {"EightBitsBottomRightCorner", {100, 60, 8}, {39, 23, 61, 37}, {"WIDTH=39", "HEIGHT=23", "POSX=61", "POSY=37"},
     1000000000000, 1000, 5000, "Benchmarking 9x5 size: 0.04 MPixels/second"},
};

void PrintTo(const rectangle_run& run, std::ostream* os)
{
    *os << run.name;
}

class RectangleRun : public testing::TestWithParam<rectangle_run> {};

TEST_P(RectangleRun, ReportsAndDrawsExactly)
{
    const rectangle_run& run = GetParam();
    const screen_geometry& s = run.screen;
    std::vector<std::string> env = {
        screen_env(s),
        "TEST_FB_CLOCK_START=" + std::to_string(run.clock_start_us),
        "TEST_FB_CLOCK_STEP=" + std::to_string(run.clock_step_us),
    };
    env.insert(env.end(), run.window_env.begin(), run.window_env.end());

    const bench_result result = bench_run(RECTANGLE_BENCH, env);

    ASSERT_EQ(result.err, "");
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.out, std::string("Rectangle frame buffer test bench\n") + run.result_line + "\n");
    EXPECT_EQ(result.log, completed_run_log(s, run.rect_count + 1));
    ASSERT_TRUE(result.screen_dumped);
    EXPECT_TRUE(result.screen == rectangle_replay(s, run.window, run.rect_count)) << "screens differ";
}

INSTANTIATE_TEST_SUITE_P(Windows, RectangleRun, testing::ValuesIn(runs),
                         [](const testing::TestParamInfo<rectangle_run>& param_info) { return param_info.param.name; });

// Rectangles never reach the window's last column or last row.
TEST(RectangleRunEdges, LastColumnAndRowOfTheWindowStayUnpainted)
{
    const bench_result result = bench_run(RECTANGLE_BENCH, {"TEST_FB_SCREEN=100x60x32", "WIDTH=80", "HEIGHT=40",
                                                            "POSX=12", "POSY=9", "TEST_FB_CLOCK_STEP=1000"});
    ASSERT_EQ(result.status, 0);
    ASSERT_EQ(result.screen.size(), 100u * 60 * 4);
    auto pixel_painted = [&](uint32_t x, uint32_t y) {
        const uint8_t* pixel = &result.screen[(y * 100 + x) * 4];
        return pixel[0] != screen_fill || pixel[1] != screen_fill || pixel[2] != screen_fill || pixel[3] != screen_fill;
    };
    uint32_t painted_inside = 0;
    for (uint32_t y = 0; y < 60; ++y) {
        for (uint32_t x = 0; x < 100; ++x) {
            const bool inside = x >= 12 && x < 12 + 79 && y >= 9 && y < 9 + 39;
            if (!inside) {
                ASSERT_FALSE(pixel_painted(x, y)) << x << ',' << y;
                continue;
            }
            ASSERT_EQ(result.screen[(y * 100 + x) * 4 + 3], screen_fill) << "byte 3 of " << x << ',' << y;
            painted_inside += pixel_painted(x, y);
        }
    }
    EXPECT_GT(painted_inside, 79u * 39u / 2);
}

} // namespace
