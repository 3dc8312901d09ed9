// The Mandelbrot set in grey levels, drawn straight into screen memory.
#pragma once

#include "benchlib.h"

#include <cstdint>

// The report: its title, then one value line (printf format, no newline).
// Macros, so that printf's format stays a literal the compiler checks; the
// runner's benchmark table parses reports with the same two.
#define MANDELBROT_REPORT_TITLE "Mandelbrot frame buffer test bench"
#define MANDELBROT_REPORT_LINE "Benchmarking 48 iterations: %.2f seconds"

struct mandelbrot_point {
    float cr;
    float ci;
};

// The point of window pixel (col, row): real parts from -2 toward 1 across
// the window, imaginary parts from 1 toward -1 down it, whatever its shape.
// Worked out in double precision and rounded once to single.
inline mandelbrot_point mandelbrot_point_of(uint32_t col, uint32_t row, int32_t width, int32_t height)
{
    return {float((double(col) * 3.0) / double(width) - 2.0),
            float(1.0 - (double(row) + double(row)) / double(height))};
}

// Iterations, up to pass, that stay within the radius-2 circle. The whole
// iteration is single precision, each operation rounded on its own.
inline uint8_t mandelbrot_iterate(mandelbrot_point c, uint32_t pass)
{
    float zr = 0.0f;
    float zi = 0.0f;
    uint8_t n = 0;
    for (;;) {
        const float next_zi = c.ci + (zr + zr) * zi;
        const float next_zr = ((zr * zr) - (zi * zi)) + c.cr;
        zi = next_zi;
        zr = next_zr;
        if ((zi * zi) + (zr * zr) > 4.0f)
            return n;
        if (++n == pass)
            return n;
    }
}

// 0 for a point that escapes at once, 255 for one that never does.
inline uint8_t mandelbrot_grey(uint8_t n, uint32_t pass)
{
    return uint8_t((255u * n) / pass);
}

// Draws the window once with iteration limit pass: bytes 0, 1 and 2 of every
// window pixel get its grey level, in that order; any further byte is left as
// it was. Below 24 bits byte 2 is the next pixel's byte 0, and a store at or
// past the screen's end is not made. The geometry comes by value so that
// screen stores cannot alias it.
void mandelbrot_draw_pass(volatile uint8_t* screen_base, fb_var_screeninfo vinfo, bench_window window, uint32_t pass);

// Seconds between two clock readings, as the report gives them.
inline float mandelbrot_elapsed(const timeval& start, const timeval& end)
{
    const int32_t seconds = int32_t(end.tv_sec - start.tv_sec);
    const int32_t microseconds = int32_t(end.tv_usec - start.tv_usec);
    return float(double(seconds) + double(microseconds) / 1000000.0);
}
