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
    bool empty = false; // the work measured was empty: a rectangle of no pixels
};

// Reads a program's complete standard output. False unless every line is
// exactly as the program prints it: a truncated or altered report does not
// parse. A Sierpinski report with no level line parses with no values.
bool report_parse(const std::string& program, const std::string& text, std::vector<report_value>& values);

// Why a parsed report does not count: "value not finite" (nan, inf), "no
// work" (nothing was drawn) or "value below resolution" (a figure printed as
// 0.00); empty when it counts.
std::string report_invalid_reason(const std::vector<report_value>& values);
