// Report parsing: only the exact text a program prints is read back, and the
// benchmark table has an entry for each program fbbench knows.
#include "benchmarks.h"
#include "cli.h"
#include "report.h"
#include "runner_test_support.h"

#include <cmath>

namespace {

// The text with its first from replaced by to: a report altered on purpose.
std::string text_replaced(std::string text, const std::string& from, const std::string& to)
{
    return text.replace(text.find(from), from.size(), to);
}

const std::string rectangle_ok = report_text("rectangle-bench", {184.37});
const std::string mandelbrot_ok = report_text("mandelbrot-bench", {12.34});
const std::string sierpinski_ok = report_text("sierpinski-bench", {57.50, 1030.12});
const std::string sierpinski_one_level = report_text("sierpinski-bench", {57.50});

struct report_case {
    const char* name;
    std::string program;
    std::string text;
    bool parses;
    std::vector<double> values;
    const char* invalid = ""; // why a parsed report does not count
};

const report_case report_cases[] = {
    {"Rectangle", "rectangle-bench", rectangle_ok, true, {184.37}},
    {"RectangleTruncated", "rectangle-bench", rectangle_ok.substr(0, rectangle_ok.size() - 1), false, {}},
    {"RectangleOneDecimal", "rectangle-bench", text_replaced(rectangle_ok, "184.37", "184.4"), false, {}},
    {"RectangleTrailingLine", "rectangle-bench", rectangle_ok + "\n", false, {}},
    {"Mandelbrot", "mandelbrot-bench", mandelbrot_ok, true, {12.34}},
    {"MandelbrotOtherPasses", "mandelbrot-bench", text_replaced(mandelbrot_ok, "48", "47"), false, {}},
    {"MandelbrotUnderAnotherName", "rectangle-bench", mandelbrot_ok, false, {}},
    {"Sierpinski", "sierpinski-bench", sierpinski_ok, true, {57.50, 1030.12}},
    {"SierpinskiNoLevel", "sierpinski-bench", report_text("sierpinski-bench", {}), true, {}},
    {"SierpinskiWithoutLastLine", "sierpinski-bench", sierpinski_ok.substr(0, sierpinski_ok.size() - 1), false, {}},
    {"SierpinskiSkipsALevel", "sierpinski-bench", text_replaced(sierpinski_one_level, "1024", "2048"), false, {}},
    {"SierpinskiNarrowColumn", "sierpinski-bench",
     text_replaced(sierpinski_one_level, "     1024 iterations:    ", "1024 iterations: "), false, {}},
    {"UnknownProgram", "other-bench", rectangle_ok, false, {}},
    // Parsed as printed, but not counted.
    {"RectangleOfNoPixels", "rectangle-bench", report_text("rectangle-bench", {0}, 0, 30), true, {0}, "no work"},
    {"MandelbrotBelowResolution", "mandelbrot-bench", report_text("mandelbrot-bench", {0}), true, {0},
     "value below resolution"},
    {"MandelbrotNan", "mandelbrot-bench", report_text("mandelbrot-bench", {NAN}), true, {NAN}, "value not finite"},
    {"SierpinskiInf", "sierpinski-bench", report_text("sierpinski-bench", {INFINITY}), true, {INFINITY},
     "value not finite"},
};

class ReportParse : public testing::TestWithParam<report_case> {};

TEST_P(ReportParse, TakesExactReportsOnly)
{
    const report_case& c = GetParam();
    std::vector<report_value> values = {{"stale", "", true, 0, 1}};
    ASSERT_EQ(report_parse(c.program, c.text, values), c.parses);
    if (!c.parses)
        return;
    ASSERT_EQ(values.size(), c.values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        if (!std::isnan(c.values[i])) {
            EXPECT_EQ(values[i].value, c.values[i]) << i;
        }
    EXPECT_EQ(report_invalid_reason(values), c.invalid);
}

INSTANTIATE_TEST_SUITE_P(Reports, ReportParse, testing::ValuesIn(report_cases), case_name);

TEST(ReportParse, NamesMetricsWithUnitAndDirection)
{
    std::vector<report_value> values;
    ASSERT_TRUE(report_parse("sierpinski-bench", sierpinski_ok, values));
    EXPECT_EQ(values[1].metric, "frame rate at 2048 points");
    EXPECT_EQ(values[1].points, 2048u);
    EXPECT_EQ(values[1].unit, "frames/s");
    ASSERT_TRUE(report_parse("mandelbrot-bench", mandelbrot_ok, values));
    EXPECT_EQ(values[0].metric, "time");
    EXPECT_FALSE(values[0].higher_is_better);
}

// Every program fbbench knows has one entry that reads its report back.
TEST(Benchmarks, TableNamesEveryKnownProgram)
{
    EXPECT_EQ(options_known_programs(), (std::vector<std::string>{"rectangle-bench", "mandelbrot-bench", "sierpinski-bench"}));
    for (const std::string& name : options_known_programs()) {
        const benchmark* b = benchmark_find(name);
        ASSERT_NE(b, nullptr) << name;
        EXPECT_EQ(b->resolution, 0.01);
    }
    EXPECT_EQ(benchmark_find("line-bench"), nullptr);
}

} // namespace
