// What a run draws on: the screen, RAM of the screen's shape, or the screen
// with each unit of drawing pushed to the display.
#pragma once

enum class run_target { device, memory, display };

// In the order a benchmark's runs alternate and the table shows them.
inline constexpr run_target run_targets_all[] = {run_target::device, run_target::memory, run_target::display};

// The name in the results file: "device", "memory" or "display".
constexpr const char* run_target_key(run_target t)
{
    switch (t) {
    case run_target::device: return "device";
    case run_target::memory: return "memory";
    case run_target::display: return "display";
    }
    return "";
}

// The name the user reads: "screen", "RAM" or "display".
constexpr const char* run_target_label(run_target t)
{
    switch (t) {
    case run_target::device: return "screen";
    case run_target::memory: return "RAM";
    case run_target::display: return "display";
    }
    return "";
}

// The programs' FBBENCH_TARGET and FBBENCH_SYNC for a run: the display is
// the screen with each frame flushed; the others never flush, whatever
// fbbench inherited.
constexpr const char* run_target_env_target(run_target t)
{
    switch (t) {
    case run_target::memory: return "memory";
    case run_target::device:
    case run_target::display: return "device";
    }
    return "";
}

constexpr const char* run_target_env_sync(run_target t)
{
    switch (t) {
    case run_target::display: return "frame";
    case run_target::device:
    case run_target::memory: return "none";
    }
    return "";
}
