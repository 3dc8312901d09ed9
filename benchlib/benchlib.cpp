#include "benchlib.h"

#include "bench_hold.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

const char* fb_device_path()
{
    const char* device = std::getenv("FRAMEBUFFER");
    return device != nullptr && *device != '\0' ? device : "/dev/fb0";
}

std::string bench_text_escape(const char* text)
{
    static const char hex[] = "0123456789abcdef";
    std::string escaped;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
        switch (*p) {
        case '\n': escaped += "\\n"; break;
        case '\r': escaped += "\\r"; break;
        case '\t': escaped += "\\t"; break;
        case '\\': escaped += "\\\\"; break;
        default:
            if (*p < 0x20 || *p == 0x7f) {
                escaped += "\\x";
                escaped += hex[*p >> 4];
                escaped += hex[*p & 15];
            } else {
                escaped += char(*p);
            }
        }
    }
    return escaped;
}

int bench_fail(int status, const char* format, ...)
{
    std::fprintf(stderr, "%s: ", program_invocation_short_name);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    return status;
}

int bench_report_flush()
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return bench_fail(bench_exit_resource, "cannot write the report: %s", std::strerror(errno));
    return 0;
}

// One unsigned decimal number of 32 bits, digits only, up to the given end
// character; advances text past it.
static bool shape_number_parse(const char*& text, char end, uint32_t& value)
{
    uint64_t number = 0;
    const char* p = text;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        number = number * 10 + uint64_t(*p - '0');
        if (number > UINT32_MAX)
            return false;
    }
    if (p == text || *p != end)
        return false;
    value = uint32_t(number);
    text = *p == '\0' ? p : p + 1;
    return true;
}

bool bench_target_parse(const char* text, bench_target& target)
{
    target = bench_target{};
    if (text == nullptr || *text == '\0' || std::strcmp(text, "device") == 0)
        return true;
    if (std::strcmp(text, "memory") == 0) {
        target.kind = bench_target_kind::memory;
        return true;
    }
    if (std::strncmp(text, "memory:", 7) != 0)
        return false;
    const char* shape = text + 7;
    target.kind = bench_target_kind::memory_shape;
    return shape_number_parse(shape, 'x', target.xres) && shape_number_parse(shape, 'x', target.yres)
        && shape_number_parse(shape, '\0', target.bits_per_pixel);
}

bool bench_sync_parse(const char* text, bench_sync& sync)
{
    sync = bench_sync::none;
    if (text == nullptr || *text == '\0' || std::strcmp(text, "none") == 0)
        return true;
    if (std::strcmp(text, "frame") == 0)
        sync = bench_sync::frame;
    else if (std::strcmp(text, "present") == 0)
        sync = bench_sync::present;
    else
        return false;
    return true;
}

void bench_std_fds_reserve()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // open returns the lowest free descriptor: this one. O_PATH
        // descriptors fail every read and write with EBADF.
        const int reserved = open("/", O_PATH);
        if (reserved >= 0 && reserved != fd)
            close(reserved);
    }
}

enum class screen_fault { none, shallow, too_large };

static screen_fault fb_screen_fault(const fb_var_screeninfo& vinfo)
{
    // Below 8 bits the byte stores of different pixels land on the same byte.
    if (vinfo.bits_per_pixel < 8)
        return screen_fault::shallow;
    // Offsets are 32-bit; a screen larger than that could not be addressed.
    if (uint64_t(vinfo.xres) * vinfo.yres * vinfo.bits_per_pixel > UINT32_MAX)
        return screen_fault::too_large;
    return screen_fault::none;
}

// A memory target of a given shape: the screen it stands for, refused when
// the programs would refuse it as a device's.
static int fb_memory_shape_open(fb_screen& screen, const char* target_text)
{
    screen.device = "memory";
    screen.vinfo = fb_var_screeninfo{};
    screen.vinfo.xres = screen.vinfo.xres_virtual = screen.target.xres;
    screen.vinfo.yres = screen.vinfo.yres_virtual = screen.target.yres;
    screen.vinfo.bits_per_pixel = screen.target.bits_per_pixel;
    const screen_fault fault = fb_screen_fault(screen.vinfo);
    if (fault == screen_fault::none && screen.vinfo.xres != 0 && screen.vinfo.yres != 0)
        return 0;
    return bench_fail(bench_exit_window, "FBBENCH_TARGET=%s is no screen to draw on: %s", target_text,
                      fault == screen_fault::shallow     ? "8 or more bits per pixel are supported"
                      : fault == screen_fault::too_large ? "its size in bits does not fit 32 bits"
                                                         : "it has no pixels");
}

fb_device_kind fb_device_kind_of(int fd)
{
    struct stat node;
    if (fstat(fd, &node) != 0)
        return fb_device_kind::unknown;
    if (!S_ISCHR(node.st_mode))
        return fb_device_kind::neither;
    switch (major(node.st_rdev)) {
    case 29: return fb_device_kind::fbdev;
    case 226: return fb_device_kind::drm;
    default: return fb_device_kind::neither;
    }
}

// The device's screen information; on failure the device is closed again.
static int fb_screen_query(fb_screen& screen, const std::string& device, uint32_t drm_depth)
{
    int status = 0;
    switch (fb_device_kind_of(screen.fb_fd)) {
    case fb_device_kind::drm:
        status = drm_screen_open(screen.drm, screen.fb_fd, device.c_str(), drm_depth, screen.vinfo);
        break;
    case fb_device_kind::fbdev:
        if (ioctl(screen.fb_fd, FBIOGET_VSCREENINFO, &screen.vinfo) != 0)
            status = bench_fail(bench_exit_resource, "cannot query %s: %s", device.c_str(), std::strerror(errno));
        break;
    case fb_device_kind::neither:
        status = bench_fail(bench_exit_resource, "%s is neither a framebuffer nor a DRM device", device.c_str());
        break;
    case fb_device_kind::unknown:
        status = bench_fail(bench_exit_resource, "cannot query %s: %s", device.c_str(), std::strerror(errno));
        break;
    }
    if (status != 0)
        fb_screen_close(screen);
    return status;
}

// Opens the device and takes its lock; on failure nothing stays open.
static int fb_device_open(fb_screen& screen, const std::string& device)
{
    screen.fb_fd = open(screen.device, O_RDWR | O_CLOEXEC);
    if (screen.fb_fd < 0) {
        const int open_errno = errno;
        return bench_fail(bench_exit_resource, "cannot open %s: %s%s", device.c_str(), std::strerror(open_errno),
                          open_errno == EACCES ? " (run as root or as a member of the video group)" : "");
    }
    // Two benchmarks on one screen would each measure half a machine.
    if (flock(screen.fb_fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        fb_screen_close(screen);
        return bench_fail(bench_exit_resource, "%s is in use by another benchmark", device.c_str());
    }
    return 0;
}

int fb_screen_open(fb_screen& screen)
{
    bench_std_fds_reserve();
    const char* target_text = std::getenv("FBBENCH_TARGET");
    if (!bench_target_parse(target_text, screen.target))
        return bench_fail(bench_exit_window, "FBBENCH_TARGET=%s is not device, memory or memory:WIDTHxHEIGHTxDEPTH",
                          bench_text_escape(target_text).c_str());

    if (int status = bench_hold_read(screen.hold_seconds))
        return status;

    const char* sync_text = std::getenv("FBBENCH_SYNC");
    bench_sync sync = bench_sync::none;
    if (!bench_sync_parse(sync_text, sync))
        return bench_fail(bench_exit_window, "FBBENCH_SYNC=%s is not none, frame or present",
                          bench_text_escape(sync_text).c_str());
    screen.sync_frame = sync == bench_sync::frame;
    screen.sync_present = sync == bench_sync::present;
    if (screen.sync_present && screen.target.kind != bench_target_kind::device)
        return bench_fail(bench_exit_window, "FBBENCH_SYNC=present needs FBBENCH_TARGET=device");
    if (screen.sync_present)
        if (int status = bench_present_read(screen.present))
            return status;

    // Only a DRM card's dumb buffer takes it; a bad value is refused everywhere.
    uint32_t drm_depth = 0;
    if (const std::string refusal = drm_depth_check(std::getenv(DRM_DEPTH_VARIABLE), drm_depth); !refusal.empty())
        return bench_fail(bench_exit_window, "%s", refusal.c_str());

    if (screen.target.kind == bench_target_kind::memory_shape) {
        const int status = fb_memory_shape_open(screen, target_text);
        screen.visible_xres = screen.vinfo.xres;
        screen.visible_yres = screen.vinfo.yres;
        return status;
    }

    screen.device = fb_device_path();
    const std::string device = bench_text_escape(screen.device);
    if (int status = fb_device_open(screen, device))
        return status;
    if (int status = fb_screen_query(screen, device, drm_depth))
        return status;
    if (screen.sync_present && screen.drm.fd < 0) {
        fb_screen_close(screen);
        return bench_fail(bench_exit_window, "FBBENCH_SYNC=present needs a DRM device; %s is a framebuffer",
                          device.c_str());
    }
    if (screen.drm.fd >= 0) {
        screen.visible_xres = screen.drm.choice.mode.hdisplay;
        screen.visible_yres = screen.drm.choice.mode.vdisplay;
        return 0;
    }
    screen.visible_xres = screen.vinfo.xres;
    screen.visible_yres = screen.vinfo.yres;

    const fb_var_screeninfo& vinfo = screen.vinfo;
    const screen_fault fault = fb_screen_fault(vinfo);
    if (fault == screen_fault::none)
        return 0;
    fb_screen_close(screen);
    if (fault == screen_fault::shallow)
        return bench_fail(bench_exit_resource,
                          "%s has %u bits per pixel; 8 or more are supported (set 16 or 32 with the kernel's "
                          "video= option, as in video=HDMI-A-1:800x480-32)",
                          device.c_str(), vinfo.bits_per_pixel);
    return bench_fail(bench_exit_resource, "%s screen of %ux%u at %u bits per pixel is too large", device.c_str(),
                      vinfo.xres, vinfo.yres, vinfo.bits_per_pixel);
}

bool bench_value_parse(const char* text, int32_t& value)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (std::isspace(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';

    const int64_t limit = negative ? -int64_t(INT32_MIN) : INT32_MAX;
    int64_t magnitude = 0;
    for (; std::isdigit(*p); ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit)
            return false;
    }
    value = int32_t(negative ? -magnitude : magnitude);
    return true;
}

bool bench_window_fits(const bench_window& window, const fb_var_screeninfo& vinfo)
{
    if (window.width < 0 || window.height < 0 || window.posx < 0 || window.posy < 0)
        return false;
    return int64_t(window.posx) + window.width <= int64_t(vinfo.xres)
        && int64_t(window.posy) + window.height <= int64_t(vinfo.yres);
}

// One window value: atoi of the text when given, else the default.
static bool bench_window_value(const char* name, const char* text, int32_t fallback, int32_t& value,
                               std::string& message)
{
    if (text == nullptr) {
        value = fallback;
        return true;
    }
    if (bench_value_parse(text, value))
        return true;
    message = std::string(name) + "=" + bench_text_escape(text) + " is out of range";
    return false;
}

// Which edge of the screen a window crosses, and what to set, for a window
// that does not fit.
static std::string bench_window_refusal(const bench_window& window, const fb_var_screeninfo& vinfo, bool width_set,
                                        bool height_set)
{
    char where[160];
    if (window.width < 0 || window.height < 0)
        std::snprintf(where, sizeof where, "has a negative %s", window.width < 0 ? "width" : "height");
    else if (window.posx < 0)
        std::snprintf(where, sizeof where, "crosses the left edge of the %ux%u screen", vinfo.xres, vinfo.yres);
    else if (window.posy < 0)
        std::snprintf(where, sizeof where, "crosses the top edge of the %ux%u screen", vinfo.xres, vinfo.yres);
    else if (int64_t(window.posx) + window.width > int64_t(vinfo.xres))
        std::snprintf(where, sizeof where, "crosses the right edge of the %ux%u screen%s", vinfo.xres, vinfo.yres,
                      width_set ? "" : "; WIDTH defaults to the screen's width, so set WIDTH too");
    else
        std::snprintf(where, sizeof where, "crosses the bottom edge of the %ux%u screen%s", vinfo.xres, vinfo.yres,
                      height_set ? "" : "; HEIGHT defaults to the screen's height, so set HEIGHT too");
    char line[256];
    std::snprintf(line, sizeof line, "window %dx%d at (%d,%d) %s", window.width, window.height, window.posx,
                  window.posy, where);
    return line;
}

bool bench_window_compute(const bench_window_texts& texts, const fb_var_screeninfo& vinfo, bench_window& window,
                          std::string& message)
{
    // Defaults beyond INT32_MAX cannot arise: the screen's size in bits fits 32 bits.
    if (!bench_window_value("WIDTH", texts.width, int32_t(vinfo.xres), window.width, message)
        || !bench_window_value("HEIGHT", texts.height, int32_t(vinfo.yres), window.height, message)
        || !bench_window_value("POSX", texts.posx, 0, window.posx, message)
        || !bench_window_value("POSY", texts.posy, 0, window.posy, message))
        return false;
    if (bench_window_fits(window, vinfo))
        return true;
    message = bench_window_refusal(window, vinfo, texts.width != nullptr, texts.height != nullptr);
    return false;
}

bench_window_texts bench_window_texts_read()
{
    return {std::getenv("WIDTH"), std::getenv("HEIGHT"), std::getenv("POSX"), std::getenv("POSY")};
}

int bench_window_read(const fb_var_screeninfo& vinfo, bench_window& window)
{
    std::string message;
    if (bench_window_compute(bench_window_texts_read(), vinfo, window, message))
        return 0;
    return bench_fail(bench_exit_window, "%s", message.c_str());
}

int fb_screen_map(fb_screen& screen)
{
    screen.screen_len = fb_screen_len(screen.vinfo);
    if (screen.drm.fd >= 0 && screen.target.kind == bench_target_kind::device) {
        if (int status = drm_screen_map(screen.drm))
            return status;
        screen.screen_base = static_cast<volatile uint8_t*>(screen.drm.map);
        if (screen.sync_present)
            return bench_present_start(screen.present, screen.drm.fd, screen.drm.choice.crtc_id, screen.drm.fb_id);
        return 0;
    }
    // Memory pages are faulted in here, before the clock starts: a device
    // mapping takes no page faults while drawing either.
    void* base = screen.target.kind == bench_target_kind::device
                   ? mmap(nullptr, screen.screen_len, PROT_WRITE, MAP_SHARED, screen.fb_fd, 0)
                   : mmap(nullptr, screen.screen_len, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (base == MAP_FAILED) {
        const int map_errno = errno;
        if (screen.target.kind == bench_target_kind::device)
            return bench_fail(bench_exit_resource, "cannot map %s: %s", bench_text_escape(screen.device).c_str(),
                              std::strerror(map_errno));
        return bench_fail(bench_exit_resource, "cannot allocate %u bytes of memory to draw in: %s",
                          screen.screen_len, std::strerror(map_errno));
    }
    screen.screen_base = static_cast<volatile uint8_t*>(base);
    // A framebuffer keeps its picture by itself, and memory has none: nothing
    // to give back, but the signals act as on a DRM display's.
    display_release_take({});
    return 0;
}

fb_flush_method fb_screen_flush_method(const fb_screen& screen)
{
    if (screen.target.kind != bench_target_kind::device)
        return fb_flush_method::none;
    if (screen.drm.fd >= 0)
        return fb_flush_method::dirtyfb;
    return screen.fb_fd >= 0 ? fb_flush_method::fsync : fb_flush_method::none;
}

int fb_screen_flush(const fb_screen& screen, const bench_window& window)
{
    switch (fb_screen_flush_method(screen)) {
    case fb_flush_method::none:
        return 0;
    case fb_flush_method::fsync:
        // A framebuffer without deferred I/O has no fsync: the display reads
        // the memory itself.
        if (fsync(screen.fb_fd) != 0 && errno != EINVAL)
            return errno;
        return 0;
    case fb_flush_method::dirtyfb: {
        // No dirty hook: the display shows the buffer without being told.
        const int error = drm_screen_flush(screen.drm, uint32_t(window.posx), uint32_t(window.posy),
                                           uint32_t(window.width), uint32_t(window.height));
        return error == ENOSYS ? 0 : error;
    }
    }
    return 0;
}

void fb_screen_show(fb_screen& screen, const bench_window& window)
{
    if (screen.target.kind != bench_target_kind::device || screen.screen_base == nullptr)
        return;
    if (screen.sync_present)
        if (const int error = bench_present_finish(screen.present))
            bench_fail(0, "cannot write the flip records: %s", std::strerror(error));
    // The report is out: a picture that does not reach the display is said,
    // not counted against the run.
    if (screen.drm.fd >= 0) {
        if (const int error = drm_screen_flush(screen.drm, uint32_t(window.posx), uint32_t(window.posy),
                                               uint32_t(window.width), uint32_t(window.height));
            error != 0 && error != ENOSYS)
            bench_fail(0, "cannot bring the picture to %s: %s", bench_text_escape(screen.device).c_str(),
                       std::strerror(error));
    }
    bench_hold_wait(screen.hold_seconds);
}

int fb_bench_flush_fail(fb_screen& screen, int error)
{
    fb_screen_close(screen);
    return bench_fail(bench_exit_resource, "cannot bring the picture to %s: %s", bench_text_escape(screen.device).c_str(),
                      std::strerror(error));
}

void fb_screen_close(fb_screen& screen)
{
    // A DRM screen's memory is the dumb buffer's mapping, which drm_screen_close undoes.
    if (screen.screen_base != nullptr && screen.screen_base != screen.drm.map)
        munmap(const_cast<uint8_t*>(screen.screen_base), screen.screen_len);
    screen.screen_base = nullptr;
    if (screen.drm.fd >= 0) {
        drm_screen_close(screen.drm);
        screen.drm.fd = -1;
    } else {
        display_release_give_back({});
    }
    if (screen.fb_fd >= 0) {
        close(screen.fb_fd);
        screen.fb_fd = -1;
    }
}

int fb_bench_start(fb_screen& screen, bench_window& window)
{
    int status = fb_screen_open(screen);
    if (status != 0)
        return status;
    status = bench_window_read(fb_screen_visible(screen), window);
    if (status == 0)
        status = fb_screen_map(screen);
    if (status != 0)
        fb_screen_close(screen);
    return status;
}
