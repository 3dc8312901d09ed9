// What the runner's unit tests share: reports as the programs print them,
// runs built of them, the sessions that hold them, and a scratch folder.
#pragma once

#include "plan.h"
#include "report.h"
#include "session.h"
#include "stats_rows.h"

#include "mandelbrot.h"
#include "rectangle.h"
#include "sierpinski.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

[[gnu::format(printf, 1, 2)]] inline std::string text_printf(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return std::string(text, std::size_t(n));
}

// A program's standard output for the figures it measured, with its own
// formats: the title, then a line per figure; Sierpinski's levels, from
// 1024 points up, come between a blank line and a closing one. Rectangle's
// line names the rectangle's size.
inline std::string report_text(const std::string& program, const std::vector<double>& figures, int width = 100,
                               int height = 60)
{
    if (program == "rectangle-bench")
        return text_printf(RECTANGLE_REPORT_TITLE "\n" RECTANGLE_REPORT_LINE "\n", width, height, figures.at(0));
    if (program == "mandelbrot-bench")
        return text_printf(MANDELBROT_REPORT_TITLE "\n" MANDELBROT_REPORT_LINE "\n", figures.at(0));
    std::string text = SIERPINSKI_REPORT_TITLE "\n\n";
    for (std::size_t i = 0; i < figures.size(); ++i)
        text += text_printf(SIERPINSKI_REPORT_LINE "\n", 1024 << i, figures[i]);
    return text + "\n";
}

// A run that exited 0 after printing its report.
struct injected_run {
    std::string program = "rectangle-bench";
    run_target target = run_target::device;
    std::string path = "/dev/fb0";
    std::vector<double> figures = {}; // printed in the program's report
    bool warmup = false;
};

inline run_record run_injected(const injected_run& in)
{
    run_record r;
    r.program = in.program;
    r.target = in.target;
    r.path = in.path;
    r.warmup = in.warmup;
    r.exit_status = 0;
    r.out = report_text(in.program, in.figures);
    r.wall_seconds = 5.0;
    r.valid = report_parse(r.program, r.out, r.values);
    return r;
}

// What the run loop keeps up to date: the plan from the description and
// options, the rows from the runs.
inline void settle(session& s)
{
    plan_make(s);
    stats_rows_update(s);
}

// A 320x240 (or given) 32-bit framebuffer with the window given.
inline device_screen screen_of(const std::string& path, bench_window window, uint32_t width = 320, uint32_t height = 240)
{
    device_screen d;
    d.path = path;
    d.width = width;
    d.height = height;
    d.bits_per_pixel = 32;
    d.row_bytes = width * 4;
    d.window = window;
    return d;
}

// A board with /dev/fb0 and a /dev/fb1 that cannot be opened; no runs.
inline session rectangle_session()
{
    session s;
    s.host = "board";
    s.started = "2026-12-08T17:40:00Z";
    s.devices = {"/dev/fb0", "/dev/fb1"};
    s.device_descriptions = {{.path = "/dev/fb0", .kind = fb_device_kind::fbdev}, {.path = "/dev/fb1", .kind = fb_device_kind::fbdev}};
    s.screens = {screen_of("/dev/fb0", {400, 240, 0, 0}, 800, 480), {}};
    s.screens[0].defaulted = {"posx", "posy"};
    s.screens[1].path = "/dev/fb1";
    s.screens[1].error = "cannot open /dev/fb1: No such file or directory";
    s.window = {{"WIDTH", "400"}, {"HEIGHT", "240"}};
    return s;
}

// rectangle_session stopped by SIGINT: a warm-up, two screen runs and one
// of RAM, each with other processes' CPU time, then the killed RAM run.
inline session interrupted_session()
{
    session s = rectangle_session();
    for (const injected_run& run : {injected_run{.figures = {99.00}, .warmup = true}, injected_run{.figures = {180.50}},
                                    injected_run{.target = run_target::memory, .figures = {722.00}},
                                    injected_run{.figures = {184.37}}}) {
        s.runs.push_back(run_injected(run));
        s.runs.back().other_cpu_percent = 1.5;
    }
    run_record& killed = s.runs.emplace_back();
    killed.program = "rectangle-bench";
    killed.target = run_target::memory;
    killed.path = "/dev/fb0";
    killed.signal = SIGINT;
    killed.invalid_reason = "interrupted";
    killed.out_truncated = true;
    settle(s);
    return s;
}

// A session on the DRM device /dev/fb1 with the display measured: its
// description has a 75 Hz mode and no vblank events, and the update
// probe's figure; one run of each program on each target.
inline session display_session()
{
    session s;
    s.complete = true;
    s.devices = {"/dev/fb1"};
    s.device_descriptions = {
        {.path = "/dev/fb1",
         .kind = fb_device_kind::drm,
         .display = display_description{.refresh = refresh_summary{.status = refresh_status::no_vblank_events, .nominal_hz = 75.0},
                                        .update_probe = update_probe_summary{.updates = 1, .updates_per_second = 432.4}}}};
    const std::string sierpinski = "sierpinski-bench", rectangle = "rectangle-bench", mandelbrot = "mandelbrot-bench";
    const std::string fb1 = "/dev/fb1";
    constexpr run_target device = run_target::device, memory = run_target::memory, display = run_target::display;
    for (const injected_run& run : {
             injected_run{.program = sierpinski, .target = device, .path = fb1, .figures = {57.50, 40.00, 20.00}},
             injected_run{.program = sierpinski, .target = memory, .path = fb1, .figures = {60.00, 41.00, 21.00}},
             injected_run{.program = sierpinski, .target = display, .path = fb1, .figures = {30.00, 12.34, 11.00}},
             injected_run{.program = rectangle, .target = device, .path = fb1, .figures = {16.69}},
             injected_run{.program = rectangle, .target = display, .path = fb1, .figures = {9.00}},
             injected_run{.program = mandelbrot, .target = device, .path = fb1, .figures = {3.10}},
             injected_run{.program = mandelbrot, .target = display, .path = fb1, .figures = {7.26}},
         })
        s.runs.push_back(run_injected(run));
    s.runs.back().kernel_cpu_percent = 42.1;
    settle(s);
    return s;
}

// display_session's device with a display faster than its 75 Hz refresh and,
// at 1024 points, faster than the screen itself.
inline session display_fast_session()
{
    session s = display_session();
    s.runs = {run_injected({.program = "sierpinski-bench", .path = "/dev/fb1", .figures = {1000.00, 500.00, 100.00}}),
              run_injected({.program = "sierpinski-bench", .target = run_target::display, .path = "/dev/fb1",
                            .figures = {1154.00, 480.00, 40.00}})};
    settle(s);
    return s;
}

// A table case's name as its test's, for INSTANTIATE_TEST_SUITE_P.
inline constexpr auto case_name = [](const auto& info) { return std::string(info.param.name); };

// A folder of its own under the temporary folder, removed with all it holds.
struct scratch_folder {
    std::filesystem::path path;
    scratch_folder()
    {
        std::string name = (std::filesystem::temp_directory_path() / "runner_test-XXXXXX").string();
        if (mkdtemp(name.data()) == nullptr)
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        path = name;
    }
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;
    ~scratch_folder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};
