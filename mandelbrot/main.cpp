// mandelbrot-bench: the Mandelbrot set drawn 48 times straight into screen
// memory, with iteration limits 1 to 48, and the total time in seconds.
#include "benchlib.h"
#include "mandelbrot.h"

#include <cstdio>

int main()
{
    fb_screen screen;
    bench_window window;
    if (int status = fb_bench_start(screen, window))
        return status;

    const timeval start = wall_clock_now();
    for (uint32_t pass = 1; pass <= 48; ++pass) {
        mandelbrot_draw_pass(screen.screen_base, screen.vinfo, window, pass);
        if (screen.sync_present)
            bench_present_unit(screen.present);
        if (screen.sync_frame) {
            if (const int error = fb_screen_flush(screen, window))
                return fb_bench_flush_fail(screen, error);
        }
    }
    const timeval end = wall_clock_now();

    std::puts(MANDELBROT_REPORT_TITLE);
    std::printf(MANDELBROT_REPORT_LINE "\n", double(mandelbrot_elapsed(start, end)));

    const int status = bench_report_flush();
    fb_screen_show(screen, window);
    fb_screen_close(screen);
    return status;
}
