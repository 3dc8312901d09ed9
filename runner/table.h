// The table of results on the terminal: it fits the width it is given,
// leads with what reaches the display, and explains every mark and ratio.
#pragma once

#include "results.h"

#include <cstdio>
#include <string>

// "interrupted after N of at least M runs: partial results" for a session
// that did not complete; empty otherwise.
std::string results_partial_line(const session& s);

// "quick: one run each, Sierpinski to 8 levels; compare with quick runs
// only" for a --quick session; empty otherwise.
std::string results_quick_line(const session& s);

// The partial line, the quick line, each device's display verdict, then the table of
// medians, spreads, run counts and speed ratios, with the display first,
// the marks on their figures and a footer explaining them, then each
// failure. Below 120 columns the rows are grouped by benchmark in a
// narrower layout, below 60 each target's figures take a line of their own;
// columns 0 is no limit, the wide layout.
void results_table_print(std::FILE* out, const session& s, int columns);

// Flushes standard output: true, or false after one line on standard error
// saying why it could not take everything (a full disk, a closed pipe).
bool standard_output_flush();
