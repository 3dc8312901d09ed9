// FBBENCH_SYNC=present: after each unit of drawing on a DRM display, the
// dumb buffer is queued again with a page flip that asks for an event, so
// that the display says which vblank showed it. The drawing never waits for
// the display: a unit drawn while a flip is pending is drawn but not
// presented. The flips' events are kept in memory taken before the timed
// part and written, after it, to the descriptor the runner named in
// FBBENCH_PRESENT_FD.
#pragma once

#include <cstddef>
#include <cstdint>

// The kernel's words on one flip: the vblank's timestamp and its number.
struct bench_flip_record {
    uint32_t tv_sec = 0;
    uint32_t tv_usec = 0;
    uint32_t sequence = 0;
};

// A rectangle run at 60 Hz presents 300 flips; a Sierpinski ladder of a slow
// board some thousands. Beyond this the flips are counted, not kept.
inline constexpr size_t bench_present_records_max = 16384;

struct bench_present {
    int out_fd = -1; // FBBENCH_PRESENT_FD
    int drm_fd = -1;
    uint32_t crtc_id = 0;
    uint32_t fb_id = 0;
    bool pending = false; // a flip is queued and its event not yet read
    int flip_errno = 0; // the flip failed other than EBUSY: no more are asked for
    uint64_t units = 0; // units of drawing done
    uint64_t queued = 0; // flips the kernel took
    uint64_t busy = 0; // flips refused with EBUSY: the display still had one
    uint64_t events = 0; // flip events read
    bench_flip_record* records = nullptr; // bench_present_records_max of them
    size_t record_count = 0;
};

// Reads FBBENCH_PRESENT_FD: a descriptor open for writing. Returns 0, or
// bench_exit_window after one line on standard error.
int bench_present_read(bench_present& present);

// Takes the memory for the records, before the clock starts. Returns 0, or
// bench_exit_resource after one line on standard error.
int bench_present_start(bench_present& present, int drm_fd, uint32_t crtc_id, uint32_t fb_id);

// After a unit of drawing: reads the events that are there without waiting,
// then queues a flip unless one is pending.
void bench_present_unit(bench_present& present);

// After the timed part: waits a bounded time for the last pending flip,
// writes the records and closes the descriptor. Returns 0, or the errno of
// a failed write.
int bench_present_finish(bench_present& present);

// The text written: "fbbench-present 1", then "units N", "queued N",
// "busy N", "events N", "kept N", "error TEXT" when a flip failed, and one
// "flip SEC USEC SEQUENCE" line per kept event, each line ending in "\n".
// Returns the length needed, as snprintf does; the text is cut at size.
size_t bench_present_format(const bench_present& present, char* text, size_t size);
