// Warnings about a run's conditions: each is printed once on standard error
// and kept for the results file.
#pragma once

#include <string>
#include <vector>

struct run_warning {
    std::string kind;
    std::string message;
};

// Prints "fbbench: warning: <message>" as one line on standard error and
// appends the warning.
void run_warning_add(std::vector<run_warning>& warnings, std::string kind, std::string message);
