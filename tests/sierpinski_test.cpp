#include "benchlib.h"
#include "sierpinski.h"
#include "sierpinski_replay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct corner_set {
    sierpinski_corner c[3];
};

corner_set corners_at(int32_t width, int32_t height, uint32_t angle_deg)
{
    const bench_window window{width, height, 0, 0};
    corner_set corners;
    sierpinski_corners(window, sierpinski_triangle_make(window).radius, angle_deg, corners.c);
    return corners;
}

TEST(SierpinskiCorners, AreTruncatedNotRounded)
{
    const corner_set corners = corners_at(100, 100, 0);
    EXPECT_EQ(sierpinski_triangle_make({100, 100, 0, 0}).radius, 42u);
    // 29.00000000000001, 86.37; 28.99999999999998 (cos 240 degrees lies just
    // beyond -0.5), 13.63.
    EXPECT_EQ(corners.c[0].x, 92);
    EXPECT_EQ(corners.c[0].y, 50);
    EXPECT_EQ(corners.c[1].x, 29);
    EXPECT_EQ(corners.c[1].y, 86);
    EXPECT_EQ(corners.c[2].x, 28);
    EXPECT_EQ(corners.c[2].y, 13);
}

TEST(SierpinskiCorners, StayWithinRadiusOfTheCentreAtEveryAngle)
{
    EXPECT_EQ(sierpinski_triangle_make({800, 480, 0, 0}).radius, 232u);
    for (uint32_t angle = 0; angle < 360; ++angle) {
        const corner_set corners = corners_at(800, 480, angle);
        for (const sierpinski_corner& corner : corners.c) {
            ASSERT_GE(corner.y, 8) << "angle " << angle;
            ASSERT_LE(corner.y, 472) << "angle " << angle;
            ASSERT_GE(corner.x, 400 - 232) << "angle " << angle;
            ASSERT_LE(corner.x, 400 + 232) << "angle " << angle;
        }
    }
}

TEST(SierpinskiCorners, RepeatAfterAFullTurnUpToRounding)
{
    // The angle is not reduced: at 360 degrees sin is -2.4e-16, and corner 0
    // of the 100 x 100 window truncates from 49.99999999999999 to row 49.
    const corner_set turned = corners_at(100, 100, 360);
    EXPECT_EQ(turned.c[0].x, 92);
    EXPECT_EQ(turned.c[0].y, 49);

    for (uint32_t angle = 0; angle < 360; ++angle) {
        const corner_set first = corners_at(800, 480, angle), again = corners_at(800, 480, angle + 360);
        for (int i = 0; i < 3; ++i) {
            ASSERT_LE(std::abs(first.c[i].x - again.c[i].x), 1) << "angle " << angle << " corner " << i;
            ASSERT_LE(std::abs(first.c[i].y - again.c[i].y), 1) << "angle " << angle << " corner " << i;
        }
    }
}

// The byte by its formula, written out: negative and NaN values give 0.
uint8_t colour_by_formula(uint32_t d2, uint32_t radius)
{
    const double v = (1.0 - double(d2) / ((3.0 * double(radius)) * double(radius))) * 255.0;
    return std::isnan(v) || v < 0.0 ? 0 : uint8_t(uint32_t(v));
}

sierpinski_triangle triangle_of_radius(uint32_t radius)
{
    return sierpinski_triangle_make({1, int32_t(2 * radius + 16), 0, 0});
}

TEST(SierpinskiColour, FallsFrom255OnTheCornerTo0AtTheSide)
{
    for (const uint32_t radius : {42u, 232u, 1000u}) {
        const sierpinski_triangle triangle = triangle_of_radius(radius);
        ASSERT_EQ(triangle.radius, radius);
        ASSERT_EQ(triangle.divisor, (3.0 * radius) * radius);
        auto colour = [&](uint32_t d2) { return sierpinski_colour(d2, triangle.side2, triangle.divisor); };
        const uint32_t r2 = radius * radius;
        EXPECT_EQ(colour(0), 255) << radius;
        EXPECT_EQ(colour(r2), 170) << radius;          // the centre
        EXPECT_EQ(colour(9 * r2 / 4), 63) << radius;   // mid side, 63.75 truncated
        EXPECT_EQ(colour(3 * r2 - 1), 0) << radius;    // 0.0000something
        EXPECT_EQ(colour(3 * r2), 0) << radius;        // a side's length
        EXPECT_EQ(colour(3 * r2 + 1), 0) << radius;    // beyond: v is negative
        EXPECT_EQ(colour(UINT32_MAX), 0) << radius;
    }
}

TEST(SierpinskiColour, IsZeroForRadiusZero)
{
    for (const int32_t height : {16, 17}) {
        const sierpinski_triangle triangle = sierpinski_triangle_make({5, height, 0, 0});
        ASSERT_EQ(triangle.radius, 0u);
        EXPECT_EQ(sierpinski_colour(0, triangle.side2, triangle.divisor), 0); // 0 / 0
        EXPECT_EQ(sierpinski_colour(1, triangle.side2, triangle.divisor), 0); // 1 / 0
    }
}

// The integer test in front of the division gives the formula's byte for
// every distance up to well beyond the side.
TEST(SierpinskiColour, EqualsTheFormulaForEveryDistance)
{
    for (const uint32_t radius : {0u, 1u, 2u, 3u, 22u, 42u, 232u, 1000u, 6700u}) {
        const sierpinski_triangle triangle = triangle_of_radius(radius);
        ASSERT_EQ(double(triangle.side2), triangle.divisor) << radius;
        const uint32_t last = std::min<uint64_t>(4ull * radius * radius + 1000, 20000000);
        for (uint32_t d2 = 0; d2 <= last; ++d2)
            ASSERT_EQ(sierpinski_colour(d2, triangle.side2, triangle.divisor), colour_by_formula(d2, radius))
                << "radius " << radius << " d2 " << d2;
        for (const uint32_t d2 : {3 * radius * radius - 1, 3 * radius * radius, UINT32_MAX})
            ASSERT_EQ(sierpinski_colour(d2, triangle.side2, triangle.divisor), colour_by_formula(d2, radius))
                << "radius " << radius << " d2 " << d2;
    }
}

TEST(SierpinskiWindowCheck, RefusesLowWindowsAndTrianglesThatTurnOutOfTheSides)
{
    using fault = sierpinski_window_fault;
    const struct {
        int32_t width, height;
        fault expected;
    } cases[] = {
        {100, 15, fault::too_low},    {100, 0, fault::too_low},      {100, -1, fault::too_low},
        {INT32_MAX, INT32_MIN, fault::too_low},
        {1, 16, fault::none},         {1, 17, fault::none},          {0, 16, fault::too_narrow},
        {-1, 16, fault::too_narrow},  {-2, 16, fault::too_narrow},
        {45, 60, fault::none},        {46, 60, fault::none},         {44, 60, fault::too_narrow}, // radius 22
        {800, 480, fault::none},      {465, 480, fault::none},       {464, 480, fault::too_narrow},
        {3, 18, fault::none},         {2, 18, fault::too_narrow},    // radius 1
        {INT32_MAX, 16, fault::none}, {INT32_MIN, 100, fault::too_narrow},
        {100, INT32_MAX, fault::too_narrow},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sierpinski_window_check({c.width, c.height, 0, 0}), c.expected) << c.width << 'x' << c.height;
}

// The check passes exactly the windows in which every corner of every angle
// lies inside (and so every point between them).
TEST(SierpinskiWindowCheck, PassesExactlyTheWindowsThatHoldEveryCorner)
{
    for (int32_t height = 16; height <= 64; height += 3) {
        for (int32_t width = 0; width <= height; ++width) {
            const bench_window window{width, height, 0, 0};
            bool corners_inside = true;
            for (uint32_t angle = 0; angle < 360 && corners_inside; ++angle) {
                const corner_set corners = corners_at(width, height, angle);
                for (const sierpinski_corner& corner : corners.c)
                    corners_inside = corners_inside && corner.x >= 0 && corner.x < width && corner.y >= 0
                                  && corner.y < height;
            }
            EXPECT_EQ(sierpinski_window_check(window) == sierpinski_window_fault::none, corners_inside)
                << width << 'x' << height;
        }
    }
}

struct frame_case {
    int32_t width, height;
    uint32_t bits_per_pixel, angle, iterations;
};

TEST(SierpinskiDraw, EqualsAReplayAndStaysInsideTheBackBuffer)
{
    const frame_case cases[] = {
        {100, 100, 32, 0, 1024},   {100, 100, 32, 400, 5000}, {45, 60, 24, 180, 3000}, {45, 60, 32, 0, 3000},
        {5, 17, 32, 7, 100},       {1, 16, 24, 90, 100},      {800, 480, 32, 123, 20000},
        // Byte 2 of a pixel is byte 0 of the next below 24 bits.
        {100, 100, 16, 0, 5000},   {45, 60, 16, 200, 3000},   {320, 240, 16, 33, 20000}, {100, 100, 8, 0, 5000},
        {45, 60, 8, 300, 3000},    {1, 17, 8, 90, 100},       {5, 16, 16, 7, 100},
    };
    // Guard bytes on both sides catch a store outside the buffer.
    const uint32_t guard = 64;
    for (const frame_case& c : cases) {
        const bench_window window{c.width, c.height, 0, 0};
        const uint32_t len = sierpinski_back_buffer_len(window, c.bits_per_pixel);
        std::vector<uint8_t> memory(guard + len + guard, 0xEE);

        std::srand(1);
        sierpinski_draw(memory.data() + guard, window, c.bits_per_pixel, sierpinski_triangle_make(window), c.angle,
                        c.iterations);
        const int after_draw = std::rand();
        std::srand(1);
        const std::vector<uint8_t> replay = sierpinski_frame_replay(c.width, c.height, c.bits_per_pixel, c.angle, c.iterations);

        EXPECT_EQ(std::rand(), after_draw) << "one rand() per step";
        const std::vector<uint8_t> image(memory.begin() + guard, memory.end() - guard);
        EXPECT_TRUE(image == replay) << c.width << 'x' << c.height << 'x' << c.bits_per_pixel << " angle " << c.angle;
        for (uint32_t g = 0; g < guard; ++g) {
            ASSERT_EQ(memory[g], 0xEE) << "before the buffer";
            ASSERT_EQ(memory[guard + len + g], 0xEE) << "after the buffer";
        }
    }
}

// A tight window in which the corners reach the first and last columns, at
// every angle of a turn: nothing lands outside, and plotted pixels are coloured.
TEST(SierpinskiDraw, TightWindowKeepsEveryPointInsideAtEveryAngle)
{
    const bench_window window{45, 60, 0, 0};
    const sierpinski_triangle triangle = sierpinski_triangle_make(window);
    const uint32_t len = sierpinski_back_buffer_len(window, 32), guard = 64;
    std::vector<uint8_t> memory(guard + len + guard, 0xEE);
    bool first_column = false, last_column = false;
    for (uint32_t angle = 0; angle < 360; ++angle) {
        sierpinski_draw(memory.data() + guard, window, 32, triangle, angle, 2048);
        for (uint32_t g = 0; g < guard; ++g) {
            ASSERT_EQ(memory[g], 0xEE) << "angle " << angle;
            ASSERT_EQ(memory[guard + len + g], 0xEE) << "angle " << angle;
        }
        for (uint32_t y = 0; y < 60; ++y) {
            first_column = first_column || memory[guard + y * 45 * 4 + 2] != 0 || memory[guard + y * 45 * 4 + 1] != 0;
            last_column = last_column || memory[guard + (y * 45 + 44) * 4 + 2] != 0;
        }
    }
    EXPECT_TRUE(first_column);
    EXPECT_TRUE(last_column);
}

// Seconds as a board's clock holds them: a 32-bit time_t keeps the low 32 bits.
time_t wrapped(int64_t seconds)
{
    return time_t(seconds);
}

TEST(SierpinskiElapsed, TakesThirtyTwoBitDifferencesOfEachField)
{
    EXPECT_EQ(sierpinski_elapsed({1000, 0}, {1001, 200000}), 1.2f);
    EXPECT_EQ(sierpinski_elapsed({1000, 900000}, {1002, 100000}), 1.2f); // microseconds -800000
    EXPECT_EQ(sierpinski_elapsed({1000, 900000}, {1000, 900000}), 0.0f);
    EXPECT_EQ(sierpinski_elapsed({1000, 500000}, {999, 600000}), -0.9f);
    // Seconds wrap modulo 2^32 and count as signed.
    EXPECT_EQ(sierpinski_elapsed({wrapped(4294967295), 0}, {wrapped(4294967296 + 2), 0}), 3.0f);
    EXPECT_EQ(sierpinski_elapsed({0, 0}, {wrapped(2147483648), 0}), -2147483648.0f);
    EXPECT_EQ(sierpinski_elapsed({0, 0}, {wrapped(4294967296 - 5), 0}), -5.0f);
}

timeval after(timeval start, uint64_t us)
{
    const uint64_t t = uint64_t(start.tv_sec) * 1000000 + uint64_t(start.tv_usec) + us;
    return {time_t(t / 1000000), suseconds_t(t % 1000000)};
}

const timeval clock_start = {1000000, 0};

TEST(SierpinskiLadder, FramesOfAThirdOfASecondEndItAfterTheFourthUnreported)
{
    sierpinski_ladder ladder = sierpinski_ladder_start(clock_start);
    for (uint32_t frame = 1; frame <= 3; ++frame)
        ASSERT_TRUE(sierpinski_ladder_step(ladder, after(clock_start, 300000 * frame))) << frame;
    EXPECT_FALSE(sierpinski_ladder_step(ladder, after(clock_start, 1200000)));
    EXPECT_EQ(ladder.rates[0], 4.0f / 1.2f);
    EXPECT_EQ(ladder.level, 0u);
    EXPECT_EQ(ladder.iterations, 1024u);
    EXPECT_EQ(ladder.frames_in_window, 4u);

    testing::internal::CaptureStdout();
    sierpinski_report_print(ladder);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Sierpinski frame buffer test bench\n\n\n");
}

TEST(SierpinskiLadder, FramesOfAFifthOfASecondCloseTheWindowAfterTheFifthAndGoOn)
{
    sierpinski_ladder ladder = sierpinski_ladder_start(clock_start);
    for (uint32_t frame = 1; frame <= 4; ++frame) {
        ASSERT_TRUE(sierpinski_ladder_step(ladder, after(clock_start, 200000 * frame)));
        ASSERT_EQ(ladder.frames_in_window, frame);
        ASSERT_EQ(ladder.frame_count, frame);
    }
    const timeval fifth = after(clock_start, 1000000);
    EXPECT_TRUE(sierpinski_ladder_step(ladder, fifth));
    EXPECT_EQ(ladder.rates[0], 5.0f);
    EXPECT_EQ(ladder.level, 1u);
    EXPECT_EQ(ladder.iterations, 2048u);
    EXPECT_EQ(ladder.frames_in_window, 0u);
    EXPECT_EQ(ladder.window_start.tv_sec, fifth.tv_sec);
    EXPECT_EQ(ladder.window_start.tv_usec, fifth.tv_usec);
    EXPECT_EQ(ladder.frame_count, 5u); // the angle runs on across levels
}

// A board that keeps up at 5 frames/s ends the ladder at its top, each level
// reported, whether the top is the full 16 or lower.
TEST(SierpinskiLadder, EndsAtItsTopWithEveryLevelReported)
{
    for (const uint32_t top : {1u, 8u, 16u}) {
        sierpinski_ladder ladder = sierpinski_ladder_start(clock_start, top);
        uint32_t frames = 0;
        while (frames < 1000 && sierpinski_ladder_step(ladder, after(clock_start, 200000 * ++frames))) {
        }
        EXPECT_EQ(frames, 5 * top) << top;
        EXPECT_EQ(ladder.level, top);
        testing::internal::CaptureStdout();
        sierpinski_report_print(ladder);
        const std::string report = testing::internal::GetCapturedStdout();
        EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 3 + top) << report;
    }
}

TEST(SierpinskiLevels, TakeOneToSixteenInDigitsOnly)
{
    const struct {
        const char* text;
        bool taken;
        uint32_t levels;
    } cases[] = {
        {"1", true, 1}, {"8", true, 8}, {"16", true, 16}, {"08", true, 8},
        {"0", false, 0}, {"17", false, 0}, {"4294967304", false, 0}, {"-8", false, 0}, {"+8", false, 0},
        {" 8", false, 0}, {"8 ", false, 0}, {"8x", false, 0}, {"", false, 0},
    };
    for (const auto& c : cases) {
        uint32_t levels = 99;
        EXPECT_EQ(sierpinski_levels_parse(c.text, levels), c.taken) << '"' << c.text << '"';
        EXPECT_EQ(levels, c.taken ? c.levels : 99u) << '"' << c.text << '"';
    }
}

TEST(SierpinskiLadder, ABoardThatKeepsUpClimbsAllSixteenLevels)
{
    sierpinski_ladder ladder = sierpinski_ladder_start(clock_start);
    uint32_t frames = 0;
    uint64_t steps = 0;
    bool more = true;
    while (more && frames < 1000) {
        steps += ladder.iterations;
        ++frames;
        more = sierpinski_ladder_step(ladder, after(clock_start, 200000 * frames));
    }
    EXPECT_EQ(frames, 80u);
    EXPECT_EQ(steps, 5 * 1024 * uint64_t(65535));
    EXPECT_EQ(ladder.level, 16u);
    for (const float rate : ladder.rates)
        EXPECT_EQ(rate, 5.0f);

    ladder.rates[0] = 57.5f;
    testing::internal::CaptureStdout();
    sierpinski_report_print(ladder);
    std::string expected = "Sierpinski frame buffer test bench\n\n"
                           "Benchmarking     1024 iterations:    57.50 Frames/second\n";
    for (int i = 1; i < 16; ++i) {
        char line[80];
        std::snprintf(line, sizeof line, "Benchmarking %8d iterations:     5.00 Frames/second\n", 1024 << i);
        expected += line;
    }
    expected += "\n";
    const std::string report = testing::internal::GetCapturedStdout();
    EXPECT_EQ(report, expected);
    EXPECT_NE(report.find("Benchmarking 33554432 iterations:     5.00 Frames/second\n\n"), std::string::npos);
}

TEST(SierpinskiLadder, FourFramesASecondIsEnoughAndAMicrosecondMoreIsNot)
{
    sierpinski_ladder ladder = sierpinski_ladder_start(clock_start);
    for (uint32_t frame = 1; frame <= 4; ++frame)
        ASSERT_TRUE(sierpinski_ladder_step(ladder, after(clock_start, 250000 * frame)));
    EXPECT_EQ(ladder.rates[0], 4.0f);
    EXPECT_EQ(ladder.level, 1u);

    ladder = sierpinski_ladder_start(clock_start);
    for (uint32_t frame = 1; frame <= 3; ++frame)
        ASSERT_TRUE(sierpinski_ladder_step(ladder, after(clock_start, 250001 * frame)));
    EXPECT_FALSE(sierpinski_ladder_step(ladder, after(clock_start, 250001 * 4)));
    EXPECT_LT(ladder.rates[0], 4.0f);
    EXPECT_EQ(ladder.level, 0u);
}

TEST(SierpinskiLadder, ALateLevelBelowFourFramesASecondEndsItUnreported)
{
    sierpinski_ladder ladder = sierpinski_ladder_start(clock_start);
    timeval now = clock_start;
    for (uint32_t frame = 1; frame <= 10; ++frame) {
        now = after(now, 200000);
        ASSERT_TRUE(sierpinski_ladder_step(ladder, now));
    }
    ASSERT_EQ(ladder.level, 2u);
    ASSERT_EQ(ladder.iterations, 4096u);
    // One frame of three seconds: 0.33 frames per second.
    EXPECT_FALSE(sierpinski_ladder_step(ladder, after(now, 3000000)));
    EXPECT_EQ(ladder.level, 2u);
    EXPECT_EQ(ladder.rates[2], 1.0f / 3.0f);

    testing::internal::CaptureStdout();
    sierpinski_report_print(ladder);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Sierpinski frame buffer test bench\n\n"
                                                      "Benchmarking     1024 iterations:     5.00 Frames/second\n"
                                                      "Benchmarking     2048 iterations:     5.00 Frames/second\n"
                                                      "\n");
}

TEST(SierpinskiLadder, ANegativeElapsedTimeKeepsTheWindowOpen)
{
    sierpinski_ladder ladder = sierpinski_ladder_start({wrapped(4294967296 + 100), 0});
    // 2^31 seconds on: the 32-bit difference is negative.
    EXPECT_TRUE(sierpinski_ladder_step(ladder, {wrapped(4294967296 + 100 + 2147483648), 0}));
    EXPECT_EQ(ladder.level, 0u);
    EXPECT_EQ(ladder.frames_in_window, 1u);
}

} // namespace
