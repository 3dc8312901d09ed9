// Warnings about a measurement that may not be trustworthy: printed as they
// arise and kept in the results file.
#pragma once

#include <string>
#include <vector>

struct run_warning {
    std::string kind; // a short tag, such as "outlier" or "clock-stepped"
    std::string message;
};

// Prints "fbbench: warning: MESSAGE" on standard error as one line and keeps
// the warning.
void run_warning_add(std::vector<run_warning>& warnings, std::string kind, std::string message);
