// The table: it fits the width it is given, leads with the verdict and the
// display, leaves out what was not planned, puts each mark on its figure
// and explains every mark and ratio; the header above it and the Markdown
// row that compares boards.
#include "console.h"
#include "runner_test_support.h"
#include "table.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <unistd.h>

namespace {

// What print writes to a stream, as text.
template <typename Print>
std::string printed(const Print& print)
{
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    print(out);
    std::fclose(out);
    const std::string result(text, size);
    std::free(text);
    return result;
}

std::string table_of(const session& s, int columns = 0)
{
    return printed([&](std::FILE* out) { results_table_print(out, s, columns); });
}

// Every line of the text fits the columns, counting each UTF-8 sequence once.
void expect_lines_fit(const std::string& text, int columns)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(std::count_if(line.begin(), line.end(), [](char ch) { return (ch & 0xc0) != 0x80; }), columns)
            << line;
}

struct layout_case {
    const char* name;
    int columns;
    std::vector<std::string> lines; // each in the table, in this order
};

const layout_case layout_cases[] = {
    {"Wide", 0,
     {"/dev/fb1: 54 % of the rectangles drawn",
      "benchmark and metric                        unit       display  spread  runs  display/screen  screen  spread  "
      "runs    RAM  spread  runs  screen/RAM\n",
      "sierpinski-bench frame rate at 2048 points  frames/s     12.34       \u2013     1           0.308   40.00       "
      "\u2013     1  41.00       \u2013     1       0.976\n",
      "rectangle-bench fill rate                   MPixels/s     9.00       \u2013     1           0.539   16.69       "
      "\u2013     1      -       -     0           -\n",
      "Ratios compare speeds", "display/screen: the display's speed", "screen/RAM: the screen's speed"}},
    {"Eighty", 80,
     {"/dev/fb1: 54 % of the rectangles drawn reach the display when each rectangle is\n  flushed;",
      "               display  spread  disp/scr  screen  spread    RAM  spread  scr/RAM\n"
      "sierpinski-bench (frames/s)\n",
      "  2048 points    12.34       \u2013     0.308   40.00       \u2013  41.00       \u2013    0.976\n",
      "mandelbrot-bench (s)\n  time            7.26       \u2013     0.427    3.10       \u2013      -       -        -\n",
      "disp/scr: the display's"}},
    // Below 60 columns each target gets a line of its own.
    {"Stacked", 40,
     {"             median  spread  ratio\n"
      "sierpinski-bench (frames/s)\n"
      "  1024 points\n"
      "    display   30.00       \u2013  0.522\n"
      "    screen    57.50       \u2013\n"
      "    RAM       60.00       \u2013  0.958\n"
      "  2048 points\n",
      "\ndisplay ratio: the display's speed"}},
};

class Table : public testing::TestWithParam<layout_case> {};

TEST_P(Table, FitsAndExplains)
{
    const layout_case& c = GetParam();
    const std::string table = table_of(display_session(), c.columns);
    std::size_t at = 0;
    for (const std::string& line : c.lines) {
        const std::size_t found = table.find(line, at);
        EXPECT_NE(found, std::string::npos) << line << "\nin\n" << table;
        at = found == std::string::npos ? at : found;
    }
    if (c.columns != 0)
        expect_lines_fit(table, c.columns);
}

INSTANTIATE_TEST_SUITE_P(Layouts, Table, testing::ValuesIn(layout_cases), case_name);

// Marks on their figures: the screen never settles (0.50 to 0.60) and is
// under 1 % resolution; RAM ran once. Not planned for the display and
// without RAM runs, neither has columns. An interrupted session says so
// first.
TEST(Table, MarksOnTheirFiguresColumnsOnlyAsPlanned)
{
    session rect = rectangle_session();
    rect.complete = true;
    rect.devices.resize(1);
    rect.options.sync = display_sync::never;
    for (double rate : {0.50, 0.60, 0.55})
        rect.runs.push_back(run_injected({.figures = {rate}}));
    rect.runs.push_back(run_injected({.target = run_target::memory, .figures = {722.00}}));
    settle(rect);
    std::string table = table_of(rect);
    EXPECT_NE(table.find("rectangle-bench fill rate  MPixels/s    0.55*~   18.2%     3  722.00       \u2013     1       "
                         "0.001\n"),
              std::string::npos)
        << table;
    EXPECT_EQ(table.find("display"), std::string::npos) << table;
    EXPECT_NE(table.find("\n* the spread stayed above the target"), std::string::npos) << table;
    EXPECT_NE(table.find("\n~ under 1 % resolution"), std::string::npos) << table;
    rect.options.memory = false;
    std::erase_if(rect.runs, [](const run_record& r) { return r.target == run_target::memory; });
    settle(rect);
    table = table_of(rect);
    EXPECT_EQ(table.find("RAM"), std::string::npos) << table;
    EXPECT_EQ(table.find("Ratios"), std::string::npos) << table;

    rect.complete = false;
    rect.options.programs = {"rectangle-bench"};
    EXPECT_TRUE(table_of(rect).starts_with("interrupted after 3 of at least 3 runs: partial results\n")) << table_of(rect);
}

// Two devices, the display planned on one: the other's display cells stay
// blank rather than read as failed runs.
TEST(Table, DisplayCellsBlankWhereNotPlanned)
{
    session two = display_session();
    two.devices = {"/dev/fb0", "/dev/fb1"};
    two.device_descriptions.push_back(
        {.path = "/dev/fb0", .kind = fb_device_kind::fbdev, .mapping = mapping_description{.found = {"direct-uncached", ""}}});
    two.runs = {run_injected({.target = run_target::device, .path = "/dev/fb1", .figures = {16.69}}),
                run_injected({.target = run_target::display, .path = "/dev/fb1", .figures = {9.00}}),
                run_injected({.target = run_target::device, .path = "/dev/fb0", .figures = {20.00}})};
    settle(two);
    const std::string table = table_of(two);
    EXPECT_NE(table.find("rectangle-bench (/dev/fb0) fill rate  MPixels/s                                          20.00"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("rectangle-bench (/dev/fb1) fill rate  MPixels/s     9.00       \u2013     1           0.539   "
                         "16.69"),
              std::string::npos)
        << table;
}

// A display beyond the drawing and beyond the refresh is marked on its
// figures and explained.
TEST(Table, MarksTheDisplayBeyondTheDrawingAndTheGlass)
{
    const std::string table = table_of(display_fast_session(), 80);
    EXPECT_NE(table.find("1154.00^"), std::string::npos) << table;
    EXPECT_NE(table.find("1.154!"), std::string::npos) << table;
    EXPECT_NE(table.find("at most 75 frames/s reach the glass of /dev/fb1"), std::string::npos) << table;
}

// The header's cpu line names the model and the cores as /proc/cpuinfo gave
// them: an arm64 kernel gives no model.
TEST(Table, HeaderNamesTheCpu)
{
    const struct {
        std::optional<cpu_description> cpu;
        const char* line;
    } cases[] = {
        {cpu_description{.model = "ARMv7 Processor rev 0 (v7l)", .features = {{"half", "vfp", "neon", "vfpv3"}},
                         .cores = 1, .core_names = {"Cortex-A9"}},
         "cpu ARMv7 Processor rev 0 (v7l) / Cortex-A9, 1 core, vfp neon vfpv3\n"},
        {cpu_description{.features = {{"fp", "asimd"}}, .cores = 1, .core_names = {"Cortex-A72"}},
         "cpu Cortex-A72, 1 core, fp asimd\n"},
        {cpu_description{.model = "AMD EPYC", .cores = 2}, "cpu AMD EPYC, 2 cores, no VFP named\n"},
        {std::nullopt, "cpu unknown, 0 cores, no VFP named\n"},
    };
    for (const auto& c : cases) {
        session s;
        s.host = "board";
        s.system.cpu = c.cpu;
        const std::string header = printed([&](std::FILE* out) { results_header_print(out, s, 0); });
        EXPECT_NE(header.find("\n" + std::string(c.line)), std::string::npos) << header;
    }
}

// The Markdown row of the screen's figures, or the display's where it was
// measured, and a header that names the levels the row holds, which differ
// between boards.
TEST(Table, SummaryRowAndHeader)
{
    session s = interrupted_session();
    EXPECT_EQ(results_summary_row(s), "| board | 182.44 | - | - | - |");
    EXPECT_EQ(results_summary_header(s), "| host | rectangle (MPixels/s) | Mandelbrot (s) | Sierpinski first level | "
                                         "Sierpinski last level |\n|---|---|---|---|---|");

    s.runs.push_back(run_injected({.program = "sierpinski-bench", .figures = {57.50, 1030.12}}));
    ASSERT_TRUE(s.runs.back().valid);
    settle(s);
    EXPECT_EQ(results_summary_header(s).substr(0, results_summary_header(s).find('\n')),
              "| host | rectangle (MPixels/s) | Mandelbrot (s) | Sierpinski 1024 points (frames/s) | "
              "Sierpinski 2048 points (frames/s) |");
    EXPECT_EQ(results_summary_row(s), "| board | 182.44 | - | 57.50 | 1030.12 |");
    EXPECT_EQ(results_summary_row(s, run_target::display), "");
    s.runs.push_back(run_injected({.target = run_target::display, .figures = {9.00}}));
    settle(s);
    EXPECT_EQ(results_summary_row(s, run_target::display), "| board (display) | 9.00 | - | - | - |");
}

} // namespace

namespace {

// Off a terminal the width is COLUMNS when it is a plain count, as a shell
// sets it, else none: no line is broken.
TEST(Console, ColumnsFromTheEnvironment)
{
    const char* saved = std::getenv("COLUMNS");
    const std::string kept = saved ? saved : "";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    for (const auto& [text, columns] : std::initializer_list<std::pair<const char*, int>>{
             {"80", 80}, {"9999", 9999}, {"10000", 0}, {"0", 0}, {" 80", 0}, {"+80", 0}, {"80x", 0}, {"", 0},
             {nullptr, 0}}) {
        if (text)
            setenv("COLUMNS", text, 1);
        else
            unsetenv("COLUMNS");
        EXPECT_EQ(terminal_columns(fds[1]), columns) << (text ? text : "unset");
    }
    close(fds[0]);
    close(fds[1]);
    if (saved)
        setenv("COLUMNS", kept.c_str(), 1);
    else
        unsetenv("COLUMNS");
}

} // namespace
