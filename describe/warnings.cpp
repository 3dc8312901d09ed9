#include "warnings.h"

#include <cstdio>

void run_warning_add(std::vector<run_warning>& warnings, std::string kind, std::string message)
{
    std::fprintf(stderr, "fbbench: warning: %s\n", message.c_str());
    warnings.push_back({std::move(kind), std::move(message)});
}
