// The third target: the screen with FBBENCH_SYNC=frame, which measures what
// reaches the display on paths where the stores alone do not.
#pragma once

#include "results.h"

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// A DRM device, or a framebuffer whose mapping is a deferred-I/O shadow: its
// picture reaches the display only when pushed there.
bool display_flush_needed(const nlohmann::json& device_description);

// Why the display target, which the options ask for on this device, is
// dropped: its flush failed when the device was described. Empty when it
// is not asked for or can run.
std::string display_target_dropped(const runner_options& options, const nlohmann::json& device_description);

// "device", then "memory" (unless --no-memory), then "display" when --sync
// asks for it or, by default, when the device needs a flush, unless dropped.
std::vector<std::string> device_targets(const runner_options& options, const nlohmann::json& device_description);

// The description of the device at path, or an empty object.
const nlohmann::json& device_description_find(const session& s, const std::string& path);

// Warns ("display-drop") for each program and device whose display receives
// under half of what is drawn, naming the row where the loss is largest.
void display_drop_warnings_add(session& s, const std::string& program, const std::string& path);
