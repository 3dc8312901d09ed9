#include "bench_hold.h"
#include "drm_screen.h"
#include "benchlib.h"

#include <drm_fourcc.h>
#include <gtest/gtest.h>

namespace {

drmModeModeInfo mode_make(uint16_t width, uint16_t height, bool preferred = false)
{
    drmModeModeInfo mode{};
    mode.hdisplay = width;
    mode.vdisplay = height;
    mode.vrefresh = 60;
    mode.type = preferred ? DRM_MODE_TYPE_PREFERRED : 0;
    return mode;
}

const drmModeModeInfo small = mode_make(640, 480), large = mode_make(1024, 768), wide = mode_make(1280, 720);

// CRTCs 10 and 11 (possible_crtcs bits 0 and 1); encoder 20 may use both,
// encoder 21 only CRTC 11, encoder 22 none.
drm_card_state card_make(std::vector<drm_connector_state> connectors, uint32_t crtc_of_20, uint32_t crtc_of_21,
                         bool crtc_10_on)
{
    drm_card_state card;
    card.connectors = std::move(connectors);
    card.encoders = {{20, crtc_of_20, 0b11}, {21, crtc_of_21, 0b10}, {22, 0, 0}};
    card.crtcs = {{10, crtc_10_on, wide}, {11, false, {}}};
    return card;
}

TEST(DrmCardChoose, TakesTheFirstUsableConnectorItsModeAndACrtc)
{
    const drm_connector_state off{1, DRM_MODE_CONNECTOR_HDMIA, 1, false, 0, {small}, {20}};
    const drm_connector_state modeless{2, DRM_MODE_CONNECTOR_HDMIA, 2, true, 0, {}, {20}};
    const drm_connector_state idle{3, DRM_MODE_CONNECTOR_VIRTUAL, 1, true, 0, {small, large, wide}, {20}};
    const drm_connector_state preferring{3, DRM_MODE_CONNECTOR_VIRTUAL, 1, true, 0, {small, mode_make(1024, 768, true)}, {21}};
    const drm_connector_state shown{4, DRM_MODE_CONNECTOR_VGA, 1, true, 20, {mode_make(1024, 768, true)}, {20}};
    const drm_connector_state clone{5, DRM_MODE_CONNECTOR_VGA, 2, true, 20, {small}, {20}};
    const drm_connector_state stuck{6, DRM_MODE_CONNECTOR_DSI, 1, true, 0, {small}, {22, 99}};
    const struct {
        const char* name;
        drm_card_state card;
        drm_choice_result result;
        uint32_t connector_id, crtc_id;
        uint16_t width;
        std::vector<uint32_t> crtc_connector_ids;
    } cases[] = {
        {"nothing connected", card_make({off}, 0, 0, false), drm_choice_no_connector, 0, 0, 0, {}},
        {"connected without modes", card_make({modeless}, 0, 0, false), drm_choice_no_connector, 0, 0, 0, {}},
        {"idle: first mode, first CRTC", card_make({off, modeless, idle}, 0, 0, false), drm_choice_made, 3, 10, 640, {}},
        {"idle: preferred mode, allowed CRTC", card_make({preferring}, 0, 0, false), drm_choice_made, 3, 11, 1024, {}},
        {"idle: a CRTC another display uses is passed over", card_make({idle, shown}, 10, 0, true), drm_choice_made, 3, 11, 640, {}},
        {"every allowed CRTC busy: the first", card_make({idle, shown}, 10, 11, true), drm_choice_made, 3, 10, 640, {4}},
        {"shown: the CRTC's mode and its clones", card_make({shown, clone}, 10, 0, true), drm_choice_made, 4, 10, 1280, {4, 5}},
        {"current CRTC off: preferred mode", card_make({shown}, 10, 0, false), drm_choice_made, 4, 10, 1024, {4}},
        {"no CRTC allowed", card_make({stuck}, 0, 0, false), drm_choice_no_crtc, 6, 0, 0, {}},
    };
    for (const auto& c : cases) {
        drm_choice choice;
        ASSERT_EQ(drm_card_choose(c.card, choice), c.result) << c.name;
        EXPECT_EQ(choice.connector_id, c.connector_id) << c.name;
        if (c.result != drm_choice_made)
            continue;
        EXPECT_EQ(c.card.connectors[choice.connector].id, c.connector_id) << c.name;
        EXPECT_EQ(choice.crtc_id, c.crtc_id) << c.name;
        EXPECT_EQ(choice.mode.hdisplay, c.width) << c.name;
        EXPECT_EQ(choice.crtc_connector_ids, c.crtc_connector_ids) << c.name;
    }
}

TEST(DrmScreenGeometry, AddressesRowsByThePitchAndRefusesWhatCannotHoldTheMode)
{
    const struct {
        uint16_t width, height;
        uint32_t pitch;
        uint64_t size;
        uint32_t bits_per_pixel;
        bool usable;
    } cases[] = {
        {800, 480, 3200, 3200 * 480, 32, true},
        {800, 480, 3328, 3328 * 480 + 4096, 32, true},
        {800, 480, 3202, 3202 * 480, 32, false},
        {800, 480, 3196, 3196 * 480, 32, false},
        {800, 480, 3328, 3328 * 480 - 1, 32, false},
        {65535, 8192, 262144, uint64_t(262144) * 8192, 32, false},
        {800, 480, 1600, 1600 * 480, 16, true},
        {801, 480, 1792, 1792 * 480, 16, true},
        {800, 480, 1601, 1601 * 480, 16, false},
        {800, 480, 1598, 1598 * 480, 16, false},
    };
    for (const auto& c : cases) {
        fb_var_screeninfo vinfo{};
        ASSERT_EQ(drm_screen_geometry(mode_make(c.width, c.height), c.pitch, c.size, c.bits_per_pixel, vinfo), c.usable)
            << c.pitch;
        if (!c.usable)
            continue;
        EXPECT_EQ(vinfo.bits_per_pixel, c.bits_per_pixel);
        EXPECT_EQ(fb_screen_len(vinfo), uint64_t(c.pitch) * c.height);
        EXPECT_EQ(fb_pixel_offset(vinfo, {10, 10, 5, 2}, 1, 1), c.pitch * 3 + 6 * (c.bits_per_pixel / 8));
    }
}

// The dumb buffer's depth: FBBENCH_DEPTH, else 16 where the driver prefers 16
// (SPI panels), else 32 whatever it answers, or when it does not.
TEST(DrmDepth, TakesTheAskedThenThePreferredDepth)
{
    const struct {
        const char* text;
        uint32_t depth;
        const char* refusal;
    } texts[] = {
        {nullptr, 0, ""}, {"", 0, ""}, {"16", 16, ""}, {"32", 32, ""},
        {"24", 0, "FBBENCH_DEPTH=24 is not 16 or 32"}, {"016", 0, "FBBENCH_DEPTH=016 is not 16 or 32"},
        {"16\n", 0, "FBBENCH_DEPTH=16\\n is not 16 or 32"},
    };
    for (const auto& t : texts) {
        uint32_t depth = 99;
        EXPECT_EQ(drm_depth_check(t.text, depth), t.refusal) << (t.text ? t.text : "unset");
        EXPECT_EQ(depth, t.depth) << (t.text ? t.text : "unset");
    }
    const struct {
        uint32_t asked;
        bool answered;
        uint64_t preferred;
        uint32_t depth;
    } choices[] = {
        {0, true, 16, 16}, {0, true, 24, 32}, {0, true, 32, 32}, {0, true, 0, 32},
        {0, false, 16, 32}, {16, true, 32, 16}, {16, false, 0, 16}, {32, true, 16, 32},
    };
    for (const auto& c : choices)
        EXPECT_EQ(drm_depth_choose(c.asked, c.answered, c.preferred), c.depth)
            << c.asked << ' ' << c.answered << ' ' << c.preferred;
    EXPECT_EQ(drm_format_names({DRM_FORMAT_XRGB8888, DRM_FORMAT_RGB565}), "XRGB8888, RGB565");
}

TEST(DrmNames, AreTheOnesOtherDisplayToolsUse)
{
    EXPECT_EQ(drm_mode_name(mode_make(800, 480)), "800x480@60");
    EXPECT_EQ(drm_connector_name({1, DRM_MODE_CONNECTOR_VIRTUAL, 1, true, 0, {}, {}}), "Virtual-1");
    EXPECT_EQ(drm_connector_name({1, DRM_MODE_CONNECTOR_HDMIA, 2, true, 0, {}, {}}), "HDMI-A-2");
}

TEST(BenchHoldParse, TakesWholeSecondsOnly)
{
    for (const auto& [text, value] : {std::pair{"0", 0u}, {"5", 5u}, {"007", 7u}, {"2147483647", 2147483647u}}) {
        uint32_t seconds = 99;
        EXPECT_TRUE(bench_hold_parse(text, seconds)) << text;
        EXPECT_EQ(seconds, value) << text;
    }
    for (const char* text : {"", "-1", "+5", " 5", "5s", "1.5", "2147483648", "99999999999999999999"}) {
        uint32_t seconds = 99;
        EXPECT_FALSE(bench_hold_parse(text, seconds)) << text;
    }
}

} // namespace
