#include "mandelbrot.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

uint8_t grey_at(uint32_t col, uint32_t row, int32_t width, int32_t height, uint32_t pass)
{
    return mandelbrot_grey(mandelbrot_iterate(mandelbrot_point_of(col, row, width, height), pass), pass);
}

TEST(MandelbrotPoint, SpansTheSamePlaneWhateverTheWindow)
{
    const mandelbrot_point top_left = mandelbrot_point_of(0, 0, 90, 60);
    EXPECT_EQ(top_left.cr, -2.0f);
    EXPECT_EQ(top_left.ci, 1.0f);
    const mandelbrot_point origin = mandelbrot_point_of(60, 30, 90, 60);
    EXPECT_EQ(origin.cr, 0.0f);
    EXPECT_EQ(origin.ci, 0.0f);
    // Worked out in double and rounded once: 0.62 is not 1 - 76 / 200 done in single.
    EXPECT_EQ(mandelbrot_point_of(45, 38, 60, 200).ci, float(1.0 - 76.0 / 200.0));
    EXPECT_EQ(mandelbrot_point_of(1, 0, 7, 1).cr, float(3.0 / 7.0 - 2.0));
}

TEST(MandelbrotGrey, NamedPixelsOfThePasses)
{
    // Pass 1: the top-left pixel, c = -2 + 1i with |c|^2 = 5, escapes at once.
    EXPECT_EQ(grey_at(0, 0, 90, 60, 1), 0);
    EXPECT_EQ(grey_at(45, 30, 90, 60, 1), 255);
    for (uint32_t pass = 1; pass <= 48; ++pass) {
        // c = 0 never escapes.
        EXPECT_EQ(grey_at(60, 30, 90, 60, pass), 255) << "pass " << pass;
        // c = -2 + 0i: |z|^2 is exactly 4 each time, which is not beyond the circle.
        EXPECT_EQ(grey_at(0, 30, 90, 60, pass), 255) << "pass " << pass;
    }
    // c = 1 escapes in its third iteration (1, 2, 5): n = 2, 255 * 2 / 10 in pass 10.
    EXPECT_EQ(mandelbrot_iterate({1.0f, 0.0f}, 10), 2);
    EXPECT_EQ(mandelbrot_grey(2, 10), 51);
    // c = 1.5 escapes in its second (1.5, 3.75): n = 1, and 255 / 2 truncates.
    EXPECT_EQ(mandelbrot_iterate({1.5f, 0.0f}, 2), 1);
    EXPECT_EQ(mandelbrot_grey(1, 2), 127);
    EXPECT_EQ(mandelbrot_grey(48, 48), 255);
    EXPECT_EQ(mandelbrot_grey(0, 48), 0);
}

TEST(MandelbrotIterate, StaysInSinglePrecision)
{
    // At c = 0.25 + 0.62i, single-precision iterates escape after 37 steps;
    // double-precision ones would last 39.
    const mandelbrot_point c = mandelbrot_point_of(45, 38, 60, 200);
    EXPECT_EQ(mandelbrot_iterate(c, 48), 37);
    EXPECT_EQ(grey_at(45, 38, 60, 200, 48), 255 * 37 / 48);
    // At c = -1.375 + 0.04i: 46 in single, 47 in double.
    EXPECT_EQ(grey_at(25, 96, 120, 200, 48), 255 * 46 / 48);
}

TEST(MandelbrotDrawPass, WritesBytesZeroToTwoOfWindowPixelsOnly)
{
    fb_var_screeninfo vinfo{};
    vinfo.xres = 16;
    vinfo.yres = 8;
    vinfo.bits_per_pixel = 32;
    const bench_window window{9, 4, 5, 3};
    std::vector<uint8_t> screen(16 * 8 * 4, 0xAA);

    mandelbrot_draw_pass(screen.data(), vinfo, window, 7);

    for (uint32_t y = 0; y < 8; ++y) {
        for (uint32_t x = 0; x < 16; ++x) {
            const uint8_t* pixel = &screen[(y * 16 + x) * 4];
            const bool inside = x >= 5 && x < 14 && y >= 3 && y < 7;
            const uint8_t grey = inside ? grey_at(x - 5, y - 3, 9, 4, 7) : 0xAA;
            EXPECT_EQ(pixel[0], grey) << x << ',' << y;
            EXPECT_EQ(pixel[1], grey) << x << ',' << y;
            EXPECT_EQ(pixel[2], grey) << x << ',' << y;
            EXPECT_EQ(pixel[3], 0xAA) << x << ',' << y;
        }
    }
}

// Below 24 bits a pixel's bytes reach into its right neighbour: byte 2 of a
// window row's last pixel lands on the pixel right of the window, and the
// screen's last pixel (at 8 bits, its last two) would reach past the screen,
// where no store is made. Guard bytes after the screen catch one.
TEST(MandelbrotDrawPass, ShallowScreensGetTheDefinedStoresAndNoneBeyond)
{
    struct shallow_case {
        uint32_t bits_per_pixel;
        bench_window window;
    };
    const shallow_case cases[] = {
        {16, {9, 4, 7, 4}}, {16, {5, 3, 2, 1}}, {16, {16, 8, 0, 0}}, {8, {9, 4, 7, 4}}, {8, {5, 3, 2, 1}},
        {8, {16, 8, 0, 0}}, {8, {1, 1, 15, 7}},
    };
    const uint32_t guard = 16;
    for (const shallow_case& c : cases) {
        fb_var_screeninfo vinfo{};
        vinfo.xres = 16;
        vinfo.yres = 8;
        vinfo.bits_per_pixel = c.bits_per_pixel;
        const uint32_t len = fb_screen_len(vinfo), pixel_bytes = c.bits_per_pixel / 8;
        std::vector<uint8_t> screen(len + guard, 0xAA);
        // Each pass stores the same bytes in the same order: pass 3 after pass 7
        // leaves pass 3's picture.
        mandelbrot_draw_pass(screen.data(), vinfo, c.window, 7);
        mandelbrot_draw_pass(screen.data(), vinfo, c.window, 3);

        const bench_window& w = c.window;
        std::vector<uint8_t> expected(len + guard, 0xAA);
        for (uint32_t row = 0; row < uint32_t(w.height); ++row)
            for (uint32_t col = 0; col < uint32_t(w.width); ++col) {
                for (uint32_t b = 0; b < 3; ++b) {
                    if (const uint32_t offset = fb_pixel_offset(vinfo, w, col, row) + b; offset < len)
                        expected[offset] = grey_at(col, row, w.width, w.height, 3);
                }
            }
        EXPECT_TRUE(screen == expected) << c.bits_per_pixel << " bpp, window at " << w.posx << ',' << w.posy;

        // The pixel right of each window row: byte 0 from the row's last
        // pixel at 16 bits, bytes 0 and 1 at 8 bits; the rest as it was.
        // A window as wide as the screen has none.
        for (uint32_t row = 0; uint32_t(w.posx + w.width) < vinfo.xres && row < uint32_t(w.height); ++row) {
            const uint32_t right = fb_pixel_offset(vinfo, w, uint32_t(w.width), row);
            const uint8_t last_grey = grey_at(uint32_t(w.width) - 1, row, w.width, w.height, 3);
            for (uint32_t b = 0; b < 3 - pixel_bytes; ++b)
                EXPECT_EQ(screen[right + b], right + b < len ? last_grey : 0xAA) << "row " << row << " byte " << b;
            if (right + 3 - pixel_bytes < len) {
                EXPECT_EQ(screen[right + 3 - pixel_bytes], 0xAA) << "row " << row;
            }
        }
    }
}

TEST(MandelbrotElapsed, TakesSignedDifferences)
{
    EXPECT_EQ(mandelbrot_elapsed({10, 900000}, {12, 100000}), 1.2f);
    EXPECT_EQ(mandelbrot_elapsed({10, 0}, {10, 250000}), 0.25f);
    EXPECT_EQ(mandelbrot_elapsed({10, 5}, {10, 5}), 0.0f);
}

} // namespace
