#include "console.h"

#include "digits.h"
#include "plan.h"
#include "text.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

int terminal_columns(int fd)
{
    winsize size{};
    if (isatty(fd) && ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    const char* text = std::getenv("COLUMNS");
    if (int n = 0; text != nullptr && digits_parse(text, n) && n > 0 && n < 10000)
        return n;
    // A serial console, as on most boards, is a terminal that does not know
    // its width: take a terminal's classic 80 columns, not an unlimited line.
    return isatty(fd) ? 80 : 0;
}

namespace {

// Only a terminal's lines are broken: a log keeps one line a message.
int error_columns()
{
    return isatty(STDERR_FILENO) ? terminal_columns(STDERR_FILENO) : 0;
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

void console_line(console& c, const session& s, const std::string& line)
{
    console_warnings_show(c, s);
    console_clear(c);
    std::fprintf(stderr, "%s\n", line.c_str());
}

void console_plan(console& c, const session& s)
{
    console_warnings_show(c, s);
    if (s.options.quiet)
        return;
    const runner_options& o = s.options;
    // Devices whose picture needs a flush add the display target.
    std::size_t fewest = SIZE_MAX, most = 0;
    for (const std::string& path : s.devices) {
        const std::size_t n = plan_find(s, path).targets.size();
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
    if (const std::string quick = plan_quick_line(s); !quick.empty())
        plan += " (" + quick + ")";
    const time_estimate e = plan_remaining_estimate(s, 0, 0);
    std::string dropped;
    for (const std::string& path : s.devices)
        if (const std::string& reason = plan_find(s, path).display_dropped; !reason.empty())
            dropped += "; the display of " + bench_text_escape(path) + " is dropped (" + reason + ")";
    for (const std::string& path : s.devices)
        if (const std::string& reason = plan_find(s, path).presented_dropped; !reason.empty())
            dropped += "; presented on " + bench_text_escape(path) + " is dropped (" + reason + ")";
    const int columns = isatty(STDERR_FILENO) ? terminal_columns(STDERR_FILENO) : 0;
    std::fputs(text_wrap("fbbench: " + plan + ", " + minutes_text(e, "in all") + dropped, columns, 2).c_str(), stderr);
}

void console_progress(console& c, const session& s, const run_position& at)
{
    console_warnings_show(c, s);
    const runner_options& o = s.options;
    if (o.quiet)
        return;
    const std::string shown_path = bench_text_escape(at.path);
    const run_target target = at.target;
    const bool warmup = at.warmup;
    const std::size_t number = at.number;
    char line[400];
    if (warmup)
        std::snprintf(line, sizeof line, "%s on %s, %s: warm-up run %zu of %d", at.program.c_str(), shown_path.c_str(),
                      run_target_label(target), number, o.warmup);
    else if (number <= std::size_t(o.runs))
        std::snprintf(line, sizeof line, "%s on %s, %s: run %zu of %d", at.program.c_str(), shown_path.c_str(),
                      run_target_label(target), number, o.runs);
    else
        std::snprintf(line, sizeof line, "%s on %s, %s: run %zu of at most %d (spread above target)",
                      at.program.c_str(), shown_path.c_str(), run_target_label(target), number, o.max_runs);
    const time_estimate left = plan_remaining_estimate(s, at.program_index, at.device_index);
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
    const std::string brief = at.program + " " + shown_path + " " + run_target_label(target) + (warmup ? " warm-up " : " ")
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
    c.live = true;
}

} // namespace

void console_clear(console& c)
{
    if (c.live)
        std::fputs("\r\033[K", stderr);
    c.live = false;
}

void console_warnings_show(console& c, const session& s)
{
    for (; c.warnings_shown < s.warnings.size(); ++c.warnings_shown) {
        console_clear(c);
        std::fputs(text_wrap("fbbench: warning: " + s.warnings[c.warnings_shown].message, error_columns(), 2).c_str(),
                   stderr);
    }
}

void console_error(console& c, const session& s, const std::string& message)
{
    console_line(c, s, "fbbench: " + message);
}


void console_event(console& c, const session& s, const run_event& event)
{
    switch (event.kind) {
    case run_event_kind::planned: console_plan(c, s); break;
    case run_event_kind::starting: console_progress(c, s, *event.at); break;
    case run_event_kind::failed: console_line(c, s, *event.line); break;
    case run_event_kind::recorded:
    case run_event_kind::finished:
        console_warnings_show(c, s);
        break;
    }
    if (event.kind == run_event_kind::finished)
        console_clear(c);
}

void console_results_note(console& c, const session& s, const std::string& path, bool earlier)
{
    console_warnings_show(c, s);
    const std::string shown_output = bench_text_escape(path);
    if (earlier)
        std::fputs(text_wrap("fbbench: " + shown_output + " keeps the earlier results: this session has none of its own",
                             error_columns(), 2).c_str(), stderr);
    else if (!s.options.quiet)
        std::fputs(text_wrap("fbbench: results in " + shown_output, error_columns(), 2).c_str(), stderr);
}

bool standard_output_flush()
{
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    if (flushed && !std::ferror(stdout))
        return true;
    std::fprintf(stderr, "fbbench: cannot write to standard output: %s\n",
                 !flushed && errno != 0 ? std::strerror(errno) : "some of the output was lost");
    return false;
}
