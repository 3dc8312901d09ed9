// DRM (KMS) displays: a dumb buffer that a CRTC scans out, shown to the
// drawing code as a 16-bit (RGB565) or 32-bit (XRGB8888) screen whose rows
// lie the buffer's pitch apart.
#pragma once

#include "display_release.h"

#include <cstdint>
#include <linux/fb.h>
#include <string>
#include <vector>
#include <xf86drmMode.h>

// What the choice needs to know of a card, as the driver reports it.
struct drm_connector_state {
    uint32_t id = 0;
    uint32_t type = 0; // DRM_MODE_CONNECTOR_*, with type_id naming it ("Virtual-1")
    uint32_t type_id = 0;
    bool connected = false;
    uint32_t encoder_id = 0; // the encoder in use, 0 when none
    std::vector<drmModeModeInfo> modes;
    std::vector<uint32_t> encoder_ids; // the encoders it can use
};

struct drm_encoder_state {
    uint32_t id = 0;
    uint32_t crtc_id = 0; // the CRTC in use, 0 when none
    uint32_t possible_crtcs = 0; // bit i: crtcs[i] of the card
};

struct drm_crtc_state {
    uint32_t id = 0;
    bool mode_valid = false; // the CRTC is scanning out
    drmModeModeInfo mode{};
};

struct drm_card_state {
    std::vector<drm_connector_state> connectors;
    std::vector<drm_encoder_state> encoders;
    std::vector<drm_crtc_state> crtcs; // in the driver's order, which possible_crtcs counts in
};

enum drm_choice_result { drm_choice_made, drm_choice_no_connector, drm_choice_no_crtc };

struct drm_choice {
    size_t connector = 0; // index into the card's connectors
    uint32_t connector_id = 0;
    uint32_t crtc_id = 0;
    drmModeModeInfo mode{};
    // The connectors the CRTC drives now; they are given back to it at close.
    std::vector<uint32_t> crtc_connector_ids;
};

// The first connected connector that has a mode; the mode its CRTC shows, else
// its preferred mode, else its first; the CRTC it uses, else the first one its
// encoders allow that nothing uses, else the first one they allow.
drm_choice_result drm_card_choose(const drm_card_state& card, drm_choice& choice);

// The screen the drawing code sees for a mode shown from a buffer of the given
// pitch, size and depth (16: RGB565, 32: XRGB8888): xres is the pitch in
// pixels, so that rows are addressed by the pitch, and yres the mode's height.
// False when the pitch cannot hold a row of the mode in whole pixels, or the
// buffer the rows.
bool drm_screen_geometry(const drmModeModeInfo& mode, uint32_t pitch, uint64_t size, uint32_t bits_per_pixel,
                         fb_var_screeninfo& vinfo);

// The variable that chooses the dumb buffer's depth over the driver's.
#define DRM_DEPTH_VARIABLE "FBBENCH_DEPTH"

// Reads FBBENCH_DEPTH's value (nullptr: unset): unset or empty (0: the
// driver's choice), 16 or 32. Returns empty, or the one line that refuses it.
std::string drm_depth_check(const char* text, uint32_t& depth);

// The dumb buffer's depth: the one asked for, else the driver's preferred
// depth when it answers 16, else 32 (for 24, 32, 0 or no answer).
uint32_t drm_depth_choose(uint32_t asked, bool answered, uint64_t preferred_depth);

// The depth the driver prefers for dumb buffers, as drm_depth_choose takes it
// (DRM_CAP_DUMB_PREFERRED_DEPTH, for FBBENCH_DEPTH's value asked).
uint32_t drm_card_depth(int fd, uint32_t asked);

// The formats of the primary plane that can scan out of the CRTC with the
// given index among the card's; empty when none is found or the card cannot
// tell. Leaves the client's universal-planes capability on.
std::vector<uint32_t> drm_primary_formats(int fd, size_t crtc_index);

// "RGB565, XRGB8888".
std::string drm_format_names(const std::vector<uint32_t>& formats);

// "800x480@60".
std::string drm_mode_name(const drmModeModeInfo& mode);

// "Virtual-1", "HDMI-A-2".
std::string drm_connector_name(const drm_connector_state& connector);

// The CRTC's state before it was set, put back at close.
struct drm_crtc_saved {
    uint32_t fb_id = 0;
    uint32_t x = 0;
    uint32_t y = 0;
    bool mode_valid = false;
    drmModeModeInfo mode{};
};

// A DRM display in use. The device descriptor belongs to the caller.
struct drm_screen {
    int fd = -1;
    std::string device; // every message names it
    bool master = false;
    drm_choice choice;
    uint32_t handle = 0; // the dumb buffer, 0 when none
    uint32_t bits_per_pixel = 32; // 16: RGB565, 32: XRGB8888
    uint32_t pitch = 0;
    uint64_t size = 0;
    uint32_t fb_id = 0; // the framebuffer made of it, 0 when none
    void* map = nullptr;
    size_t map_len = 0;
    drm_crtc_saved saved;
    bool scanning_out = false; // the CRTC shows the dumb buffer
};

// Reads the connectors, encoders and CRTCs of the card open on fd. Returns 0,
// or errno after libdrm failed.
int drm_card_read(int fd, drm_card_state& card);

// Becomes DRM master of the device open on fd, chooses the connector, mode and
// CRTC, and creates a dumb buffer of the mode's size, at the depth asked for
// (FBBENCH_DEPTH: 16 or 32, 0 for none) or else the driver's preferred one
// (drm_card_depth); a 16-bit buffer needs RGB565 among the primary plane's
// formats. vinfo receives the screen that buffer makes (drm_screen_geometry).
// The display is left as it is. Returns 0, or bench_exit_resource after one
// line on standard error; on failure nothing stays acquired.
int drm_screen_open(drm_screen& drm, int fd, const char* device, uint32_t depth_asked, fb_var_screeninfo& vinfo);

// Maps the dumb buffer for writing and sets the CRTC to scan it out, saving
// what it showed. From then until drm_screen_close the display is taken
// (display_release_take): SIGINT, SIGTERM and SIGHUP (unless ignored) put
// back what the CRTC showed, remove the framebuffer, destroy the dumb buffer
// and drop master, and then end the program by that signal, unless the mode
// set says otherwise. Returns 0, or bench_exit_resource after one line on
// standard error; on failure the display is as it was, and drm_screen_close
// gives back what was acquired.
int drm_screen_map(drm_screen& drm);

// Asks the driver to bring the rectangle at (x, y) to the display: displays
// that do not refresh themselves show a dumb buffer only after such a request.
// Returns 0 or the errno; ENOSYS means the driver has no dirty hook, so no
// request is needed, which the caller that only wants the picture shown takes
// as done. The caller says what failed.
int drm_screen_flush(const drm_screen& drm, uint32_t x, uint32_t y, uint32_t width, uint32_t height);

// Puts the CRTC's previous framebuffer, position, mode and connectors back,
// unmaps and removes the framebuffer, destroys the dumb buffer and drops
// master: whatever of these was acquired, in this order
// (display_release_give_back). The descriptor stays open.
void drm_screen_close(drm_screen& drm);
