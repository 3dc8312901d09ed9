#include "mandelbrot.h"

void mandelbrot_draw_pass(volatile uint8_t* screen_base, fb_var_screeninfo vinfo, bench_window window, uint32_t pass)
{
    for (uint32_t row = 0; row < uint32_t(window.height); ++row) {
        for (uint32_t col = 0; col < uint32_t(window.width); ++col) {
            const uint8_t n = mandelbrot_iterate(mandelbrot_point_of(col, row, window.width, window.height), pass);
            const uint8_t grey = mandelbrot_grey(n, pass);
            volatile uint8_t* pixel = screen_base + fb_pixel_offset(vinfo, window, col, row);
            pixel[0] = grey;
            pixel[1] = grey;
            pixel[2] = grey;
        }
    }
}
