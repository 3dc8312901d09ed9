// The reports of the three benchmark programs, read back exactly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct report_value {
    std::string metric; // "fill rate", "time", "frame rate at 1024 points"
    std::string unit;
    bool higher_is_better = true;
    uint32_t points = 0; // Sierpinski: points per frame; 0 otherwise
    double value = 0; // the number as printed
};

// Reads a program's complete standard output. False unless every line is
// exactly as the program prints it: a truncated or altered report does not
// parse. A Sierpinski report with no level line parses with no values.
bool report_parse(const std::string& program, const std::string& text, std::vector<report_value>& values);
