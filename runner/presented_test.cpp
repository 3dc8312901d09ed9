// The presented target's figures, from the flip records the programs write:
// intervals, missed vblanks, faked events, and records not as written.
#include "presented.h"
#include "results_file.h"
#include "runner_test_support.h"

#include "bench_present.h"

#include <cerrno>
#include <set>

namespace {

using flip = std::pair<int64_t, uint32_t>; // the kernel's time in microseconds, the vblank number

// The flip records as a program writes them (bench_present_format).
std::string flip_records(const std::vector<flip>& flips, uint64_t busy = 0, int flip_errno = 0)
{
    std::vector<bench_flip_record> records;
    for (const auto& [us, sequence] : flips)
        records.push_back({uint32_t(us / 1000000), uint32_t(us % 1000000), sequence});
    bench_present present;
    present.records = records.data();
    present.record_count = records.size();
    present.units = 1000;
    present.queued = present.events = records.size();
    present.busy = busy;
    present.flip_errno = flip_errno;
    std::string text(bench_present_format(present, nullptr, 0), '\0');
    bench_present_format(present, text.data(), text.size() + 1);
    return text;
}

// Flips at vkms's 60 Hz from vblank 100 on, one per vblank but for the
// vblanks skipped after the given ones.
std::vector<flip> vkms_flips(std::size_t count, const std::set<std::size_t>& skipped_after = {}, int64_t period_us = 16667)
{
    std::vector<flip> flips;
    uint32_t sequence = 100;
    for (std::size_t i = 0; i < count; ++i) {
        flips.emplace_back(int64_t(12800000000) + int64_t(sequence - 100) * period_us, sequence);
        sequence += skipped_after.count(i) != 0 ? 2 : 1;
    }
    return flips;
}

struct figures_case {
    const char* name;
    std::string text;
    std::string fault;
    double fps = 0, median_ms = 0, p99_ms = 0;
    uint64_t flagged = 0, vblanks = 0, missed = 0;
    bool lost = false;
};

const figures_case figures_cases[] = {
    {"EveryVblank", flip_records(vkms_flips(301)), "", 60.0, 16.667, 16.667, 0, 300, 0, false},
    {"TwoMissed", flip_records(vkms_flips(101, {10, 60})), "", 100 / (102 * 0.016667), 16.667, 33.334, 2, 102, 2, true},
    // 3 % late, and the next interval as early.
    {"OneLateFlip", flip_records([] { auto f = vkms_flips(200); f[150].first += 500; return f; }()), "", 60.0, 16.667,
     16.667, 2, 199, 0, false},
    {"AFrameTimeOnePercentOff", flip_records(vkms_flips(61, {}, 16834)), "", 1e6 / 16834, 16.834, 16.834, 60, 60, 0, false},
    {"StuckCounter", flip_records([] { auto f = vkms_flips(10); for (flip& x : f) x.second = 1000; return f; }()),
     "the vblank counter does not move (every flip event has sequence 1000)"},
    {"CounterBehindTheFlips", flip_records({{1000000, 5}, {1016667, 6}, {1033334, 6}}),
     "the vblank counter does not advance with the flips (sequence 6 then 6)"},
    {"FlipRefused", flip_records({}, 0, EINVAL), "the page flip failed: Invalid argument"},
    {"AlwaysBusy", flip_records({}, 40), "every page flip was refused as busy"},
    {"OneFlip", flip_records(vkms_flips(1)), "fewer than two flips were presented"},
};

class Presented : public testing::TestWithParam<figures_case> {};

TEST_P(Presented, IntervalsMissedVblanksAndFaults)
{
    const figures_case& c = GetParam();
    presented_record record;
    std::string error;
    ASSERT_TRUE(presented_parse(c.text, record, error)) << error;
    EXPECT_EQ(presented_fault(record), c.fault);
    if (!c.fault.empty()) {
        EXPECT_EQ(presented_json(record, 60.0)["dropped"], c.fault);
        return;
    }
    const presented_figures f = presented_compute(record, 60.0);
    EXPECT_NEAR(f.frames_per_second, c.fps, 0.01);
    EXPECT_NEAR(f.interval_median_ms, c.median_ms, 0.001);
    EXPECT_NEAR(f.interval_p99_ms, c.p99_ms, 0.001);
    EXPECT_EQ(f.intervals_flagged, c.flagged);
    EXPECT_EQ(f.vblanks, c.vblanks);
    EXPECT_EQ(f.missed_vblanks, c.missed);
    // Every vblank of the run showed a new frame or was missed.
    EXPECT_EQ(f.missed_vblanks + f.flips - 1, f.vblanks);
    EXPECT_EQ(f.frames_lost, c.lost);
    EXPECT_LE(f.frames_per_second, 60.0 * (1 + presented_interval_tolerance));
}

INSTANTIATE_TEST_SUITE_P(Flips, Presented, testing::ValuesIn(figures_cases), case_name);

struct refused_case {
    const char* name;
    std::string text, error;
};

const std::string three_flips = flip_records(vkms_flips(3));
const refused_case refused_cases[] = {
    {"Nothing", "", "no flip records"},
    {"AnotherHeader", "fbbench-present 2\n" + three_flips.substr(three_flips.find('\n') + 1),
     "the flip records are not recognised"},
    {"ABadFlipLine", three_flips + "flip 1 2\n", "line 10 of the flip records is not recognised"},
    {"MicrosecondsBeyondASecond", three_flips + "flip 1 1000000 5\n", "line 10 of the flip records is not recognised"},
    {"AnUnknownLine", three_flips + "frames 3\n", "line 10 of the flip records is not recognised"},
    {"AFlipMoreThanKept", three_flips + "flip 1 2 3\n", "the flip records do not add up"},
};

class PresentedRecords : public testing::TestWithParam<refused_case> {};

TEST_P(PresentedRecords, NotWrittenSoAreRefused)
{
    presented_record record;
    std::string error;
    EXPECT_FALSE(presented_parse(GetParam().text, record, error));
    EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Flips, PresentedRecords, testing::ValuesIn(refused_cases), case_name);

} // namespace
