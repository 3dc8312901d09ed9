#include "options.h"

#include "benchlib.h"
#include "benchmarks.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <getopt.h>

namespace {

enum : int { opt_no_memory = 256, opt_no_probe, opt_programs, opt_summary, opt_strict, opt_timeout, opt_sync, opt_no_sync, opt_describe,
            opt_list_benchmarks, opt_quick, opt_no_wait, opt_force };

const option long_options[] = {
    {"runs", required_argument, nullptr, 'r'},
    {"max-runs", required_argument, nullptr, 'm'},
    {"spread", required_argument, nullptr, 's'},
    {"warmup", required_argument, nullptr, 'w'},
    {"output", required_argument, nullptr, 'o'},
    {"device", required_argument, nullptr, 'd'},
    {"programs", required_argument, nullptr, opt_programs},
    {"timeout", required_argument, nullptr, opt_timeout},
    {"no-memory", no_argument, nullptr, opt_no_memory},
    {"no-probe", no_argument, nullptr, opt_no_probe},
    {"sync", no_argument, nullptr, opt_sync},
    {"no-sync", no_argument, nullptr, opt_no_sync},
    {"quiet", no_argument, nullptr, 'q'},
    {"summary", no_argument, nullptr, opt_summary},
    {"strict", no_argument, nullptr, opt_strict},
    {"quick", no_argument, nullptr, opt_quick},
    {"no-wait", no_argument, nullptr, opt_no_wait},
    {"describe", no_argument, nullptr, opt_describe},
    {"force", no_argument, nullptr, opt_force},
    {"list-benchmarks", no_argument, nullptr, opt_list_benchmarks},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// Decimal digits only, no sign or blanks, at least minimum, within int.
bool count_parse(const char* text, int minimum, int& value)
{
    if (*text == '\0')
        return false;
    long long n = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9')
            return false;
        n = n * 10 + (*c - '0');
        if (n > INT_MAX)
            return false;
    }
    if (n < minimum)
        return false;
    value = int(n);
    return true;
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
    for (const option& o : long_options) {
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
    for (const option& o : long_options)
        if (o.val == c)
            return o.name;
    return "?";
}

} // namespace

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
    std::fputs("usage: fbbench [--runs N] [--max-runs M] [--spread P] [--warmup N]\n"
               "               [--output FILE] [--device PATH]... [--programs DIR]\n"
               "               [--timeout SECONDS] [--no-memory] [--no-probe]\n"
               "               [--sync | --no-sync] [--force] [--quick] [--no-wait]\n"
               "               [--quiet] [--summary] [--strict] [PROGRAM...]\n"
               "       fbbench --describe [--device PATH]... [--no-probe] [--no-wait]\n"
               "                          [--output FILE] [--force]\n"
               "       fbbench --list-benchmarks\n",
               out);
}

options_action options_parse(int argc, char* const argv[], runner_options& options, std::string& message)
{
    bool max_runs_given = false;
    const char* runs_given = nullptr; // the first option that sets the number of runs
    optind = 0; // full reinitialisation, so that tests may parse more than once
    opterr = 0; // the caller prints the one-line message
    for (;;) {
        const int c = getopt_long(argc, argv, ":r:m:s:w:o:d:qhV", long_options, nullptr);
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
        case opt_sync: options.sync = "always"; break;
        case opt_no_sync: options.sync = "never"; break;
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
        if (count != nullptr && !count_parse(optarg, minimum, *count)) {
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
            std::string names;
            for (std::size_t k = 0; k < known.size(); ++k)
                names += (k == 0 ? "" : k + 1 == known.size() ? " or " : ", ") + known[k];
            message = "unknown program " + bench_text_escape(name) + " (" + names + ")";
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
    const long long targets = 1 + options.memory + (options.sync != "never");
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
