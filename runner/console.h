// The console, an output of the session beside the file and the table, and
// the one writer to standard error: the plan, the progress line, warnings,
// failures and errors. On a terminal the progress line is rewritten in
// place, so everything else it prints clears it first; the warnings the
// other phases keep in the session are shown before anything that follows
// them.
#pragma once

#include "run_loop.h"
#include "session.h"

#include <cstddef>
#include <string>

struct console {
    bool live = false; // a progress line is on the terminal
    std::size_t warnings_shown = 0; // of the session's warnings, those printed
};

// The columns of the terminal fd writes to (TIOCGWINSZ), else those COLUMNS
// gives; 80 for a terminal that tells neither (a serial console), and 0,
// no limit, for what is no terminal.
int terminal_columns(int fd);

// Prints "fbbench: warning: <message>" for each warning not shown yet,
// broken into lines that fit when standard error is a terminal.
void console_warnings_show(console& c, const session& s);

// Prints "fbbench: <message>", after the warnings.
void console_error(console& c, const session& s, const std::string& message);

// Clears the progress line.
void console_clear(console& c);

// Shows a run loop's event, after the warnings kept before it: the plan
// ("fbbench: 3 benchmarks x 1 device x 2 targets x 3 runs ... = 18 runs at
// least, about 4 min in all", with the targets dropped and why), the
// progress line before a run with the time left (neither under --quiet), a
// failure's line as it is.
void console_event(console& c, const session& s, const run_event& event);

// After the file's last write: where the results are (path), or that an
// earlier session's file there was kept.
void console_results_note(console& c, const session& s, const std::string& path, bool earlier);

// Flushes standard output: true, or false after one line on standard error
// saying why it could not take everything (a full disk, a closed pipe).
bool standard_output_flush();
