// Framebuffer access shared by the fbbench programs: the device, the window
// that a benchmark draws into, pixel addressing and the wall clock.
#pragma once

#include "bench_error.h"
#include "bench_present.h"
#include "drm_screen.h"
#include "fb_device_kind.h"

#include <cstdint>
#include <string>
#include <linux/fb.h>
#include <sys/time.h>

// Where a benchmark draws: the device's screen memory, or ordinary memory of
// the device's shape or of a given shape (FBBENCH_TARGET).
enum class bench_target_kind { device, memory, memory_shape };

struct bench_target {
    bench_target_kind kind = bench_target_kind::device;
    uint32_t xres = 0, yres = 0, bits_per_pixel = 0; // memory_shape only
};

struct fb_screen {
    const char* device = nullptr; // the path opened; every message names it
    int fb_fd = -1;
    bench_target target;
    // For a DRM device, xres is the dumb buffer's pitch in pixels, so that
    // rows are addressed by the pitch.
    fb_var_screeninfo vinfo{};
    // What a window may cover: the screen, or a DRM mode's visible part of it.
    uint32_t visible_xres = 0;
    uint32_t visible_yres = 0;
    drm_screen drm; // in use when the device is a DRM device (drm.fd >= 0)
    uint32_t hold_seconds = 0; // FBBENCH_HOLD
    // Screen memory is device memory: every store to it is kept, in order.
    volatile uint8_t* screen_base = nullptr;
    uint32_t screen_len = 0;
    // FBBENCH_SYNC=frame: each unit of drawing is flushed to the display
    // inside the timed part. Last, so that the fields the drawing code reads
    // keep their offsets.
    bool sync_frame = false;
    // FBBENCH_SYNC=present: each unit of drawing is queued for presentation
    // with a page flip (bench_present.h), never waited for.
    bool sync_present = false;
    bench_present present;
};

struct bench_window {
    int32_t width = 0;
    int32_t height = 0;
    int32_t posx = 0;
    int32_t posy = 0;
};

// The device to open: FRAMEBUFFER when set and not empty, as fbset and other
// framebuffer tools have it, else /dev/fb0.
const char* fb_device_path();

// Reads FBBENCH_TARGET: unset, empty or "device"; "memory"; or
// "memory:WIDTHxHEIGHTxDEPTH". False for anything else.
bool bench_target_parse(const char* text, bench_target& target);

// What FBBENCH_SYNC asks after each unit of drawing: nothing, a flush that
// waits for the kernel, or a page flip that asks for an event and is not
// waited for.
enum class bench_sync { none, frame, present };

// Reads FBBENCH_SYNC: unset, empty or "none", "frame" or "present". False
// for anything else.
bool bench_sync_parse(const char* text, bench_sync& sync);

// Makes sure descriptors 0, 1 and 2 are open, so that the device never
// becomes standard input, output or error: a closed one is filled with a
// descriptor that takes no reads or writes, so that a report sent there
// fails instead of landing in screen memory.
void bench_std_fds_reserve();

// Reads FBBENCH_TARGET, FBBENCH_HOLD, FBBENCH_SYNC and FBBENCH_DEPTH, then opens the device read-write,
// takes an exclusive lock on it and queries its screen (for a target of a
// given shape, no device is opened and the screen has that shape). A DRM
// card (fb_device_kind_of) is set up through drm_screen_open. Screens below 8 bits per pixel,
// and screens whose size in bits does not fit 32 bits, are refused. Returns 0,
// or an exit status after one line on standard error; on failure nothing
// stays open.
int fb_screen_open(fb_screen& screen);

// The four window variables as set; nullptr for one that is not.
struct bench_window_texts {
    const char* width = nullptr;
    const char* height = nullptr;
    const char* posx = nullptr;
    const char* posy = nullptr;
};

// WIDTH, HEIGHT, POSX and POSY from the environment.
bench_window_texts bench_window_texts_read();

// The window the texts give on a screen whose visible size is vinfo's xres
// and yres: each value as atoi reads it, the screen size and (0, 0) where a
// text is missing. False, with message set to one line, for a value beyond
// 32 bits or a window the screen cannot hold.
bool bench_window_compute(const bench_window_texts& texts, const fb_var_screeninfo& vinfo, bench_window& window,
                          std::string& message);

// Reads WIDTH, HEIGHT, POSX and POSY as atoi does, with the screen size and
// (0, 0) as defaults, and refuses values beyond 32 bits and windows the
// screen cannot hold. Returns 0, or bench_exit_window after one line on
// standard error.
int bench_window_read(const fb_var_screeninfo& vinfo, bench_window& window);

// Maps the whole screen for writing (for a DRM device, the dumb buffer, which
// it then shows); for a memory target, maps ordinary memory of the same length
// instead, its pages faulted in before the clock starts. Returns 0, or
// bench_exit_resource after one line on standard error.
int fb_screen_map(fb_screen& screen);

// The screen as a window sees it: vinfo with the visible width and height.
inline fb_var_screeninfo fb_screen_visible(const fb_screen& screen)
{
    fb_var_screeninfo visible = screen.vinfo;
    visible.xres = screen.visible_xres;
    visible.yres = screen.visible_yres;
    return visible;
}

// How a drawn window reaches the display: nothing to do (a memory target, or
// no device open), fsync on a framebuffer, a dirty request on DRM.
enum class fb_flush_method { none, fsync, dirtyfb };
fb_flush_method fb_screen_flush_method(const fb_screen& screen);

// Pushes the drawn window to the display and waits until the kernel has
// taken it. A framebuffer's fsync runs a deferred-I/O update at once and
// returns at once on a direct mapping (which has no fsync: EINVAL); DRM gets
// a dirty request for the window. Returns 0, or the errno of a failed flush.
int fb_screen_flush(const fb_screen& screen, const bench_window& window);

// Ends a run whose flush failed under FBBENCH_SYNC=frame, with no report:
// its figures would not be the display's. Gives the screen back and returns
// bench_exit_resource after one line on standard error.
int fb_bench_flush_fail(fb_screen& screen, int error);

// After the timed part and the report: under FBBENCH_SYNC=present, waits
// for the last flip and writes the flip records; brings the window to a DRM
// display, then keeps the device's screen as it is for FBBENCH_HOLD seconds.
void fb_screen_show(fb_screen& screen, const bench_window& window);

// Unmaps the screen (if mapped), gives a DRM display back as it was, and
// closes the device (if open).
void fb_screen_close(fb_screen& screen);

// The three set-up steps in order; on failure everything acquired is
// released again and the exit status is returned.
int fb_bench_start(fb_screen& screen, bench_window& window);

// Parses one window value with atoi's meaning: leading blanks and a sign,
// digits, trailing text ignored, no digits giving 0. False when the value
// lies outside the 32-bit signed range.
bool bench_value_parse(const char* text, int32_t& value);

// True when every pixel of the window lies on the screen.
bool bench_window_fits(const bench_window& window, const fb_var_screeninfo& vinfo);

// Length of the screen memory in bytes.
inline uint32_t fb_screen_len(const fb_var_screeninfo& vinfo)
{
    return (vinfo.xres * vinfo.yres * vinfo.bits_per_pixel) >> 3;
}

// Byte offset of byte 0 of window pixel (x, y) from the start of the screen.
// Rows are addressed from the visible width; each product is formed in 32-bit
// unsigned arithmetic and shifted on its own.
inline uint32_t fb_pixel_offset(const fb_var_screeninfo& vinfo, const bench_window& window, uint32_t x, uint32_t y)
{
    const uint32_t bpp = vinfo.bits_per_pixel;
    return ((vinfo.xres * (uint32_t(window.posy) + y) * bpp) >> 3) + (((uint32_t(window.posx) + x) * bpp) >> 3);
}

// Flushes the report: 0, or bench_exit_resource after one line on standard
// error when standard output could not take it (a full disk, a closed pipe),
// so that a lost report does not pass for a completed run.
int bench_report_flush();

inline timeval wall_clock_now()
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    return tv;
}
