#include "report.h"

#include "benchmarks.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

// Splits text into lines; false unless it ends with a newline.
bool lines_split(const std::string& text, std::vector<std::string>& lines)
{
    if (text.empty() || text.back() != '\n')
        return false;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return true;
}

// The number in a line printed with %.2f, as printed: it is taken from the
// text so that the value recorded is exactly the one reported.
double number_at(const std::string& line, std::size_t from)
{
    return std::strtod(line.c_str() + from, nullptr);
}

// The table's formats are checked by the parse tests, not the compiler.
std::string formatted(const char* format, ...)
{
    char buffer[160];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return n < 0 || std::size_t(n) >= sizeof buffer ? std::string() : std::string(buffer, std::size_t(n));
}

// sscanf with a format from the table, as formatted() prints with one.
int scanned(const char* text, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = std::vsscanf(text, format, args);
    va_end(args);
    return n;
}

// A value line's text before its figure: the program's format up to its
// last conversion, which prints the figure.
std::string figure_prefix_format(const benchmark& b)
{
    const std::string format = b.line_format;
    return format.substr(0, format.rfind('%'));
}

// One report line: parsed, then printed again with the program's own format
// and compared, so that anything not exactly as printed is refused.
bool rectangle_line_parse(const benchmark& b, const std::string& line, int& w, int& h, double& rate)
{
    int offset = 0;
    const std::string scan = figure_prefix_format(b) + "%n";
    if (scanned(line.c_str(), scan.c_str(), &w, &h, &offset) != 2 || offset == 0)
        return false;
    rate = number_at(line, std::size_t(offset));
    return line == formatted(b.line_format, w, h, rate);
}

bool mandelbrot_line_parse(const benchmark& b, const std::string& line, double& seconds)
{
    const std::string prefix = formatted(figure_prefix_format(b).c_str());
    if (prefix.empty() || !line.starts_with(prefix))
        return false;
    seconds = number_at(line, prefix.size());
    return line == formatted(b.line_format, seconds);
}

bool sierpinski_line_parse(const benchmark& b, const std::string& line, uint32_t points, double& rate)
{
    const std::string prefix = formatted(figure_prefix_format(b).c_str(), int(points));
    if (prefix.empty() || !line.starts_with(prefix))
        return false;
    rate = number_at(line, prefix.size());
    return line == formatted(b.line_format, int(points), rate);
}

report_value value_of(const benchmark& b, double value, uint32_t points = 0)
{
    const std::string metric = points == 0 ? b.metric : std::string(b.metric) + " at " + std::to_string(points) + " points";
    return {metric, b.unit, b.higher_is_better, points, value};
}

} // namespace

bool report_parse(const std::string& program, const std::string& text, std::vector<report_value>& values)
{
    const benchmark* b = benchmark_find(program);
    std::vector<std::string> lines;
    if (b == nullptr || !lines_split(text, lines))
        return false;
    std::vector<report_value> parsed;
    if (!b->per_level) {
        if (lines.size() != 2 || lines[0] != b->title)
            return false;
        double value = 0;
        int w = 1, h = 1;
        // A value line that names the rectangles' size, or the time alone.
        const bool names_size = std::string_view(b->line_format).find("%dx%d") != std::string_view::npos;
        const bool line_ok = names_size ? rectangle_line_parse(*b, lines[1], w, h, value)
                                        : mandelbrot_line_parse(*b, lines[1], value);
        if (!line_ok)
            return false;
        parsed.push_back(value_of(*b, value));
        parsed.back().empty = w <= 0 || h <= 0;
    } else {
        // Title, empty line, up to 16 levels doubling from 1024 points, empty line.
        const std::size_t levels = lines.size() < 3 ? 0 : lines.size() - 3;
        if (lines.size() < 3 || levels > 16 || lines[0] != b->title || !lines[1].empty() || !lines.back().empty())
            return false;
        for (std::size_t i = 0; i < levels; ++i) {
            const uint32_t points = uint32_t(1024) << i;
            double rate = 0;
            if (!sierpinski_line_parse(*b, lines[2 + i], points, rate))
                return false;
            parsed.push_back(value_of(*b, rate, points));
        }
    }
    values = std::move(parsed);
    return true;
}

std::string report_invalid_reason(const std::vector<report_value>& values)
{
    for (const report_value& v : values)
        if (!std::isfinite(v.value))
            return "value not finite";
    for (const report_value& v : values)
        if (v.empty)
            return "no work";
    // A figure printed as 0.00 lies below the report's resolution.
    for (const report_value& v : values)
        if (v.value == 0)
            return "value below resolution";
    return "";
}
