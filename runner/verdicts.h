// The verdicts: from the statistics and the plan, every warning a
// benchmark's figures give and what reaches each device's display. Pure:
// they return text, and the run loop keeps the warnings.
#pragma once

#include "session.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The warnings of a program's figures on a device, each once and in this
// order: on each target, runs that did not settle, outliers, a slow first
// run and competing work; figures under 1 % resolution, naming a window that
// gives enough; then "display-drop" where the display receives under half
// of what is drawn, at the row of the largest loss, and "display-noise"
// where it measured more than 5 % faster than the drawing, naming the runs.
std::vector<run_warning> verdicts_bench(const session& s, const std::string& program, const std::string& path,
                                        const std::vector<run_target>& targets);

// One line on what reaches the display of a device whose display was
// measured: the share of each program's drawing, the full-screen updates a
// second, the refresh and the kernel's copy work; empty otherwise.
std::string display_verdict(const session& s, const std::string& path);

// What the display presented of a program's drawing on a device: the
// medians of its counted presented runs' figures, the flagged intervals and
// the runs that lost frames summed.
struct presented_program {
    const char* program = nullptr;
    std::size_t runs = 0;
    double frames_per_second = 0, missed_vblanks = 0, interval_median_ms = 0, interval_p99_ms = 0;
    uint64_t intervals_flagged = 0, runs_with_frames_lost = 0;
};

struct presented_summary {
    std::string dropped{}; // why the target is dropped; then nothing else
    double refresh_hz = 0;
    std::vector<presented_program> programs{};
};

// What the display presented of each program's drawing on a device;
// nothing where presented was neither planned nor dropped.
std::optional<presented_summary> presented_summarize(const session& s, const std::string& path);

// For --summary: "/dev/dri/card1: rectangle: 60.0 frames/s presented at
// 60.0 Hz measured, 0 missed; ...", or "/dev/dri/card0: presented dropped
// (no vblank events: ...)"; empty where presented was neither.
std::string presented_line(const session& s, const std::string& path);
