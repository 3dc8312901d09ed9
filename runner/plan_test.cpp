// The plan: the windows refused before anything runs, and the targets each
// device gets from its description.
#include "plan.h"
#include "runner_test_support.h"

namespace {

// The windows fbbench refuses before running: those in which a program draws nothing.
TEST(Plan, WindowsInWhichAProgramDrawsNothing)
{
    const struct {
        const char* program;
        bench_window window;
        const char* refusal;
    } cases[] = {
        {"rectangle-bench", {2, 120, 0, 0},
         "rectangle-bench draws nothing in the 2x120 window at (0,0) on /dev/fb0; the smallest window that works there is 4x120"},
        {"rectangle-bench", {4, 4, 10, 10}, ""},
        {"mandelbrot-bench", {2, 120, 0, 0}, ""},
        {"mandelbrot-bench", {100, 0, 0, 0},
         "mandelbrot-bench draws nothing in the 100x0 window at (0,0) on /dev/fb0; the smallest window that works there is 100x1"},
        {"sierpinski-bench", {100, 15, 0, 0},
         "sierpinski-bench draws nothing in the 100x15 window at (0,0) on /dev/fb0; the smallest window that works there is 100x16"},
        // A triangle of radius 42 needs 85 columns.
        {"sierpinski-bench", {84, 100, 0, 0},
         "sierpinski-bench draws nothing in the 84x100 window at (0,0) on /dev/fb0; the smallest window that works there is 85x100"},
        {"sierpinski-bench", {85, 100, 0, 0}, ""},
    };
    for (const auto& c : cases) {
        const device_screen d = screen_of("/dev/fb0", c.window);
        EXPECT_EQ(device_window_refusal(c.program, d), c.refusal);
    }
    // The window is worked out from the variables on the device's own screen.
    device_screen d = screen_of("/dev/fb0", {});
    std::string message;
    ASSERT_TRUE(device_window_compute(d, {"160", nullptr, "8", nullptr}, message)) << message;
    EXPECT_EQ(d.window.width, 160);
    EXPECT_EQ(d.window.height, 240);
    EXPECT_EQ(d.window.posx, 8);
    EXPECT_EQ(d.defaulted, (std::vector<std::string>{"height", "posy"}));
    EXPECT_FALSE(device_window_compute(d, {"400", nullptr, nullptr, nullptr}, message));
    EXPECT_EQ(message, "/dev/fb0: window 400x240 at (0,0) crosses the right edge of the 320x240 screen");
}

// Which devices get the display and presented targets: those whose picture
// needs a flush, unless --sync or --no-sync says otherwise or the flush
// failed; presented on a card with measured vblank events that no run found
// faked.
TEST(Plan, WhereThePictureNeedsAFlush)
{
    const auto fb = [](const char* mapping_class) {
        return device_description{.path = "/dev/fb0", .kind = fb_device_kind::fbdev, .mapping = mapping_description{.found = {mapping_class, ""}}};
    };
    const auto card = [](flush_summary flush, refresh_status status, std::string dropped = "") {
        refresh_summary refresh{.method = "drm-vblank", .status = status, .evidence = "seen"};
        if (refresh.status == refresh_status::measured)
            refresh.median_hz = 60.0;
        return device_description{
            .path = "/dev/dri/card0", .kind = fb_device_kind::drm,
            .display = display_description{.refresh = refresh, .flush = flush, .presented_dropped = dropped}};
    };
    const device_description direct = fb("direct-uncached"), shadow = fb("deferred-io");
    const device_description drm = {.path = "/dev/dri/card0", .kind = fb_device_kind::drm};
    const device_description unopened = {.path = "/dev/fb7", .error = "cannot open /dev/fb7"};
    const device_description vkms = card({.method = "dirtyfb", .needed = false}, refresh_status::measured);
    const device_description faked = card({.method = "dirtyfb", .needed = false}, refresh_status::measured, "vblank events faked");
    const device_description failing = card({.method = "dirtyfb", .error = "drmModeDirtyFB failed: EIO"}, refresh_status::no_vblank_events);
    using targets = std::vector<run_target>;
    constexpr run_target device = run_target::device, memory = run_target::memory, display = run_target::display,
                         presented = run_target::presented;
    const struct {
        display_sync sync;
        bool memory;
        const device_description& device;
        targets expected;
        const char* presented_dropped;
    } cases[] = {
        {display_sync::automatic, true, direct, {device, memory}, ""},
        {display_sync::automatic, true, shadow, {device, memory, display}, ""},
        {display_sync::automatic, false, drm, {device, display}, "no vblank events"},
        {display_sync::automatic, true, unopened, {device, memory}, ""},
        {display_sync::always, true, direct, {device, memory, display}, ""},
        {display_sync::never, true, shadow, {device, memory}, ""},
        {display_sync::never, true, drm, {device, memory}, ""},
        {display_sync::automatic, false, vkms, {device, presented}, ""},
        {display_sync::always, false, vkms, {device, presented}, ""},
        {display_sync::never, false, vkms, {device}, ""},
        {display_sync::automatic, false, faked, {device}, "vblank events faked"},
        {display_sync::automatic, false, failing, {device}, "no vblank events: seen"},
    };
    for (const auto& c : cases) {
        runner_options o;
        o.sync = c.sync;
        o.memory = c.memory;
        const device_plan plan = device_plan_make(o, c.device);
        EXPECT_EQ(plan.targets, c.expected) << options_sync_name(c.sync) << " " << c.device.path;
        EXPECT_EQ(plan.presented_dropped, c.presented_dropped) << options_sync_name(c.sync) << " " << c.device.path;
    }
    runner_options o;
    EXPECT_EQ(device_plan_make(o, failing).display_dropped, "drmModeDirtyFB failed: EIO");
    EXPECT_EQ(device_plan_make(o, vkms).refresh_text, "refresh 60.0 Hz measured");
}

} // namespace
