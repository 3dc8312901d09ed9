// rectangle-bench: fill rate of random rectangles, a quarter of the window's
// width and height, drawn straight into screen memory for five seconds.
#include "benchlib.h"
#include "rectangle.h"

#include <cstdio>
#include <cstdlib>

int main()
{
    fb_screen screen;
    bench_window window;
    if (int status = fb_bench_start(screen, window))
        return status;

    const int32_t rect_w = window.width >> 2;
    const int32_t rect_h = window.height >> 2;
    const uint32_t pixel_bytes = screen.vinfo.bits_per_pixel >> 3;
    const uint32_t row_bytes = (screen.vinfo.xres * screen.vinfo.bits_per_pixel) >> 3;

    const uint32_t start_ms = wall_clock_ms(wall_clock_now());
    uint32_t now_ms;
    uint32_t rect_count = 0;
    do {
        const uint8_t byte2 = uint8_t(std::rand());
        const uint8_t byte1 = uint8_t(std::rand());
        const uint8_t byte0 = uint8_t(std::rand());
        const uint32_t x = rectangle_edge(std::rand(), uint32_t(window.width - rect_w));
        const uint32_t y = rectangle_edge(std::rand(), uint32_t(window.height - rect_h));
        rectangle_fill(screen.screen_base + fb_pixel_offset(screen.vinfo, window, x, y), uint32_t(rect_w),
                       uint32_t(rect_h), pixel_bytes, row_bytes, byte2, byte1, byte0);
        if (screen.sync_present)
            bench_present_unit(screen.present);
        if (screen.sync_frame) {
            if (const int error = fb_screen_flush(screen, window))
                return fb_bench_flush_fail(screen, error);
        }
        now_ms = wall_clock_ms(wall_clock_now());
        ++rect_count;
    } while (now_ms - start_ms < 5000);

    const uint64_t pixels = uint64_t(rect_w) * rect_count * uint64_t(rect_h);
    std::puts(RECTANGLE_REPORT_TITLE);
    std::printf(RECTANGLE_REPORT_LINE "\n", rect_w, rect_h, rectangle_rate(pixels, now_ms - start_ms));

    const int status = bench_report_flush();
    fb_screen_show(screen, window);
    fb_screen_close(screen);
    return status;
}
