// Random rectangle fills straight into screen memory.
#pragma once

#include <cstdint>
#include <sys/time.h>

// The report: its title, then one value line (printf format, no newline).
// Macros, so that printf's format stays a literal the compiler checks; the
// runner's benchmark table parses reports with the same two.
#define RECTANGLE_REPORT_TITLE "Rectangle frame buffer test bench"
#define RECTANGLE_REPORT_LINE "Benchmarking %dx%d size: %.2f MPixels/second"

// Fills rect_h rows of rect_w pixels, the first pixel at first_row; pixels are
// pixel_bytes apart and rows row_bytes apart. Each pixel gets byte 2, byte 1
// and byte 0, in that order; any further byte is left as it was.
void rectangle_fill(volatile uint8_t* first_row, uint32_t rect_w, uint32_t rect_h, uint32_t pixel_bytes,
                    uint32_t row_bytes, uint8_t byte2, uint8_t byte1, uint8_t byte0);

// An edge drawn from one rand() value: its unsigned remainder by span, or 0
// for a span of 0.
inline uint32_t rectangle_edge(int random, uint32_t span)
{
    return span == 0 ? 0 : uint32_t(random) % span;
}

// A clock reading in milliseconds, wrapping modulo 2^32.
inline uint32_t wall_clock_ms(const timeval& tv)
{
    return uint32_t(tv.tv_sec) * 1000u + uint32_t(tv.tv_usec) / 1000u;
}

// Fill rate in megapixels per second (pixels per microsecond).
inline double rectangle_rate(uint64_t pixels, uint32_t elapsed_ms)
{
    return double(pixels) / (double(elapsed_ms) * 1000.0);
}
