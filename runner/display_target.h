// The third target: the screen with FBBENCH_SYNC=frame, which measures what
// reaches the display on paths where the stores alone do not.
#pragma once

#include "results.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

// A DRM device, or a framebuffer whose mapping is a deferred-I/O shadow: its
// picture reaches the display only when pushed there. Not a DRM device whose
// driver has no flush (no dirty hook): its screen is what the display shows.
bool display_flush_needed(const nlohmann::json& device_description);
// False when the description found that the device's flush does nothing.
bool display_flush_has_effect(const nlohmann::json& device_description);

// Why the display target, which the options ask for on this device, is
// dropped: its flush failed when the device was described. Empty when it
// is not asked for or can run.
std::string display_target_dropped(const runner_options& options, const nlohmann::json& device_description);

// The screen, then RAM (unless --no-memory), then the display when --sync
// asks for it or, by default, when the device needs a flush, unless dropped,
// then presented on a DRM card with vblank events (presented_wanted).
std::vector<run_target> device_targets(const runner_options& options, const nlohmann::json& device_description);

// The description of the device at path, or an empty object.
const nlohmann::json& device_description_find(const session& s, const std::string& path);

// The rate at which the display shows frames: the refresh measured from its
// vblank events, else the mode's own; nothing when neither is known.
std::optional<double> display_refresh_hz(const nlohmann::json& device_description);

// Where a row's display figure is frames per second above the refresh: the
// refresh, the most frames a second that can reach the glass; else nothing,
// and nothing where the presented frames were measured.
std::optional<double> display_glass_limit(const session& s, const result_row& row);

// What reaches the display over what is drawn, as a speed ratio (above 1
// means the display beat the drawing: noise); nothing without both.
std::optional<double> display_vs_screen(const result_row& row);

// The display's warnings for a program on a device: "display-drop" where it
// receives under half of what is drawn, at the row of the largest loss;
// "display-noise" where it measured more than 5 % faster than the drawing,
// naming the runs.
void display_warnings_add(session& s, const std::string& program, const std::string& path);

// One line on what reaches the display of a device whose display was
// measured: the share of each program's drawing, the full-screen updates a
// second, the refresh and the kernel's copy work; empty otherwise.
std::string display_verdict(const session& s, const std::string& path);

// What the display presented of each program's drawing on a device, from the
// counted presented runs: {"refresh_hz", "benchmarks": [{"program", "runs",
// "frames_per_second", "missed_vblanks", "interval_median_ms",
// "interval_p99_ms", "intervals_flagged", "runs_with_frames_lost"}]}, the
// figures the runs' medians (the flagged intervals and lost runs summed);
// {"dropped": reason} where the target is dropped; nothing where it was
// neither planned nor dropped.
std::optional<nlohmann::json> presented_summary(const session& s, const std::string& path);

// Whether the program has a counted presented run on the device.
bool presented_measured(const session& s, const std::string& program, const std::string& path);

// For --summary: "/dev/dri/card1: rectangle: 60.0 frames/s presented at
// 60.0 Hz measured, 0 missed; ...", or "/dev/dri/card0: presented dropped
// (no vblank events: ...)"; empty where presented was neither.
std::string presented_line(const session& s, const std::string& path);
