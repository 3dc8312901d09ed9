// The run loop: each program on each device, the targets of the plan
// alternating, repeated until the numbers hold, every run recorded, its
// statistics and verdicts kept in the session and the file rewritten after
// it. It prints nothing itself: the console shows what it reports.
#pragma once

#include "console.h"
#include "results_file.h"
#include "session.h"

// Writes the session's file (results_file_save), saying on the console why
// it could not. False then.
bool session_save(session& s, results_output& output, console& c);

// Runs every benchmark of the plan, each run under the deadline of the
// options. Returns 0, 1 when a benchmark failed (exited non-zero, was killed
// or timed out) or the file could not be written, or 128 + the stop signal
// that interrupted it.
int run_loop_run(session& s, results_output& output, console& c);
