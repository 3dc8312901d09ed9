#include "bench_hold.h"

#include "bench_error.h"
#include "digits.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>

bool bench_hold_parse(const char* text, uint32_t& seconds)
{
    uint32_t value = 0;
    if (!digits_parse(text, value) || value > INT32_MAX)
        return false;
    seconds = value;
    return true;
}

int bench_hold_read(uint32_t& seconds)
{
    const char* text = std::getenv("FBBENCH_HOLD");
    seconds = 0;
    if (text == nullptr || *text == '\0' || bench_hold_parse(text, seconds))
        return 0;
    return bench_fail(bench_exit_window, "FBBENCH_HOLD=%s is not a number of seconds", bench_text_escape(text).c_str());
}

static void bench_hold_interrupt(int) {}

void bench_hold_wait(uint32_t seconds)
{
    if (seconds == 0)
        return;
    // A handler without SA_RESTART: the signal cuts the sleep short, and the
    // caller gives the display back as after a full wait. It stays, so that a
    // second signal cannot cut the release short either; a DRM display's
    // release puts back the actions these signals had before it was taken.
    struct sigaction action {};
    action.sa_handler = bench_hold_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    timespec wait{time_t(seconds), 0};
    nanosleep(&wait, nullptr);
}
