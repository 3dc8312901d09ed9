#include "cli.h"

#include "benchlib.h"
#include "benchmarks.h"
#include "digits.h"
#include "text.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <getopt.h>

namespace {

enum : int { opt_no_memory = 256, opt_no_probe, opt_programs, opt_summary, opt_strict, opt_timeout, opt_sync, opt_no_sync, opt_describe,
            opt_list_benchmarks, opt_quick, opt_no_wait, opt_force };

// The one table of options: getopt's, the help and the defaults shown come from it.
struct cli_option {
    const char* name;
    int has_arg;
    int val; // the short option, or an opt_ value
    const char* value; // what the help and the usage call its value, or ""
    unsigned synopsis; // the usage lines it stands in, and how (synopsis_ flags)
    const char* help; // lines after the first are indented under the first
    int runner_options::*shown_default = nullptr; // printed after the help
};

enum : unsigned {
    synopsis_run = 1, // in the usage of a session
    synopsis_describe = 2, // in the usage of --describe
    synopsis_repeated = 4, // may be given more than once
    synopsis_or_next = 8, // one of it and the next option
};
constexpr unsigned synopsis_both = synopsis_run | synopsis_describe;

const cli_option cli_options[] = {
    {"runs", required_argument, 'r', "N", synopsis_run,
     "valid runs at least per benchmark and target", &runner_options::runs},
    {"max-runs", required_argument, 'm', "M", synopsis_run,
     "runs at most while the spread is too large", &runner_options::max_runs},
    {"spread", required_argument, 's', "P", synopsis_run, "more runs while (max - min) / median exceeds P percent",
     &runner_options::spread_percent},
    {"warmup", required_argument, 'w', "N", synopsis_run,
     "uncounted runs first, per benchmark and target", &runner_options::warmup},
    {"output", required_argument, 'o', "FILE", synopsis_both, "results file (fbbench-<host>-<UTC time>.json)"},
    {"device", required_argument, 'd', "PATH", synopsis_both | synopsis_repeated,
     "framebuffer or DRM device; may be given more than once"},
    {"programs", required_argument, opt_programs, "DIR", synopsis_run, "take the benchmark programs from DIR"},
    {"timeout", required_argument, opt_timeout, "S", synopsis_run,
     "stop a run after S seconds", &runner_options::timeout_seconds},
    {"no-memory", no_argument, opt_no_memory, "", synopsis_run, "no RAM runs"},
    {"no-probe", no_argument, opt_no_probe, "", synopsis_both, "do not probe the screen mapping"},
    {"sync", no_argument, opt_sync, "", synopsis_run | synopsis_or_next,
     "measure the display (FBBENCH_SYNC=frame) on every device"},
    {"no-sync", no_argument, opt_no_sync, "", 0,
     "never measure the display (by default: where the\npicture needs a flush: deferred I/O, DRM)"},
    {"quick", no_argument, opt_quick, "", synopsis_run,
     "one run each and a shorter Sierpinski ladder: a first\nlook, comparable with other quick runs only"},
    {"no-wait", no_argument, opt_no_wait, "", synopsis_both,
     "refuse at once when another session holds a device,\ninstead of waiting for it to end"},
    {"describe", no_argument, opt_describe, "", 0, "describe the machine and devices, write the file, run\nnothing"},
    {"force", no_argument, opt_force, "", synopsis_both,
     "replace an earlier session's results file at once (by\ndefault it is kept until this session's first run)"},
    {"list-benchmarks", no_argument, opt_list_benchmarks, "", 0, "print the benchmarks, metrics and units as JSON"},
    {"quiet", no_argument, 'q', "", synopsis_run,
     "only the table: no plan, progress, description or file\nname (warnings and errors still go to standard error)"},
    {"summary", no_argument, opt_summary, "", synopsis_run, "also print a Markdown table row"},
    {"strict", no_argument, opt_strict, "", synopsis_run, "exit with status 3 when a warning was given"},
    {"help", no_argument, 'h', "", 0, "this help"},
    {"version", no_argument, 'V', "", 0, "the version"},
};

// getopt_long's table, from the one above.
const std::vector<option>& long_options()
{
    static const std::vector<option> table = [] {
        std::vector<option> options;
        for (const cli_option& o : cli_options)
            options.push_back({o.name, o.has_arg, nullptr, o.val});
        options.push_back({nullptr, 0, nullptr, 0});
        return options;
    }();
    return table;
}

// The message for an option getopt_long refused, naming it as typed.
std::string option_refusal(const char* typed, int optopt_seen)
{
    const std::string text = typed;
    const std::string shown = bench_text_escape(text);
    if (!text.starts_with("--"))
        return "unknown option -" + bench_text_escape(std::string(1, char(optopt_seen)));
    const std::string name = text.substr(2, text.find('=') - 2);
    // getopt_long takes unambiguous abbreviations: the option they name.
    const option* named = nullptr;
    int matches = 0;
    for (const option& o : long_options()) {
        if (o.name == nullptr || name.empty() || !std::string(o.name).starts_with(name))
            continue;
        ++matches;
        named = &o;
        if (name == o.name) {
            matches = 1;
            break;
        }
    }
    if (matches == 1 && named->has_arg == no_argument && text.find('=') != std::string::npos)
        return "option --" + std::string(named->name) + " takes no value";
    return (matches > 1 ? "ambiguous option " : "unknown option ") + shown;
}

const char* option_name(int c)
{
    for (const option& o : long_options())
        if (o.val == c)
            return o.name;
    return "?";
}

// A usage line: the command, then each option of the table that stands
// in it, bracketed, and last, broken under the first option where a line
// would be wider than usage_columns.
std::string synopsis_text(const std::string& command, unsigned in, const char* last)
{
    constexpr std::size_t usage_columns = 72;
    std::vector<std::string> items;
    for (const cli_option* o = std::begin(cli_options); o != std::end(cli_options); ++o) {
        if ((o->synopsis & in) == 0)
            continue;
        std::string item = "[--" + std::string(o->name) + (*o->value == '\0' ? "" : " ") + o->value;
        if ((o->synopsis & synopsis_or_next) != 0)
            item += " | --" + std::string((++o)->name);
        items.push_back(item + "]" + ((o->synopsis & synopsis_repeated) != 0 ? "..." : ""));
    }
    if (last != nullptr)
        items.push_back(last);
    std::string text = command;
    for (std::size_t i = 0, line = 0; i < items.size(); ++i) {
        if (i > 0 && text.size() - line + 1 + items[i].size() > usage_columns) {
            line = text.size() + 1;
            text += "\n" + std::string(command.size(), ' ');
        }
        text += " " + items[i];
    }
    return text + "\n";
}

} // namespace

const char* options_sync_name(display_sync sync)
{
    switch (sync) {
    case display_sync::always: return "always";
    case display_sync::never: return "never";
    case display_sync::automatic: break;
    }
    return "auto";
}

const std::vector<std::string>& options_known_programs()
{
    static const std::vector<std::string> known = [] {
        std::vector<std::string> names;
        for (const benchmark& b : benchmarks())
            names.push_back(b.name);
        return names;
    }();
    return known;
}

std::string options_timeout_refusal(const runner_options& options)
{
    for (const std::string& name : options.programs) {
        const benchmark* b = benchmark_find(name);
        if (b == nullptr || b->least_seconds == 0)
            continue;
        const long least = std::lround(b->least_seconds) + 1;
        if (options.timeout_seconds < least)
            return "--timeout " + std::to_string(options.timeout_seconds) + " is shorter than any run of " + name
                 + ", which draws for at least " + std::to_string(std::lround(b->least_seconds)) + " s; give " +
                   std::to_string(least) + " or more";
    }
    return "";
}

void options_usage_print(std::FILE* out)
{
    std::fputs(synopsis_text("usage: fbbench", synopsis_run, "[PROGRAM...]").c_str(), out);
    std::fputs(synopsis_text("       fbbench --describe", synopsis_describe, nullptr).c_str(), out);
    std::fputs("       fbbench --list-benchmarks\n", out);
}

void options_help_print(std::FILE* out)
{
    constexpr std::size_t help_column = 22;
    const runner_options defaults;
    for (const cli_option& o : cli_options) {
        std::string line = o.val < opt_no_memory ? std::string("  -") + char(o.val) + ", --" : "      --";
        line += o.name + std::string(*o.value == '\0' ? "" : " ") + o.value;
        line += std::string(line.size() + 2 <= help_column ? help_column - line.size() : 2, ' ');
        std::string help = o.help;
        if (o.shown_default != nullptr)
            help += " (" + std::to_string(defaults.*o.shown_default) + ")";
        for (std::size_t at = 0; (at = help.find('\n', at)) != std::string::npos; at += help_column + 1)
            help.insert(at + 1, help_column, ' ');
        std::fprintf(out, "%s%s\n", line.c_str(), help.c_str());
    }
}

options_action options_parse(int argc, char* const argv[], runner_options& options, std::string& message)
{
    bool max_runs_given = false;
    const char* runs_given = nullptr; // the first option that sets the number of runs
    optind = 0; // full reinitialisation, so that tests may parse more than once
    opterr = 0; // the caller prints the one-line message
    std::string shorts = ":"; // a missing value is told apart from an unknown option
    for (const cli_option& o : cli_options)
        if (o.val < opt_no_memory)
            shorts += std::string(1, char(o.val)) + (o.has_arg == required_argument ? ":" : "");
    for (;;) {
        const int c = getopt_long(argc, argv, shorts.c_str(), long_options().data(), nullptr);
        if (c == -1)
            break;
        int* count = nullptr;
        int minimum = 1;
        switch (c) {
        case 'r': count = &options.runs; break;
        case 'm': count = &options.max_runs; max_runs_given = true; break;
        case 's': count = &options.spread_percent; break;
        case 'w': count = &options.warmup; minimum = 0; break;
        case opt_quick: options.quick = true; break;
        case opt_no_wait: options.no_wait = true; break;
        case opt_timeout: count = &options.timeout_seconds; break;
        case 'o': options.output = optarg; break;
        case 'd':
            if (*optarg == '\0') {
                message = "option --device needs a device path, not an empty one";
                return options_action::usage_error;
            }
            // A device named twice is measured once.
            if (std::find(options.devices.begin(), options.devices.end(), optarg) == options.devices.end())
                options.devices.push_back(optarg);
            break;
        case opt_programs: options.programs_dir = optarg; break;
        case opt_no_memory: options.memory = false; break;
        case opt_no_probe: options.probe = false; break;
        case opt_sync: options.sync = display_sync::always; break;
        case opt_no_sync: options.sync = display_sync::never; break;
        case 'q': options.quiet = true; break;
        case opt_summary: options.summary = true; break;
        case opt_strict: options.strict = true; break;
        case opt_describe: options.describe = true; break;
        case opt_force: options.force = true; break;
        case 'h': return options_action::help;
        case 'V': return options_action::version;
        case opt_list_benchmarks: return options_action::list_benchmarks;
        case ':':
            message = "option " + bench_text_escape(argv[optind - 1]) + " needs a value";
            return options_action::usage_error;
        default:
            message = option_refusal(argv[optind - 1], optopt);
            return options_action::usage_error;
        }
        if (int n = 0; count != nullptr && !(digits_parse(optarg, n) && n >= minimum && (*count = n, true))) {
            message = std::string("--") + option_name(c) + " " + bench_text_escape(optarg) + " is not a "
                    + (minimum == 0 ? "whole number" : "positive whole number");
            return options_action::usage_error;
        }
        if ((c == 'r' || c == 'm' || c == 'w') && runs_given == nullptr)
            runs_given = option_name(c);
    }
    if (options.quick) {
        if (runs_given != nullptr) {
            message = std::string("--quick makes one run each; leave out --") + runs_given;
            return options_action::usage_error;
        }
        options.runs = options.max_runs = 1;
        max_runs_given = true;
    }
    // Asking for more runs than the default ceiling raises the ceiling; an
    // explicit ceiling below the floor is a contradiction.
    if (!max_runs_given)
        options.max_runs = std::max(options.max_runs, options.runs);
    if (options.runs > options.max_runs) {
        message = "--runs " + std::to_string(options.runs) + " is above --max-runs " + std::to_string(options.max_runs);
        return options_action::usage_error;
    }
    for (int i = optind; i < argc; ++i) {
        const std::string name = argv[i];
        const auto& known = options_known_programs();
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            message = "unknown program " + bench_text_escape(name) + " (" + text_list_join(known, " or ") + ")";
            return options_action::usage_error;
        }
        if (std::find(options.programs.begin(), options.programs.end(), name) == options.programs.end())
            options.programs.push_back(name);
    }
    if (options.programs.empty())
        options.programs = options_known_programs();
    // Every run is counted in an int: the most the plan may ask for, with
    // the display on every device where it may be measured.
    const long long devices = std::max<long long>(1, (long long)options.devices.size());
    const long long targets = 1 + options.memory + (options.sync != display_sync::never);
    const long long each = (long long)options.max_runs + options.warmup;
    const long long most = (long long)options.programs.size() * devices * targets * each;
    if (most > INT_MAX) {
        auto counted = [](long long n, const char* what) {
            return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
        };
        message = "too many runs: the plan asks for up to " + std::to_string(most) + " ("
                + counted((long long)options.programs.size(), "benchmark") + " x " + counted(devices, "device") + " x "
                + counted(targets, "target") + " x (" + std::to_string(options.max_runs) + " runs + "
                + std::to_string(options.warmup) + " warm-ups)), more than " + std::to_string(INT_MAX);
        return options_action::usage_error;
    }
    return options_action::run;
}
