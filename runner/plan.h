// The plan: the devices as the programs will find them, the windows in
// which a benchmark would draw nothing (refused before anything runs), and,
// from the description, the targets each device gets, computed once; the
// runs it asks for at the least and the time they will take.
#pragma once

#include "session.h"

#include <cstddef>
#include <string>
#include <vector>

// Opens the device read-write, as the programs do, and reads the screen they
// draw on: a framebuffer's visible size and depth (rows xres * depth / 8
// bytes apart, as the programs address them); a DRM device's chosen mode,
// 32 bits per pixel, rows a dumb buffer's pitch apart. Sets error instead
// when the device cannot be opened or is neither.
device_screen device_screen_query(const std::string& path);

// The window the texts give on the device's screen, and which of its values
// were defaulted. False with message set to one line naming the device when
// the program would refuse the window.
bool device_window_compute(device_screen& device, const bench_window_texts& texts, std::string& message);

// One line when the program would draw nothing in the device's window,
// naming the window and the smallest one that works; empty otherwise.
std::string device_window_refusal(const std::string& program, const device_screen& device);

// Queries every device of the session, works out the windows and checks them
// against the programs. Returns one line for the first device that cannot
// be opened or used, or window refused; empty when none. A device that
// cannot be opened is kept with its error, for --describe.
std::string devices_prepare(session& s, const bench_window_texts& texts);

// A device's plan under the options: the screen, then RAM (unless
// --no-memory), then the display when --sync asks for it or, by default,
// when the device needs a flush, unless its flush failed when it was
// described, then presented on a DRM card with measured vblank events.
device_plan device_plan_make(const runner_options& options, const device_description& device);

// The plan of every device of the session, from its description.
void plan_make(session& s);

// The plan of the device at path; an empty one (no target) for another path.
const device_plan& plan_find(const session& s, const std::string& path);

// Whether the target is planned on the device.
bool plan_has(const session& s, const std::string& path, run_target target);

// Drops the presented target of a device for the rest of the session, a run
// having shown that its flips measure nothing: the plan and the description
// say why.
void plan_presented_drop(session& s, const std::string& path, const std::string& reason);

// The runs the plan asks for at the least: each program on each device and
// target, --runs counted runs and the warm-ups.
std::size_t plan_runs_least(const session& s);

struct time_estimate {
    double seconds = 0;
    std::vector<std::string> unknown; // programs with no estimate yet
};

// The runs still to come at the least (each target's --runs, the warm-ups),
// from the given program and device on, at each program's time a run: the
// mean of its runs so far, else the table's figure.
time_estimate plan_remaining_estimate(const session& s, std::size_t program_index, std::size_t device_index);

// "quick: one run each, Sierpinski to 8 levels; compare with quick runs
// only" for a --quick session; empty otherwise.
std::string plan_quick_line(const session& s);
