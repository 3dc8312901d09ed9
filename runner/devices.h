// The devices of a session as the programs will find them: each one's
// screen, the window the variables give on it, and the windows in which a
// benchmark would draw nothing, refused before anything runs.
#pragma once

#include "results.h"

#include <string>

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
