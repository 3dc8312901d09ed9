// The presented target: the screen with each unit of drawing queued for the
// display with a page flip that asks for an event (FBBENCH_SYNC=present), on
// a DRM card whose description measured vblank events. The programs write
// the flips' events to a descriptor fbbench gives them; from the kernel's
// timestamps and vblank numbers come the frames presented and the vblanks
// missed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What a program wrote of its flips (bench_present.h).
struct presented_record {
    uint64_t units = 0; // units of drawing done
    uint64_t queued = 0; // flips the kernel took
    uint64_t busy = 0; // flips refused as busy
    uint64_t events = 0; // flip events read; only the first records_kept are kept
    std::string error; // the flip failed: no more were asked for
    std::vector<int64_t> timestamps_us; // the kernel's, one per kept event
    std::vector<uint32_t> sequences; // the vblank counter's, one per kept event
};

// Parses the text written. False, with error set, for anything else.
bool presented_parse(const std::string& text, presented_record& record, std::string& error);

// kms_flip's rules: an interval more than this fraction off the frame time
// is flagged; fewer than this share of elapsed time x refresh presented
// means frames were lost.
inline constexpr double presented_interval_tolerance = 0.005;
inline constexpr double presented_frames_share = 0.99;

// A run's figures, from its kernel timestamps and vblank numbers.
struct presented_figures {
    uint64_t units = 0;
    uint64_t flips = 0; // presented: flip events
    double refresh_hz = 0; // the measured refresh the intervals are held to
    double elapsed_seconds = 0; // from the first flip's vblank to the last's
    double frames_per_second = 0; // the intervals between presented flips, a second
    double interval_median_ms = 0;
    double interval_p99_ms = 0;
    double interval_spread_percent = 0; // (longest - shortest) / median
    uint64_t intervals_flagged = 0;
    uint64_t vblanks = 0; // the counter's advance from the first flip to the last
    uint64_t missed_vblanks = 0; // vblanks that showed no new frame
    bool frames_lost = false;
};

// Why a run's events measure nothing: the flip failed, none or one was
// presented, or the vblank counter does not move or runs behind the flips
// (vblank events that the driver fakes). Empty when they measure.
std::string presented_fault(const presented_record& record);

// The figures of a run without fault.
presented_figures presented_compute(const presented_record& record, double refresh_hz);

