// Keeping the finished picture on the display for a while (FBBENCH_HOLD), for
// a person or a screenshot to see it before the screen is given back.
#pragma once

#include <cstdint>

// Parses a number of seconds: decimal digits only, at most INT32_MAX.
bool bench_hold_parse(const char* text, uint32_t& seconds);

// Reads FBBENCH_HOLD, 0 when unset or empty. Returns 0, or bench_exit_window
// after one line on standard error.
int bench_hold_read(uint32_t& seconds);

// Waits that many seconds; SIGINT or SIGTERM end the wait early, and the
// caller still gives the screen back and exits as the run would have: the
// report is written, and ending the wait is what these signals are for here.
// SIGHUP (the terminal gone) ends the program as it does while drawing.
void bench_hold_wait(uint32_t seconds);
