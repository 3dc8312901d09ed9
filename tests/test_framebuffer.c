/*
 * A framebuffer device for tests, loaded with LD_PRELOAD in front of the C
 * library. It answers open, fstat, ioctl, mmap, munmap, fsync and close for one
 * device path and can stand in for gettimeofday with a virtual clock.
 * Everything else is passed on to the C library. It answers as Linux does,
 * under a 32-bit or a 64-bit kernel, and takes the calls of programs built
 * with 32-bit or 64-bit offsets and time: a 32-bit build with
 * _FILE_OFFSET_BITS=64 and _TIME_BITS=64 calls open64, mmap64,
 * __fstat64_time64, __ioctl_time64 and __gettimeofday64; a library built
 * without them (libdrm) calls ioctl all the same.
 *
 * Environment:
 *   TEST_FB_DEVICE       path served (default /dev/fb0)
 *   TEST_FB_BACKING      file behind the device's descriptor, so that a test
 *                        can hold its lock (default: a fresh memory file)
 *   TEST_FB_SCREEN       XRESxYRESxBPP (default 64x48x32)
 *   TEST_FB_DRM          1: the device is a DRM card instead, with one
 *                        connector showing an XRESxYRES mode, whose dumb
 *                        buffer's pitch is rounded up to 256 bytes; busy:
 *                        another process is DRM master; disconnected: no
 *                        display is connected; nodirty: its framebuffers
 *                        have no dirty hook, so dirty requests fail with
 *                        ENOSYS, as vkms's do; vkms: as nodirty, with
 *                        vblank events and page flips on a virtual 60 Hz
 *                        vblank clock whose counter advances, as vkms's;
 *                        stuck: as vkms, but every event carries the same
 *                        sequence number (a counter that does not move).
 *                        Any other value has no vblank support: vblank waits
 *                        fail with EOPNOTSUPP and a page flip's event comes
 *                        at once with sequence 0, as the kernel fakes them
 *   TEST_FB_DRM_DRIVER   with TEST_FB_DRM, the card's preferred dumb-buffer
 *                        depth (DRM_CAP_DUMB_PREFERRED_DEPTH) and its primary
 *                        plane's formats, as Linux 6.1's drivers give them:
 *                        unset or virtio_gpu: 0, XRGB8888 only (unset with
 *                        TEST_FB_DRM=vkms or stuck: vkms); vkms: 0,
 *                        XRGB8888, XRGB16161616 and RGB565; mipi-dbi (SPI
 *                        panels): 16, RGB565 and XRGB8888. Each card also has
 *                        a cursor plane (ARGB8888). Dumb buffers take 16 or
 *                        32 bits per pixel, and framebuffers depth 16 at 16
 *                        bits or 24 at 32
 *   TEST_FB_NODE         what fstat says the device is: unset, a character
 *                        device of major 29 (a framebuffer) or, with
 *                        TEST_FB_DRM, 226 (a DRM card); neither: a character
 *                        device of major 1 (/dev/null's); file: a regular
 *                        file. Every ioctl on a node of neither kind fails
 *                        with ENOTTY
 *   TEST_FB_KERNEL       32 (default) or 64: the kernel answered as. Under 64,
 *                        a 32-bit program's FBIOGET_VSCREENINFO on a DRM card
 *                        reaches DRM's compat DRM_IOCTL_VERSION, returns 0
 *                        and leaves the version's fields in the screen
 *                        information (0 bits per pixel); dumb buffers' map
 *                        offsets lie at 4 GiB and above (32: at 256 MiB), and
 *                        mmap takes only the offset given, all 64 bits of it
 *   TEST_FB_FILL         byte value the screen memory starts with (default 170)
 *   TEST_FB_FAIL         open, query or map: that step fails; flush: the
 *                        device's fsync and DRM dirty requests fail with EIO
 *   TEST_FB_DUMP         file that receives the screen memory at munmap
 *   TEST_FB_LOG          file that receives one line per device call (fsync and
 *                        DRM dirty requests among them), and at exit the
 *                        number of clock readings
 *   TEST_FB_CLOCK_STEP   microseconds the virtual clock advances per reading,
 *                        or a schedule STEP:COUNT,STEP:COUNT,...,STEP whose
 *                        last step repeats; unset: the real clock
 *   TEST_FB_CLOCK_START  first reading of the virtual clock, in microseconds
 *
 * A device that would become standard input, output or error ends the
 * program at once.
 *
 * Screen memory ends exactly at an inaccessible guard page and starts just
 * after one, so a store past the end faults at once; the few bytes between
 * the leading guard page and the start are checked at munmap.
 */
/* The interposed functions are the C library's own, of each offset and time
 * size: none of them is renamed. */
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <drm.h>
#include <drm_fourcc.h>
#include <drm_mode.h>
#include <linux/fb.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

static int fb_fd = -1;
static unsigned char* screen_base;
static size_t screen_len;
static unsigned char* region;
static size_t region_len;
static unsigned long clock_readings;
static int clock_used;

static void* next_symbol(const char* name)
{
    void* symbol = dlsym(RTLD_NEXT, name);
    if (symbol == NULL) {
        fprintf(stderr, "test framebuffer: no %s to pass on to\n", name);
        abort();
    }
    return symbol;
}

/* One write of the whole line, by system calls only: a signal handler's
 * device calls (a DRM display given back) may log while the interrupted main
 * flow is inside a log line of its own, or inside malloc. */
static void log_line(const char* format, ...)
{
    const char* path = getenv("TEST_FB_LOG");
    if (path == NULL)
        return;
    char line[256];
    va_list args;
    va_start(args, format);
    int len = vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (len < 0)
        return;
    if ((size_t)len > sizeof line - 2)
        len = (int)(sizeof line - 2);
    line[len++] = '\n';
    /* Not through this library's own open and close, which look symbols up. */
    const int log = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (log < 0)
        return;
    const ssize_t written = write(log, line, (size_t)len);
    (void)written;
    syscall(SYS_close, log);
}

static int failing(const char* step)
{
    const char* fail = getenv("TEST_FB_FAIL");
    return fail != NULL && strcmp(fail, step) == 0;
}

static void screen_size(unsigned* xres, unsigned* yres, unsigned* bpp)
{
    const char* text = getenv("TEST_FB_SCREEN");
    *xres = 64;
    *yres = 48;
    *bpp = 32;
    if (text != NULL && sscanf(text, "%ux%ux%u", xres, yres, bpp) != 3) {
        fprintf(stderr, "test framebuffer: TEST_FB_SCREEN=%s is not XRESxYRESxBPP\n", text);
        abort();
    }
}

static unsigned char fill_byte(void)
{
    const char* text = getenv("TEST_FB_FILL");
    return text == NULL ? 170 : (unsigned char)strtoul(text, NULL, 0);
}

static int serves(const char* path)
{
    const char* device = getenv("TEST_FB_DEVICE");
    return path != NULL && strcmp(path, device != NULL ? device : "/dev/fb0") == 0;
}

/* Opens a stand-in descriptor for the device, or fails as asked. */
/* The DRM card's master, as the kernel keeps it: the first open of a card
 * with no master becomes master, until it drops master or is closed. */
static int drm_master_fd = -1;

static int drm_card(void);

static int fb_open(void)
{
    log_line("open");
    if (failing("open")) {
        errno = EACCES;
        return -1;
    }
    const char* backing = getenv("TEST_FB_BACKING");
    if (backing != NULL) {
        int (*real_open)(const char*, int, ...) = next_symbol("open");
        fb_fd = real_open(backing, O_RDWR | O_CLOEXEC);
    } else {
        fb_fd = memfd_create("test-framebuffer", MFD_CLOEXEC);
    }
    if (fb_fd >= 0 && drm_card() && drm_master_fd < 0)
        drm_master_fd = fb_fd;
    if (fb_fd >= 0 && fb_fd <= 2) {
        fprintf(stderr, "test framebuffer: the device became descriptor %d\n", fb_fd);
        abort();
    }
    return fb_fd;
}

static int open_mode_path(const char* path, int flags, mode_t mode, const char* name)
{
    if (serves(path))
        return fb_open();
    int (*real)(const char*, int, ...) = next_symbol(name);
    return real(path, flags, mode);
}

static mode_t mode_argument(int flags, va_list args)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

EXPORT int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    return open_mode_path(path, flags, mode, "open");
}

EXPORT int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    return open_mode_path(path, flags, mode, "open64");
}

EXPORT int __open_2(const char* path, int flags)
{
    if (serves(path))
        return fb_open();
    int (*real)(const char*, int) = next_symbol("__open_2");
    return real(path, flags);
}

EXPORT int __open64_2(const char* path, int flags)
{
    if (serves(path))
        return fb_open();
    int (*real)(const char*, int) = next_symbol("__open64_2");
    return real(path, flags);
}

static int openat_mode_path(int dir, const char* path, int flags, mode_t mode, const char* name)
{
    if (serves(path))
        return fb_open();
    int (*real)(int, const char*, int, ...) = next_symbol(name);
    return real(dir, path, flags, mode);
}

EXPORT int openat(int dir, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    return openat_mode_path(dir, path, flags, mode, "openat");
}

EXPORT int openat64(int dir, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    return openat_mode_path(dir, path, flags, mode, "openat64");
}

EXPORT int __openat_2(int dir, const char* path, int flags)
{
    if (serves(path))
        return fb_open();
    int (*real)(int, const char*, int) = next_symbol("__openat_2");
    return real(dir, path, flags);
}

static int drm_card(void)
{
    return getenv("TEST_FB_DRM") != NULL;
}

static int kernel_64(void)
{
    const char* bits = getenv("TEST_FB_KERNEL");
    if (bits == NULL || strcmp(bits, "32") == 0)
        return 0;
    if (strcmp(bits, "64") == 0)
        return 1;
    fprintf(stderr, "test framebuffer: TEST_FB_KERNEL=%s is not 32 or 64\n", bits);
    abort();
}

/* A 32-bit program under a 64-bit kernel takes the kernel's compat paths. */
static int compat_task(void)
{
    return kernel_64() && sizeof(void*) == 4;
}

/* Where DRM places the map offsets of its objects: past the first 4 GiB
 * under a 64-bit kernel, past the first 256 MiB under a 32-bit one
 * (DRM_FILE_PAGE_OFFSET_START). */
static uint64_t drm_map_offset(void)
{
    return kernel_64() ? 0x100000000ull + 0x100000 : 0x10000000ull;
}

/* The node fstat reports: 0 to leave the backing file's answer. */
static int node_kind(mode_t* mode, dev_t* rdev)
{
    const char* node = getenv("TEST_FB_NODE");
    if (node != NULL && strcmp(node, "file") == 0)
        return 0;
    *mode = S_IFCHR | 0660;
    if (node != NULL && strcmp(node, "neither") == 0)
        *rdev = makedev(1, 3);
    else if (node == NULL)
        *rdev = drm_card() ? makedev(226, 0) : makedev(29, 0);
    else {
        fprintf(stderr, "test framebuffer: TEST_FB_NODE=%s is not neither or file\n", node);
        abort();
    }
    return 1;
}

/* A node of neither kind, which no framebuffer or DRM ioctl reaches. */
static int node_neither(void)
{
    return getenv("TEST_FB_NODE") != NULL;
}

/* The bits per pixel of the last dumb buffer made. */
static uint32_t dumb_bpp = 32;

static uint32_t drm_pitch(void)
{
    unsigned xres, yres, bpp;
    screen_size(&xres, &yres, &bpp);
    return (xres * (dumb_bpp / 8) + 255) / 256 * 256;
}

struct drm_driver_answers {
    uint64_t preferred_depth;
    uint32_t formats[3];
    uint32_t format_count;
};

static int drm_mode_is(const char* mode)
{
    const char* drm = getenv("TEST_FB_DRM");
    return drm != NULL && strcmp(drm, mode) == 0;
}

static struct drm_driver_answers drm_driver(void)
{
    const char* name = getenv("TEST_FB_DRM_DRIVER");
    /* A vkms card answers as vkms unless told otherwise. */
    if (name == NULL && (drm_mode_is("vkms") || drm_mode_is("stuck")))
        name = "vkms";
    if (name == NULL || strcmp(name, "virtio_gpu") == 0)
        return (struct drm_driver_answers){0, {DRM_FORMAT_XRGB8888}, 1};
    if (strcmp(name, "vkms") == 0)
        return (struct drm_driver_answers){0, {DRM_FORMAT_XRGB8888, DRM_FORMAT_XRGB16161616, DRM_FORMAT_RGB565}, 3};
    if (strcmp(name, "mipi-dbi") == 0)
        return (struct drm_driver_answers){16, {DRM_FORMAT_RGB565, DRM_FORMAT_XRGB8888}, 2};
    fprintf(stderr, "test framebuffer: TEST_FB_DRM_DRIVER=%s is not virtio_gpu, vkms or mipi-dbi\n", name);
    abort();
}

/* Copies up to count values into a list the caller sized, and sets count to
 * how many there are, as the kernel does. */
static void drm_list_put(uint64_t ptr, uint32_t* count, const uint32_t* values, uint32_t n)
{
    if (ptr != 0)
        memcpy((void*)(uintptr_t)ptr, values, (*count < n ? *count : n) * sizeof *values);
    *count = n;
}

/* The vblank clock: CLOCK_MONOTONIC, as DRM_CAP_TIMESTAMP_MONOTONIC says
 * the kernel's timestamps are, one vblank every 1/60 s from the first use. */
static const uint64_t vblank_period_ns = 16666667;
static uint64_t vblank_epoch_ns;

static uint64_t monotonic_ns(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
}

static int drm_has_vblank(void)
{
    return drm_mode_is("vkms") || drm_mode_is("stuck");
}

/* The number of vblanks since the epoch at time now. */
static uint64_t vblank_count(uint64_t now)
{
    if (vblank_epoch_ns == 0)
        vblank_epoch_ns = now - vblank_period_ns;
    return (now - vblank_epoch_ns) / vblank_period_ns;
}

/* The events the kernel has queued on the card's descriptor, each readable
 * from its time on: a vblank event at its vblank, a flip's at the vblank
 * that shows it. */
struct queued_event {
    uint64_t due_ns;
    uint32_t type;
    uint32_t sequence;
    uint64_t user_data;
};
static struct queued_event drm_events[64];
static unsigned drm_event_count;
static uint64_t flip_due_ns; /* the pending flip's vblank, 0 when none */

static int drm_event_queue(uint64_t due_ns, uint32_t type, uint64_t sequence, uint64_t user_data)
{
    if (drm_event_count == sizeof drm_events / sizeof drm_events[0]) {
        errno = ENOMEM;
        return -1;
    }
    /* A counter that does not move reports the same number every time. */
    const uint32_t reported = drm_mode_is("stuck") ? 1000u : (uint32_t)sequence;
    drm_events[drm_event_count++] = (struct queued_event){due_ns, type, reported, user_data};
    return 0;
}

static int drm_wait_vblank(union drm_wait_vblank* wait)
{
    if (!drm_has_vblank()) {
        errno = EOPNOTSUPP;
        return -1;
    }
    const uint64_t now = monotonic_ns();
    const uint64_t current = vblank_count(now);
    const unsigned type = wait->request.type;
    uint64_t target = (type & _DRM_VBLANK_RELATIVE) != 0 ? current + wait->request.sequence : wait->request.sequence;
    if (target < current)
        target = current;
    const uint64_t due = vblank_epoch_ns + target * vblank_period_ns;
    if ((type & _DRM_VBLANK_EVENT) != 0) {
        if (drm_event_queue(due, DRM_EVENT_VBLANK, target, wait->request.signal) != 0)
            return -1;
        wait->reply.sequence = drm_mode_is("stuck") ? 1000u : (uint32_t)target;
        return 0;
    }
    if (due > now) {
        const struct timespec pause = {(time_t)((due - now) / 1000000000u), (long)((due - now) % 1000000000u)};
        nanosleep(&pause, NULL);
    }
    wait->reply.sequence = drm_mode_is("stuck") ? 1000u : (uint32_t)target;
    wait->reply.tval_sec = (long)(due / 1000000000u);
    wait->reply.tval_usec = (long)(due % 1000000000u / 1000);
    return 0;
}

/* A flip is taken at the next vblank; one asked for while the last is
 * still pending fails with EBUSY. Without vblank support the kernel
 * completes it at once and sends the event with sequence 0. */
static int drm_page_flip(const struct drm_mode_crtc_page_flip* flip)
{
    const uint64_t now = monotonic_ns();
    log_line("page flip %u on crtc %u%s", flip->fb_id, flip->crtc_id,
             (flip->flags & DRM_MODE_PAGE_FLIP_EVENT) != 0 ? ", event" : "");
    if (flip->crtc_id != 31 || flip->fb_id != 7 || (flip->flags & ~(uint32_t)DRM_MODE_PAGE_FLIP_FLAGS) != 0) {
        errno = EINVAL;
        return -1;
    }
    if (flip_due_ns > now) {
        errno = EBUSY;
        return -1;
    }
    uint64_t due = now, sequence = 0;
    if (drm_has_vblank()) {
        sequence = vblank_count(now) + 1;
        due = vblank_epoch_ns + sequence * vblank_period_ns;
    }
    if ((flip->flags & DRM_MODE_PAGE_FLIP_EVENT) != 0
        && drm_event_queue(due, DRM_EVENT_FLIP_COMPLETE, sequence, flip->user_data) != 0)
        return -1;
    flip_due_ns = due;
    return 0;
}

/* The earliest queued event's time, or 0 when none is queued. */
static uint64_t drm_event_next_due(void)
{
    uint64_t next = 0;
    for (unsigned i = 0; i < drm_event_count; ++i)
        if (next == 0 || drm_events[i].due_ns < next)
            next = drm_events[i].due_ns;
    return next;
}

/* A read of the card's descriptor: every event due, as struct
 * drm_event_vblank, in the order queued; it waits for the first. */
static ssize_t drm_events_read(void* buffer, size_t size)
{
    const uint64_t next = drm_event_next_due();
    if (next == 0) {
        errno = EAGAIN;
        return -1;
    }
    uint64_t now = monotonic_ns();
    if (next > now) {
        const struct timespec pause = {(time_t)((next - now) / 1000000000u), (long)((next - now) % 1000000000u)};
        nanosleep(&pause, NULL);
        now = monotonic_ns();
    }
    size_t used = 0;
    unsigned kept = 0;
    for (unsigned i = 0; i < drm_event_count; ++i) {
        const struct queued_event* e = &drm_events[i];
        if (e->due_ns > now || used + sizeof(struct drm_event_vblank) > size) {
            drm_events[kept++] = *e;
            continue;
        }
        struct drm_event_vblank vblank = {
            .base = {.type = e->type, .length = sizeof vblank},
            .user_data = e->user_data,
            .tv_sec = (uint32_t)(e->due_ns / 1000000000u),
            .tv_usec = (uint32_t)(e->due_ns % 1000000000u / 1000),
            .sequence = e->sequence,
            .crtc_id = 31,
        };
        memcpy((char*)buffer + used, &vblank, sizeof vblank);
        used += sizeof vblank;
    }
    drm_event_count = kept;
    return (ssize_t)used;
}

/* poll of the card's descriptor alone: readable once an event is due,
 * waiting for it up to the timeout. */
static int drm_events_poll(struct pollfd* fds, int timeout_ms)
{
    const uint64_t now = monotonic_ns(), next = drm_event_next_due();
    const uint64_t limit = timeout_ms < 0 ? UINT64_MAX : now + (uint64_t)timeout_ms * 1000000u;
    fds->revents = 0;
    const uint64_t until = next != 0 && next < limit ? next : limit;
    if (until > now && until != UINT64_MAX) {
        const struct timespec pause = {(time_t)((until - now) / 1000000000u), (long)((until - now) % 1000000000u)};
        nanosleep(&pause, NULL);
    }
    if (next == 0 || next > limit)
        return 0;
    fds->revents = (short)(fds->events & POLLIN);
    return fds->revents != 0;
}

/* Copies one value into a list the caller sized, as the kernel does. */
#define DRM_LIST_PUT(ptr, count, value) \
    do { if ((ptr) != 0 && (count) >= 1) *(__typeof__(value)*)(uintptr_t)(ptr) = (value); (count) = 1; } while (0)

/* One connector (33) on one encoder (32) on one CRTC (31), showing the
 * console's framebuffer (5); the dumb buffer is handle 6, framebuffer 7. The
 * CRTC's primary plane is 34, its cursor plane 35; their "type" property is 40. */
static int drm_ioctl(unsigned long request, void* argument)
{
    unsigned xres, yres, bpp;
    screen_size(&xres, &yres, &bpp);
    struct drm_mode_modeinfo mode = {.hdisplay = (uint16_t)xres, .vdisplay = (uint16_t)yres, .vrefresh = 60,
                                     .type = DRM_MODE_TYPE_PREFERRED};
    if (request == DRM_IOCTL_VERSION) {
        struct drm_version* version = argument;
        char* texts[] = {version->name, version->date, version->desc};
        for (int i = 0; i < 3; ++i)
            if (texts[i] != NULL)
                memcpy(texts[i], "test", 4);
        version->name_len = version->date_len = version->desc_len = 4;
    } else if (request == DRM_IOCTL_SET_MASTER
               && (strcmp(getenv("TEST_FB_DRM"), "busy") == 0 || (drm_master_fd >= 0 && drm_master_fd != fb_fd))) {
        errno = EBUSY;
        return -1;
    } else if (request == DRM_IOCTL_SET_MASTER) {
        drm_master_fd = fb_fd;
    } else if (request == DRM_IOCTL_MODE_GETRESOURCES) {
        struct drm_mode_card_res* res = argument;
        DRM_LIST_PUT(res->crtc_id_ptr, res->count_crtcs, (uint32_t)31);
        DRM_LIST_PUT(res->encoder_id_ptr, res->count_encoders, (uint32_t)32);
        DRM_LIST_PUT(res->connector_id_ptr, res->count_connectors, (uint32_t)33);
        res->count_fbs = 0;
    } else if (request == DRM_IOCTL_MODE_GETCRTC) {
        *(struct drm_mode_crtc*)argument = (struct drm_mode_crtc){.crtc_id = 31, .fb_id = 5, .mode_valid = 1, .mode = mode};
    } else if (request == DRM_IOCTL_MODE_GETENCODER) {
        *(struct drm_mode_get_encoder*)argument = (struct drm_mode_get_encoder){.encoder_id = 32, .crtc_id = 31, .possible_crtcs = 1};
    } else if (request == DRM_IOCTL_MODE_GETCONNECTOR) {
        struct drm_mode_get_connector* connector = argument;
        DRM_LIST_PUT(connector->modes_ptr, connector->count_modes, mode);
        DRM_LIST_PUT(connector->encoders_ptr, connector->count_encoders, (uint32_t)32);
        connector->count_props = 0;
        connector->encoder_id = 32;
        connector->connector_type = DRM_MODE_CONNECTOR_VIRTUAL;
        connector->connector_type_id = 1;
        connector->connection = strcmp(getenv("TEST_FB_DRM"), "disconnected") == 0 ? 2 : 1;
    } else if (request == DRM_IOCTL_GET_CAP && ((struct drm_get_cap*)argument)->capability == DRM_CAP_DUMB_PREFERRED_DEPTH) {
        ((struct drm_get_cap*)argument)->value = drm_driver().preferred_depth;
    } else if (request == DRM_IOCTL_SET_CLIENT_CAP) {
        const struct drm_set_client_cap* cap = argument;
        if (cap->capability != DRM_CLIENT_CAP_UNIVERSAL_PLANES || cap->value > 1) {
            errno = EINVAL;
            return -1;
        }
    } else if (request == DRM_IOCTL_MODE_GETPLANERESOURCES) {
        struct drm_mode_get_plane_res* res = argument;
        const uint32_t planes[] = {34, 35};
        drm_list_put(res->plane_id_ptr, &res->count_planes, planes, 2);
    } else if (request == DRM_IOCTL_MODE_GETPLANE) {
        struct drm_mode_get_plane* plane = argument;
        const struct drm_driver_answers driver = drm_driver();
        const uint32_t cursor_formats[] = {DRM_FORMAT_ARGB8888};
        if (plane->plane_id != 34 && plane->plane_id != 35) {
            errno = ENOENT;
            return -1;
        }
        plane->possible_crtcs = 1;
        plane->crtc_id = plane->plane_id == 34 ? 31 : 0;
        plane->fb_id = plane->plane_id == 34 ? 5 : 0;
        plane->gamma_size = 0;
        if (plane->plane_id == 34)
            drm_list_put(plane->format_type_ptr, &plane->count_format_types, driver.formats, driver.format_count);
        else
            drm_list_put(plane->format_type_ptr, &plane->count_format_types, cursor_formats, 1);
    } else if (request == DRM_IOCTL_MODE_OBJ_GETPROPERTIES) {
        struct drm_mode_obj_get_properties* properties = argument;
        if (properties->obj_type != DRM_MODE_OBJECT_PLANE || (properties->obj_id != 34 && properties->obj_id != 35)) {
            errno = ENOENT;
            return -1;
        }
        /* The kernel's plane types: 0 overlay, 1 primary, 2 cursor. */
        const uint64_t type = properties->obj_id == 34 ? 1 : 2;
        if (properties->props_ptr != 0 && properties->count_props >= 1) {
            *(uint32_t*)(uintptr_t)properties->props_ptr = 40;
            *(uint64_t*)(uintptr_t)properties->prop_values_ptr = type;
        }
        properties->count_props = 1;
    } else if (request == DRM_IOCTL_MODE_GETPROPERTY) {
        struct drm_mode_get_property* property = argument;
        if (property->prop_id != 40) {
            errno = ENOENT;
            return -1;
        }
        memset(property->name, 0, sizeof property->name);
        strcpy(property->name, "type");
        property->flags = DRM_MODE_PROP_ENUM | DRM_MODE_PROP_IMMUTABLE;
        property->count_values = 0;
        property->count_enum_blobs = 0;
    } else if (request == DRM_IOCTL_MODE_CREATE_DUMB) {
        struct drm_mode_create_dumb* dumb = argument;
        if (dumb->bpp != 16 && dumb->bpp != 32) {
            errno = EINVAL;
            return -1;
        }
        dumb_bpp = dumb->bpp;
        dumb->handle = 6;
        dumb->pitch = drm_pitch();
        dumb->size = (uint64_t)dumb->pitch * dumb->height;
    } else if (request == DRM_IOCTL_MODE_ADDFB) {
        struct drm_mode_fb_cmd* fb = argument;
        if (!(fb->bpp == dumb_bpp && ((fb->bpp == 32 && fb->depth == 24) || (fb->bpp == 16 && fb->depth == 16)))) {
            errno = EINVAL;
            return -1;
        }
        fb->fb_id = 7;
    } else if (request == DRM_IOCTL_MODE_MAP_DUMB) {
        ((struct drm_mode_map_dumb*)argument)->offset = drm_map_offset();
    } else if (request == DRM_IOCTL_MODE_SETCRTC) {
        const struct drm_mode_crtc* crtc = argument;
        log_line("setcrtc fb %u, %u connector(s)", crtc->fb_id, crtc->count_connectors);
    } else if (request == DRM_IOCTL_MODE_DIRTYFB) {
        const struct drm_mode_fb_dirty_cmd* dirty = argument;
        const struct drm_clip_rect* clip = (const struct drm_clip_rect*)(uintptr_t)dirty->clips_ptr;
        log_line("dirtyfb %u: %u,%u to %u,%u", dirty->fb_id, clip->x1, clip->y1, clip->x2, clip->y2);
        if (drm_mode_is("nodirty") || drm_has_vblank()) {
            errno = ENOSYS;
            return -1;
        }
        if (failing("flush")) {
            errno = EIO;
            return -1;
        }
    } else if (request == DRM_IOCTL_WAIT_VBLANK) {
        return drm_wait_vblank(argument);
    } else if (request == DRM_IOCTL_MODE_PAGE_FLIP) {
        return drm_page_flip(argument);
    } else if (request == DRM_IOCTL_MODE_RMFB) {
        log_line("rmfb %u", *(unsigned*)argument);
    } else if (request == DRM_IOCTL_MODE_DESTROY_DUMB) {
        log_line("destroy dumb %u", ((struct drm_mode_destroy_dumb*)argument)->handle);
    } else if (request == DRM_IOCTL_DROP_MASTER) {
        log_line("drop master");
        if (drm_master_fd == fb_fd)
            drm_master_fd = -1;
    } else if (compat_task() && _IOC_NR(request) == 0) {
        /* DRM's compat table is indexed by the number alone: number 0 is
         * DRM_IOCTL_VERSION, whose 32-bit struct (nine 32-bit fields, no
         * strings asked for) is written over whatever the caller passed. */
        const uint32_t version32[9] = {0, 1, 0, 4, 0, 4, 0, 4, 0};
        memcpy(argument, version32, sizeof version32);
    } else if (request != DRM_IOCTL_SET_MASTER) {
        errno = ENOTTY;
        return -1;
    }
    return 0;
}

static int fb_ioctl(int fd, unsigned long request, void* argument, const char* name)
{
    if (fd >= 0 && fd == drm_master_fd && fd != fb_fd && request == DRM_IOCTL_DROP_MASTER) {
        /* an earlier descriptor of the card, still master */
        drm_master_fd = -1;
        return 0;
    }
    if (fd != fb_fd || fd < 0) {
        int (*real_ioctl)(int, unsigned long, ...) = next_symbol(name);
        return real_ioctl(fd, request, argument);
    }
    if (node_neither()) {
        log_line("ioctl %#lx", request);
        errno = ENOTTY;
        return -1;
    }
    if (drm_card())
        return drm_ioctl(request, argument);
    log_line("ioctl %#lx", request);
    if (request == FBIOGET_FSCREENINFO && !failing("query")) {
        struct fb_fix_screeninfo* fix = argument;
        unsigned xres, yres, bpp;
        screen_size(&xres, &yres, &bpp);
        memset(fix, 0, sizeof *fix);
        strcpy(fix->id, "test fb");
        fix->line_length = (xres * bpp) >> 3;
        fix->smem_len = fix->line_length * yres;
        return 0;
    }
    if (request != FBIOGET_VSCREENINFO || failing("query")) {
        errno = request != FBIOGET_VSCREENINFO ? ENOTTY : EINVAL;
        return -1;
    }
    struct fb_var_screeninfo* vinfo = argument;
    memset(vinfo, 0, sizeof *vinfo);
    screen_size(&vinfo->xres, &vinfo->yres, &vinfo->bits_per_pixel);
    vinfo->xres_virtual = vinfo->xres;
    vinfo->yres_virtual = vinfo->yres;
    return 0;
}

EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    return fb_ioctl(fd, request, argument, "ioctl");
}

/* A 32-bit build with 64-bit time (glibc 2.34 and later). */
EXPORT int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    return fb_ioctl(fd, request, argument, "__ioctl_time64");
}

/* Sets the node's type and number in a stat buffer of any layout. */
#define NODE_MARK(buffer) \
    do { mode_t mode; dev_t rdev; if (node_kind(&mode, &rdev)) { (buffer)->st_mode = mode; (buffer)->st_rdev = rdev; } } while (0)

EXPORT int fstat(int fd, struct stat* buffer)
{
    int (*real)(int, struct stat*) = next_symbol("fstat");
    const int result = real(fd, buffer);
    if (result == 0 && fd == fb_fd && fd >= 0)
        NODE_MARK(buffer);
    return result;
}

EXPORT int fstat64(int fd, struct stat64* buffer)
{
    int (*real)(int, struct stat64*) = next_symbol("fstat64");
    const int result = real(fd, buffer);
    if (result == 0 && fd == fb_fd && fd >= 0)
        NODE_MARK(buffer);
    return result;
}

/* The 64-bit time stat of a 32-bit build: its layout is that of struct stat
 * under _TIME_BITS=64, which test_framebuffer_time64.c knows. */
void test_fb_stat_time64_mark(void* buffer, mode_t mode, dev_t rdev);

EXPORT int __fstat64_time64(int fd, void* buffer)
{
    int (*real)(int, void*) = next_symbol("__fstat64_time64");
    const int result = real(fd, buffer);
    mode_t mode;
    dev_t rdev;
    if (result == 0 && fd == fb_fd && fd >= 0 && node_kind(&mode, &rdev))
        test_fb_stat_time64_mark(buffer, mode, rdev);
    return result;
}

/* Maps the screen at the offset the caller passed, all of its bits: a
 * 32-bit off_t has lost those above bit 31 before it gets here. */
static void* fb_map(size_t length, int64_t offset)
{
    log_line("mmap %zu", length);
    unsigned xres, yres, bpp;
    screen_size(&xres, &yres, &bpp);
    const uint64_t memory = drm_card() ? (uint64_t)drm_pitch() * yres : ((uint64_t)xres * yres * bpp) >> 3;
    if (failing("map") || screen_base != NULL) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    const uint64_t expected = drm_card() ? drm_map_offset() : 0;
    if ((uint64_t)offset != expected || length == 0 || length > memory) {
        errno = EINVAL;
        return MAP_FAILED;
    }

    void* (*real_mmap)(void*, size_t, int, int, int, off_t) = next_symbol("mmap");
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    const size_t body = (length + page - 1) / page * page;
    region_len = body + 2 * page;
    region = real_mmap(NULL, region_len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) {
        region = NULL;
        return MAP_FAILED;
    }
    mprotect(region, page, PROT_NONE);
    mprotect(region + page + body, page, PROT_NONE);
    memset(region + page, fill_byte(), body);
    screen_len = length;
    screen_base = region + page + body - length;
    return screen_base;
}

EXPORT void* mmap(void* address, size_t length, int prot, int flags, int fd, off_t offset)
{
    if (fd == fb_fd && fd >= 0)
        return fb_map(length, offset);
    void* (*real_mmap)(void*, size_t, int, int, int, off_t) = next_symbol("mmap");
    return real_mmap(address, length, prot, flags, fd, offset);
}

EXPORT void* mmap64(void* address, size_t length, int prot, int flags, int fd, off64_t offset)
{
    if (fd == fb_fd && fd >= 0)
        return fb_map(length, offset);
    void* (*real_mmap64)(void*, size_t, int, int, int, off64_t) = next_symbol("mmap64");
    return real_mmap64(address, length, prot, flags, fd, offset);
}

static void dump_screen(void)
{
    const char* path = getenv("TEST_FB_DUMP");
    if (path == NULL)
        return;
    FILE* dump = fopen(path, "wb");
    if (dump == NULL || fwrite(screen_base, 1, screen_len, dump) != screen_len) {
        fprintf(stderr, "test framebuffer: cannot write %s\n", path);
        abort();
    }
    fclose(dump);
}

EXPORT int munmap(void* address, size_t length)
{
    int (*real_munmap)(void*, size_t) = next_symbol("munmap");
    if (address != screen_base || screen_base == NULL)
        return real_munmap(address, length);

    log_line("munmap %zu", length);
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    const unsigned char fill = fill_byte();
    for (unsigned char* p = region + page; p < screen_base; ++p) {
        if (*p != fill) {
            fprintf(stderr, "test framebuffer: store %td bytes before the screen\n", screen_base - p);
            abort();
        }
    }
    dump_screen();
    real_munmap(region, region_len);
    screen_base = NULL;
    region = NULL;
    return 0;
}

EXPORT int close(int fd)
{
    int (*real_close)(int) = next_symbol("close");
    if (fd == drm_master_fd && fd >= 0)
        drm_master_fd = -1;
    if (fd == fb_fd && fd >= 0) {
        log_line(screen_base != NULL ? "close (still mapped)" : "close");
        fb_fd = -1;
    }
    return real_close(fd);
}

/* fsync runs a deferred-I/O update at once; the device's fsync is logged and
 * passed on (a memory file takes it). */
EXPORT int fsync(int fd)
{
    if (fd == fb_fd && fd >= 0) {
        log_line("fsync");
        if (failing("flush")) {
            errno = EIO;
            return -1;
        }
    }
    int (*real_fsync)(int) = next_symbol("fsync");
    return real_fsync(fd);
}

EXPORT int fdatasync(int fd)
{
    if (fd == fb_fd && fd >= 0)
        log_line("fdatasync");
    int (*real_fdatasync)(int) = next_symbol("fdatasync");
    return real_fdatasync(fd);
}

/* The card's events are read and polled as the kernel gives them. */
static int drm_events_fd(int fd)
{
    return fd == fb_fd && fd >= 0 && drm_card() && !node_neither();
}

EXPORT ssize_t read(int fd, void* buffer, size_t size)
{
    if (drm_events_fd(fd))
        return drm_events_read(buffer, size);
    ssize_t (*real_read)(int, void*, size_t) = next_symbol("read");
    return real_read(fd, buffer, size);
}

EXPORT ssize_t __read_chk(int fd, void* buffer, size_t size, size_t buffer_size)
{
    if (drm_events_fd(fd))
        return drm_events_read(buffer, size < buffer_size ? size : buffer_size);
    ssize_t (*real_read_chk)(int, void*, size_t, size_t) = next_symbol("__read_chk");
    return real_read_chk(fd, buffer, size, buffer_size);
}

/* glibc declares poll's array write-only, though the kernel reads each
 * entry's fd and events. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
EXPORT int poll(struct pollfd* fds, nfds_t count, int timeout_ms)
{
    if (count == 1 && drm_events_fd(fds[0].fd))
        return drm_events_poll(fds, timeout_ms);
    int (*real_poll)(struct pollfd*, nfds_t, int) = next_symbol("poll");
    return real_poll(fds, count, timeout_ms);
}
#pragma GCC diagnostic pop

/* How far the virtual clock has advanced after the given number of steps. */
static uint64_t clock_advance(const char* schedule, uint64_t steps)
{
    uint64_t advance = 0;
    const char* entry = schedule;
    while (steps > 0) {
        char* end;
        const uint64_t step = strtoull(entry, &end, 0);
        uint64_t count = UINT64_MAX;
        if (*end == ':')
            count = strtoull(end + 1, &end, 0);
        if (*end != ',')
            count = UINT64_MAX;
        const uint64_t taken = steps < count ? steps : count;
        advance += taken * step;
        steps -= taken;
        entry = end + 1;
    }
    return advance;
}

/* Counts a reading; 1 with the virtual clock's reading in microseconds, 0
 * when the real clock answers. */
static int clock_virtual_read(uint64_t* now)
{
    const char* step = getenv("TEST_FB_CLOCK_STEP");
    ++clock_readings;
    clock_used = 1;
    if (step == NULL)
        return 0;
    const char* start = getenv("TEST_FB_CLOCK_START");
    *now = (start != NULL ? strtoull(start, NULL, 0) : 1000000000000ull) + clock_advance(step, clock_readings - 1);
    return 1;
}

EXPORT int gettimeofday(struct timeval* restrict tv, void* restrict tz)
{
    uint64_t now;
    if (!clock_virtual_read(&now)) {
        int (*real_gettimeofday)(struct timeval*, void*) = next_symbol("gettimeofday");
        return real_gettimeofday(tv, tz);
    }
    tv->tv_sec = (time_t)(now / 1000000);
    tv->tv_usec = (suseconds_t)(now % 1000000);
    return 0;
}

/* The struct timeval of a 32-bit build with 64-bit time. */
struct timeval64 {
    int64_t tv_sec;
    int64_t tv_usec;
};

EXPORT int __gettimeofday64(struct timeval64* restrict tv, void* restrict tz)
{
    uint64_t now;
    if (!clock_virtual_read(&now)) {
        int (*real_gettimeofday)(struct timeval64*, void*) = next_symbol("__gettimeofday64");
        return real_gettimeofday(tv, tz);
    }
    tv->tv_sec = (int64_t)(now / 1000000);
    tv->tv_usec = (int64_t)(now % 1000000);
    return 0;
}

__attribute__((destructor)) static void report_clock(void)
{
    if (clock_used)
        log_line("gettimeofday %lu", clock_readings);
}
