#include "run_loop.h"

#include "benchmarks.h"
#include "execute.h"
#include "kernel_work.h"
#include "plan.h"
#include "record.h"
#include "stats_rows.h"
#include "unique_fd.h"
#include "verdicts.h"

#include <unistd.h>

namespace {

struct bench_context {
    session& s;
    const run_events& events;
    std::size_t program_index, device_index;
    const std::string& program;
    const std::string& path;
    std::string executable;
    int clock_steps = 0; // runs discarded for a stepped clock
    bool write_failed = false;
};

bool more_needed(const bench_context& b, run_target target)
{
    std::vector<std::vector<double>> metric_values;
    for (const result_row& row : b.s.rows)
        if (row.program == b.program && row.path == b.path)
            metric_values.push_back(stats_values(b.s, b.program, b.path, target, row.metric.metric));
    const runner_options& o = b.s.options;
    return stats_more_needed(metric_values, stats_counted(b.s, b.program, b.path, target), o.runs, o.max_runs,
                             stats_spread_target(b.s, b.program));
}

// A benchmark's own message is shown as it is; fbbench's gets its name.
void failure_add(bench_context& b, const std::string& message, bool shown = true, bool own = true)
{
    if (shown) {
        const std::string line = (own ? "fbbench: " : "") + message;
        b.events({.kind = run_event_kind::failed, .line = &line});
    }
    b.s.failures.push_back({b.program, b.path, message});
}

// The flip records are a few dozen bytes a flip, 16384 flips at the most.
constexpr std::size_t presented_text_limit = 2u << 20;

// Keeps the run, its statistics and the file.
void run_keep(bench_context& b, run_record&& r)
{
    b.s.runs.push_back(std::move(r));
    stats_rows_update(b.s);
    b.write_failed = !b.events({.kind = run_event_kind::recorded}) || b.write_failed;
}

run_end run_one(bench_context& b, run_target target, bool warmup, std::size_t number)
{
    if (signals_caught() != 0)
        return run_end::interrupted;
    const run_position at{.program_index = b.program_index, .device_index = b.device_index, .program = b.program,
                          .path = b.path, .target = target, .warmup = warmup, .number = number};
    b.events({.kind = run_event_kind::starting, .at = &at});
    std::vector<std::string> overrides = run_target_environment(target);
    if (const benchmark* entry = benchmark_find(b.program); entry != nullptr && b.s.options.quick)
        for (std::string& setting : benchmark_quick_environment(*entry))
            overrides.push_back(std::move(setting));
    if (!b.s.options.devices.empty())
        overrides.push_back("FRAMEBUFFER=" + b.path);
    run_outcome outcome;
    std::string error;
    // The flips' events come back through a file the program inherits.
    unique_fd flips;
    if (target == run_target::presented) {
        flips.reset(inherited_file_open(error));
        if (flips.get() < 0) {
            failure_add(b, error);
            return run_end::failed;
        }
        overrides.push_back("FBBENCH_PRESENT_FD=" + std::to_string(flips.get()));
    }
    run_input in{.program = b.program, .path = b.path, .target = target, .warmup = warmup,
                 .timeout_seconds = b.s.options.timeout_seconds, .kernel_ticks_before = kernel_threads_ticks("/proc")};
    if (!program_execute(b.executable, overrides, b.s.options.timeout_seconds, outcome, error)) {
        failure_add(b, error);
        return run_end::failed;
    }
    if (outcome.capture_error.empty() && !outcome.started)
        return run_end::interrupted;
    if (outcome.capture_error.empty())
        in.kernel_ticks_after = kernel_threads_ticks("/proc");
    in.ticks_per_second = sysconf(_SC_CLK_TCK);
    in.stopped = signals_caught() != 0;
    run_result result = record_make(in, outcome);
    b.s.warnings.insert(b.s.warnings.end(), result.warnings.begin(), result.warnings.end());
    if (result.failure)
        failure_add(b, result.failure->message, result.failure_shown, result.failure_own);
    // A clock that keeps stepping must not keep the benchmark going.
    if (result.clock_stepped && ++b.clock_steps > b.s.options.max_runs) {
        failure_add(b, "the wall clock kept being stepped during " + b.program + "; giving up");
        result.end = run_end::failed;
    }
    if (target == run_target::presented && result.run.valid) {
        std::string text;
        const bool taken = inherited_file_read(flips.get(), presented_text_limit, text);
        const std::string fault =
            record_presented_take(result.run, taken, text, plan_find(b.s, b.path).presented_refresh_hz);
        result.end = run_end::counted;
        if (!fault.empty()) {
            // Not for this device again: the plan, the description and the
            // file say why.
            plan_presented_drop(b.s, b.path, fault);
            b.s.warnings.push_back({"presented-dropped", bench_text_escape(b.path) + ": the presented frames are not measured ("
                                                             + fault + "); the other targets go on"});
            result.end = run_end::dropped;
        }
    }
    const run_end end = result.end;
    run_keep(b, std::move(result.run));
    if (end == run_end::counted && signals_caught() != 0)
        return run_end::interrupted;
    return end;
}

run_end bench_measure(bench_context& b)
{
    std::vector<run_target> targets = plan_find(b.s, b.path).targets;
    // A display run that fails drops the display target; the screen and RAM
    // runs, which need no flush, go on.
    bool display_failed = false;
    const auto next = [&](std::size_t& k, run_end end) {
        if (end == run_end::dropped) {
            targets.erase(targets.begin() + std::ptrdiff_t(k));
            return true;
        }
        if (end == run_end::failed && targets[k] == run_target::display) {
            targets.erase(targets.begin() + std::ptrdiff_t(k));
            display_failed = true;
            return true;
        }
        ++k;
        return end == run_end::counted;
    };
    for (int i = 1; i <= b.s.options.warmup; ++i)
        for (std::size_t k = 0; k < targets.size();)
            if (run_end end = run_one(b, targets[k], true, std::size_t(i)); !next(k, end))
                return end;
    for (;;) {
        bool ran = false;
        // Screen and RAM runs alternate, so that drift touches both alike.
        for (std::size_t k = 0; k < targets.size();) {
            if (!more_needed(b, targets[k])) {
                ++k;
                continue;
            }
            ran = true;
            const std::size_t number = stats_counted(b.s, b.program, b.path, targets[k]) + 1;
            if (run_end end = run_one(b, targets[k], false, number); !next(k, end))
                return end;
        }
        if (!ran)
            break;
    }
    const std::vector<run_warning> verdicts = verdicts_bench(b.s, b.program, b.path, targets);
    b.s.warnings.insert(b.s.warnings.end(), verdicts.begin(), verdicts.end());
    b.events({.kind = run_event_kind::finished});
    return display_failed ? run_end::failed : run_end::counted;
}

} // namespace

int run_loop_run(session& s, const run_events& events)
{
    int status = 0;
    if (signals_caught() != 0)
        return 128 + signals_caught();
    // After the description: its mapping classes decide which devices get
    // the display target, and a flush that failed there drops it.
    for (const std::string& path : s.devices)
        if (const std::string& reason = plan_find(s, path).display_dropped; !reason.empty())
            s.warnings.push_back({"display-dropped",
                                  bench_text_escape(path) + ": the display is not measured, as its flush failed ("
                                      + reason + "); the screen and RAM runs go on; mend the driver or measure with --no-sync"});
    events({.kind = run_event_kind::planned});
    for (std::size_t p = 0; p < s.options.programs.size(); ++p) {
        const std::string& program = s.options.programs[p];
        const std::string executable = program_locate(program, s.options.programs_dir);
        for (std::size_t d = 0; d < s.devices.size(); ++d) {
            bench_context b{s, events, p, d, program, s.devices[d], executable};
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
