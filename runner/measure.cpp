#include "measure.h"

#include "benchlib.h"
#include "describe_session.h"
#include "display_target.h"
#include "presented.h"

#include "execute.h"
#include "kernel_work.h"
#include "table.h"
#include "text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <unistd.h>

namespace {

// dropped: the run showed that its target measures nothing on the device.
enum class run_end { counted, failed, interrupted, dropped };

struct bench_context {
    session& s;
    results_output& output;
    std::string program;
    std::string executable;
    std::string path;
    int clock_steps = 0; // runs discarded for a stepped clock
    bool write_failed = false;
    std::string shown_path = bench_text_escape(path); // for messages
};

// The progress line on a terminal is rewritten in place; anything else
// printed on standard error first clears it.
bool progress_live = false;

void progress_clear()
{
    if (progress_live)
        std::fputs("\r\033[K", stderr);
    progress_live = false;
}

void warning_add(session& s, const std::string& kind, const std::string& message)
{
    progress_clear();
    run_warning_add(s.warnings, kind, message);
}

// Counted valid runs of a program on a device and target.
std::size_t valid_count(const session& s, const std::string& program, const std::string& path,
                        run_target target)
{
    return std::size_t(std::count_if(s.runs.begin(), s.runs.end(),
                                     [&](const run_record& r) { return run_counted(r, program, path) && r.target == target; }));
}

bool more_needed(const bench_context& b, run_target target)
{
    std::vector<std::vector<double>> metric_values;
    for (const result_row& row : results_rows(b.s))
        if (row.program == b.program && row.path == b.path)
            metric_values.push_back(results_values(b.s, b.program, b.path, target, row.metric.metric));
    const runner_options& o = b.s.options;
    return stats_more_needed(metric_values, valid_count(b.s, b.program, b.path, target), o.runs, o.max_runs,
                             results_spread_target(b.s, b.program));
}

// This session has something of its own to keep: a run that ended, or a
// finished description.
bool session_has_own(const session& s)
{
    if (s.options.describe)
        return s.complete;
    return std::any_of(s.runs.begin(), s.runs.end(), [](const run_record& r) { return r.invalid_reason != "interrupted"; });
}

// The file rewritten; an earlier session's results stay until this one has
// its own, the text only tried beside them meanwhile.
bool file_write(session& s, results_output& output)
{
    std::string error;
    const std::string text = results_json(s, utc_now_iso()).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    const bool written = output.earlier && !session_has_own(s) ? results_file_try(output, text, error)
                                                               : results_file_write(output, text, error);
    if (written)
        return true;
    progress_clear();
    std::fprintf(stderr, "fbbench: %s\n", error.c_str());
    return false;
}

// A run of the program takes this long: the mean of its runs so far, else
// the table's figure; 0 when unknown yet.
double run_seconds_estimate(const session& s, const std::string& program)
{
    double total = 0;
    int count = 0;
    for (const run_record& r : s.runs)
        if (r.program == program && r.valid)
            total += r.wall_seconds, ++count;
    if (count > 0)
        return total / count;
    const benchmark* b = benchmark_find(program);
    if (b == nullptr)
        return 0;
    // A second a level at the least, as in the full ladder.
    return s.options.quick && b->quick_levels != 0 ? std::min(b->run_seconds, double(b->quick_levels)) : b->run_seconds;
}

struct time_estimate {
    double seconds = 0;
    std::vector<std::string> unknown; // programs with no estimate yet
};

// The runs still to come at the least (each target's --runs, the warm-ups),
// from the given program and device on, at each program's time a run.
time_estimate remaining_estimate(const session& s, std::size_t program_index, std::size_t device_index)
{
    const runner_options& o = s.options;
    time_estimate e;
    for (std::size_t p = program_index; p < o.programs.size(); ++p) {
        const std::string& program = o.programs[p];
        double runs = 0;
        for (std::size_t d = p == program_index ? device_index : 0; d < s.devices.size(); ++d) {
            for (run_target t : device_targets(o, device_description_find(s, s.devices[d]))) {
                std::size_t warmups = 0, counted = 0;
                for (const run_record& r : s.runs)
                    if (r.program == program && r.path == s.devices[d] && r.target == t)
                        (r.warmup ? warmups : counted) += r.warmup || r.valid;
                runs += double(std::size_t(o.warmup) - std::min(std::size_t(o.warmup), warmups));
                runs += double(std::size_t(o.runs) - std::min(std::size_t(o.runs), counted));
            }
        }
        const double each = run_seconds_estimate(s, program);
        if (runs > 0 && each == 0)
            e.unknown.push_back(program);
        e.seconds += runs * each;
    }
    return e;
}

// "about 3 min left in all", saying which programs it leaves out because no
// run of theirs has been timed yet; brief leaves them unnamed.
std::string minutes_text(const time_estimate& e, const char* what, bool brief = false)
{
    const std::string untimed = text_list_join(e.unknown);
    if (e.seconds == 0 && !e.unknown.empty())
        return brief ? "time unknown yet" : "time unknown until a run of " + untimed + " has ended";
    std::string text = e.seconds < 60 ? std::string("under a minute ") + what
                                      : "about " + std::to_string(long(std::lround(e.seconds / 60))) + " min " + what;
    if (!e.unknown.empty() && !brief)
        text += ", not counting " + untimed + " (untimed until a run ends)";
    return text;
}

// Text cut to columns - 1 characters (0: no limit), so that the terminal
// never wraps it, and never inside a UTF-8 sequence.
std::string text_cut(std::string text, int columns)
{
    if (columns <= 1)
        return text;
    std::size_t shown = 0, at = 0;
    for (; at < text.size(); ++at)
        if ((static_cast<unsigned char>(text[at]) & 0xc0) != 0x80 && ++shown > std::size_t(columns - 1))
            break;
    text.resize(at);
    return text;
}

void plan_print(const session& s)
{
    if (s.options.quiet)
        return;
    const runner_options& o = s.options;
    // Devices whose picture needs a flush add the display target.
    std::size_t fewest = SIZE_MAX, most = 0;
    for (const std::string& path : s.devices) {
        const std::size_t n = device_targets(o, device_description_find(s, path)).size();
        fewest = std::min(fewest, n);
        most = std::max(most, n);
    }
    const std::string targets = fewest == most ? std::to_string(most) + (most == 1 ? " target" : " targets")
                                               : std::to_string(fewest) + " to " + std::to_string(most) + " targets";
    char line[400];
    std::snprintf(line, sizeof line, "%zu benchmark%s x %zu device%s x %s x %d run%s", o.programs.size(),
                  o.programs.size() == 1 ? "" : "s", s.devices.size(), s.devices.size() == 1 ? "" : "s",
                  targets.c_str(), o.runs, o.runs == 1 ? "" : "s");
    std::string plan = line;
    if (o.max_runs > o.runs)
        plan += " (up to " + std::to_string(o.max_runs) + " while the spread is above "
              + std::to_string(o.spread_percent) + " %)";
    if (o.warmup > 0)
        plan += " plus " + std::to_string(o.warmup) + " warm-up" + (o.warmup == 1 ? "" : "s");
    const std::size_t least = plan_runs_least(s);
    plan += " = " + std::to_string(least) + (least == 1 ? " run" : " runs") + " at least";
    if (const std::string quick = results_quick_line(s); !quick.empty())
        plan += " (" + quick + ")";
    const time_estimate e = remaining_estimate(s, 0, 0);
    std::string dropped;
    for (const std::string& path : s.devices)
        if (const std::string reason = display_target_dropped(o, device_description_find(s, path)); !reason.empty())
            dropped += "; the display of " + bench_text_escape(path) + " is dropped (" + reason + ")";
    for (const std::string& path : s.devices)
        if (const std::string reason = presented_target_dropped(o, device_description_find(s, path)); !reason.empty())
            dropped += "; presented on " + bench_text_escape(path) + " is dropped (" + reason + ")";
    const int columns = isatty(STDERR_FILENO) ? terminal_columns(STDERR_FILENO) : 0;
    std::fputs(text_wrap("fbbench: " + plan + ", " + minutes_text(e, "in all") + dropped, columns, 2).c_str(), stderr);
}

void progress_print(const bench_context& b, std::size_t program_index, std::size_t device_index,
                    run_target target, bool warmup, std::size_t number)
{
    const runner_options& o = b.s.options;
    if (o.quiet)
        return;
    char line[400];
    if (warmup)
        std::snprintf(line, sizeof line, "%s on %s, %s: warm-up run %zu of %d", b.program.c_str(), b.shown_path.c_str(),
                      run_target_label(target), number, o.warmup);
    else if (number <= std::size_t(o.runs))
        std::snprintf(line, sizeof line, "%s on %s, %s: run %zu of %d", b.program.c_str(), b.shown_path.c_str(),
                      run_target_label(target), number, o.runs);
    else
        std::snprintf(line, sizeof line, "%s on %s, %s: run %zu of at most %d (spread above target)",
                      b.program.c_str(), b.shown_path.c_str(), run_target_label(target), number, o.max_runs);
    const time_estimate left = remaining_estimate(b.s, program_index, device_index);
    if (!isatty(STDERR_FILENO)) {
        std::fprintf(stderr, "fbbench: %s, %s\n", line, minutes_text(left, "left in all").c_str());
        return;
    }
    // Rewritten in place, so it must fit one line: the estimate gets
    // shorter, then goes, then the words go ("sierpinski-bench /dev/fb0
    // screen 2/3"), then the line is cut.
    const int columns = terminal_columns(STDERR_FILENO);
    const std::size_t of = warmup ? std::size_t(o.warmup) : number <= std::size_t(o.runs) ? std::size_t(o.runs)
                                                                                          : std::size_t(o.max_runs);
    const std::string brief = b.program + " " + b.shown_path + " " + run_target_label(target) + (warmup ? " warm-up " : " ")
                            + std::to_string(number) + "/" + std::to_string(of);
    std::string text;
    for (const std::string& form : {"fbbench: " + std::string(line) + ", " + minutes_text(left, "left in all"),
                                    "fbbench: " + std::string(line) + ", " + minutes_text(left, "left", true),
                                    "fbbench: " + std::string(line), brief}) {
        text = form;
        if (columns == 0 || int(text.size()) < columns)
            break;
    }
    std::fprintf(stderr, "\r\033[K%s", text_cut(text, columns).c_str());
    std::fflush(stderr);
    progress_live = true;
}

// A benchmark's own message is shown as it is; fbbench's gets its name.
void failure_add(bench_context& b, const std::string& message, bool own = true)
{
    progress_clear();
    std::fprintf(stderr, "%s%s\n", own ? "fbbench: " : "", message.c_str());
    b.s.failures.push_back({b.program, b.path, message});
}

// A descriptor closed with its owner.
struct fd_owner {
    int fd = -1;
    fd_owner() = default;
    fd_owner(const fd_owner&) = delete;
    fd_owner& operator=(const fd_owner&) = delete;
    ~fd_owner()
    {
        if (fd >= 0)
            close(fd);
    }
};

// The flip records are a few dozen bytes a flip, 16384 flips at the most.
constexpr std::size_t presented_text_limit = 2u << 20;

// Drops the presented target of a device for the rest of the session: the
// description says why, as the results file then does.
void presented_drop(session& s, const std::string& path, const std::string& reason)
{
    for (nlohmann::json& device : s.device_descriptions)
        if (device.is_object() && device.value("path", "") == path) {
            if (!device.contains("display") || !device["display"].is_object())
                device["display"] = nlohmann::json::object();
            device["display"]["presented"] = {{"dropped", reason}};
        }
    warning_add(s, "presented-dropped",
                bench_text_escape(path) + ": the presented frames are not measured (" + reason
                    + "); the other targets go on");
}

// Reads a presented run's flips into its record; a driver whose events
// measure nothing drops the target, and the run does not count.
run_end presented_take(bench_context& b, fd_owner& flips, run_record& r)
{
    std::string text, fault;
    presented_record record;
    if (!inherited_file_read(flips.fd, presented_text_limit, text))
        fault = "the flip records are too long";
    else if (presented_parse(text, record, fault)) {
        fault = presented_fault(record);
        r.presented = std::move(record);
    }
    if (fault.empty() && !presented_refresh_hz(device_description_find(b.s, b.path)))
        fault = "no measured refresh to hold the flips to";
    if (fault.empty())
        return run_end::counted;
    r.valid = false;
    r.invalid_reason = "presented dropped: " + fault;
    presented_drop(b.s, b.path, fault);
    return run_end::dropped;
}

run_end run_one(bench_context& b, std::size_t program_index, std::size_t device_index, run_target target,
                bool warmup, std::size_t number)
{
    if (signals_caught() != 0)
        return run_end::interrupted;
    progress_print(b, program_index, device_index, target, warmup, number);
    std::vector<std::string> overrides = run_target_environment(target);
    if (const benchmark* entry = benchmark_find(b.program); entry != nullptr && b.s.options.quick)
        for (std::string& setting : benchmark_quick_environment(*entry))
            overrides.push_back(std::move(setting));
    if (!b.s.options.devices.empty())
        overrides.push_back("FRAMEBUFFER=" + b.path);
    run_outcome outcome;
    std::string error;
    // The flips' events come back through a file the program inherits.
    fd_owner flips;
    if (target == run_target::presented) {
        flips.fd = inherited_file_open(error);
        if (flips.fd < 0) {
            failure_add(b, error);
            return run_end::failed;
        }
        overrides.push_back("FBBENCH_PRESENT_FD=" + std::to_string(flips.fd));
    }
    const std::optional<unsigned long long> kernel_before = kernel_threads_ticks("/proc");
    if (!program_execute(b.executable, overrides, b.s.options.timeout_seconds, outcome, error)) {
        failure_add(b, error);
        return run_end::failed;
    }
    if (!outcome.capture_error.empty()) {
        // Not the benchmark's fault: it did not run.
        run_record r;
        r.program = b.program;
        r.target = target;
        r.path = b.path;
        r.warmup = warmup;
        r.invalid_reason = "output not captured " + outcome.capture_error;
        failure_add(b, "cannot capture the output of " + b.program + " " + outcome.capture_error);
        b.s.runs.push_back(std::move(r));
        b.write_failed = !file_write(b.s, b.output) || b.write_failed;
        return run_end::failed;
    }
    if (!outcome.started)
        return run_end::interrupted;

    run_record r{b.program, target, b.path, warmup, outcome.exit_status, false, "", outcome.out, outcome.err, {},
                 outcome.monotonic_seconds, outcome.signal, outcome.timed_out, outcome.out_truncated,
                 outcome.err_truncated, {}, false, {}, outcome.leftover_processes};
    const std::optional<unsigned long long> kernel_after = kernel_threads_ticks("/proc");
    const long ticks_per_second = sysconf(_SC_CLK_TCK);
    double kernel_seconds = 0;
    if (kernel_before && kernel_after && *kernel_after >= *kernel_before && outcome.monotonic_seconds > 0
        && ticks_per_second > 0) {
        kernel_seconds = double(*kernel_after - *kernel_before) / double(ticks_per_second);
        r.kernel_cpu_percent = std::round(kernel_seconds / outcome.monotonic_seconds * 1000) / 10;
    }
    if (std::optional<competing_work> work =
            competing_work_measure(outcome.stat_before, outcome.stat_after, outcome.child_cpu_seconds,
                                   outcome.monotonic_seconds, ticks_per_second)) {
        // The kernel's own threads are not competing work: on a display run
        // they do the copies the run asks for, and no user can stop them.
        work->other_seconds = std::max(0.0, work->other_seconds - kernel_seconds);
        work->percent = work->other_seconds / outcome.monotonic_seconds * 100;
        r.other_cpu_percent = std::round(work->percent * 10) / 10;
        r.competing = competing_work_excessive(*work);
    }
    const bool parsed = outcome.exit_status == 0 && !outcome.out_truncated
                     && report_parse(b.program, outcome.out, r.values);
    const std::string value_fault = parsed ? report_invalid_reason(r.values) : "";
    const bool stepped = stats_clock_stepped(outcome.realtime_seconds, outcome.monotonic_seconds);
    // A run stopped at the deadline is not counted, whatever it printed.
    r.valid = parsed && value_fault.empty() && !stepped && !outcome.timed_out;
    run_end end = run_end::counted;
    if (!parsed && signals_caught() != 0) {
        r.invalid_reason = "interrupted";
        end = run_end::interrupted;
    } else if (outcome.timed_out) {
        r.invalid_reason = "timed out after " + std::to_string(b.s.options.timeout_seconds) + " s";
        warning_add(b.s, "timed-out",
                        b.program + " on " + b.shown_path + " " + r.invalid_reason + " and was stopped; the slowest boards"
                            " may need a larger --timeout");
        b.s.failures.push_back({b.program, b.path, r.invalid_reason});
        end = run_end::failed;
    } else if (outcome.signal != 0) {
        r.invalid_reason = "killed by " + signal_name(outcome.signal);
        warning_add(b.s, "killed", b.program + " on " + b.shown_path + " was " + r.invalid_reason);
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
    } else if (!value_fault.empty()) {
        // The same program on the same window would report the same again.
        r.invalid_reason = value_fault;
        const std::string line = outcome.out.substr(outcome.out.rfind('\n', outcome.out.size() - 2) + 1);
        failure_add(b, "the report of " + b.program + " does not count (" + value_fault + "): "
                           + line.substr(0, line.find('\n')));
        end = run_end::failed;
    } else if (stepped) {
        r.invalid_reason = "wall clock stepped";
        char message[200];
        std::snprintf(message, sizeof message,
                      "the wall clock was stepped by %.3f s during a run of %s; the run is discarded and repeated",
                      outcome.realtime_seconds - outcome.monotonic_seconds, b.program.c_str());
        warning_add(b.s, "clock-stepped", message);
        // A clock that keeps stepping must not keep the benchmark going.
        if (++b.clock_steps > b.s.options.max_runs) {
            failure_add(b, "the wall clock kept being stepped during " + b.program + "; giving up");
            end = run_end::failed;
        }
    }
    if (target == run_target::presented && r.valid)
        end = presented_take(b, flips, r);
    b.s.runs.push_back(std::move(r));
    b.write_failed = !file_write(b.s, b.output) || b.write_failed;
    if (end == run_end::counted && signals_caught() != 0)
        end = run_end::interrupted;
    return end;
}

std::string numbers_text(const std::set<std::size_t>& numbers)
{
    std::string text;
    for (std::size_t n : numbers)
        text += (text.empty() ? "" : ", ") + std::to_string(n);
    return text;
}

// A larger window to name for a figure under 1 % resolution: for a time, one
// with enough pixels for 100 quanta at the time a pixel takes now, where it
// still fits at POSX and POSY, else at the corner; for a rate, the whole
// screen.
std::string window_advice(const session& s, const std::string& path, const result_row& row, double median,
                          double resolution)
{
    const auto device = std::find_if(s.screens.begin(), s.screens.end(), [&](const device_screen& d) {
        return d.path == path;
    });
    if (device == s.screens.end() || !device->error.empty() || !device->window_error.empty())
        return "use a larger window";
    const bench_window& w = device->window;
    const bool whole = uint32_t(w.width) == device->width && uint32_t(w.height) == device->height;
    if (!row.metric.higher_is_better && median > 0 && w.width > 0 && w.height > 0) {
        const double factor = std::sqrt(100 * resolution / median);
        const long width = std::lround(std::ceil(w.width * factor)), height = std::lround(std::ceil(w.height * factor));
        const std::string about = " (about " + std::to_string(long(100 * resolution)) + ".00 " + row.metric.unit + ")";
        const std::string size = "WIDTH=" + std::to_string(width) + " HEIGHT=" + std::to_string(height);
        if (w.posx + width <= long(device->width) && w.posy + height <= long(device->height))
            return "use a larger window, e.g. " + size + " at the same POSX and POSY" + about;
        if (width <= long(device->width) && height <= long(device->height))
            return "use a larger window, e.g. " + size + " POSX=0 POSY=0" + about;
    }
    if (!whole)
        return "use a larger window, e.g. the whole " + std::to_string(device->width) + "x"
             + std::to_string(device->height) + " screen (WIDTH, HEIGHT, POSX and POSY unset)";
    return "the whole screen is in use already: no larger window is possible";
}

// One warning for a benchmark's figures under 1 % resolution on a device,
// whichever targets they are on: each target's figure, and one window that
// gives the slowest target about 100 quanta.
void resolution_warning_add(bench_context& b, const std::vector<run_target>& targets)
{
    const session& s = b.s;
    const spread_target spread = results_spread_target(s, b.program);
    const result_row* first = nullptr;
    std::size_t coarse = 0;
    const std::vector<result_row> rows = results_rows(s); // first points into it
    for (const result_row& row : rows) {
        if (row.program != b.program || row.path != b.path)
            continue;
        const bool limited = std::any_of(targets.begin(), targets.end(), [&](run_target t) {
            const std::optional<value_stats>& st = result_row_stats(row, t);
            return st && st->resolution_limited;
        });
        if (limited && coarse++ == 0)
            first = &row;
    }
    if (first == nullptr)
        return;
    std::string figures;
    const value_stats* slowest = nullptr;
    run_target slowest_target = run_target::device;
    for (run_target t : targets) {
        const std::optional<value_stats>& st = result_row_stats(*first, t);
        if (!st || !st->resolution_limited)
            continue;
        char figure[80];
        std::snprintf(figure, sizeof figure, "%s%s %.2f %s", figures.empty() ? "" : ", ", run_target_label(t),
                      st->median, first->metric.unit.c_str());
        figures += figure;
        const bool slower = slowest == nullptr || (first->metric.higher_is_better ? st->median < slowest->median
                                                                                  : st->median > slowest->median);
        if (slower)
            slowest = &*st, slowest_target = t;
    }
    std::string others;
    if (coarse > 1)
        others = " (and " + std::to_string(coarse - 1) + " more of its figures)";
    char text[600];
    std::snprintf(text, sizeof text,
                  "%s on %s %s is under 1 %% resolution (%s)%s, the report printing steps of %.2f; %s, the %s being "
                  "the slowest",
                  b.program.c_str(), b.shown_path.c_str(), first->metric.metric.c_str(), figures.c_str(), others.c_str(),
                  spread.resolution,
                  window_advice(s, b.path, *first, slowest->median, spread.resolution).c_str(),
                  run_target_label(slowest_target));
    warning_add(b.s, "resolution", text);
}

// The warnings of a benchmark on a device and target, each once: runs that
// did not settle, outliers, a slow first run and competing work, each
// naming what to do.
void bench_warnings_add(bench_context& b, run_target target)
{
    const session& s = b.s;
    const runner_options& o = s.options;
    const std::string where = b.program + " on " + b.shown_path + " (" + run_target_label(target) + ")";
    // The counted runs of this target, numbered from 1.
    std::vector<const run_record*> counted;
    for (const run_record& r : s.runs)
        if (run_counted(r, b.program, b.path) && r.target == target)
            counted.push_back(&r);

    const spread_target spread = results_spread_target(s, b.program);
    const result_row* worst = nullptr;
    double worst_excess = 0;
    std::set<std::size_t> outlier_runs;
    std::vector<std::string> outlier_metrics;
    bool slow = false;
    const std::vector<result_row> rows = results_rows(s);
    for (const result_row& row : rows) {
        if (row.program != b.program || row.path != b.path)
            continue;
        const std::optional<value_stats>& st = result_row_stats(row, target);
        if (!st)
            continue;
        if (!st->settled) {
            const double excess = st->spread_percent ? *st->spread_percent / stats_spread_limit(st->median, spread) : 1e9;
            if (worst == nullptr || excess > worst_excess)
                worst = &row, worst_excess = excess;
        }
        std::vector<double> values;
        std::vector<std::size_t> numbers;
        for (std::size_t i = 0; i < counted.size(); ++i)
            for (const report_value& v : counted[i]->values)
                if (v.metric == row.metric.metric)
                    values.push_back(v.value), numbers.push_back(i + 1);
        // A slow first run is its own warning; the others are judged without
        // it, so that its distance cannot make them look like outliers.
        const bool first_slow = stats_first_slow(values, row.metric.higher_is_better);
        const std::size_t skipped = first_slow ? 1 : 0;
        const std::vector<std::size_t> outliers =
            stats_outliers(std::vector<double>(values.begin() + std::ptrdiff_t(skipped), values.end()));
        for (std::size_t i : outliers)
            outlier_runs.insert(numbers[i + skipped]);
        if (!outliers.empty())
            outlier_metrics.push_back(row.metric.metric);
        slow = slow || first_slow;
    }
    char text[600];
    if (worst != nullptr) {
        const value_stats& st = *result_row_stats(*worst, target);
        char spread_shown[48] = "undefined (median 0)";
        if (st.spread_percent)
            std::snprintf(spread_shown, sizeof spread_shown, "%.1f %%", *st.spread_percent);
        std::snprintf(text, sizeof text,
                      "%s did not settle in %zu runs: the spread of its %s is %s, above the target of %.1f %%; "
                      "measure on a quieter machine, or allow more runs with --max-runs",
                      where.c_str(), st.runs, worst->metric.metric.c_str(), spread_shown,
                      stats_spread_limit(st.median, spread));
        warning_add(b.s, "not-settled", text);
    }
    if (!outlier_runs.empty()) {
        std::string metrics = outlier_metrics.front();
        if (outlier_metrics.size() > 1)
            metrics += " and " + std::to_string(outlier_metrics.size() - 1) + " more";
        warning_add(b.s, "outlier",
                    std::string(run_target_label(target)) + " run" + (outlier_runs.size() == 1 ? " " : "s ")
                        + numbers_text(outlier_runs) + " of " + b.program + " on " + b.shown_path + " gave outliers ("
                        + metrics + "); measure on a quiet machine");
    }
    if (slow)
        warning_add(b.s, "slow-first-run",
                    "the first " + std::string(run_target_label(target)) + " run of " + b.program + " on " + b.shown_path
                        + " was much slower than the rest; consider --warmup " + std::to_string(o.warmup + 1));
    std::set<std::size_t> busy_runs;
    double busiest = 0;
    for (std::size_t i = 0; i < counted.size(); ++i)
        if (counted[i]->competing) {
            busy_runs.insert(i + 1);
            busiest = std::max(busiest, counted[i]->other_cpu_percent.value_or(0));
        }
    if (!busy_runs.empty()) {
        std::snprintf(text, sizeof text,
                      "other processes used up to %.1f %% of a core during %s run%s %s of %s on %s (more than "
                      "%.0f %%); stop them and measure again",
                      busiest, run_target_label(target), busy_runs.size() == 1 ? "" : "s", numbers_text(busy_runs).c_str(),
                      b.program.c_str(), b.shown_path.c_str(), competing_work_threshold_percent);
        warning_add(b.s, "competing-work", text);
    }
}

run_end bench_measure(bench_context& b, std::size_t program_index, std::size_t device_index)
{
    std::vector<run_target> targets = device_targets(b.s.options, device_description_find(b.s, b.path));
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
            if (run_end end = run_one(b, program_index, device_index, targets[k], true, std::size_t(i)); !next(k, end))
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
            const std::size_t number = valid_count(b.s, b.program, b.path, targets[k]) + 1;
            if (run_end end = run_one(b, program_index, device_index, targets[k], false, number); !next(k, end))
                return end;
        }
        if (!ran)
            break;
    }
    for (run_target t : targets)
        bench_warnings_add(b, t);
    resolution_warning_add(b, targets);
    progress_clear();
    display_warnings_add(b.s, b.program, b.path);
    return display_failed ? run_end::failed : run_end::counted;
}

// The description above the table, its lines broken to fit the terminal.
void header_print(const session& s, int columns)
{
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    if (out == nullptr) {
        session_header_print(stdout, s);
        return;
    }
    session_header_print(out, s);
    std::fclose(out);
    const std::string header(text, size);
    std::free(text);
    std::size_t start = 0;
    for (std::size_t end; (end = header.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = header.substr(start, end - start);
        const std::size_t indent = std::min(line.find_first_not_of(' '), line.size());
        std::fputs(line.empty() ? "\n" : text_wrap(line, columns, int(indent) + 2).c_str(), stdout);
    }
}

} // namespace

std::size_t plan_runs_least(const session& s)
{
    std::size_t targets = 0;
    for (const std::string& path : s.devices)
        targets += device_targets(s.options, device_description_find(s, path)).size();
    return s.options.programs.size() * targets * std::size_t(s.options.runs + s.options.warmup);
}

int measure_start(session& s, results_output& output)
{
    results_leftovers_remove(output);
    return file_write(s, output) ? 0 : 1;
}

int measure_runs(session& s, results_output& output)
{
    int status = 0;
    if (signals_caught() != 0)
        return 128 + signals_caught();
    // After the description: its mapping classes decide which devices get
    // the display target, and a flush that failed there drops it.
    for (const std::string& path : s.devices)
        if (const std::string reason = display_target_dropped(s.options, device_description_find(s, path));
            !reason.empty())
            warning_add(s, "display-dropped",
                        bench_text_escape(path) + ": the display is not measured, as its flush failed (" + reason
                            + "); the screen and RAM runs go on; mend the driver or measure with --no-sync");
    plan_print(s);
    for (std::size_t p = 0; p < s.options.programs.size(); ++p) {
        const std::string& program = s.options.programs[p];
        const std::string executable = program_locate(program, s.options.programs_dir);
        for (std::size_t d = 0; d < s.devices.size(); ++d) {
            bench_context b{s, output, program, executable, s.devices[d]};
            if (executable.empty()) {
                failure_add(b, "cannot find " + program
                                   + (s.options.programs_dir.empty() ? " next to fbbench or on PATH"
                                                                     : " in " + s.options.programs_dir));
                status = 1;
                continue;
            }
            const run_end end = bench_measure(b, p, d);
            if (b.write_failed)
                status = 1;
            if (end == run_end::interrupted) {
                progress_clear();
                return 128 + signals_caught();
            }
            if (end == run_end::failed)
                status = 1;
        }
    }
    progress_clear();
    return status;
}

int measure_finish(session& s, results_output& output, int status)
{
    s.complete = status < 128;
    const bool written = file_write(s, output);
    if (!written && status == 0)
        status = 1;
    const int columns = terminal_columns(STDOUT_FILENO);
    if (!s.options.quiet)
        header_print(s, columns);
    if (!s.options.describe)
        results_table_print(stdout, s, terminal_columns(STDOUT_FILENO));
    if (s.options.summary && !s.options.describe) {
        for (const std::string& line : {results_partial_line(s), results_quick_line(s)})
            if (!line.empty())
                std::printf("%s\n", line.c_str());
        // What reaches the display first, where it was measured.
        std::printf("%s\n", results_summary_header(s).c_str());
        if (const std::string display = results_summary_row(s, run_target::display); !display.empty())
            std::printf("%s\n", display.c_str());
        std::printf("%s\n", results_summary_row(s).c_str());
        for (const std::string& path : s.devices)
            if (const std::string presented = presented_line(s, path); !presented.empty())
                std::printf("%s\n", presented.c_str());
    }
    if (!standard_output_flush() && status == 0)
        status = 1;
    const int error_columns = isatty(STDERR_FILENO) ? terminal_columns(STDERR_FILENO) : 0;
    const std::string shown_output = bench_text_escape(output.path);
    if (written && output.earlier)
        std::fputs(text_wrap("fbbench: " + shown_output + " keeps the earlier results: this session has none of its own",
                             error_columns, 2).c_str(), stderr);
    else if (written && !s.options.quiet)
        std::fputs(text_wrap("fbbench: results in " + shown_output, error_columns, 2).c_str(), stderr);
    if (status == 0 && s.options.strict && !s.warnings.empty())
        status = 3;
    return status;
}
