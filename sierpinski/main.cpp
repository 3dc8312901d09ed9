// sierpinski-bench: frames per second of a turning chaos-game Sierpinski
// triangle, drawn off screen and copied to the window, with the points per
// frame doubling level by level.
#include "benchlib.h"
#include "sierpinski.h"

#include <cstdlib>

int main()
{
    fb_screen screen;
    bench_window window;
    uint32_t levels = sierpinski_levels;
    int status = sierpinski_levels_read(levels);
    if (status != 0)
        return status;
    status = fb_screen_open(screen);
    if (status != 0)
        return status;
    // A window without room for the triangle is refused before the screen is mapped.
    status = bench_window_read(fb_screen_visible(screen), window);
    if (status == 0)
        status = sierpinski_window_accept(window);
    if (status == 0)
        status = fb_screen_map(screen);
    if (status != 0) {
        fb_screen_close(screen);
        return status;
    }

    // Never 0 bytes: an accepted window has 16 rows or more and a column or more.
    const uint32_t back_buffer_len = sierpinski_back_buffer_len(window, screen.vinfo.bits_per_pixel);
    uint8_t* const back_buffer = static_cast<uint8_t*>(std::malloc(back_buffer_len));
    if (back_buffer == nullptr) {
        fb_screen_close(screen);
        return bench_fail(bench_exit_resource, "cannot allocate the %u-byte back buffer", back_buffer_len);
    }
    const sierpinski_triangle triangle = sierpinski_triangle_make(window);

    sierpinski_ladder ladder = sierpinski_ladder_start(wall_clock_now(), levels);
    do {
        sierpinski_render_frame(screen, window, back_buffer, triangle, ladder.frame_count, ladder.iterations);
        if (screen.sync_present)
            bench_present_unit(screen.present);
        if (screen.sync_frame) {
            if (const int error = fb_screen_flush(screen, window)) {
                std::free(back_buffer);
                return fb_bench_flush_fail(screen, error);
            }
        }
    } while (sierpinski_ladder_step(ladder, wall_clock_now()));

    sierpinski_report_print(ladder);
    status = bench_report_flush();
    std::free(back_buffer);
    fb_screen_show(screen, window);
    fb_screen_close(screen);
    return status;
}
