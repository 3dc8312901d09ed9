// Runs a benchmark program under the test framebuffer and collects what it
// left: exit status, standard output and error, the screen and the call log.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct bench_result {
    int status = -1; // exit status, or 128 + the signal that ended the program
    int signal = 0; // the signal that ended it, else 0
    long max_rss_kb = 0; // its largest resident size, or its children's
    std::string out;
    std::string err;
    bool screen_dumped = false; // the screen was mapped and unmapped
    std::vector<uint8_t> screen;
    std::vector<std::string> log; // one line per device call, then the clock readings
};

// The program sees only the given "NAME=value" variables, besides those that
// load the test framebuffer and point its dump and log into a scratch folder;
// a later value of a variable replaces an earlier one.
// Standard output goes to stdout_path instead, when given; closed_fd, when
// not -1, is closed before the program starts (0, 1 or 2).
bench_result bench_run(const std::string& program, const std::vector<std::string>& env,
                       const char* stdout_path = nullptr, int closed_fd = -1);

// The same for a program with arguments (command[0] is the program);
// while_running, when given, is called with the child's id before it is
// waited for.
bench_result bench_run_command(const std::vector<std::string>& command, const std::vector<std::string>& env,
                               const char* stdout_path = nullptr, int closed_fd = -1,
                               const std::function<void(pid_t)>& while_running = {});

// The call log of a program that bench_run_command started (or of one it
// started in turn), once it has exec'd: the path is in its environment.
// Empty before.
std::string bench_log_path(pid_t pid);

// Waits until that log has the line; false after a minute.
bool bench_log_wait(pid_t pid, const std::string& line);

// Waits until the process sleeps in nanosleep, as FBBENCH_HOLD's hold does;
// false after a minute or once it has ended.
bool bench_sleep_wait(pid_t pid);

// The byte every screen starts with (the test framebuffer's default fill).
inline constexpr uint8_t screen_fill = 170;

struct screen_geometry {
    uint32_t xres, yres, bits_per_pixel;
};

struct window_geometry {
    int32_t width, height, posx, posy;
};

inline uint32_t screen_len(const screen_geometry& s)
{
    return (s.xres * s.yres * s.bits_per_pixel) >> 3;
}

// The variable that gives the test framebuffer this screen.
inline std::string screen_env(const screen_geometry& s)
{
    return "TEST_FB_SCREEN=" + std::to_string(s.xres) + "x" + std::to_string(s.yres) + "x"
         + std::to_string(s.bits_per_pixel);
}

// The device calls of a completed run, then its number of clock readings.
inline std::vector<std::string> completed_run_log(const screen_geometry& s, uint32_t clock_readings)
{
    const std::string len = std::to_string(screen_len(s));
    return {"open", "ioctl 0x4600", "mmap " + len, "munmap " + len, "close",
            "gettimeofday " + std::to_string(clock_readings)};
}
