// A turning Sierpinski triangle drawn by the chaos game into a back buffer
// and copied to the window, and the ladder of levels that times the frames.
#pragma once

#include "benchlib.h"

#include <cstdint>
#include <string>
#include <sys/time.h>

// The report: its title, an empty line, one line per level (printf format,
// no newline), an empty line. Macros, so that printf's format stays a
// literal the compiler checks; the runner's benchmark table parses reports
// with the same two.
#define SIERPINSKI_REPORT_TITLE "Sierpinski frame buffer test bench"
#define SIERPINSKI_REPORT_LINE "Benchmarking %8d iterations: %8.2f Frames/second"

// Windows lower than this have no triangle: (height / 2) - 8 would be negative.
inline constexpr int32_t sierpinski_min_height = 16;

// Why a window cannot take the turning triangle.
enum class sierpinski_window_fault {
    none,
    too_low,    // fewer than 16 rows
    too_narrow, // the triangle turns out of the window's sides
};

// The triangle's size, fixed for the run.
struct sierpinski_triangle {
    uint32_t radius = 0;  // (height / 2) - 8
    double divisor = 0.0; // (3.0 * radius) * radius: the square of the side
    uint32_t side2 = 0;   // the same square, exact as an integer
};

struct sierpinski_corner {
    int32_t x = 0;
    int32_t y = 0;
};

// Every point the chaos game plots lies between the corners, so a window
// passes when every corner position of every angle lies inside it. The fit
// is tested in 64-bit signed arithmetic: radius is unsigned.
sierpinski_window_fault sierpinski_window_check(const bench_window& window);

// Refuses a window that cannot take the triangle: one line on standard
// error naming the window; returns 0 or bench_exit_window.
int sierpinski_window_accept(const bench_window& window);

// The triangle for a window that passed sierpinski_window_check.
sierpinski_triangle sierpinski_triangle_make(const bench_window& window);

// Length of the back buffer in bytes: the window product first, then the depth.
inline uint32_t sierpinski_back_buffer_len(const bench_window& window, uint32_t bits_per_pixel)
{
    return (bits_per_pixel * (uint32_t(window.width) * uint32_t(window.height))) >> 3;
}

// Corner i of the triangle turned by angle_deg degrees, at angle_deg + 120 * i.
// Coordinates are truncated toward zero.
void sierpinski_corners(const bench_window& window, uint32_t radius, uint32_t angle_deg, sierpinski_corner corners[3]);

// Colour byte for a squared distance d2 to a corner: 255 on the corner,
// falling to 0 at the side's length. The value (1 - d2 / divisor) * 255 is
// positive exactly while d2 < side2; at or beyond the side it is 0 or
// negative, and for radius 0 it is NaN (0 / 0) or -inf: all give byte 0. An
// integer test decides it, as the board's VFP would stall on a flag transfer.
inline uint8_t sierpinski_colour(uint32_t d2, uint32_t side2, double divisor)
{
    if (d2 >= side2)
        return 0;
    return uint8_t(uint32_t((1.0 - double(d2) / divisor) * 255.0));
}

// Clears the back buffer and plots one frame of iterations chaos-game steps
// at rotation angle_deg, one rand() per step.
void sierpinski_draw(uint8_t* back_buffer, const bench_window& window, uint32_t bits_per_pixel,
                     const sierpinski_triangle& triangle, uint32_t angle_deg, uint32_t iterations);

// Copies the back buffer to the window, one whole row at a time.
void sierpinski_copy(const fb_screen& screen, const bench_window& window, const uint8_t* back_buffer);

// Draws one frame and puts it on the screen.
void sierpinski_render_frame(const fb_screen& screen, const bench_window& window, uint8_t* back_buffer,
                             const sierpinski_triangle& triangle, uint32_t angle_deg, uint32_t iterations);

inline constexpr uint32_t sierpinski_levels = 16;
inline constexpr uint32_t sierpinski_first_iterations = 1024;

// The variable that caps the ladder below its 16 levels, for a quick look;
// unset or empty, the ladder climbs them all.
#define SIERPINSKI_LEVELS_VARIABLE "FBBENCH_LEVELS"

// A count of levels from 1 to 16 in decimal digits, nothing else.
bool sierpinski_levels_parse(const char* text, uint32_t& levels);

// The ladder's height from the variable's value (nullptr: unset): empty, or
// the one line that refuses it.
std::string sierpinski_levels_check(const char* text, uint32_t& levels);

// The ladder's height from the environment: 0, or bench_exit_window after
// one line on standard error.
int sierpinski_levels_read(uint32_t& levels);
// A level whose rate falls below this ends the ladder, unreported.
inline constexpr float sierpinski_min_rate = 4.0f;

// The frame-rate ladder: each level doubles the steps per frame and lasts
// until a frame ends one second or more after the level began.
struct sierpinski_ladder {
    uint32_t level = 0;
    uint32_t iterations = sierpinski_first_iterations;
    uint32_t frames_in_window = 0;
    timeval window_start{};
    uint32_t frame_count = 0; // frames drawn in the whole run: the rotation angle
    uint32_t top = sierpinski_levels; // the ladder ends after this many levels
    float rates[sierpinski_levels]{};
};

sierpinski_ladder sierpinski_ladder_start(timeval now, uint32_t top = sierpinski_levels);

// Seconds from start to now: each field's difference as a signed 32-bit
// integer, summed in double precision and rounded to single.
float sierpinski_elapsed(timeval start, timeval now);

// Takes the clock reading made after a frame: counts the frame, and closes
// the level's window once a second has passed, recording its rate. Returns
// whether another frame is to be drawn.
bool sierpinski_ladder_step(sierpinski_ladder& ladder, timeval now);

// The report on standard output: title, one line per completed level, an
// empty line.
void sierpinski_report_print(const sierpinski_ladder& ladder);
