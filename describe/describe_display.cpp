#include "describe.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace fs = std::filesystem;

std::optional<double> refresh_hz(const fb_var_screeninfo& var)
{
    const double htotal = double(var.left_margin) + var.xres + var.right_margin + var.hsync_len;
    const double vtotal = double(var.upper_margin) + var.yres + var.lower_margin + var.vsync_len;
    if (var.pixclock == 0 || htotal == 0 || vtotal == 0)
        return std::nullopt;
    // pixclock is the length of one pixel in picoseconds.
    double hz = 1e12 / var.pixclock / htotal / vtotal;
    if ((var.vmode & FB_VMODE_MASK) == FB_VMODE_INTERLACED)
        hz *= 2; // two fields per frame
    else if ((var.vmode & FB_VMODE_MASK) == FB_VMODE_DOUBLE)
        hz /= 2;
    return std::round(hz * 100) / 100;
}

std::string fb_id(const fb_fix_screeninfo& fix)
{
    return std::string(fix.id, strnlen(fix.id, sizeof fix.id));
}

bool fb_drm_emulation(const fb_fix_screeninfo& fix)
{
    // The DRM drivers' fbdev emulation names itself "<driver>drmfb".
    return fb_id(fix).ends_with("drmfb");
}

void fb_screen_check(const std::string& device_path, const fb_fix_screeninfo& fix, const fb_var_screeninfo& var,
                     std::vector<run_warning>& warnings)
{
    char message[512];
    const uint64_t row_bytes = uint64_t(var.xres) * var.bits_per_pixel / 8;
    if (fix.line_length != 0 && fix.line_length != row_bytes) {
        std::snprintf(message, sizeof message,
                      "%s has rows of %u bytes, not %u x %u / 8 = %llu: the benchmarks address rows from the "
                      "visible width, so their pictures shear; the timings still count. Where the driver allows, "
                      "make the virtual width the visible one (fbset -vxres %u)",
                      device_path.c_str(), fix.line_length, var.xres, var.bits_per_pixel,
                      static_cast<unsigned long long>(row_bytes), var.xres);
        run_warning_add(warnings, "padded-rows", message);
    }
    if (var.xoffset != 0 || var.yoffset != 0) {
        std::snprintf(message, sizeof message,
                      "%s is panned to %u,%u: the benchmarks draw from the start of its memory, so their pictures "
                      "land on a hidden part; the timings still count. Pan the display back to 0,0 first",
                      device_path.c_str(), var.xoffset, var.yoffset);
        run_warning_add(warnings, "panned", message);
    }
    if (var.bits_per_pixel < 8) {
        std::snprintf(message, sizeof message,
                      "%s has %u bits per pixel, and the benchmarks need 8 or more: boot with the kernel option "
                      "video=<output>:<mode>-16 or -32",
                      device_path.c_str(), var.bits_per_pixel);
        run_warning_add(warnings, "low-depth", message);
    }
}

fs::path fb_sysfs_dir(const fs::path& root, const std::string& device_path)
{
    // /dev/fb0 and /dev/fb/0 both name framebuffer 0.
    const std::string name = fs::path(device_path).filename().string();
    const size_t digits = name.find_last_not_of("0123456789") + 1;
    if (digits >= name.size())
        return {};
    return root_path_join(root, "/sys/class/graphics/fb" + name.substr(digits));
}

fb_sysfs_description fb_sysfs_describe(const fs::path& root, const std::string& device_path)
{
    fb_sysfs_description sysfs;
    const fs::path dir = fb_sysfs_dir(root, device_path);
    if (dir.empty())
        return sysfs;
    for (auto [field, text] : {std::pair{"name", &sysfs.name}, {"mode", &sysfs.mode}, {"stride", &sysfs.stride},
                               {"bits_per_pixel", &sysfs.bits_per_pixel}, {"virtual_size", &sysfs.virtual_size}})
        if (const std::optional<std::string> found = file_text_read(dir / field))
            *text = text_trim(*found);
    std::error_code error;
    const fs::path driver = fs::read_symlink(dir / "device" / "driver", error);
    if (!error)
        sysfs.driver = driver.filename().string();
    // A DRM driver's emulation sits on the device that also has the DRM card.
    for (fs::directory_iterator it(dir / "device" / "drm", error), end; !error && it != end; it.increment(error)) {
        const std::string card = it->path().filename().string();
        if (card.starts_with("card") && card.find('-') == std::string::npos)
            sysfs.drm_card = card;
    }
    return sysfs;
}

namespace {

std::string text_lower(std::string text)
{
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool all_digits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

void fb_users_check(const fs::path& root, const std::string& device_path, std::vector<run_warning>& warnings)
{
    std::error_code error;
    const fs::path consoles = root_path_join(root, "/sys/class/vtconsole");
    std::vector<fs::path> bound;
    for (fs::directory_iterator it(consoles, error), end; !error && it != end; it.increment(error)) {
        const std::string bind = text_trim(file_text_read(it->path() / "bind").value_or(""));
        const std::string name = text_lower(file_text_read(it->path() / "name").value_or(""));
        if (bind == "1" && name.find("frame buffer") != std::string::npos)
            bound.push_back(it->path().filename());
    }
    std::sort(bound.begin(), bound.end());
    for (const fs::path& console : bound) {
        run_warning_add(warnings, "console",
                        "a text console is bound to the framebuffer (" + console.string() +
                            "): its cursor draws into the screen during the runs; unbind it with echo 0 > "
                            "/sys/class/vtconsole/" +
                            console.string() + "/bind");
    }

    // Processes holding the device: their fd links name it.
    std::vector<fs::path> names = {fs::path(device_path).lexically_normal()};
    if (root == "/") {
        const fs::path canonical = fs::weakly_canonical(device_path, error);
        if (!error)
            names.push_back(canonical);
    }
    const std::string own_pid = std::to_string(getpid());
    std::vector<std::string> holders;
    const fs::path proc = root_path_join(root, "/proc");
    for (fs::directory_iterator it(proc, error), end; !error && it != end; it.increment(error)) {
        const std::string pid = it->path().filename().string();
        if (!all_digits(pid) || pid == own_pid)
            continue;
        std::error_code fd_error; // other users' descriptors are not readable
        bool holds = false;
        for (fs::directory_iterator fd(it->path() / "fd", fd_error), fd_end; !fd_error && fd != fd_end && !holds;
             fd.increment(fd_error)) {
            std::error_code link_error;
            const fs::path target = fs::read_symlink(fd->path(), link_error);
            holds = !link_error && std::find(names.begin(), names.end(), target) != names.end();
        }
        // A waiting fbbench session keeps the device open, and draws nothing
        // until this one has ended.
        if (holds && text_trim(file_text_read(it->path() / "comm").value_or("")) != "fbbench")
            holders.push_back(pid + " (" + text_trim(file_text_read(it->path() / "comm").value_or("?")) + ")");
    }
    if (!holders.empty()) {
        std::sort(holders.begin(), holders.end());
        std::string list;
        for (const std::string& holder : holders)
            list += (list.empty() ? "" : ", ") + holder;
        run_warning_add(warnings, "device-open",
                        device_path + " is open in process " + list +
                            ": what it draws competes with the benchmarks; stop it before measuring");
    }
}

fb_description fb_device_describe(const fs::path& root, const std::string& device_path,
                                  std::vector<run_warning>& warnings)
{
    fb_description device;
    fb_fix_screeninfo fix{};
    fb_var_screeninfo var{};
    const int fd = open(device_path.c_str(), O_RDONLY | O_CLOEXEC);
    int query_errno = errno;
    bool queried = false;
    if (fd >= 0) {
        queried = ioctl(fd, FBIOGET_FSCREENINFO, &fix) == 0 && ioctl(fd, FBIOGET_VSCREENINFO, &var) == 0;
        query_errno = errno;
        close(fd);
    }
    if (queried) {
        device.screen = fb_screen_info{fix, var};
        fb_screen_check(device_path, fix, var, warnings);
    } else {
        run_warning_add(warnings, "device-query",
                        std::string("cannot ") + (fd < 0 ? "open " : "query ") + device_path + ": " +
                            std::strerror(query_errno) + "; its screen is not described");
    }
    device.sysfs = fb_sysfs_describe(root, device_path);
    fb_users_check(root, device_path, warnings);
    return device;
}
