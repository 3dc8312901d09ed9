#include "measure.h"

#include "describe_session.h"
#include "display_target.h"

#include "execute.h"

#include <cmath>
#include <cstdio>

namespace {

enum class run_end { counted, failed, interrupted };

struct bench_context {
    session& s;
    const std::string& output;
    std::string program;
    std::string executable;
    std::string path;
    int clock_steps = 0; // runs discarded for a stepped clock
    double wall_total = 0;
    int wall_count = 0;
    bool write_failed = false;
};

// Counted valid runs of the bench on a target.
std::size_t valid_count(const bench_context& b, const std::string& target)
{
    std::size_t n = 0;
    for (const run_record& r : b.s.runs)
        n += r.valid && !r.warmup && r.program == b.program && r.path == b.path && r.target == target;
    return n;
}

bool more_needed(const bench_context& b, const std::string& target)
{
    std::vector<std::vector<double>> metric_values;
    for (const result_row& row : results_rows(b.s))
        if (row.program == b.program && row.path == b.path)
            metric_values.push_back(results_values(b.s, b.program, b.path, target, row.metric.metric));
    const runner_options& o = b.s.options;
    return stats_more_needed(metric_values, valid_count(b, target), o.runs, o.max_runs, o.spread_percent);
}

bool file_write(session& s, const std::string& output)
{
    std::string error;
    const std::string text = results_json(s, utc_now_iso()).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    if (results_file_write(output, text, error))
        return true;
    std::fprintf(stderr, "fbbench: %s\n", error.c_str());
    return false;
}

void progress_print(const bench_context& b, const std::string& target, bool warmup, std::size_t number)
{
    if (b.s.options.quiet)
        return;
    const runner_options& o = b.s.options;
    const char* screen_or_ram = target == "device" ? "screen" : target == "display" ? "display" : "RAM";
    if (warmup) {
        std::fprintf(stderr, "fbbench: %s on %s, %s: warm-up run %zu of %d\n", b.program.c_str(), b.path.c_str(),
                     screen_or_ram, number, o.warmup);
        return;
    }
    std::string left;
    if (b.wall_count > 0) {
        // The runs still needed at the least, at the mean time of a run so far.
        std::size_t remaining = 0;
        for (const char* t : {"device", "memory"})
            if (t == std::string("device") || o.memory)
                remaining += std::size_t(o.runs) - std::min(std::size_t(o.runs), valid_count(b, t));
        const double seconds = b.wall_total / b.wall_count * double(std::max<std::size_t>(remaining, 1));
        left = ", about " + std::to_string(long(std::lround(seconds))) + " s left";
    }
    if (number <= std::size_t(o.runs))
        std::fprintf(stderr, "fbbench: %s on %s, %s: run %zu of %d%s\n", b.program.c_str(), b.path.c_str(),
                     screen_or_ram, number, o.runs, left.c_str());
    else
        std::fprintf(stderr, "fbbench: %s on %s, %s: run %zu of at most %d (spread above %d%%)%s\n",
                     b.program.c_str(), b.path.c_str(), screen_or_ram, number, o.max_runs, o.spread_percent,
                     left.c_str());
}

// A benchmark's own message is shown as it is; fbbench's gets its name.
void failure_add(bench_context& b, const std::string& message, bool own = true)
{
    std::fprintf(stderr, "%s%s\n", own ? "fbbench: " : "", message.c_str());
    b.s.failures.push_back({b.program, b.path, message});
}

run_end run_one(bench_context& b, const std::string& target, bool warmup, std::size_t number)
{
    if (signals_caught() != 0)
        return run_end::interrupted;
    progress_print(b, target, warmup, number);
    // The display target is the screen, each unit of drawing flushed to the
    // display; the others never flush, whatever fbbench inherited.
    std::vector<std::string> overrides = {"FBBENCH_TARGET=" + (target == "display" ? std::string("device") : target),
                                          target == "display" ? "FBBENCH_SYNC=frame" : "FBBENCH_SYNC=none"};
    if (!b.s.options.devices.empty())
        overrides.push_back("FRAMEBUFFER=" + b.path);
    run_outcome outcome;
    std::string error;
    if (!program_execute(b.executable, overrides, b.s.options.timeout_seconds, outcome, error)) {
        failure_add(b, error);
        return run_end::failed;
    }
    if (!outcome.started)
        return run_end::interrupted;
    b.wall_total += outcome.monotonic_seconds;
    ++b.wall_count;

    run_record r{b.program, target, b.path, warmup, outcome.exit_status, false, "", outcome.out, outcome.err, {},
                 outcome.monotonic_seconds, outcome.signal, outcome.timed_out, outcome.out_truncated,
                 outcome.err_truncated};
    const bool parsed = outcome.exit_status == 0 && !outcome.out_truncated
                     && report_parse(b.program, outcome.out, r.values);
    const bool stepped = stats_clock_stepped(outcome.realtime_seconds, outcome.monotonic_seconds);
    r.valid = parsed && !stepped;
    run_end end = run_end::counted;
    if (!parsed && signals_caught() != 0) {
        r.invalid_reason = "interrupted";
        end = run_end::interrupted;
    } else if (outcome.timed_out) {
        r.invalid_reason = "timed out after " + std::to_string(b.s.options.timeout_seconds) + " s";
        run_warning_add(b.s.warnings, "timed-out",
                        b.program + " on " + b.path + " " + r.invalid_reason + " and was stopped; the slowest boards"
                            " may need a larger --timeout");
        b.s.failures.push_back({b.program, b.path, r.invalid_reason});
        end = run_end::failed;
    } else if (outcome.signal != 0) {
        r.invalid_reason = "killed by " + signal_name(outcome.signal);
        run_warning_add(b.s.warnings, "killed", b.program + " on " + b.path + " was " + r.invalid_reason);
        b.s.failures.push_back({b.program, b.path, r.invalid_reason});
        end = run_end::failed;
    } else if (outcome.exit_status != 0) {
        r.invalid_reason = "exit status " + std::to_string(outcome.exit_status);
        const std::string first_line = outcome.err.substr(0, outcome.err.find('\n'));
        if (first_line.empty())
            failure_add(b, b.program + " exited with status " + std::to_string(outcome.exit_status));
        else
            failure_add(b, first_line, false);
        end = run_end::failed;
    } else if (!parsed) {
        r.values.clear();
        r.invalid_reason = "report not recognised";
        failure_add(b, "the report of " + b.program + " was not recognised");
        end = run_end::failed;
    } else if (stepped) {
        r.invalid_reason = "wall clock stepped";
        char message[200];
        std::snprintf(message, sizeof message,
                      "the wall clock was stepped by %.3f s during a run of %s; the run is discarded and repeated",
                      outcome.realtime_seconds - outcome.monotonic_seconds, b.program.c_str());
        run_warning_add(b.s.warnings, "clock-stepped", message);
        // A clock that keeps stepping must not keep the benchmark going.
        if (++b.clock_steps > b.s.options.max_runs) {
            failure_add(b, "the wall clock kept being stepped during " + b.program + "; giving up");
            end = run_end::failed;
        }
    }
    b.s.runs.push_back(std::move(r));
    b.write_failed = !file_write(b.s, b.output) || b.write_failed;
    if (end == run_end::counted && signals_caught() != 0)
        end = run_end::interrupted;
    return end;
}

void spread_warnings_add(bench_context& b, const std::string& target)
{
    const char* screen_or_ram = target == "device" ? "screen" : target == "display" ? "display" : "RAM";
    bool slow_warned = false;
    for (const result_row& row : results_rows(b.s)) {
        if (row.program != b.program || row.path != b.path)
            continue;
        const std::vector<double> values = results_values(b.s, b.program, b.path, target, row.metric.metric);
        if (!slow_warned && stats_first_slow(values, row.metric.higher_is_better)) {
            slow_warned = true;
            run_warning_add(b.s.warnings, "slow-first-run",
                            "the first " + std::string(screen_or_ram) + " run of " + b.program + " on " + b.path
                                + " was much slower than the rest; consider --warmup 1");
        }
        const std::size_t outliers = stats_outliers(values).size();
        if (outliers > 0)
            run_warning_add(b.s.warnings, "outlier",
                            std::to_string(outliers) + " " + screen_or_ram + " value(s) of " + b.program + " "
                                + row.metric.metric + " on " + b.path
                                + " are outliers; measure on a quiet machine");
    }
}

run_end bench_measure(bench_context& b)
{
    const std::vector<std::string> targets = device_targets(b.s.options, device_description_find(b.s, b.path));
    for (int i = 1; i <= b.s.options.warmup; ++i)
        for (const std::string& t : targets)
            if (run_end end = run_one(b, t, true, std::size_t(i)); end != run_end::counted)
                return end;
    for (;;) {
        bool ran = false;
        // Screen and RAM runs alternate, so that drift touches both alike.
        for (const std::string& t : targets) {
            if (!more_needed(b, t))
                continue;
            ran = true;
            if (run_end end = run_one(b, t, false, valid_count(b, t) + 1); end != run_end::counted)
                return end;
        }
        if (!ran)
            break;
    }
    for (const std::string& t : targets)
        spread_warnings_add(b, t);
    display_drop_warnings_add(b.s, b.program, b.path);
    return run_end::counted;
}

} // namespace

int measure_start(session& s, const std::string& output)
{
    return file_write(s, output) ? 0 : 1;
}

int measure_runs(session& s, const std::string& output)
{
    int status = 0;
    if (signals_caught() != 0)
        return 128 + signals_caught();
    for (const std::string& program : s.options.programs) {
        const std::string executable = program_locate(program, s.options.programs_dir);
        for (const std::string& path : s.devices) {
            bench_context b{s, output, program, executable, path};
            if (executable.empty()) {
                failure_add(b, "cannot find " + program
                                   + (s.options.programs_dir.empty() ? " next to fbbench or on PATH"
                                                                     : " in " + s.options.programs_dir));
                status = 1;
                continue;
            }
            const run_end end = bench_measure(b);
            if (b.write_failed)
                status = 1;
            if (end == run_end::interrupted)
                return 128 + signals_caught();
            if (end == run_end::failed)
                status = 1;
        }
    }
    return status;
}

int measure_finish(session& s, const std::string& output, int status)
{
    s.complete = status < 128;
    if (!file_write(s, output) && status == 0)
        status = 1;
    if (!s.options.quiet)
        session_header_print(stdout, s);
    results_table_print(stdout, s);
    if (s.options.summary)
        std::printf("%s\n%s\n", results_summary_header(s).c_str(), results_summary_row(s).c_str());
    if (std::fflush(stdout) != 0 && status == 0)
        status = 1;
    if (status == 0 && s.options.strict && !s.warnings.empty())
        status = 3;
    return status;
}
