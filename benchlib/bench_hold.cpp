#include "bench_hold.h"

#include "bench_error.h"
#include "digits.h"
#include "display_release.h"

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

void bench_hold_wait(uint32_t seconds)
{
    if (seconds == 0)
        return;
    // SIGINT or SIGTERM cut the sleep short; a second one cannot cut the
    // release that follows short either.
    display_release_mode_set(display_release_hold);
    timespec wait{time_t(seconds), 0};
    nanosleep(&wait, nullptr);
}
