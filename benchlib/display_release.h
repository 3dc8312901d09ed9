// Giving a taken display back, on every path out and on SIGINT, SIGTERM and
// SIGHUP: one display at a time, one handler, and a mode for what a signal does.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <drm_mode.h>

// What a display holds, given back in this order; what is 0 (or null) is not
// held. A framebuffer holds none of it: the kernel keeps its picture.
struct display_taken {
    int fd = -1; // the DRM card
    drm_mode_crtc crtc{}; // the request that puts back what the CRTC showed; crtc_id 0: none
    void* map = nullptr; // left to the kernel on a signal, which ends the process
    size_t map_len = 0;
    uint32_t fb_id = 0;
    uint32_t handle = 0; // the dumb buffer
    bool master = false;
};

enum display_release_mode : sig_atomic_t {
    display_release_end, // the programs: given back, then the signal ends the program
    display_release_hold, // FBBENCH_HOLD's wait: SIGINT and SIGTERM only cut it short; SIGHUP ends
    display_release_defer, // the description's probe: the first one waits until given back
};

// What a signal that is not ignored does while the display is taken, from
// now (or the next display_release_take) until it is given back.
void display_release_mode_set(display_release_mode mode);

// Takes the display, before it is changed: until display_release_give_back,
// the handler holds SIGINT, SIGTERM and SIGHUP, except those ignored.
void display_release_take(const display_taken& taken);

// The signal display_release_defer holds back, 0 for none.
int display_release_deferred();

// Gives back what held names, taken or not (what the taken display holds, or
// what was acquired before a failure), with the signals blocked meanwhile.
// A taking ends: the signals act as before it, a deferred one is raised, and
// the mode is display_release_end again.
void display_release_give_back(const display_taken& held);
