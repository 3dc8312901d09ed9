#include "bench_present.h"

#include "bench_error.h"

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <xf86drm.h>

int bench_present_read(bench_present& present)
{
    const char* text = std::getenv("FBBENCH_PRESENT_FD");
    int fd = -1;
    const char* end = text != nullptr ? text + std::strlen(text) : nullptr;
    const bool number = text != nullptr && *text != '\0' && std::from_chars(text, end, fd).ptr == end && fd > 2;
    const int flags = number ? fcntl(fd, F_GETFL) : -1;
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY)
        return bench_fail(bench_exit_window, "FBBENCH_SYNC=present needs FBBENCH_PRESENT_FD, a descriptor above 2 "
                          "open for writing (FBBENCH_PRESENT_FD=%s)", text != nullptr ? bench_text_escape(text).c_str() : "unset");
    // The programs' own descriptors must not reach what they start.
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    present.out_fd = fd;
    return 0;
}

int bench_present_start(bench_present& present, int drm_fd, uint32_t crtc_id, uint32_t fb_id)
{
    const size_t len = sizeof(bench_flip_record) * bench_present_records_max;
    // Faulted in now: the drawing takes no page faults for them.
    void* records = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (records == MAP_FAILED)
        return bench_fail(bench_exit_resource, "cannot allocate %zu bytes for the flip records: %s", len,
                          std::strerror(errno));
    present.records = static_cast<bench_flip_record*>(records);
    present.drm_fd = drm_fd;
    present.crtc_id = crtc_id;
    present.fb_id = fb_id;
    return 0;
}

// Reads the events waiting, waiting at most timeout_ms for the first.
static void present_drain(bench_present& present, int timeout_ms)
{
    pollfd ready = {present.drm_fd, POLLIN, 0};
    if (poll(&ready, 1, timeout_ms) <= 0 || (ready.revents & POLLIN) == 0)
        return;
    alignas(drm_event_vblank) char buffer[1024];
    const ssize_t len = read(present.drm_fd, buffer, sizeof buffer);
    for (ssize_t at = 0; len > 0 && at + ssize_t(sizeof(drm_event)) <= len;) {
        drm_event header;
        std::memcpy(&header, buffer + at, sizeof header);
        if (header.length < sizeof header || at + ssize_t(header.length) > len)
            break;
        if (header.type == DRM_EVENT_FLIP_COMPLETE && header.length >= sizeof(drm_event_vblank)) {
            drm_event_vblank event;
            std::memcpy(&event, buffer + at, sizeof event);
            present.pending = false;
            ++present.events;
            if (present.record_count < bench_present_records_max)
                present.records[present.record_count++] = {event.tv_sec, event.tv_usec, event.sequence};
        }
        at += header.length;
    }
}

void bench_present_unit(bench_present& present)
{
    ++present.units;
    if (present.records == nullptr)
        return;
    if (present.pending)
        present_drain(present, 0);
    if (present.pending || present.flip_errno != 0)
        return;
    // The same buffer again: the stores and the picture stay the program's;
    // the flip only asks the display to say when it shows them.
    drm_mode_crtc_page_flip flip{};
    flip.crtc_id = present.crtc_id;
    flip.fb_id = present.fb_id;
    flip.flags = DRM_MODE_PAGE_FLIP_EVENT;
    flip.user_data = present.units;
    if (ioctl(present.drm_fd, DRM_IOCTL_MODE_PAGE_FLIP, &flip) == 0) {
        present.pending = true;
        ++present.queued;
    } else if (errno == EBUSY) {
        ++present.busy;
    } else if (errno != EINTR) {
        present.flip_errno = errno;
    }
}

// Appends to text as snprintf would, counting what did not fit.
[[gnu::format(printf, 4, 5)]] static void text_put(char* text, size_t size, size_t& used, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(used < size ? text + used : nullptr, used < size ? size - used : 0, format, args);
    va_end(args);
    used += n > 0 ? size_t(n) : 0;
}

size_t bench_present_format(const bench_present& present, char* text, size_t size)
{
    size_t used = 0;
    text_put(text, size, used, "fbbench-present 1\nunits %llu\nqueued %llu\nbusy %llu\nevents %llu\nkept %zu\n",
        static_cast<unsigned long long>(present.units), static_cast<unsigned long long>(present.queued),
        static_cast<unsigned long long>(present.busy), static_cast<unsigned long long>(present.events),
        present.record_count);
    if (present.flip_errno != 0)
        text_put(text, size, used, "error %s\n", std::strerror(present.flip_errno));
    for (size_t i = 0; i < present.record_count; ++i)
        text_put(text, size, used, "flip %u %06u %u\n", present.records[i].tv_sec, present.records[i].tv_usec, present.records[i].sequence);
    return used;
}

int bench_present_finish(bench_present& present)
{
    // A flip is shown at the next vblank: a second is many frames of any display.
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (present.pending && present.records != nullptr) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long waited_ms = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (waited_ms >= 1000)
            break;
        present_drain(present, int(1000 - waited_ms));
    }
    int error = 0;
    if (present.out_fd >= 0) {
        const size_t len = bench_present_format(present, nullptr, 0);
        char* text = static_cast<char*>(std::malloc(len + 1));
        if (text == nullptr) {
            error = ENOMEM;
        } else {
            bench_present_format(present, text, len + 1);
            for (size_t done = 0; done < len && error == 0;) {
                const ssize_t n = write(present.out_fd, text + done, len - done);
                if (n > 0)
                    done += size_t(n);
                else if (n < 0 && errno != EINTR)
                    error = errno;
            }
            std::free(text);
        }
        close(present.out_fd);
        present.out_fd = -1;
    }
    if (present.records != nullptr)
        munmap(present.records, sizeof(bench_flip_record) * bench_present_records_max);
    present.records = nullptr;
    return error;
}
