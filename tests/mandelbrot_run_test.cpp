// mandelbrot-bench end to end under the test framebuffer and a virtual
// clock: the exact report, two clock readings, and pass 48 on the screen,
// replayed store by store: below 24 bits a pixel's byte 2 is its right
// neighbour's byte 0, and a store at or past the screen's end is not made.
#include "bench_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Grey level of a pixel in pass 48, worked out independently of the program.
uint8_t reference_grey(uint32_t col, uint32_t row, int32_t width, int32_t height)
{
    const float cr = float(double(col) * 3.0 / width - 2.0);
    const float ci = float(1.0 - double(2 * row) / height);
    float x = 0.0f, y = 0.0f;
    unsigned n = 0;
    while (n < 48) {
        const float xx = x * x, yy = y * y, xy2 = (x + x) * y;
        x = (xx - yy) + cr;
        y = ci + xy2;
        if (y * y + x * x > 4.0f)
            break;
        ++n;
    }
    return uint8_t(255 * n / 48);
}

struct mandelbrot_run {
    const char* name;
    screen_geometry screen;
    window_geometry window;
    const char* clock_step_us;
    const char* result_line;
};

void PrintTo(const mandelbrot_run& run, std::ostream* os)
{
    *os << run.name;
}

const mandelbrot_run runs[] = {
    {"WholeScreen", {90, 60, 32}, {90, 60, 0, 0}, "2345678", "Benchmarking 48 iterations: 2.35 seconds"},
    // From 1000000.900000 s to 1000002.100000 s: 2 s less 0.8 s.
    {"MicrosecondsGoBack", {64, 48, 32}, {64, 48, 0, 0}, "1200000", "Benchmarking 48 iterations: 1.20 seconds"},
    {"TwentyFourBitsEndingAtTheLastByte", {70, 50, 24}, {33, 21, 37, 29}, "1000", "Benchmarking 48 iterations: 0.00 seconds"},
    {"TallWindow", {64, 100, 32}, {20, 90, 40, 5}, "999999999", "Benchmarking 48 iterations: 1000.00 seconds"},
    {"WidthZeroDrawsNothing", {64, 48, 32}, {0, 48, 0, 0}, "10000", "Benchmarking 48 iterations: 0.01 seconds"},
    {"HeightZeroDrawsNothing", {64, 48, 32}, {64, 0, 0, 0}, "10000", "Benchmarking 48 iterations: 0.01 seconds"},
    {"SixteenBitsWholeScreen", {320, 240, 16}, {320, 240, 0, 0}, "1500000", "Benchmarking 48 iterations: 1.50 seconds"},
    {"SixteenBitsBottomRightCorner", {320, 240, 16}, {101, 61, 219, 179}, "10000",
     "Benchmarking 48 iterations: 0.01 seconds"},
    {"SixteenBitsRightNeighbourColumn", {320, 240, 16}, {90, 60, 30, 20}, "10000",
     "Benchmarking 48 iterations: 0.01 seconds"},
    {"EightBitsWholeScreen", {100, 60, 8}, {100, 60, 0, 0}, "10000", "Benchmarking 48 iterations: 0.01 seconds"},
    {"EightBitsBottomRightCorner", {100, 60, 8}, {37, 21, 63, 39}, "10000", "Benchmarking 48 iterations: 0.01 seconds"},
};

// The screen after pass 48, on a screen that starts filled with screen_fill:
// bytes 0, 1 and 2 of each window pixel in turn, row by row.
std::vector<uint8_t> mandelbrot_replay(const screen_geometry& s, const window_geometry& w)
{
    std::vector<uint8_t> screen(screen_len(s), screen_fill);
    for (uint32_t row = 0; row < uint32_t(w.height); ++row) {
        for (uint32_t col = 0; col < uint32_t(w.width); ++col) {
            const uint8_t grey = reference_grey(col, row, w.width, w.height);
            const uint32_t offset =
                ((s.xres * (w.posy + row) * s.bits_per_pixel) >> 3) + (((w.posx + col) * s.bits_per_pixel) >> 3);
            for (uint32_t b = 0; b < 3; ++b)
                if (offset + b < screen.size())
                    screen[offset + b] = grey;
        }
    }
    return screen;
}

class MandelbrotRun : public testing::TestWithParam<mandelbrot_run> {};

TEST_P(MandelbrotRun, ReportsAndLeavesPassFortyEight)
{
    const mandelbrot_run& run = GetParam();
    const screen_geometry& s = run.screen;
    const window_geometry& w = run.window;
    const bench_result result = bench_run(
        MANDELBROT_BENCH,
        {screen_env(s), "TEST_FB_CLOCK_START=1000000900000", std::string("TEST_FB_CLOCK_STEP=") + run.clock_step_us,
         "WIDTH=" + std::to_string(w.width), "HEIGHT=" + std::to_string(w.height), "POSX=" + std::to_string(w.posx),
         "POSY=" + std::to_string(w.posy)});

    ASSERT_EQ(result.err, "");
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.out, std::string("Mandelbrot frame buffer test bench\n") + run.result_line + "\n");
    EXPECT_EQ(result.log, completed_run_log(s, 2));

    ASSERT_EQ(result.screen.size(), screen_len(s));
    const std::vector<uint8_t> expected = mandelbrot_replay(s, w);
    uint32_t differing = 0;
    for (size_t i = 0; i < expected.size(); ++i)
        differing += result.screen[i] != expected[i];
    EXPECT_EQ(differing, 0u);
}

INSTANTIATE_TEST_SUITE_P(Windows, MandelbrotRun, testing::ValuesIn(runs),
                         [](const testing::TestParamInfo<mandelbrot_run>& param_info) { return param_info.param.name; });

} // namespace
