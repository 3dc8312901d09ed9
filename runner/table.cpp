#include "table.h"

#include "benchmarks.h"
#include "describe_session.h"
#include "plan.h"
#include "text.h"
#include "verdicts.h"

#include <algorithm>
#include <cstdlib>
#include <cstdio>

namespace {

// Below this many columns the rows are grouped by benchmark.
constexpr int wide_columns = 120;
// Below this many, each target's figures get a line of their own.
constexpr int stacked_columns = 60;

enum class layout { wide, narrow, narrowest, stacked };

struct column {
    std::string header;
    bool left = false; // aligned left, else right
    int gap = 2; // blanks before it; 0 for the marks on a figure
};

// A line of the table: cells in the columns, or a text of its own (a
// benchmark's heading in the narrow layouts).
struct table_line {
    std::vector<std::string> cells;
    std::string text;
};

std::string figure_text(double value, int decimals)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Which marks a table uses, for the footer.
struct marks_used {
    bool unsettled = false, coarse = false, noise = false;
    std::vector<std::pair<std::string, double>> glass; // device, refresh
};

// The targets that get columns: those planned on some device, what reaches
// the display first.
std::vector<run_target> table_targets(const session& s)
{
    std::vector<run_target> targets;
    for (run_target t : {run_target::presented, run_target::display, run_target::device, run_target::memory})
        for (const std::string& path : s.devices)
            if (plan_has(s, path, t) && std::find(targets.begin(), targets.end(), t) == targets.end())
                targets.push_back(t);
    return targets;
}

const char* ratio_header(run_target t, layout l)
{
    switch (t) {
    case run_target::display: return l == layout::wide ? "display/screen" : l == layout::stacked ? "display ratio" : "disp/scr";
    case run_target::memory: return l == layout::wide ? "screen/RAM" : l == layout::stacked ? "RAM ratio" : "scr/RAM";
    case run_target::presented: return l == layout::wide ? "presented/screen" : l == layout::stacked ? "presented ratio" : "pres/scr";
    case run_target::device: break;
    }
    return "";
}

// The screen's speed over RAM's, or the display's or presented's over the screen's.
std::optional<double> row_ratio(const result_row& row, run_target t)
{
    switch (t) {
    case run_target::display: return row.display_vs_screen;
    case run_target::memory: return row.screen_vs_memory;
    case run_target::presented: return row.presented_vs_screen;
    case run_target::device: break;
    }
    return std::nullopt;
}

std::vector<column> table_columns(const std::vector<run_target>& targets, layout l)
{
    // A line a target: its name, figure and marks, spread, and its ratio.
    if (l == layout::stacked)
        return {{"", true, 0}, {"median"}, {"", true, 0}, {"spread"}, {"ratio"}, {"", true, 0}};
    std::vector<column> columns = {{l == layout::wide ? "benchmark and metric" : "", true, 0}};
    if (l == layout::wide)
        columns.push_back({"unit", true});
    for (run_target t : targets) {
        columns.push_back({run_target_label(t)});
        columns.push_back({"", true, 0});
        if (l != layout::narrowest)
            columns.push_back({"spread"});
        if (l == layout::wide)
            columns.push_back({"runs"});
        if (t != run_target::device) {
            columns.push_back({ratio_header(t, l)});
            columns.push_back({"", true, 0});
        }
    }
    return columns;
}

// A row's figures on a target as the table shows them; blank where the
// target was not planned on the row's device, "-" where it had no run.
struct target_cells {
    bool planned = false;
    std::string figure, mark, spread, runs, ratio, ratio_mark;
};

target_cells cells_of(const session& s, const result_row& row, run_target t, marks_used& marks)
{
    target_cells c;
    c.planned = plan_has(s, row.path, t);
    const std::optional<value_stats>& st = result_row_stats(row, t);
    c.figure = c.planned ? "-" : "";
    c.spread = c.planned ? "-" : "";
    c.runs = c.planned ? "0" : "";
    if (st) {
        c.figure = figure_text(st->median, 2);
        c.spread = st->spread_percent ? figure_text(*st->spread_percent, 1) + "%" : "\u2013";
        c.runs = std::to_string(st->runs);
        if (!st->settled)
            c.mark += "*", marks.unsettled = true;
        if (st->resolution_limited)
            c.mark += "~", marks.coarse = true;
    }
    if (t == run_target::display)
        if (const std::optional<double> hz = row.glass_limit_hz) {
            c.mark += "^";
            if (std::none_of(marks.glass.begin(), marks.glass.end(), [&](const auto& g) { return g.first == row.path; }))
                marks.glass.emplace_back(row.path, *hz);
        }
    if (t == run_target::device)
        return c;
    const std::optional<double> ratio = row_ratio(row, t);
    if (t == run_target::display && ratio && *ratio > 1.05)
        c.ratio_mark = "!", marks.noise = true;
    c.ratio = ratio ? figure_text(*ratio, 3) : c.planned ? "-" : "";
    return c;
}

// The stacked layout's lines of a row: one a target planned on its device.
std::vector<table_line> stacked_lines(const session& s, const result_row& row, const std::vector<run_target>& targets,
                                      marks_used& marks)
{
    std::vector<table_line> lines;
    for (run_target t : targets) {
        const target_cells c = cells_of(s, row, t, marks);
        if (c.planned || result_row_stats(row, t))
            lines.push_back({{std::string("    ") + run_target_label(t), c.figure, c.mark, c.spread, c.ratio, c.ratio_mark}, ""});
    }
    return lines;
}

std::vector<table_line> table_lines(const session& s, const std::vector<result_row>& rows,
                                    const std::vector<run_target>& targets, layout l, marks_used& marks)
{
    std::vector<table_line> lines;
    table_line header;
    for (const column& c : table_columns(targets, l))
        header.cells.push_back(c.header);
    lines.push_back(header);
    const bool several_devices = s.devices.size() > 1;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const result_row& row = rows[i];
        const bool first_of_group = i == 0 || rows[i - 1].program != row.program || rows[i - 1].path != row.path;
        if (l != layout::wide && first_of_group)
            lines.push_back({{}, row.program + (several_devices ? " on " + bench_text_escape(row.path) : "") + " (" + row.metric.unit + ")"});
        if (l == layout::stacked) {
            lines.push_back({{}, "  " + (row.metric.points != 0 ? std::to_string(row.metric.points) + " points"
                                                                 : row.metric.metric)});
            for (table_line& target_line : stacked_lines(s, row, targets, marks))
                lines.push_back(std::move(target_line));
            continue;
        }
        table_line line;
        if (l == layout::wide) {
            line.cells.push_back(row.program + (several_devices ? " (" + bench_text_escape(row.path) + ")" : "") + " " + row.metric.metric);
            line.cells.push_back(row.metric.unit);
        } else {
            line.cells.push_back("  " + (row.metric.points != 0 ? std::to_string(row.metric.points) + " points"
                                                                 : row.metric.metric));
        }
        for (run_target t : targets) {
            const target_cells c = cells_of(s, row, t, marks);
            line.cells.push_back(c.figure);
            line.cells.push_back(c.mark);
            if (l != layout::narrowest)
                line.cells.push_back(c.spread);
            if (l == layout::wide)
                line.cells.push_back(c.runs);
            if (t == run_target::device)
                continue;
            line.cells.push_back(c.ratio);
            line.cells.push_back(c.ratio_mark);
        }
        lines.push_back(line);
    }
    return lines;
}

// The lines rendered; widest is set to the longest.
std::vector<std::string> table_render(const std::vector<table_line>& lines, const std::vector<column>& columns,
                                      int& widest)
{
    std::vector<int> widths(columns.size(), 0);
    for (const table_line& line : lines)
        for (std::size_t c = 0; c < line.cells.size() && c < widths.size(); ++c)
            widths[c] = std::max(widths[c], text_shown_width(line.cells[c]));
    std::vector<std::string> rendered;
    widest = 0;
    for (const table_line& line : lines) {
        std::string text = line.text;
        if (line.cells.empty()) {
            rendered.push_back(text);
            widest = std::max(widest, text_shown_width(text));
            continue;
        }
        bool first = true;
        for (std::size_t c = 0; c < line.cells.size() && c < columns.size(); ++c) {
            // A column that is empty throughout takes no room, nor its gap.
            if (widths[c] == 0)
                continue;
            const std::string& cell = line.cells[c];
            const std::string pad(std::size_t(widths[c] - text_shown_width(cell)), ' ');
            text += std::string(first ? 0 : std::size_t(columns[c].gap), ' ') + (columns[c].left ? cell + pad : pad + cell);
            first = false;
        }
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        widest = std::max(widest, text_shown_width(text));
        rendered.push_back(text);
    }
    return rendered;
}

void footer_print(std::FILE* out, const std::vector<run_target>& targets, layout l, const marks_used& marks,
                  int columns)
{
    std::vector<std::string> notes;
    if (targets.size() > 1)
        notes.push_back("Ratios compare speeds (for a time, its inverse), so above 1 is better.");
    for (run_target t : targets) {
        if (t == run_target::memory)
            notes.push_back(std::string(ratio_header(t, l)) + ": the screen's speed over RAM's; below 1 the screen is "
                            "slower than plain memory.");
        if (t == run_target::display)
            notes.push_back(std::string(ratio_header(t, l)) + ": the display's speed, each unit of drawing flushed, "
                            "over the screen's; 1 means all that is drawn reaches the display.");
        if (t == run_target::presented)
            notes.push_back(std::string(ratio_header(t, l)) + ": the drawing's speed with each unit queued for the "
                            "display by a page flip, over the screen's; the frames the display presented are in the "
                            "verdict above.");
    }
    if (marks.unsettled)
        notes.push_back("* the spread stayed above the target after --max-runs runs.");
    if (marks.coarse)
        notes.push_back("~ under 1 % resolution: the median is below 100 steps of the printed figure.");
    if (marks.noise)
        notes.push_back("! the display measured over 5 % faster than the drawing it shows: noise or a wrong "
                        "measurement.");
    for (const auto& [path, hz] : marks.glass)
        notes.push_back("^ above the display's refresh: at most " + figure_text(hz, 0) + " frames/s reach the glass"
                        + " of " + bench_text_escape(path) + ".");
    for (const std::string& note : notes)
        std::fputs(text_wrap(note, columns, 2).c_str(), out);
}

std::string number_text(const std::optional<value_stats>& s)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.2f", s ? s->median : 0.0);
    return s ? buffer : "-";
}

} // namespace

std::string results_partial_line(const session& s)
{
    if (s.complete)
        return "";
    std::size_t done = 0;
    for (const run_record& r : s.runs)
        done += r.invalid_reason != "interrupted";
    return "interrupted after " + std::to_string(done) + " of at least " + std::to_string(plan_runs_least(s))
         + " runs: partial results";
}

void results_table_print(std::FILE* out, const session& s, int columns)
{
    if (const std::string partial = results_partial_line(s); !partial.empty())
        std::fprintf(out, "%s\n", partial.c_str());
    if (const std::string quick = plan_quick_line(s); !quick.empty())
        std::fputs(text_wrap(quick, columns, 2).c_str(), out);
    for (const std::string& path : s.devices)
        if (const std::string verdict = display_verdict(s, path); !verdict.empty())
            std::fputs(text_wrap(verdict, columns, 2).c_str(), out);
    const std::vector<result_row>& rows = s.rows;
    const std::vector<run_target> targets = table_targets(s);
    // The widest layout that fits; the stacked one when none does, and
    // always below its width.
    std::vector<layout> layouts = {layout::narrow, layout::narrowest, layout::stacked};
    if (columns == 0 || columns >= wide_columns)
        layouts.insert(layouts.begin(), layout::wide);
    if (columns != 0 && columns < stacked_columns)
        layouts = {layout::stacked};
    for (std::size_t i = 0; i < layouts.size(); ++i) {
        marks_used marks;
        const std::vector<table_line> lines = table_lines(s, rows, targets, layouts[i], marks);
        int widest = 0;
        const std::vector<std::string> rendered = table_render(lines, table_columns(targets, layouts[i]), widest);
        if (columns != 0 && widest > columns && i + 1 < layouts.size())
            continue;
        for (const std::string& line : rendered)
            std::fprintf(out, "%s\n", line.c_str());
        footer_print(out, targets, layouts[i], marks, columns);
        break;
    }
    for (const bench_failure& f : s.failures)
        std::fputs(text_wrap(f.program + " on " + bench_text_escape(f.path) + " failed: " + f.message, columns, 2).c_str(), out);
}

std::string results_summary_row(const session& s, run_target target)
{
    // The host's cell says which target and whether the session was quick.
    std::string note = target == run_target::device ? "" : run_target_label(target);
    if (s.options.quick)
        note += note.empty() ? "quick" : ", quick";
    std::string row = "| " + s.host + (note.empty() ? "" : " (" + note + ")") + " |";
    const std::vector<result_row>& rows = s.rows;
    const bool measured = std::any_of(rows.begin(), rows.end(), [&](const result_row& r) {
        return !s.devices.empty() && r.path == s.devices.front() && result_row_stats(r, target);
    });
    if (target != run_target::device && !measured)
        return "";
    for (const benchmark& b : benchmarks()) {
        // A per-level benchmark gives its first and last levels.
        std::optional<value_stats> first, last;
        bool found = false;
        for (const result_row& r : rows) {
            if (s.devices.empty() || r.path != s.devices.front() || r.program != b.name)
                continue;
            if (!found)
                first = result_row_stats(r, target);
            found = true;
            last = result_row_stats(r, target);
        }
        row += " " + number_text(first) + " |";
        if (b.per_level)
            row += " " + number_text(last) + " |";
    }
    return row;
}

std::string results_summary_header(const session& s)
{
    std::string header = "| host |", rule = "|---|";
    for (const benchmark& b : benchmarks()) {
        const std::string unit = std::string(" (") + b.unit + ")";
        if (!b.per_level) {
            header += std::string(" ") + b.label + unit + " |";
            rule += "---|";
            continue;
        }
        // A per-level benchmark gives its first and last levels.
        uint32_t first_points = 0, last_points = 0;
        for (const result_row& row : s.rows) {
            if (s.devices.empty() || row.path != s.devices.front() || row.program != b.name
                || !result_row_stats(row, run_target::device))
                continue;
            if (first_points == 0)
                first_points = row.metric.points;
            last_points = row.metric.points;
        }
        auto level = [&](uint32_t points, const char* otherwise) {
            return std::string(b.label) + " " + (points != 0 ? std::to_string(points) + " points" + unit : otherwise);
        };
        header += " " + level(first_points, "first level") + " | " + level(last_points, "last level") + " |";
        rule += "---|---|";
    }
    return header + "\n" + rule;
}

void results_header_print(std::FILE* out, const session& s, int columns)
{
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* memory = open_memstream(&text, &size);
    if (memory == nullptr) {
        session_header_print(out, s);
        return;
    }
    session_header_print(memory, s);
    std::fclose(memory);
    const std::string header(text, size);
    std::free(text);
    std::size_t start = 0;
    for (std::size_t end; (end = header.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = header.substr(start, end - start);
        const std::size_t indent = std::min(line.find_first_not_of(' '), line.size());
        std::fputs(line.empty() ? "\n" : text_wrap(line, columns, int(indent) + 2).c_str(), out);
    }
}
