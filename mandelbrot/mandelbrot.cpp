#include "mandelbrot.h"

// Columns 0 to end of window row row, each pixel's three stores at its offset.
static inline void mandelbrot_draw_row(volatile uint8_t* screen_base, const fb_var_screeninfo& vinfo,
                                       const bench_window& window, uint32_t pass, uint32_t row, uint32_t end)
{
    for (uint32_t col = 0; col < end; ++col) {
        const uint8_t n = mandelbrot_iterate(mandelbrot_point_of(col, row, window.width, window.height), pass);
        const uint8_t grey = mandelbrot_grey(n, pass);
        volatile uint8_t* pixel = screen_base + fb_pixel_offset(vinfo, window, col, row);
        pixel[0] = grey;
        pixel[1] = grey;
        pixel[2] = grey;
    }
}

void mandelbrot_draw_pass(volatile uint8_t* screen_base, fb_var_screeninfo vinfo, bench_window window, uint32_t pass)
{
    const uint32_t width = uint32_t(window.width);
    const uint32_t height = uint32_t(window.height);
    if (width == 0 || height == 0)
        return;
    // Below 24 bits a pixel's byte 2 lies in the next pixel, so the screen's
    // last pixel (at 8 bits, its last two) would reach past the screen. Those
    // columns of the last row are drawn apart, leaving out the stores beyond
    // the end, so that the loops keep three stores a pixel and no test.
    const uint32_t screen_len = fb_screen_len(vinfo);
    const uint32_t last = height - 1;
    uint32_t whole = width; // columns of the last row whose three bytes lie on the screen
    while (whole > 0 && fb_pixel_offset(vinfo, window, whole - 1, last) + 2 >= screen_len)
        --whole;

    for (uint32_t row = 0; row < last; ++row)
        mandelbrot_draw_row(screen_base, vinfo, window, pass, row, width);
    mandelbrot_draw_row(screen_base, vinfo, window, pass, last, whole);
    for (uint32_t col = whole; col < width; ++col) {
        const uint8_t n = mandelbrot_iterate(mandelbrot_point_of(col, last, window.width, window.height), pass);
        const uint8_t grey = mandelbrot_grey(n, pass);
        const uint32_t offset = fb_pixel_offset(vinfo, window, col, last);
        for (uint32_t b = 0; b < 3 && offset + b < screen_len; ++b)
            screen_base[offset + b] = grey;
    }
}
