#include "describe.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <xf86drm.h>
#include <set>

namespace {

namespace fs = std::filesystem;

struct fixture_case {
    const char* tree;
    const char* device;
    const char* id;
    uint32_t xres, yres, bits_per_pixel, line_length, yoffset;
    uintptr_t mapping; // start of the device's entry in the tree's smaps
    const char* board_model;     // nullptr: absent
    const char* core_name;       // nullptr: absent
    const char* driver;          // nullptr: absent
    bool drm_emulation;
    const char* mapping_class;
    std::set<std::string> warnings;
};

const fixture_case fixture_cases[] = {
    {"native", "/dev/fb0", "CLCD FB", 800, 480, 32, 3200, 0, 0xb6c00000, "V2P-CA9", "Cortex-A9", "clcd-pl11x",
     false, "direct-uncached", {}},
    {"drm-padded", "/dev/fb0", "vc4drmfb", 1920, 1080, 32, 7744, 1080, 0xa5800000, "Raspberry Pi 4 Model B Rev 1.4",
     "Cortex-A72", "vc4-drm", true, "direct-uncached", {"padded-rows", "panned", "console"}},
    {"deferred-io", "/dev/fb1", "mi0283qtdrmfb", 320, 240, 16, 640, 0, 0xb6f00000, nullptr, "ARM1176", "mi0283qt",
     true, "deferred-io", {"device-open", "deferred-io"}},
    {"throttled-busy", "/dev/fb0", "CLCD FB", 800, 480, 32, 3200, 0, 0, nullptr, "Cortex-A9", nullptr, false,
     "unknown", {"governor", "throttled", "temperature-rise"}},
    {"empty", "/dev/fb0", "CLCD FB", 800, 480, 32, 3200, 0, 0, nullptr, nullptr, nullptr, false, "unknown", {}},
    // Captured from the emulated board by board/run: both of its displays.
    {"board-vexpress", "/dev/fb0", "CLCD FB", 800, 480, 32, 3200, 0, 0xb6e28000, "V2P-CA9", "Cortex-A9", "clcd-pl11x",
     false, "direct-uncached", {"console"}},
    {"board-vexpress", "/dev/fb1", "virtio_gpudrmfb", 800, 480, 32, 3200, 0, 0xb6e6e000, "V2P-CA9", "Cortex-A9",
     "virtio-mmio", true, "deferred-io", {"console", "deferred-io"}},
};

// Everything the runner describes and checks for one tree, as it calls it.
struct fixture_result {
    system_description system;
    fb_fix_screeninfo fix{};
    fb_sysfs_description sysfs;
    mapping_class found;
    std::vector<run_warning> warnings;
};

fixture_result fixture_describe(const fixture_case& c)
{
    const fs::path root = fs::path(DESCRIBE_FIXTURES) / c.tree;
    fixture_result r;
    r.system = system_describe(root);
    system_idle_check(root, r.system, r.warnings);
    const fs::path after = fs::exists(root / "after") ? root / "after" : root;
    system_sample_compare(system_sample_take(root), system_sample_take(after), r.system, r.warnings);

    fb_fix_screeninfo fix{};
    std::snprintf(fix.id, sizeof fix.id, "%s", c.id);
    fix.line_length = c.line_length;
    fb_var_screeninfo var{};
    var.xres = var.xres_virtual = c.xres;
    var.yres = c.yres;
    var.yres_virtual = c.yres * 2;
    var.yoffset = c.yoffset;
    var.bits_per_pixel = c.bits_per_pixel;
    r.fix = fix;
    fb_screen_check(c.device, fix, var, r.warnings);
    r.sysfs = fb_sysfs_describe(root, c.device);
    fb_users_check(root, c.device, r.warnings);
    const std::optional<std::string> smaps = file_text_read(root / "proc/self/smaps");
    r.found = mapping_classify(smaps ? smaps_vm_flags(*smaps, c.mapping) : std::nullopt, {});
    mapping_class_check(root, c.device, r.found, r.warnings);
    return r;
}

TEST(DescribeFixtures, EachTreeGivesItsFieldsAndOnlyItsWarnings)
{
    for (const fixture_case& c : fixture_cases) {
        SCOPED_TRACE(c.tree);
        const fixture_result r = fixture_describe(c);
        std::set<std::string> kinds;
        for (const run_warning& warning : r.warnings) {
            kinds.insert(warning.kind);
            // Another fbbench session holds the device only while it waits for
            // this one: no competitor.
            if (warning.kind == "device-open") {
                EXPECT_EQ(warning.message.find("fbbench"), std::string::npos) << warning.message;
            }
        }
        EXPECT_EQ(kinds, c.warnings);
        EXPECT_EQ(r.system.board_model.value_or(""), c.board_model ? c.board_model : "");
        const std::vector<std::string> names = r.system.cpu ? r.system.cpu->core_names : std::vector<std::string>{};
        EXPECT_EQ(names, c.core_name ? std::vector<std::string>{c.core_name} : std::vector<std::string>{});
        EXPECT_EQ(r.sysfs.driver, c.driver ? c.driver : "");
        EXPECT_EQ(fb_drm_emulation(r.fix), c.drm_emulation);
        EXPECT_EQ(r.found.name, c.mapping_class);
    }
}

TEST(DescribeFixtures, ReadsEverySourceOfAFullTree)
{
    const fixture_result native = fixture_describe(fixture_cases[0]);
    ASSERT_TRUE(native.system.cpu);
    const cpu_description& cpu = *native.system.cpu;
    EXPECT_EQ(cpu.cores, 2);
    EXPECT_EQ(cpu.architecture, "ARMv7");
    EXPECT_EQ(cpu.model, "ARMv7 Processor rev 0 (v7l)");
    const std::vector<std::string> features = cpu.features.value_or(std::vector<std::string>{});
    for (const char* feature : {"vfp", "vfpv3", "neon"})
        EXPECT_NE(std::find(features.begin(), features.end(), feature), features.end());
    EXPECT_EQ(native.system.kernel.sysname, "Linux");
    EXPECT_EQ(native.system.kernel.release, "6.1.0-28-armmp");
    EXPECT_EQ(native.system.kernel.version, "#1 SMP Debian 6.1.119-1 (2024-11-22)");
    EXPECT_FALSE(native.system.kernel.machine) << "no file gives it";
    EXPECT_EQ(native.system.os, "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(native.system.load_average, (std::vector<double>{0.0, 0.02, 0.05}));
    EXPECT_EQ(native.sysfs.name, "CLCD FB");
    EXPECT_EQ(native.sysfs.stride, "3200");
    EXPECT_EQ(native.sysfs.mode, "U:800x480p-0");
    EXPECT_EQ(native.sysfs.bits_per_pixel, "32");
    EXPECT_EQ(native.sysfs.virtual_size, "800,480");
    EXPECT_EQ(native.sysfs.drm_card, "");

    const fixture_result busy = fixture_describe(fixture_cases[3]);
    ASSERT_EQ(busy.system.thermal_after.size(), 1u);
    EXPECT_EQ(busy.system.thermal_after[0].zone, "thermal_zone0");
    EXPECT_EQ(busy.system.thermal_after[0].type, "cpu-thermal");
    EXPECT_EQ(busy.system.thermal_after[0].celsius, 58.5);
    ASSERT_EQ(busy.system.devfreq.size(), 1u);
    EXPECT_EQ(busy.system.devfreq[0].governor, "simple_ondemand");

    // A shadow's warning names the DRM card behind it, not a connector.
    const fixture_result shadow = fixture_describe(fixture_cases[2]);
    EXPECT_NE(shadow.warnings.back().message.find("/dev/dri/card1 "), std::string::npos);

    // Without sources only what the build itself knows is left.
    const fixture_result empty = fixture_describe(fixture_cases[4]);
    const system_description& bare = empty.system;
    EXPECT_FALSE(bare.board_model || bare.cpu || bare.kernel.sysname || bare.kernel.release || bare.kernel.version
                 || bare.os || bare.load_average || bare.kernel_bits);
    EXPECT_TRUE(bare.cpufreq.empty() && bare.devfreq.empty() && bare.thermal_before.empty());
    EXPECT_FALSE(bare.libc.empty() || bare.compiler.empty() || bare.program_architecture.empty());
    EXPECT_FALSE(empty.sysfs.name || empty.sysfs.stride || empty.sysfs.mode || empty.sysfs.bits_per_pixel
                 || empty.sysfs.virtual_size || !empty.sysfs.driver.empty() || !empty.sysfs.drm_card.empty());
}

TEST(DescribeParse, CpuinfoOfOlderKernelsAndUnknownCores)
{
    const cpu_description cpu = cpuinfo_parse("Processor\t: ARMv6-compatible processor rev 7 (v6l)\n"
                                             "processor\t: 0\nFeatures\t: swp half thumb vfp\n"
                                             "CPU implementer\t: 0x41\nCPU architecture: 7\nCPU part\t: 0xb76\n"
                                             "processor\t: 1\nCPU implementer\t: 0x41\nCPU part\t: 0xfff\n");
    EXPECT_EQ(cpu.model, "ARMv6-compatible processor rev 7 (v6l)");
    EXPECT_EQ(cpu.architecture, "ARMv7");
    EXPECT_EQ(cpu.cores, 2);
    EXPECT_EQ(cpu.core_names, (std::vector<std::string>{"ARM1176", "implementer 0x41 part 0xfff"}));
    for (const auto& [implementer, part, name] : {std::tuple{0x41u, 0xc07u, "Cortex-A7"}, {0x41u, 0xc0fu, "Cortex-A15"},
                                                  {0x41u, 0xd03u, "Cortex-A53"}, {0x42u, 0xc09u, ""}})
        EXPECT_EQ(core_name(implementer, part), name);
}

// A results file tells 32-bit programs on a 64-bit kernel from the machine
// name the kernel gives: armv8l alone says nothing of the kernel's size.
TEST(DescribeParse, KernelBitsFromTheMachineName)
{
    const std::pair<const char*, std::optional<int>> cases[] = {
        {"aarch64", 64}, {"x86_64", 64}, {"ppc64le", 64}, {"riscv64", 64}, {"s390x", 64},
        {"armv7l", 32},  {"armv6l", 32}, {"i686", 32},    {"armv8l", std::nullopt}, {"", std::nullopt},
    };
    for (const auto& [machine, bits] : cases)
        EXPECT_EQ(kernel_bits_of(machine), bits) << machine;
}

TEST(DescribeParse, CountersAndTimings)
{
    // Two cores at 100 ticks a second.
    const char* two_cores = "cpu  100 0 100 800 50 0 0 0\ncpu0 50 0 50 400 25 0 0 0\ncpu1 50 0 50 400 25 0 0 0\nintr 9\n";
    const struct {
        const char* after;
        double own_seconds, wall_seconds;
        double other_seconds; // NAN: no value
        bool excessive;
    } stats[] = {
        // 150 busy ticks more, irq, softirq and steal among them (idle and
        // iowait do not count): 1.5 s, 1 s of it the run's own.
        {"cpu  200 10 130 900 90 4 3 3\ncpu0 0\ncpu1 0\n", 1.0, 2, 0.5, true},
        {"cpu  200 10 130 900 90 4 3 3\ncpu0 0\ncpu1 0\n", 1.46, 2, 0.04, false}, // 2 % of a core
        // 6 % of a core, but within the error of the tick counts: a tick per core at each end.
        {"cpu  103 0 100 800 50 0 0 0\ncpu0 0\ncpu1 0\n", 0.0, 0.5, 0.03, false},
        {"cpu  110 0 100 800 50 0 0 0\ncpu0 0\ncpu1 0\n", 0.5, 2, 0, false}, // own time above the ticks: 0
        {"cpu  90 0 100 800 50 0 0 0\n", 0, 2, NAN, false}, // time went back
        {"intr 5\n", 0, 2, NAN, false},
    };
    for (const auto& s : stats) {
        const std::optional<competing_work> work =
            competing_work_measure(two_cores, s.after, s.own_seconds, s.wall_seconds, 100);
        EXPECT_EQ(work.has_value(), !std::isnan(s.other_seconds)) << s.after;
        if (!work)
            continue;
        EXPECT_NEAR(work->other_seconds, s.other_seconds, 1e-9) << s.after;
        EXPECT_NEAR(work->percent, s.other_seconds / s.wall_seconds * 100, 1e-9) << s.after;
        EXPECT_EQ(competing_work_excessive(*work), s.excessive) << s.after;
    }
    // A state missing from the first reading has no difference to count.
    EXPECT_DOUBLE_EQ(cpufreq_seconds_below_max(time_in_state_parse("900 10\n600 5\n"),
                                               time_in_state_parse("900 50\n600 25\n300 90\n")),
                     0.2);

    fb_var_screeninfo vga{};
    vga.xres = 640, vga.yres = 480, vga.pixclock = 39721, vga.left_margin = 48, vga.right_margin = 16;
    vga.hsync_len = 96, vga.upper_margin = 33, vga.lower_margin = 10, vga.vsync_len = 2;
    EXPECT_EQ(refresh_hz(vga), 59.94);
    vga.vmode = FB_VMODE_INTERLACED;
    EXPECT_EQ(refresh_hz(vga), 119.88);
    vga.pixclock = 0;
    EXPECT_FALSE(refresh_hz(vga));

    EXPECT_EQ(os_release_pretty_name("ID=x\nPRETTY_NAME='Alpine Linux v3.20'\n"), "Alpine Linux v3.20");
    EXPECT_EQ(os_release_pretty_name("PRETTY_NAME=Gentoo\n"), "Gentoo");
    EXPECT_FALSE(os_release_pretty_name("NAME=x\n"));
    // The entry that holds the address, also where a merged entry starts below it.
    const std::string smaps = "b6b00000-b6c00000 rw-p 0 00:00 0\nVmFlags: rd wr\n"
                              "b6c00000-b6d77000 rw-s 0 00:06 1 /dev/fb0\nVmFlags: rd pf io\n";
    for (const uintptr_t inside : {0xb6c00000u, 0xb6c01000u, 0xb6d76fffu})
        EXPECT_EQ(smaps_vm_flags(smaps, inside), (std::vector<std::string>{"rd", "pf", "io"})) << inside;
    EXPECT_EQ(smaps_vm_flags(smaps, 0xb6bff000u), (std::vector<std::string>{"rd", "wr"}));
    EXPECT_FALSE(smaps_vm_flags(smaps, 0xb6d77000u));
}

TEST(DescribeMapping, ProbesStayInsideTheVisibleRowsAndReadsDecideWithoutFlags)
{
    // 3-, 4-, 2- and 1-byte layouts, all with padded rows.
    for (const probe_area area : {probe_area{7, 5, 24, 3}, probe_area{5, 6, 24, 4}, probe_area{11, 5, 24, 2},
                                  probe_area{7, 4, 16, 2}, probe_area{21, 3, 24, 1}}) {
        const size_t length = size_t(area.stride) * area.height;
        std::vector<uint8_t> screen(length + 64, 0xee), memory(length + 64, 0xee);
        const std::vector<mapping_probe> probes = mapping_probes_run(screen.data(), memory.data(), area, 1e-4);
        ASSERT_EQ(probes.size(), 5u);
        EXPECT_EQ(probes.back().name, "sequential read");
        for (const mapping_probe& probe : probes)
            EXPECT_GT(probe.screen_mpixels * probe.memory_mpixels, 0) << probe.name;
        for (size_t i = 0; i < screen.size(); ++i) {
            const bool visible = i < length && i % area.stride < area.width * area.pixel_bytes;
            if (!visible) {
                ASSERT_EQ(screen[i], 0xee) << "store outside the visible rows at byte " << i;
            }
        }
    }

    const std::vector<mapping_probe> slow_reads = {{"sequential read", 5.1, 54.1}};
    const std::vector<mapping_probe> fast_reads = {{"sequential read", 50, 54.1}};
    EXPECT_EQ(mapping_classify(std::nullopt, slow_reads).name, "direct-uncached");
    EXPECT_EQ(mapping_classify(std::nullopt, fast_reads).name, "unknown");
    EXPECT_EQ(mapping_classify(std::vector<std::string>{"rd", "wr", "pf", "io"}, fast_reads).name, "direct-uncached");
    EXPECT_EQ(mapping_classify(std::vector<std::string>{"rd", "wr", "io"}, slow_reads).name, "deferred-io");
}

TEST(DescribeDevice, AMissingDeviceIsAWarningNotAFailure)
{
    const fs::path root = fs::path(DESCRIBE_FIXTURES) / "empty";
    std::vector<run_warning> warnings;
    const fb_description device = fb_device_describe(root, "/nonexistent/fb7", warnings);
    EXPECT_FALSE(device.screen);
    const mapping_description mapping = mapping_describe(root, "/nonexistent/fb7", true, warnings, 1e-4);
    EXPECT_EQ(mapping.found.name, "unknown");
    EXPECT_FALSE(mapping.probes) << "no figures of a device that was not mapped";
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[0].kind, "device-query");
    EXPECT_EQ(warnings[1].kind, "mapping");
}

// ---- What reaches the display.

TEST(DescribeDisplay, NominalRatesAndVblankCrtcBits)
{
    drmModeModeInfo vga{};
    vga.clock = 25175;
    vga.htotal = 800;
    vga.vtotal = 525;
    EXPECT_DOUBLE_EQ(*drm_mode_refresh_hz(vga), 59.94);
    drmModeModeInfo interlaced = vga;
    interlaced.flags = DRM_MODE_FLAG_INTERLACE;
    EXPECT_DOUBLE_EQ(*drm_mode_refresh_hz(interlaced), 119.88);
    drmModeModeInfo no_total = vga;
    no_total.vtotal = 0;
    EXPECT_FALSE(drm_mode_refresh_hz(no_total));

    EXPECT_EQ(drm_vblank_crtc_bits(0), 0u);
    EXPECT_EQ(drm_vblank_crtc_bits(1), uint32_t(DRM_VBLANK_SECONDARY));
    for (uint32_t index : {2u, 3u, 31u}) {
        const uint32_t bits = drm_vblank_crtc_bits(index);
        EXPECT_EQ(bits & uint32_t(DRM_VBLANK_SECONDARY), 0u) << index;
        EXPECT_EQ((bits & DRM_VBLANK_HIGH_CRTC_MASK) >> DRM_VBLANK_HIGH_CRTC_SHIFT, index) << index;
    }
}

TEST(DescribeDisplay, RefreshFromIntervalsAgainstTheModesPeriod)
{
    const auto times = [](double start, std::vector<double> intervals) {
        std::vector<double> t = {start};
        for (double interval : intervals)
            t.push_back(t.back() + interval);
        return t;
    };
    const struct {
        const char* name;
        refresh_measurement measured;
        const char* status;
        double median_hz; // 0: none reported
        double spread_percent;
    } cases[] = {
        {"60 Hz with jitter", {"drm-vblank", times(100, {0.0166, 0.0167, 0.0168, 0.0167}), "", 60.0}, "measured",
         59.88, 1.2},
        {"a 30 Hz display behind a 60 Hz mode", {"drm-vblank", times(5, {0.0333, 0.0334, 0.0333}), "", 60.0},
         "measured", 30.03, 0.3},
        {"waits that return at once", {"fbio-waitforvsync", times(1, {0.0004, 0.0004, 0.0005}), "", 60.0},
         "vblank wait does not wait", 0, 0},
        {"no nominal rate, returns at once", {"fbio-waitforvsync", times(1, {0.0004, 0.0004}), "", std::nullopt},
         "vblank wait does not wait", 0, 0},
        {"no nominal rate, plausible", {"fbio-waitforvsync", times(1, {0.02, 0.02}), "", std::nullopt}, "measured",
         50.0, 0},
        {"refused", {"drm-vblank", {}, "drmWaitVBlank: Invalid argument", 60.0}, "no vblank events", 0, 0},
        {"one event only", {"drm-vblank", {3.0}, "no vblank event came within a second", 60.0}, "no vblank events", 0,
         0},
    };
    for (const auto& c : cases) {
        const refresh_summary refresh = refresh_summarize(c.measured);
        EXPECT_STREQ(refresh_status_text(refresh.status), c.status) << c.name;
        EXPECT_EQ(refresh.method, c.measured.method) << c.name;
        EXPECT_EQ(refresh.nominal_hz, c.measured.nominal_hz) << c.name;
        EXPECT_FALSE(refresh.evidence.empty()) << c.name;
        if (c.median_hz > 0) {
            EXPECT_NEAR(refresh.median_hz.value_or(0), c.median_hz, 0.01) << c.name;
            EXPECT_NEAR(refresh.spread_percent.value_or(-1), c.spread_percent, 0.05) << c.name;
            EXPECT_EQ(refresh.intervals, c.measured.times.size() - 1) << c.name;
        } else {
            EXPECT_FALSE(refresh.median_hz) << c.name << ": no rate is made up";
        }
        if (c.measured.times.size() < 2) {
            EXPECT_EQ(refresh.evidence, c.measured.failure) << c.name;
        }
    }
}

// ENOTTY from FBIO_WAITFORVSYNC is a missing compat path only for a 32-bit
// program on the DRM emulation of a 64-bit kernel; anywhere else it stays
// what the driver said.
TEST(DescribeDisplay, WaitForVsyncRefusedFromA32BitProgram)
{
    const refresh_measurement refused{"fbio-waitforvsync", {}, "FBIO_WAITFORVSYNC: Inappropriate ioctl for device",
                                      60.0, ENOTTY};
    const char* const unsupported = "unsupported for 32-bit programs on this kernel";
    const struct {
        bool drm_emulation;
        int program_bits;
        std::optional<int> kernel_bits;
        const char* status;
    } cases[] = {
        {true, 32, 64, unsupported},
        {true, 64, 64, "no vblank events"},
        {true, 32, 32, "no vblank events"},
        {true, 32, std::nullopt, "no vblank events"},
        {false, 32, 64, "no vblank events"},
    };
    for (const auto& c : cases) {
        const refresh_summary wait = waitforvsync_summarize(refused, c.drm_emulation, c.program_bits, c.kernel_bits);
        EXPECT_STREQ(refresh_status_text(wait.status), c.status) << c.drm_emulation << " " << c.program_bits;
        EXPECT_EQ(wait.nominal_hz, 60.0);
    }
    refresh_measurement other = refused;
    other.failure_errno = EINVAL;
    EXPECT_EQ(waitforvsync_summarize(other, true, 32, 64).status, refresh_status::no_vblank_events);
}

TEST(DescribeDisplay, WhetherTheKernelWaitsForTheFlush)
{
    const struct {
        const char* name;
        flush_facts facts;
        std::optional<bool> waits;
        const char* evidence_has;
    } cases[] = {
        {"direct framebuffer", {"fsync", EINVAL, true, "direct-uncached", false, "6.1.0"}, std::nullopt, "EINVAL"},
        {"direct mapping that takes fsync", {"fsync", 0, true, "direct-uncached", false, "6.1.0"}, std::nullopt,
         "mapping direct-uncached"},
        {"DRM emulation on 6.1", {"fsync", 0, true, "deferred-io", true, "6.1.0-18-armmp"}, false,
         "returns before the display has the frame"},
        {"DRM emulation on 6.12", {"fsync", 0, true, "deferred-io", true, "6.12.9-arm64"}, true,
         "before it returns"},
        {"DRM emulation, release unknown", {"fsync", 0, true, "deferred-io", true, ""}, std::nullopt,
         "unknown"},
        {"SPI panel", {"fsync", 0, true, "deferred-io", false, "6.12.0"}, std::nullopt, "driver's own"},
        {"failing fsync", {"fsync", EIO, true, "deferred-io", false, "6.12.0"}, std::nullopt, "fsync failed"},
        {"DRM dirty request", {"dirtyfb", 0, true, "", false, ""}, true, "blocking commit"},
        {"DRM not probed", {"dirtyfb", 0, false, "", false, ""}, std::nullopt, "not probed"},
        {"DRM without a dirty hook (vkms)", {"dirtyfb", ENOSYS, true, "", false, ""}, std::nullopt, "no flush needed"},
    };
    for (const auto& c : cases) {
        const flush_summary flush = flush_describe(c.facts);
        EXPECT_EQ(flush.method, c.facts.method) << c.name;
        EXPECT_EQ(flush.kernel_waits, c.waits) << c.name;
        EXPECT_NE(flush.evidence.find(c.evidence_has), std::string::npos) << c.name << ": " << flush.evidence;
        // Only a flush that does nothing is not needed; a failing one is an error.
        EXPECT_EQ(flush.needed, c.facts.method != "dirtyfb" || c.facts.flush_errno != ENOSYS) << c.name;
        EXPECT_EQ(flush.error.empty(), c.facts.flush_errno == 0 || c.facts.flush_errno == EINVAL
                                           || c.facts.flush_errno == ENOSYS) << c.name;
    }
    EXPECT_EQ(kernel_release_at_least("6.2", 6, 2), true);
    EXPECT_EQ(kernel_release_at_least("5.19.0", 6, 2), false);
    EXPECT_EQ(kernel_release_at_least("7.0-rc1", 6, 2), true);
    EXPECT_FALSE(kernel_release_at_least("six", 6, 2));
}

TEST(DescribeDisplay, UpdateProbeSeparatesTheFlushFromTheWrites)
{
    const update_probe_summary probe = update_probe_summarize({40, 0.1, 0.3, ""});
    EXPECT_EQ(probe.updates, 40u);
    EXPECT_DOUBLE_EQ(probe.updates_per_second, 100.0);
    EXPECT_DOUBLE_EQ(probe.write_ms, 2.5);
    EXPECT_DOUBLE_EQ(probe.flush_ms, 7.5);
    const char* const held = "a display server holds DRM master (Device or resource busy)";
    EXPECT_EQ(update_probe_summarize({0, 0, 0, held}).skipped, held);
    EXPECT_EQ(update_probe_summarize({0, 0, 0, ""}).skipped, "no update completed");
}

TEST(DescribeDisplay, AMissingDeviceIsDescribedNotMeasured)
{
    const fs::path root = fs::path(DESCRIBE_FIXTURES) / "empty";
    const display_description fb = fb_display_describe(root, "/nonexistent/fb7", {}, true, 1e-4);
    EXPECT_EQ(fb.refresh.value_or(refresh_summary{}).status, refresh_status::not_measured);
    EXPECT_FALSE(fb.update_probe);
    const display_description drm = drm_display_describe("/nonexistent/card7", true, 1e-4);
    EXPECT_EQ(drm.refresh.value_or(refresh_summary{}).status, refresh_status::not_measured);
    EXPECT_FALSE(drm.flush);
}

} // namespace
