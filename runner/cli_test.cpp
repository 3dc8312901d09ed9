// The command line: numbers, programs, devices and the one line that
// refuses bad usage, the display's sync and a deadline no run can meet.
#include "cli.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace {

// options_parse over the arguments after the program's name.
options_action options_parse_args(const std::vector<const char*>& args, runner_options& o, std::string& message)
{
    std::vector<char*> argv = {const_cast<char*>("fbbench")};
    for (const char* a : args)
        argv.push_back(const_cast<char*>(a));
    argv.push_back(nullptr);
    return options_parse(int(argv.size() - 1), argv.data(), o, message);
}

struct options_case {
    std::vector<const char*> args;
    options_action action;
    int runs = 0, max_runs = 0;
    std::vector<std::string> programs = {};
    int timeout_seconds = 600;
    std::vector<std::string> devices = {};
    const char* message = nullptr; // the one line, as shown, when checked
    display_sync sync = display_sync::automatic;
};

TEST(Cli, NumbersProgramsSyncAndBadUsage)
{
    const std::vector<std::string> all = options_known_programs();
    const options_case cases[] = {
        {{}, options_action::run, 3, 10, all},
        {{"--runs", "5", "-m", "7", "sierpinski-bench", "rectangle-bench", "sierpinski-bench"}, options_action::run, 5,
         7, {"sierpinski-bench", "rectangle-bench"}},
        {{"--runs=20"}, options_action::run, 20, 20, all}, // the default ceiling rises
        {{"--warmup", "0"}, options_action::run, 3, 10, all},
        {{"--timeout", "3"}, options_action::run, 3, 10, all, 3},
        {{"--timeout", "0"}, options_action::usage_error},
        {{"--timeout", "2.5"}, options_action::usage_error},
        {{"--runs", "5", "--max-runs", "4"}, options_action::usage_error},
        {{"--runs", "0"}, options_action::usage_error},
        {{"--runs", "-1"}, options_action::usage_error},
        {{"--runs", "3x"}, options_action::usage_error},
        {{"--spread", ""}, options_action::usage_error},
        {{"--max-runs", "99999999999"}, options_action::usage_error},
        {{"--runs"}, options_action::usage_error},
        {{"--fast"}, options_action::usage_error, 0, 0, {}, 600, {}, "unknown option --fast"},
        {{"--fast=2"}, options_action::usage_error, 0, 0, {}, 600, {}, "unknown option --fast=2"},
        {{"-x"}, options_action::usage_error, 0, 0, {}, 600, {}, "unknown option -x"},
        // Named as typed, abbreviated or not.
        {{"--quiet=1"}, options_action::usage_error, 0, 0, {}, 600, {}, "option --quiet takes no value"},
        {{"--quie=1"}, options_action::usage_error, 0, 0, {}, 600, {}, "option --quiet takes no value"},
        {{"--qui"}, options_action::usage_error, 0, 0, {}, 600, {}, "ambiguous option --qui"},
        // One run each, whatever the order; a count of runs beside it contradicts it.
        {{"--quick", "sierpinski-bench"}, options_action::run, 1, 1, {"sierpinski-bench"}},
        {{"--quick", "--runs", "3"}, options_action::usage_error, 0, 0, {}, 600, {},
         "--quick makes one run each; leave out --runs"},
        {{"--warmup=1", "--max-runs=4", "--quick"}, options_action::usage_error, 0, 0, {}, 600, {},
         "--quick makes one run each; leave out --warmup"},
        {{"--s", "4"}, options_action::usage_error, 0, 0, {}, 600, {}, "ambiguous option --s"},
        {{"--runs"}, options_action::usage_error, 0, 0, {}, 600, {}, "option --runs needs a value"},
        {{"--device", ""}, options_action::usage_error, 0, 0, {}, 600, {},
         "option --device needs a device path, not an empty one"},
        {{"-d", "/dev/fb1", "--device=/dev/fb0", "-d", "/dev/fb1"}, options_action::run, 3, 10, all, 600,
         {"/dev/fb1", "/dev/fb0"}}, // each device once
        {{"--describe", "--no-probe"}, options_action::run, 3, 10, all},
        {{"line-bench"}, options_action::usage_error, 0, 0, {}, 600, {},
         "unknown program line-bench (rectangle-bench, mandelbrot-bench or sierpinski-bench)"},
        {{"--sync"}, options_action::run, 3, 10, all, 600, {}, nullptr, display_sync::always},
        {{"--no-sync"}, options_action::run, 3, 10, all, 600, {}, nullptr, display_sync::never},
        {{"--sync", "--no-sync"}, options_action::run, 3, 10, all, 600, {}, nullptr, display_sync::never},
        {{"--sync=frame"}, options_action::usage_error, 0, 0, {}, 600, {}, "option --sync takes no value"},
        {{"--help"}, options_action::help},
        {{"-V"}, options_action::version},
        {{"--force"}, options_action::run, 3, 10, all},
        // What the user typed is quoted with its control characters escaped.
        {{"--runs", "1\x1b[2J"}, options_action::usage_error, 0, 0, {}, 600, {},
         "--runs 1\\x1b[2J is not a positive whole number"},
        {{"line\nbench"}, options_action::usage_error, 0, 0, {}, 600, {},
         "unknown program line\\nbench (rectangle-bench, mandelbrot-bench or sierpinski-bench)"},
        {{"--fa\x1b]0;x\x07"}, options_action::usage_error, 0, 0, {}, 600, {}, "unknown option --fa\\x1b]0;x\\x07"},
        {{"-\x01"}, options_action::usage_error, 0, 0, {}, 600, {}, "unknown option -\\x01"},
        {{"--runs\r"}, options_action::usage_error, 0, 0, {}, 600, {}, "unknown option --runs\\r"},
        // Runs and warm-ups that no session could count, let alone run.
        {{"--runs", "2147483647", "--warmup", "2147483647"}, options_action::usage_error, 0, 0, {}, 600, {},
         "too many runs: the plan asks for up to 38654705646 (3 benchmarks x 1 device x 3 targets x "
         "(2147483647 runs + 2147483647 warm-ups)), more than 2147483647"},
        {{"--max-runs", "2147483647", "--no-memory", "--no-sync", "-d", "a", "-d", "b", "rectangle-bench"},
         options_action::usage_error, 0, 0, {}, 600, {},
         "too many runs: the plan asks for up to 4294967294 (1 benchmark x 2 devices x 1 target x "
         "(2147483647 runs + 0 warm-ups)), more than 2147483647"},
        {{"--max-runs", "2147483647", "--no-memory", "--no-sync", "rectangle-bench"}, options_action::run, 3,
         2147483647, {"rectangle-bench"}, 600, {}, nullptr, display_sync::never},
    };
    for (const options_case& c : cases) {
        runner_options o;
        std::string message;
        const std::string shown = c.args.empty() ? "(none)" : c.args[0];
        ASSERT_EQ(options_parse_args(c.args, o, message), c.action) << shown;
        EXPECT_EQ(message.empty(), c.action != options_action::usage_error) << shown;
        if (c.message != nullptr) {
            EXPECT_EQ(message, c.message);
        }
        if (c.action != options_action::run)
            continue;
        EXPECT_EQ(o.devices, c.devices) << shown;
        EXPECT_EQ(o.runs, c.runs) << shown;
        EXPECT_EQ(o.max_runs, c.max_runs) << shown;
        EXPECT_EQ(o.programs, c.programs) << shown;
        EXPECT_EQ(o.timeout_seconds, c.timeout_seconds) << shown;
        EXPECT_EQ(o.sync, c.sync) << shown;
    }
}

// A deadline shorter than what a program draws for a fixed time, and a
// second to start and end, is refused; a program with no fixed time fits any.
TEST(Cli, TimeoutThatNoRunCanMeet)
{
    const struct {
        int timeout;
        std::vector<std::string> programs;
        const char* refusal;
    } cases[] = {
        {5, {"mandelbrot-bench", "rectangle-bench"},
         "--timeout 5 is shorter than any run of rectangle-bench, which draws for at least 5 s; give 6 or more"},
        {6, {"rectangle-bench"}, ""},
        {1, {"sierpinski-bench"},
         "--timeout 1 is shorter than any run of sierpinski-bench, which draws for at least 1 s; give 2 or more"},
        {1, {"mandelbrot-bench"}, ""},
    };
    for (const auto& c : cases) {
        runner_options o;
        o.timeout_seconds = c.timeout;
        o.programs = c.programs;
        EXPECT_EQ(options_timeout_refusal(o), c.refusal);
    }
}

} // namespace

// The usage and the help, made from the option table, fit 80 columns, and
// every option the usage shows is taken as it shows it.
TEST(Cli, UsageAndHelpFitAndParse)
{
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    options_usage_print(out);
    const long usage_end = std::ftell(out);
    options_help_print(out);
    std::fclose(out);
    const std::string all(text, size), usage = all.substr(0, std::size_t(usage_end));
    std::free(text);
    for (std::size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1)
        EXPECT_LE(end - at, 80u) << all.substr(at, end - at);
    // An option is "--name", with a value when " VALUE" in capitals follows.
    int shown = 0;
    for (std::size_t at = usage.find("--"); at != std::string::npos; at = usage.find("--", at), ++shown) {
        const std::size_t name_end = usage.find_first_not_of("abcdefghijklmnopqrstuvwxyz-", at + 2);
        const std::string name = usage.substr(at, name_end - at);
        const bool valued = name_end + 1 < usage.size() && usage[name_end] == ' ' &&
                            std::isupper(static_cast<unsigned char>(usage[name_end + 1]));
        at = name_end;
        std::vector<const char*> args = {name.c_str()};
        if (valued)
            args.push_back("9");
        runner_options o;
        std::string message;
        EXPECT_NE(options_parse_args(args, o, message), options_action::usage_error) << name << ": " << message;
    }
    EXPECT_GE(shown, 20);
}
