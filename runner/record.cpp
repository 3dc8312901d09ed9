#include "record.h"

#include "describe.h"
#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

void failure_set(run_result& result, const run_input& in, const std::string& message, bool shown, bool own = true)
{
    result.failure = bench_failure{in.program, in.path, message};
    result.failure_shown = shown;
    result.failure_own = own;
}

// The CPU time of the kernel's threads and of other processes during the run.
void cpu_work_record(run_record& r, const run_input& in, const run_outcome& outcome)
{
    double kernel_seconds = 0;
    if (in.kernel_ticks_before && in.kernel_ticks_after && *in.kernel_ticks_after >= *in.kernel_ticks_before
        && outcome.monotonic_seconds > 0 && in.ticks_per_second > 0) {
        kernel_seconds = double(*in.kernel_ticks_after - *in.kernel_ticks_before) / double(in.ticks_per_second);
        r.kernel_cpu_percent = std::round(kernel_seconds / outcome.monotonic_seconds * 1000) / 10;
    }
    if (std::optional<competing_work> work =
            competing_work_measure(outcome.stat_before, outcome.stat_after, outcome.child_cpu_seconds,
                                   outcome.monotonic_seconds, in.ticks_per_second)) {
        // The kernel's own threads are not competing work: on a display run
        // they do the copies the run asks for, and no user can stop them.
        work->other_seconds = std::max(0.0, work->other_seconds - kernel_seconds);
        work->percent = work->other_seconds / outcome.monotonic_seconds * 100;
        r.other_cpu_percent = std::round(work->percent * 10) / 10;
        r.competing = competing_work_excessive(*work);
    }
}

} // namespace

run_result record_make(const run_input& in, const run_outcome& outcome)
{
    run_result result;
    run_record& r = result.run;
    r.program = in.program;
    r.target = in.target;
    r.path = in.path;
    r.warmup = in.warmup;
    const std::string shown_path = bench_text_escape(in.path);
    if (!outcome.capture_error.empty()) {
        // Not the benchmark's fault: it did not run.
        r.invalid_reason = "output not captured " + outcome.capture_error;
        failure_set(result, in, "cannot capture the output of " + in.program + " " + outcome.capture_error, true);
        result.end = run_end::failed;
        return result;
    }
    r.exit_status = outcome.exit_status;
    r.out = outcome.out;
    r.err = outcome.err;
    r.wall_seconds = outcome.monotonic_seconds;
    r.signal = outcome.signal;
    r.timed_out = outcome.timed_out;
    r.out_truncated = outcome.out_truncated;
    r.err_truncated = outcome.err_truncated;
    r.leftover_processes = outcome.leftover_processes;
    cpu_work_record(r, in, outcome);
    const bool parsed = outcome.exit_status == 0 && !outcome.out_truncated
                     && report_parse(in.program, outcome.out, r.values);
    const std::string value_fault = parsed ? report_invalid_reason(r.values) : "";
    const clock_change clock = stats_clock_change(outcome.clock_samples);
    const bool stepped = clock.steps > 0;
    if (!stepped && clock.seconds > 0 && stats_clock_stepped(clock.seconds + clock.drift_seconds, clock.seconds))
        r.clock_drift_percent = std::round(clock.drift_seconds / clock.seconds * 10000) / 100;
    // A run stopped at the deadline is not counted, whatever it printed.
    r.valid = parsed && value_fault.empty() && !stepped && !outcome.timed_out;
    if (!parsed && in.stopped) {
        r.invalid_reason = "interrupted";
        result.end = run_end::interrupted;
    } else if (outcome.timed_out) {
        r.invalid_reason = "timed out after " + std::to_string(in.timeout_seconds) + " s";
        result.warnings.push_back({"timed-out", in.program + " on " + shown_path + " " + r.invalid_reason
                                                    + " and was stopped; the slowest boards may need a larger --timeout"});
        failure_set(result, in, r.invalid_reason, false);
        result.end = run_end::failed;
    } else if (outcome.signal != 0) {
        r.invalid_reason = "killed by " + signal_name(outcome.signal);
        result.warnings.push_back({"killed", in.program + " on " + shown_path + " was " + r.invalid_reason});
        failure_set(result, in, r.invalid_reason, false);
        result.end = run_end::failed;
    } else if (outcome.exit_status != 0) {
        r.invalid_reason = "exit status " + std::to_string(outcome.exit_status);
        const std::string first_line = outcome.err.substr(0, outcome.err.find('\n'));
        if (first_line.empty())
            failure_set(result, in, in.program + " exited with status " + std::to_string(outcome.exit_status), true);
        else
            failure_set(result, in, first_line, true, false);
        result.end = run_end::failed;
    } else if (!parsed) {
        r.values.clear();
        r.invalid_reason = "report not recognised";
        failure_set(result, in, "the report of " + in.program + " was not recognised", true);
        result.end = run_end::failed;
    } else if (!value_fault.empty()) {
        // The same program on the same window would report the same again.
        r.invalid_reason = value_fault;
        const std::string line = outcome.out.substr(outcome.out.rfind('\n', outcome.out.size() - 2) + 1);
        failure_set(result, in, "the report of " + in.program + " does not count (" + value_fault + "): "
                                    + line.substr(0, line.find('\n')), true);
        result.end = run_end::failed;
    } else if (stepped) {
        r.invalid_reason = "wall clock stepped";
        char message[200];
        std::snprintf(message, sizeof message,
                      "the wall clock was stepped by %.3f s during a run of %s; the run is discarded and repeated",
                      clock.stepped_seconds, in.program.c_str());
        result.warnings.push_back({"clock-stepped", message});
        result.clock_stepped = true;
    }
    return result;
}

std::string record_presented_take(run_record& r, bool taken, const std::string& text, std::optional<double> refresh_hz)
{
    std::string fault;
    presented_record record;
    if (!taken)
        fault = "the flip records are too long";
    else if (presented_parse(text, record, fault)) {
        fault = presented_fault(record);
        r.presented = std::move(record);
    }
    if (fault.empty() && !refresh_hz)
        fault = "no measured refresh to hold the flips to";
    if (fault.empty())
        return "";
    r.valid = false;
    r.invalid_reason = "presented dropped: " + fault;
    return fault;
}
