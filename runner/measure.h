// The sequence of runs: each program on each device, screen and RAM runs
// alternating, repeated until the numbers hold, the file rewritten after
// every completed run.
#pragma once

#include "results.h"

#include <string>

// Writes the file for the first time, before the machine is described and
// anything runs ("complete": false, no runs), so that an unwritable output
// is found at once and an interrupt at any later moment leaves a file.
// output is the file opened (results_output_open). Returns 0, or 1 after
// one line on standard error.
int measure_start(session& s, results_output& output);

// Prints the plan (the description decides which devices get the display
// target), then runs every benchmark, each run under the deadline of the options. Returns
// 0, 1 when a benchmark failed (exited non-zero, was killed or timed out),
// or 128 + the stop signal that interrupted it.
int measure_runs(session& s, results_output& output);

// Writes the final file (complete unless interrupted), prints the table and
// the summary row, and returns the exit status.
int measure_finish(session& s, results_output& output, int status);
