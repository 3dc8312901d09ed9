#include "options.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <getopt.h>

namespace {

enum : int { opt_no_memory = 256, opt_no_probe, opt_programs, opt_summary, opt_strict, opt_timeout, opt_sync, opt_no_sync };

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
    static const std::vector<std::string> known = {"rectangle-bench", "mandelbrot-bench", "sierpinski-bench"};
    return known;
}

void options_usage_print(std::FILE* out)
{
    std::fputs("usage: fbbench [--runs N] [--max-runs M] [--spread P] [--warmup N] [--output FILE]\n"
               "               [--device PATH]... [--programs DIR] [--timeout SECONDS]\n"
               "               [--no-memory] [--no-probe] [--sync | --no-sync]\n"
               "               [--quiet] [--summary] [--strict] [PROGRAM...]\n",
               out);
}

options_action options_parse(int argc, char* const argv[], runner_options& options, std::string& message)
{
    bool max_runs_given = false;
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
        case opt_timeout: count = &options.timeout_seconds; break;
        case 'o': options.output = optarg; break;
        case 'd': options.devices.push_back(optarg); break;
        case opt_programs: options.programs_dir = optarg; break;
        case opt_no_memory: options.memory = false; break;
        case opt_no_probe: options.probe = false; break;
        case opt_sync: options.sync = "always"; break;
        case opt_no_sync: options.sync = "never"; break;
        case 'q': options.quiet = true; break;
        case opt_summary: options.summary = true; break;
        case opt_strict: options.strict = true; break;
        case 'h': return options_action::help;
        case 'V': return options_action::version;
        case ':':
            message = std::string("option ") + argv[optind - 1] + " needs a value";
            return options_action::usage_error;
        default:
            message = optopt != 0 ? std::string("unknown option -") + char(optopt)
                                  : std::string("unknown option ") + argv[optind - 1];
            return options_action::usage_error;
        }
        if (count != nullptr && !count_parse(optarg, minimum, *count)) {
            message = std::string("--") + option_name(c) + " " + optarg + " is not a "
                    + (minimum == 0 ? "whole number" : "positive whole number");
            return options_action::usage_error;
        }
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
            message = "unknown program " + name + " (rectangle-bench, mandelbrot-bench or sierpinski-bench)";
            return options_action::usage_error;
        }
        if (std::find(options.programs.begin(), options.programs.end(), name) == options.programs.end())
            options.programs.push_back(name);
    }
    if (options.programs.empty())
        options.programs = options_known_programs();
    return options_action::run;
}
