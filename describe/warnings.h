// Warnings about a run's conditions: each is printed once on standard error
// and kept for the results file.
#pragma once

#include <string>
#include <vector>

struct run_warning {
    std::string kind;
    std::string message;
};

// Prints "fbbench: warning: <message>" on standard error, broken into lines
// that fit when it is a terminal, and appends the warning.
void run_warning_add(std::vector<run_warning>& warnings, std::string kind, std::string message);

// The columns of the terminal fd writes to (TIOCGWINSZ), else those COLUMNS
// gives; 80 for a terminal that tells neither (a serial console), and 0,
// no limit, for what is no terminal.
int terminal_columns(int fd);
