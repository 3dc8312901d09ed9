// What a run draws on: the screen, RAM of the screen's shape, the screen
// with each unit of drawing pushed to the display, or the screen with each
// unit queued for presentation with a page flip.
#pragma once

#include <string>
#include <vector>

enum class run_target { device, memory, display, presented };

// In the order a benchmark's runs alternate and the table shows them.
inline constexpr run_target run_targets_all[] = {run_target::device, run_target::memory, run_target::display,
                                                 run_target::presented};

// Each target's name in the results file ("device", "memory", "display",
// "presented") and the one the user reads ("screen", "RAM", "display",
// "presented"), in enum order.
struct run_target_names {
    const char* key;
    const char* label;
};
inline constexpr run_target_names run_target_names_all[] = {
    {"device", "screen"}, {"memory", "RAM"}, {"display", "display"}, {"presented", "presented"}};

constexpr const char* run_target_key(run_target t)
{
    return run_target_names_all[static_cast<int>(t)].key;
}

constexpr const char* run_target_label(run_target t)
{
    return run_target_names_all[static_cast<int>(t)].label;
}

// The programs' FBBENCH_TARGET and FBBENCH_SYNC for a run, as NAME=value:
// the display is the screen with each frame flushed, presented the screen
// with each frame flipped to (FBBENCH_PRESENT_FD is added per run); the
// others never flush, whatever fbbench inherited.
inline std::vector<std::string> run_target_environment(run_target t)
{
    switch (t) {
    case run_target::device: return {"FBBENCH_TARGET=device", "FBBENCH_SYNC=none"};
    case run_target::memory: return {"FBBENCH_TARGET=memory", "FBBENCH_SYNC=none"};
    case run_target::display: return {"FBBENCH_TARGET=device", "FBBENCH_SYNC=frame"};
    case run_target::presented: return {"FBBENCH_TARGET=device", "FBBENCH_SYNC=present"};
    }
    return {};
}
