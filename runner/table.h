// The table, an output of the session beside the file and the console: it
// fits the width it is given, leads with what reaches the display, and
// explains every mark and ratio; and the Markdown row that compares boards.
#pragma once

#include "session.h"

#include <cstdio>
#include <string>

// The short description of the machine and devices above the table, its
// lines broken to fit the columns.
void results_header_print(std::FILE* out, const session& s, int columns);

// "interrupted after N of at least M runs: partial results" for a session
// that did not complete; empty otherwise.
std::string results_partial_line(const session& s);

// The partial line, the quick line, each device's display verdict, then the table of
// medians, spreads, run counts and speed ratios, with the display first,
// the marks on their figures and a footer explaining them, then each
// failure. Below 120 columns the rows are grouped by benchmark in a
// narrower layout, below 60 each target's figures take a line of their own;
// columns 0 is no limit, the wide layout.
void results_table_print(std::FILE* out, const session& s, int columns);

// One Markdown table row: host, then each benchmark's median on the first
// device in the order of the table of benchmarks (rectangle MPixels/s,
// Mandelbrot seconds, Sierpinski frames/s at the first and the last level);
// "-" where missing. The screen's figures, or the display's, whose row names
// the host "host (display)"; empty for the display when it was not measured.
std::string results_summary_row(const session& s, run_target target = run_target::device);

// The header of that row and the line under it, naming the Sierpinski levels
// the row holds, so that rows of several boards are known to be comparable
// ("Sierpinski 1024 points (frames/s)").
std::string results_summary_header(const session& s);
