// fbbench: runs the framebuffer benchmarks until their numbers hold, on the
// screen and on RAM of the screen's shape, and keeps every run in a file.
#include "benchmarks.h"
#include "cli.h"
#include "console.h"
#include "describe_session.h"
#include "execute.h"
#include "plan.h"
#include "results_file.h"
#include "run_loop.h"
#include "session_lock.h"
#include "stats_rows.h"
#include "table.h"
#include "text.h"
#include "verdicts.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace {

std::string host_name()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

// The default results file's name without ".json", a suffix may follow.
std::string default_output_stem(const std::string& host)
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    return "fbbench-" + host + "-" + stamp;
}

// An inherited FBBENCH_LEVELS that cuts the ladder: recorded (options.levels)
// and warned of, as such a session compares with no full one; under
// --quick, which sets the ladder itself, it is not used.
void levels_warning_add(session& s)
{
    if (s.options.levels == 0)
        return;
    const std::string given = "FBBENCH_LEVELS=" + std::to_string(s.options.levels);
    for (const benchmark& b : benchmarks()) {
        if (b.quick_levels == 0)
            continue;
        const std::string levels = " to " + std::to_string(s.options.levels) + " levels";
        if (s.options.quick)
            s.warnings.push_back({"fbbench-levels-set", "--quick climbs its own " + std::to_string(b.quick_levels)
                                                            + " levels: " + given + " in the environment is not used"});
        else
            s.warnings.push_back({"fbbench-levels-set",
                                  given + " in the environment cuts the " + b.label + " ladder" + levels
                                      + ": the session compares with quick sessions only, not with full ones"});
    }
    if (s.options.quick)
        s.options.levels = 0;
}

// Writes the session's file, saying why it could not. False then.
bool session_save(session& s, results_output& output, console& c)
{
    std::string error;
    if (results_file_save(s, output, error))
        return true;
    console_error(c, s, error);
    return false;
}

// The file written for the first time, before the machine is described and
// anything runs ("complete": false, no runs), so that an unwritable output
// is found at once and an interrupt at any later moment leaves a file.
int session_start(session& s, results_output& output, console& c)
{
    results_leftovers_remove(output);
    return session_save(s, output, c) ? 0 : 1;
}

// The description, then the plan it decides: which devices get the display
// and presented targets.
system_sample session_plan(session& s)
{
    const system_sample before = session_describe(s, "/");
    plan_make(s);
    stats_rows_update(s);
    return before;
}

// The final file (complete unless interrupted), the table and the summary
// row; returns the exit status.
int session_finish(session& s, results_output& output, console& c, int status)
{
    console_warnings_show(c, s);
    s.complete = status < 128;
    const bool written = session_save(s, output, c);
    if (!written && status == 0)
        status = 1;
    const int columns = terminal_columns(STDOUT_FILENO);
    if (!s.options.quiet)
        results_header_print(stdout, s, columns);
    if (!s.options.describe)
        results_table_print(stdout, s, columns);
    if (s.options.summary && !s.options.describe) {
        for (const std::string& line : {results_partial_line(s), plan_quick_line(s)})
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
    if (written)
        console_results_note(c, s, output.path, output.earlier);
    if (status == 0 && s.options.strict && !s.warnings.empty())
        status = 3;
    return status;
}

} // namespace

int main(int argc, char* argv[])
{
    // The programs' captured output must never take standard output's or
    // error's place, to be closed at their exec.
    bench_std_fds_reserve();
    session s;
    console c;
    std::string message;
    // A fault in what fbbench was given, told before anything runs.
    const auto usage_refuse = [&](const std::string& refusal) {
        console_error(c, s, refusal);
        return 2;
    };
    switch (options_parse(argc, argv, s.options, message)) {
    case options_action::help:
        options_usage_print(stdout);
        std::printf("Runs %s (or those named)\non the framebuffer and on RAM of its shape, and writes every run to a file.\n\n",
                    text_list_join(options_known_programs()).c_str());
        options_help_print(stdout);
        return standard_output_flush() ? 0 : 1;
    case options_action::list_benchmarks:
        std::printf("%s\n", benchmarks_manifest().dump(2).c_str());
        return standard_output_flush() ? 0 : 1;
    case options_action::version:
        std::printf("fbbench %s\n", FBBENCH_VERSION);
        return standard_output_flush() ? 0 : 1;
    case options_action::usage_error:
        console_error(c, s, message);
        options_usage_print(stderr);
        return 2;
    case options_action::run:
        break;
    }

    // The programs inherit FBBENCH_LEVELS: a value they would refuse is
    // refused before anything runs.
    if (const std::string refusal = s.options.describe ? "" : benchmark_levels_read(s.options.programs, s.options.levels);
        !refusal.empty())
        return usage_refuse(refusal);
    // And FBBENCH_DEPTH, which chooses a DRM card's depth for them and for the description.
    uint32_t drm_depth = 0;
    if (const std::string refusal = drm_depth_check(std::getenv(DRM_DEPTH_VARIABLE), drm_depth); !refusal.empty())
        return usage_refuse(refusal);
    s.host = host_name();
    signals_catch();
    orphans_adopt();
    s.started = utc_now_iso();
    for (const char* name : {"WIDTH", "HEIGHT", "POSX", "POSY"})
        if (const char* value = std::getenv(name))
            s.window.emplace_back(name, value);
    if (s.options.devices.empty()) {
        s.devices.push_back(fb_device_path()); // the device the programs would take
    } else {
        s.devices = s.options.devices;
    }
    if (const std::string refusal = options_timeout_refusal(s.options); !refusal.empty() && !s.options.describe)
        return usage_refuse(refusal);
    // Each device's window by the programs' own rules; one in which a
    // benchmark would draw nothing is refused before anything runs.
    const std::string refusal = devices_prepare(s, bench_window_texts_read());
    if (!refusal.empty() && !s.options.describe)
        return usage_refuse(refusal);
    // A session holds its devices from before the description to its end; a
    // description without probes draws nothing and holds none.
    session_lock lock;
    const std::string busy = s.options.describe && !s.options.probe ? "" : session_lock_take(lock, s.devices);
    if (!busy.empty() && s.options.no_wait) {
        return usage_refuse(busy + "; not waiting (--no-wait)");
    }
    // Before anything runs: a path that is not a file, or a file another
    // session writes, is a usage fault.
    results_output file;
    const int opened = s.options.output.empty() ? results_output_create(file, default_output_stem(s.host), message)
                                                : results_output_open(file, s.options.output, s.options.force, message);
    if (opened != 0) {
        console_error(c, s, message);
        return opened;
    }
    // A stop signal ends the wait; the session then ends as one stopped at its start.
    if (!busy.empty())
        session_lock_wait(lock, s.devices, [&](const std::string& holder) {
            if (!s.options.quiet)
                console_error(c, s, holder + "; waiting for it to end");
        });
    if (s.options.describe) {
        if (session_start(s, file, c) != 0)
            return 1;
        session_plan(s);
        const int exit_status = session_finish(s, file, c, signals_caught() != 0 ? 128 + signals_caught() : 0);
        signals_reraise();
        return exit_status;
    }
    if (std::getenv("FBBENCH_TARGET") != nullptr)
        s.warnings.push_back({"fbbench-target-set",
                        "FBBENCH_TARGET is set in the environment, but fbbench sets it itself for each run "
                        "(device, memory, display): the value given is not used"});
    levels_warning_add(s);
    console_warnings_show(c, s);
    if (session_start(s, file, c) != 0) {
        signals_reraise();
        return 1;
    }
    const system_sample before = session_plan(s);
    // The run loop's events go to the outputs: the file after every run,
    // everything else to the console.
    const int status = run_loop_run(s, [&](const run_event& event) {
        const bool saved = event.kind != run_event_kind::recorded || session_save(s, file, c);
        console_event(c, s, event);
        return saved;
    });
    console_clear(c);
    session_describe_after(s, "/", before);
    const int exit_status = session_finish(s, file, c, status);
    // With the file and the table out, a stop signal ends fbbench as it
    // would have without the handler, so that a calling script stops too.
    signals_reraise();
    return exit_status;
}
