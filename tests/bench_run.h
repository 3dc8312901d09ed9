// Runs a benchmark program under the test framebuffer and collects what it
// left: exit status, standard output and error, the screen and the call log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct bench_result {
    int status = -1; // exit status, or 128 + the signal that ended the program
    std::string out;
    std::string err;
    bool screen_dumped = false; // the screen was mapped and unmapped
    std::vector<uint8_t> screen;
    std::vector<std::string> log; // one line per device call, then the clock readings
};

// The program sees only the given "NAME=value" variables, besides those that
// load the test framebuffer and point its dump and log into a scratch folder;
// a later value of a variable replaces an earlier one.
bench_result bench_run(const std::string& program, const std::vector<std::string>& env);

// The byte every screen starts with (the test framebuffer's default fill).
inline constexpr uint8_t screen_fill = 170;
