// Running one benchmark as a fresh process under supervision: its output
// captured in files and read back up to a cap, how it ended kept, both
// clocks read around it and while it runs, a deadline, and SIGINT, SIGTERM and SIGHUP passed
// on to it.
#pragma once

#include "stats.h"

#include <cstddef>
#include <string>
#include <vector>

// The most of each of a run's standard output and error that is kept.
inline constexpr std::size_t capture_limit = 64 * 1024;

// What a run may write to files (its captured output among them): beyond
// it the kernel stops the program with SIGXFSZ, so that a runaway program
// cannot fill the temporary folder.
inline constexpr unsigned long long run_file_size_limit = 64ull * 1024 * 1024;

struct run_outcome {
    bool started = false; // false: a stop signal came first, nothing ran
    int exit_status = -1; // when the program exited, else -1
    int signal = 0; // the signal that killed it, else 0
    bool timed_out = false; // stopped by fbbench at the deadline
    std::string out; // at most capture_limit bytes of each
    std::string err;
    bool out_truncated = false;
    bool err_truncated = false;
    double monotonic_seconds = 0;
    // The wall clock's offset at the start, every quarter second while the
    // program runs, and at the end: the programs time with the wall clock.
    std::vector<clock_sample> clock_samples;
    double child_cpu_seconds = 0; // user and system time, from wait4's rusage
    std::string stat_before; // /proc/stat just before the start and after the end
    std::string stat_after;
    // Processes the program left running when it ended (killed then): its
    // group's, and orphans of its own session or another.
    int leftover_processes = 0;
    // Set when the output could not be captured ("in /tmp: No space left on
    // device"): the program did not run.
    std::string capture_error;
};

// The program's path: in dir when given, else next to this executable, else
// on PATH. Empty when none is executable.
std::string program_locate(const std::string& name, const std::string& dir);

// Catches SIGINT, SIGTERM and SIGHUP by noting the first one (a handler
// that only sets a flag), except those ignored when fbbench started, which
// stay ignored, for fbbench and its programs alike. SIGCHLD gets its default
// action, so that the programs can be waited for.
void signals_catch();

// Makes fbbench the parent of every orphan its programs leave, a child that
// left the program's group or session among them, so that each can be found
// and ended after its run.
void orphans_adopt();

// The stop signal caught so far, or 0.
int signals_caught();

// When a stop signal was caught: gives it its default action and raises it,
// so that the caller sees fbbench die by it. Returns only when none was
// caught (or, against expectation, the signal did not end the process).
void signals_reraise();

// "SIGSEGV" for SIGSEGV; "signal N" for a number without a name.
std::string signal_name(int sig);

// Runs path with this process's environment, in which each "NAME=value" of
// overrides replaces or adds a variable, in a process group of its own, which
// SIGTERM reaches when fbbench dies (a DRM program then gives the display
// back). After the run, whatever the program left is killed and counted.
// When no room can be had for its output, it does not run (capture_error).
// Waits for it doing nothing else but watch for stop signals and the
// deadline: timeout_seconds after the start it gets SIGTERM, and SIGKILL a
// few seconds later (timed_out). A stop signal is passed on to it; a second
// one, or a program still there a few seconds after the first, gets SIGKILL.
// A stop signal caught before the start leaves outcome.started false.
// Returns false, with error set to one line, when the run could not be
// started or waited for.
bool program_execute(const std::string& path, const std::vector<std::string>& overrides, int timeout_seconds,
                     run_outcome& outcome, std::string& error);

// A file for a program to write to through a descriptor it inherits: made
// in the folder the output is captured in (TMPDIR, else /tmp), unlinked at
// once, not closed on exec. Returns the descriptor, or -1 with error set to
// one line.
int inherited_file_open(std::string& error);

// What a program wrote to such a file, at most limit bytes. False when
// there was more.
bool inherited_file_read(int fd, std::size_t limit, std::string& text);
