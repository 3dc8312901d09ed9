// The run loop: each program on each device, the targets of the plan
// alternating, repeated until the numbers hold, every run recorded and its
// statistics and verdicts kept in the session. It prints and writes
// nothing: it tells each step as an event, which main hands on to the
// outputs.
#pragma once

#include "session.h"

#include <cstddef>
#include <functional>
#include <string>

// Where a run stands in the session, for the progress line.
struct run_position {
    std::size_t program_index = 0, device_index = 0;
    const std::string& program;
    const std::string& path;
    run_target target = run_target::device;
    bool warmup = false;
    std::size_t number = 0; // of the warm-ups, or of the counted runs
};

enum class run_event_kind {
    planned, // the plan stands; its warnings are in the session
    starting, // a run is about to start (at)
    recorded, // a run was added to the session: the file is to be written
    failed, // a benchmark failed (line, to be shown as it is)
    finished, // a benchmark's runs on a device are over, its verdicts kept
};

struct run_event {
    run_event_kind kind;
    const run_position* at = nullptr; // starting
    const std::string* line = nullptr; // failed
};

// Takes each event; false when what it was asked to do failed (the file
// could not be written).
using run_events = std::function<bool(const run_event&)>;

// Runs every benchmark of the plan, each run under the deadline of the
// options. Returns 0, 1 when a benchmark failed (exited non-zero, was
// killed or timed out) or an event's action failed, or 128 + the stop
// signal that interrupted it.
int run_loop_run(session& s, const run_events& events);
