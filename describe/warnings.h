// Warnings about a run's conditions, each kept for the results file and
// shown once by the runner's console.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct run_warning {
    std::string kind;
    std::string message;
};

inline void run_warning_add(std::vector<run_warning>& warnings, std::string kind, std::string message)
{
    warnings.push_back({std::move(kind), std::move(message)});
}
