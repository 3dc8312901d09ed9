// Running one benchmark as a fresh process: its output captured in files,
// its exit status kept, both clocks read around it, and SIGINT or SIGTERM
// passed on to it.
#pragma once

#include <csignal>
#include <string>
#include <vector>

struct run_outcome {
    int exit_status = -1; // 128 + N when killed by signal N
    std::string out;
    std::string err;
    double monotonic_seconds = 0;
    double realtime_seconds = 0;
    double child_cpu_seconds = 0; // user and system time, from wait4's rusage
    std::string stat_before; // /proc/stat just before the start and after the end
    std::string stat_after;
};

// The program's path: in dir when given, else next to this executable, else
// on PATH. Empty when none is executable.
std::string program_locate(const std::string& name, const std::string& dir);

// Installs SIGINT and SIGTERM handlers (no SA_RESTART) that record the
// signal and pass it on to the running benchmark.
void signals_catch();

// The signal caught so far, or 0.
int signals_caught();

// Runs path with this process's environment, in which each "NAME=value" of
// overrides replaces or adds a variable. Waits for it doing nothing else.
// Returns false, with error set to one line, when the run could not be
// started or waited for.
bool program_execute(const std::string& path, const std::vector<std::string>& overrides, run_outcome& outcome,
                     std::string& error);
