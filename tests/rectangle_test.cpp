#include "benchlib.h"
#include "rectangle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

// A rectangle filled on plain memory changes bytes 0 to 2 of its own pixels
// and nothing else, at 24 and at 32 bits per pixel.
TEST(RectangleFill, WritesBytesZeroToTwoOfItsPixelsOnly)
{
    for (const uint32_t bits_per_pixel : {24u, 32u}) {
        fb_var_screeninfo vinfo{};
        vinfo.xres = 20;
        vinfo.yres = 10;
        vinfo.bits_per_pixel = bits_per_pixel;
        const bench_window window{12, 8, 6, 1};
        const uint32_t pixel_bytes = bits_per_pixel / 8, row_bytes = 20 * pixel_bytes;
        const uint32_t x = 3, y = 2, rect_w = 5, rect_h = 4;
        std::vector<uint8_t> screen(fb_screen_len(vinfo), 0xAA);

        rectangle_fill(screen.data() + fb_pixel_offset(vinfo, window, x, y), rect_w, rect_h, pixel_bytes, row_bytes,
                       0x12, 0x34, 0x56);

        for (uint32_t sy = 0; sy < vinfo.yres; ++sy) {
            for (uint32_t sx = 0; sx < vinfo.xres; ++sx) {
                const bool inside = sx >= 6 + x && sx < 6 + x + rect_w && sy >= 1 + y && sy < 1 + y + rect_h;
                const uint8_t* pixel = &screen[sy * row_bytes + sx * pixel_bytes];
                const std::vector<uint8_t> expected = inside ? std::vector<uint8_t>{0x56, 0x34, 0x12, 0xAA}
                                                             : std::vector<uint8_t>{0xAA, 0xAA, 0xAA, 0xAA};
                for (uint32_t b = 0; b < pixel_bytes; ++b)
                    ASSERT_EQ(pixel[b], expected[b]) << bits_per_pixel << " bpp, pixel " << sx << ',' << sy << " byte " << b;
            }
        }
    }
}

TEST(RectangleFill, EmptyRectanglesWriteNothing)
{
    std::vector<uint8_t> screen(64, 0xAA);
    rectangle_fill(screen.data(), 0, 4, 4, 16, 1, 2, 3);
    rectangle_fill(screen.data(), 4, 0, 4, 16, 1, 2, 3);
    EXPECT_EQ(std::count(screen.begin(), screen.end(), 0xAA), 64);
}

TEST(RectangleEdge, IsAnUnsignedRemainderAndZeroForAnEmptySpan)
{
    EXPECT_EQ(rectangle_edge(7, 5), 2u);
    EXPECT_EQ(rectangle_edge(1804289383, 600), 1804289383u % 600);
    EXPECT_EQ(rectangle_edge(1804289383, 0), 0u);
    EXPECT_EQ(rectangle_edge(0, 0), 0u);
    // A window of width 6: rect_w 1, remainder by 5.
    EXPECT_EQ(rectangle_edge(2147483647, 6 - (6 >> 2)), 2u);
}

TEST(WallClockMs, WrapsModuloTwoToTheThirtyTwo)
{
    EXPECT_EQ(wall_clock_ms({12, 345678}), 12345u);
    EXPECT_EQ(wall_clock_ms({4294967, 295999}), 4294967295u);
    EXPECT_EQ(wall_clock_ms({4294967, 296000}), 0u);
    EXPECT_EQ(wall_clock_ms({4294972, 296999}), 5000u);
    // Differences stay right across the wrap.
    EXPECT_EQ(wall_clock_ms({4294970, 0}) - wall_clock_ms({4294965, 0}), 5000u);
}

} // namespace
