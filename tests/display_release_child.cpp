// Takes the test framebuffer's display as the programs do and waits a minute
// for a signal, FBBENCH_HOLD's wait with "hold", then gives it back and exits
// 0. With "defer" the signal waits meanwhile, as in the description's probe;
// with "note" a handler like fbbench's notes it first; with "ignore" SIGINT is
// ignored from the start. Prints what the display deferred and the handler
// noted.
#include "bench_hold.h"
#include "benchlib.h"
#include "display_release.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

static volatile sig_atomic_t noted = 0;

int main(int argc, char** argv)
{
    const auto asked = [&](const char* word) {
        for (int i = 1; i < argc; ++i)
            if (std::strcmp(argv[i], word) == 0)
                return true;
        return false;
    };
    if (asked("note"))
        for (int sig : {SIGINT, SIGTERM, SIGHUP})
            signal(sig, [](int caught) { noted = caught; });
    if (asked("ignore"))
        signal(SIGINT, SIG_IGN);
    fb_screen screen;
    bench_window window;
    if (int status = fb_bench_start(screen, window))
        return status;
    if (asked("defer"))
        display_release_mode_set(display_release_defer);
    if (asked("hold")) {
        bench_hold_wait(60);
    } else {
        timespec minute{60, 0};
        nanosleep(&minute, nullptr);
    }
    std::printf("deferred %d\n", display_release_deferred());
    std::fflush(stdout);
    fb_screen_close(screen);
    std::printf("noted %d\n", int(noted));
    return 0;
}
