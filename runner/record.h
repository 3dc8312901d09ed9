// The record of a run: from how the process ended, what it printed and the
// CPU time around it, the run as the results keep it, whether it counts,
// and the warnings and failure it gives. Pure: the run loop acts on it.
#pragma once

#include "execute.h"
#include "session.h"

#include <optional>
#include <string>
#include <vector>

// How a run ends the runs of its benchmark: counted (the loop goes on),
// failed, interrupted by a stop signal, or dropped: the run showed that its
// target measures nothing on the device.
enum class run_end { counted, failed, interrupted, dropped };

struct run_input {
    const std::string& program;
    const std::string& path;
    run_target target = run_target::device;
    bool warmup = false;
    int timeout_seconds = 0;
    bool stopped = false; // a stop signal was caught by the run's end
    std::optional<unsigned long long> kernel_ticks_before{}, kernel_ticks_after{};
    long ticks_per_second = 0;
};

struct run_result {
    run_record run;
    run_end end = run_end::counted;
    bool clock_stepped = false; // discarded and to be repeated
    std::vector<run_warning> warnings;
    std::optional<bench_failure> failure;
    // The failure's message is shown: with "fbbench: " before it, or as it
    // is when it is the benchmark's own line.
    bool failure_shown = false, failure_own = true;
};

// The record of a run whose output was captured, or that could not be
// (outcome.capture_error).
run_result record_make(const run_input& in, const run_outcome& outcome);

// Takes a presented run's flips, as the program wrote them (taken: the text
// was within its limit), into its record. Returns why they measure nothing,
// refresh_hz being the measured refresh they are held to; empty when they
// measure.
std::string record_presented_take(run_record& r, bool taken, const std::string& text,
                                  std::optional<double> refresh_hz);
