#include "report.h"

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

[[gnu::format(printf, 1, 2)]] std::string formatted(const char* format, ...)
{
    char buffer[160];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return n < 0 || std::size_t(n) >= sizeof buffer ? std::string() : std::string(buffer, std::size_t(n));
}

// One report line: parsed, then printed again with the program's own format
// and compared, so that anything not exactly as printed is refused.
bool rectangle_line_parse(const std::string& line, double& rate)
{
    int w = 0, h = 0, offset = 0;
    if (std::sscanf(line.c_str(), "Benchmarking %dx%d size: %n", &w, &h, &offset) != 2 || offset == 0)
        return false;
    rate = number_at(line, std::size_t(offset));
    return line == formatted("Benchmarking %dx%d size: %.2f MPixels/second", w, h, rate);
}

bool mandelbrot_line_parse(const std::string& line, double& seconds)
{
    const std::string prefix = "Benchmarking 48 iterations: ";
    if (!line.starts_with(prefix))
        return false;
    seconds = number_at(line, prefix.size());
    return line == formatted("Benchmarking 48 iterations: %.2f seconds", seconds);
}

bool sierpinski_line_parse(const std::string& line, uint32_t points, double& rate)
{
    const std::string prefix = formatted("Benchmarking %8d iterations: ", int(points));
    if (!line.starts_with(prefix))
        return false;
    rate = number_at(line, prefix.size());
    return line == formatted("Benchmarking %8d iterations: %8.2f Frames/second", int(points), rate);
}

} // namespace

bool report_parse(const std::string& program, const std::string& text, std::vector<report_value>& values)
{
    std::vector<std::string> lines;
    if (!lines_split(text, lines))
        return false;
    std::vector<report_value> parsed;
    if (program == "rectangle-bench") {
        double rate = 0;
        if (lines.size() != 2 || lines[0] != "Rectangle frame buffer test bench" || !rectangle_line_parse(lines[1], rate))
            return false;
        parsed.push_back({"fill rate", "MPixels/s", true, 0, rate});
    } else if (program == "mandelbrot-bench") {
        double seconds = 0;
        if (lines.size() != 2 || lines[0] != "Mandelbrot frame buffer test bench" || !mandelbrot_line_parse(lines[1], seconds))
            return false;
        parsed.push_back({"time", "s", false, 0, seconds});
    } else if (program == "sierpinski-bench") {
        // Title, empty line, up to 16 levels doubling from 1024 points, empty line.
        const std::size_t levels = lines.size() < 3 ? 0 : lines.size() - 3;
        if (lines.size() < 3 || levels > 16 || lines[0] != "Sierpinski frame buffer test bench" || !lines[1].empty()
            || !lines.back().empty())
            return false;
        for (std::size_t i = 0; i < levels; ++i) {
            const uint32_t points = uint32_t(1024) << i;
            double rate = 0;
            if (!sierpinski_line_parse(lines[2 + i], points, rate))
                return false;
            parsed.push_back({"frame rate at " + std::to_string(points) + " points", "frames/s", true, points, rate});
        }
    } else {
        return false;
    }
    values = std::move(parsed);
    return true;
}
