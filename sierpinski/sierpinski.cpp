#include "sierpinski.h"

#include "digits.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

sierpinski_window_fault sierpinski_window_check(const bench_window& window)
{
    if (window.height < sierpinski_min_height)
        return sierpinski_window_fault::too_low;
    // The corners lie within radius of the centre; rows always keep 8 free
    // above and below, columns only when the window is wide enough.
    const int64_t radius = window.height / 2 - 8;
    const int64_t centre_x = window.width / 2;
    if (centre_x - radius < 0 || centre_x + radius > int64_t(window.width) - 1)
        return sierpinski_window_fault::too_narrow;
    return sierpinski_window_fault::none;
}

int sierpinski_window_accept(const bench_window& window)
{
    switch (sierpinski_window_check(window)) {
    case sierpinski_window_fault::none:
        return 0;
    case sierpinski_window_fault::too_low:
        return bench_fail(bench_exit_window, "window %dx%d is lower than %d rows", window.width, window.height,
                          sierpinski_min_height);
    case sierpinski_window_fault::too_narrow:
        break;
    }
    return bench_fail(bench_exit_window, "the triangle of radius %d does not fit the %dx%d window",
                      window.height / 2 - 8, window.width, window.height);
}

sierpinski_triangle sierpinski_triangle_make(const bench_window& window)
{
    sierpinski_triangle triangle;
    triangle.radius = uint32_t(window.height / 2 - 8);
    triangle.divisor = (3.0 * double(triangle.radius)) * double(triangle.radius);
    // A window the screen holds has a radius below 6700 (its size in bits
    // fits 32 bits): the square fits 32 bits and the double is exact.
    triangle.side2 = 3 * triangle.radius * triangle.radius;
    return triangle;
}

void sierpinski_corners(const bench_window& window, uint32_t radius, uint32_t angle_deg, sierpinski_corner corners[3])
{
    const double centre_x = double(window.width / 2);
    const double centre_y = double(window.height / 2);
    for (uint32_t i = 0; i < 3; ++i) {
        const uint32_t a = angle_deg + 120 * i;
        const double theta = (double(a) * 3.141592653589793) / 180.0;
        corners[i].x = int32_t(centre_x + double(radius) * std::cos(theta));
        corners[i].y = int32_t(centre_y + double(radius) * std::sin(theta));
    }
}

void sierpinski_draw(uint8_t* back_buffer, const bench_window& window, uint32_t bits_per_pixel,
                     const sierpinski_triangle& triangle, uint32_t angle_deg, uint32_t iterations)
{
    std::memset(back_buffer, 0, sierpinski_back_buffer_len(window, bits_per_pixel));

    sierpinski_corner corners[3];
    sierpinski_corners(window, triangle.radius, angle_deg, corners);

    // Every point lies between the corners, which the window check keeps
    // inside the back buffer: the loop needs no bounds test.
    const uint32_t width = uint32_t(window.width);
    const uint32_t side2 = triangle.side2;
    const double divisor = triangle.divisor;
    int32_t px = corners[0].x;
    int32_t py = corners[0].y;
    for (uint32_t n = 0; n < iterations; ++n) {
        const sierpinski_corner& k = corners[std::rand() % 3];
        // Halfway, halves rounded up: the sums are never negative.
        px = int32_t(0.5 + double(px + k.x) * 0.5);
        py = int32_t(0.5 + double(py + k.y) * 0.5);
        uint8_t* const pixel =
            back_buffer + ((uint32_t(px) * bits_per_pixel) >> 3) + ((width * uint32_t(py) * bits_per_pixel) >> 3);
        for (uint32_t j = 0; j < 3; ++j) {
            // Unsigned, so that a square beyond 2^31 wraps as 32-bit hardware does.
            const uint32_t dx = uint32_t(px - corners[j].x);
            const uint32_t dy = uint32_t(py - corners[j].y);
            pixel[2 - j] = sierpinski_colour(dx * dx + dy * dy, side2, divisor);
        }
    }
}

void sierpinski_copy(const fb_screen& screen, const bench_window& window, const uint8_t* back_buffer)
{
    const uint32_t bits_per_pixel = screen.vinfo.bits_per_pixel;
    const uint32_t width = uint32_t(window.width);
    const uint32_t row_bytes = (width * bits_per_pixel) >> 3;
    // One sequential pass over the window; memcpy does not take volatile memory.
    uint8_t* const screen_base = const_cast<uint8_t*>(screen.screen_base);
    for (uint32_t y = 0; y < uint32_t(window.height); ++y)
        std::memcpy(screen_base + fb_pixel_offset(screen.vinfo, window, 0, y),
                    back_buffer + ((y * width * bits_per_pixel) >> 3), row_bytes);
}

void sierpinski_render_frame(const fb_screen& screen, const bench_window& window, uint8_t* back_buffer,
                             const sierpinski_triangle& triangle, uint32_t angle_deg, uint32_t iterations)
{
    sierpinski_draw(back_buffer, window, screen.vinfo.bits_per_pixel, triangle, angle_deg, iterations);
    sierpinski_copy(screen, window, back_buffer);
}

bool sierpinski_levels_parse(const char* text, uint32_t& levels)
{
    uint32_t value = 0;
    if (!digits_parse(text, value) || value < 1 || value > sierpinski_levels)
        return false;
    levels = value;
    return true;
}

std::string sierpinski_levels_check(const char* text, uint32_t& levels)
{
    levels = sierpinski_levels;
    if (text == nullptr || *text == '\0' || sierpinski_levels_parse(text, levels))
        return "";
    return SIERPINSKI_LEVELS_VARIABLE "=" + bench_text_escape(text) + " is not a number of levels from 1 to "
         + std::to_string(sierpinski_levels);
}

int sierpinski_levels_read(uint32_t& levels)
{
    const std::string refusal = sierpinski_levels_check(std::getenv(SIERPINSKI_LEVELS_VARIABLE), levels);
    return refusal.empty() ? 0 : bench_fail(bench_exit_window, "%s", refusal.c_str());
}

sierpinski_ladder sierpinski_ladder_start(timeval now, uint32_t top)
{
    sierpinski_ladder ladder;
    ladder.window_start = now;
    ladder.top = top;
    return ladder;
}

float sierpinski_elapsed(timeval start, timeval now)
{
    // 32-bit differences, as a board with a 32-bit time_t forms them.
    const int32_t seconds = int32_t(uint32_t(now.tv_sec) - uint32_t(start.tv_sec));
    const int32_t microseconds = int32_t(uint32_t(now.tv_usec) - uint32_t(start.tv_usec));
    return float(double(seconds) + double(microseconds) * 1e-6);
}

bool sierpinski_ladder_step(sierpinski_ladder& ladder, timeval now)
{
    const float elapsed = sierpinski_elapsed(ladder.window_start, now);
    ++ladder.frames_in_window;
    if (elapsed >= 1.0f) {
        const float rate = float(ladder.frames_in_window) / elapsed;
        ladder.rates[ladder.level] = rate;
        if (rate < sierpinski_min_rate)
            return false;
        // The next level's window opens at this same reading.
        ladder.frames_in_window = 0;
        ladder.window_start = now;
        ++ladder.level;
        ladder.iterations *= 2;
    }
    ++ladder.frame_count;
    return ladder.level < ladder.top;
}

void sierpinski_report_print(const sierpinski_ladder& ladder)
{
    std::puts(SIERPINSKI_REPORT_TITLE "\n");
    for (uint32_t i = 0; i < ladder.level; ++i)
        std::printf(SIERPINSKI_REPORT_LINE "\n", 1024 << i, double(ladder.rates[i]));
    std::putchar('\n');
}
