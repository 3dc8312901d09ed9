// fbbench-lava's command line and its one run, apart from main for the tests.
#pragma once

#include <string>

struct lava_options {
    std::string results; // the results file
    std::string name; // the block's name; empty: the file's, less .json
    int status = 0; // fbbench's exit status
    bool emit = false; // the block in place of the cases
};

// Parses argv; false with a one-line message in error on bad usage, and true
// with help set for --help.
bool lava_options_parse(int argc, char** argv, lava_options& options, bool& help, std::string& error);

// Reads the results file, at most 64 MiB; false with a one-line message.
bool lava_file_read(const std::string& path, std::string& content, std::string& error);

// Writes the cases, or the block, to out and one line to error when the
// file cannot be used. Returns the exit status: 0, or 1 for a file that
// cannot be read or is no results file. The cases then still hold the
// failed "fbbench" case, and the block a FBBENCH-RESULTS-MISSING line, so
// that the job's log says what happened.
int lava_run(const lava_options& options, std::string& out, std::string& error);
