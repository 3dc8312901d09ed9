// How a run that cannot go on ends: its exit status and one line on standard
// error that says why. Every part of benchlib fails through these, so this
// header includes nothing of benchlib's.
#pragma once

#include <string>

// Exit statuses of a run that does not complete.
enum : int {
    bench_exit_resource = 1, // the device cannot be opened, queried or mapped, its screen is
                             // unsupported, or memory for the run cannot be allocated
    bench_exit_window = 2, // the window is out of range or does not fit the screen, or another
                           // variable (FBBENCH_TARGET, FBBENCH_HOLD, FBBENCH_SYNC, FBBENCH_DEPTH) has a bad value
};

// The text with control characters and backslashes escaped (\n, \x1b, \\), so
// that a message echoing it stays on one line.
std::string bench_text_escape(const char* text);
inline std::string bench_text_escape(const std::string& text)
{
    return bench_text_escape(text.c_str());
}

// Reports a failure as one line on standard error, prefixed with the
// program's name; returns status.
[[gnu::format(printf, 2, 3)]] int bench_fail(int status, const char* format, ...);
