// The verdicts on what reaches the display: its warnings and the device's
// one line.
#include "runner_test_support.h"
#include "verdicts.h"

namespace {

// The warnings of each program's runs on /dev/fb1, as the run loop keeps them.
std::vector<run_warning> fb1_verdicts(const session& s, const std::vector<std::string>& programs)
{
    std::vector<run_warning> warnings;
    for (const std::string& program : programs) {
        const std::vector<run_warning> w = verdicts_bench(s, program, "/dev/fb1", plan_find(s, "/dev/fb1").targets);
        warnings.insert(warnings.end(), w.begin(), w.end());
    }
    return warnings;
}

// A display that receives under half of what is drawn is warned of once per
// program and device at the row of the largest loss, saying how it was
// measured.
TEST(Verdicts, DisplayDropAtTheLargestLoss)
{
    const session s = display_session();
    for (const run_record& r : s.runs)
        ASSERT_TRUE(r.valid) << r.program << " " << run_target_key(r.target);
    const std::vector<run_warning> warnings = fb1_verdicts(s, {"sierpinski-bench", "rectangle-bench", "mandelbrot-bench"});
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[0].kind, "display-drop");
    // 12.34 of 40 is the largest loss (0.31), before 11 of 20 and 30 of 57.5.
    EXPECT_EQ(warnings[0].message, "/dev/fb1 shows 12.3 of the 40.0 frames/s of Sierpinski frames drawn at 2048 "
                                   "points when each frame is flushed on its own");
    // Rectangles: 9 of 16.69 is over half: no warning. Mandelbrot: 7.26 s for 3.10 s is under half.
    EXPECT_EQ(warnings[1].message, "/dev/fb1 takes 7.26 s to show the Mandelbrot passes drawn in 3.10 s when each "
                                   "pass is flushed on its own");
    EXPECT_EQ(display_verdict(s, "/dev/fb1"),
              "/dev/fb1: 54 % of the rectangles drawn reach the display when each rectangle is flushed; 43 % of the "
              "Mandelbrot passes drawn reach the display when each pass is flushed; 31 % to 55 % of the Sierpinski "
              "frames drawn reach the display when each frame is flushed; 432 full-screen updates/s; mode 75 Hz, no "
              "vblank events; kernel copy work: up to 42 % of a core");
}

// A display above the drawing is noise, its runs named; frames beyond the
// refresh cannot all be shown, and never more than all of it reaches the
// display.
TEST(Verdicts, DisplayFasterThanTheDrawingIsNoise)
{
    const session fast = display_fast_session();
    const std::vector<run_warning> warnings = fb1_verdicts(fast, {"sierpinski-bench"});
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[1].kind, "display-noise");
    EXPECT_EQ(warnings[1].message,
              "sierpinski-bench on /dev/fb1: the display measured 1.15 times as fast as the screen (frame rate at 1024 "
              "points: 1154.00 against 1000.00 frames/s; display run 1), which a flush cannot do: noise or a wrong "
              "measurement; measure again on a quiet machine");
    const std::string verdict = display_verdict(fast, "/dev/fb1");
    EXPECT_TRUE(verdict.starts_with("/dev/fb1: 40 % to 100 % of the Sierpinski frames drawn reach the display when "
                                    "each frame is flushed (measured faster than the drawing: noise); at most 75 "
                                    "frames/s reach the glass;"))
        << verdict;
}

// A wall clock that drifted from the monotonic one is named once per target,
// with the largest drift of its runs: repeating the runs cannot mend it.
TEST(Verdicts, ClockDriftNamesTheRuns)
{
    session s = display_session();
    s.runs[3].clock_drift_percent = 0.5;
    s.runs[4].clock_drift_percent = -0.31;
    s.runs.push_back(s.runs[3]);
    s.runs.back().clock_drift_percent = 0.62;
    settle(s);
    std::vector<std::string> drifts;
    for (const run_warning& w : fb1_verdicts(s, {"rectangle-bench", "mandelbrot-bench"}))
        if (w.kind == "clock-drift")
            drifts.push_back(w.message);
    EXPECT_EQ(drifts, (std::vector<std::string>{
                          "the wall clock ran up to 0.62 % fast against the monotonic clock during screen runs 1, 2 "
                          "of rectangle-bench on /dev/fb1; the program times with the wall clock, so its figures "
                          "are off by as much: stop what keeps setting the clock and measure again",
                          "the wall clock ran up to 0.31 % slow against the monotonic clock during display run 1 of "
                          "rectangle-bench on /dev/fb1; the program times with the wall clock, so its figures are off "
                          "by as much: stop what keeps setting the clock and measure again"}));
}

} // namespace
