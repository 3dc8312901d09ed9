#include "benchmarks.h"

#include "mandelbrot.h"
#include "rectangle.h"
#include "sierpinski.h"

#include <algorithm>
#include <cstdlib>

const std::vector<benchmark>& benchmarks()
{
    static const std::vector<benchmark> table = {
        {"rectangle-bench", "rectangle", "rectangles", "rectangle", "fill rate", "MPixels/s", true, false, RECTANGLE_REPORT_TITLE,
         RECTANGLE_REPORT_LINE, 0.01, 5, 5, 0},
        {"mandelbrot-bench", "Mandelbrot", "Mandelbrot passes", "pass", "time", "s", false, false, MANDELBROT_REPORT_TITLE,
         MANDELBROT_REPORT_LINE, 0.01, 0, 0, 0},
        // At least a second a level; 16 levels unless the window is small or
        // the rate falls below 4 frames/s, but always one. A quick run climbs
        // 8 levels, to 131072 points a frame, in about half the time.
        {"sierpinski-bench", "Sierpinski", "Sierpinski frames", "frame", "frame rate", "frames/s", true, true, SIERPINSKI_REPORT_TITLE,
         SIERPINSKI_REPORT_LINE, 0.01, 16, 1, 8},
    };
    return table;
}

nlohmann::json benchmarks_manifest()
{
    nlohmann::json list = nlohmann::json::array();
    for (const benchmark& b : benchmarks())
        list.push_back({{"name", b.name},
                        {"label", b.label},
                        {"metric", b.metric},
                        {"unit", b.unit},
                        {"higher_is_better", b.higher_is_better},
                        {"per_level", b.per_level},
                        {"resolution", b.resolution},
                        {"run_seconds", b.run_seconds},
                        {"quick_levels", b.quick_levels},
                        {"title", b.title},
                        {"line_format", b.line_format}});
    return {{"benchmarks", list}};
}

std::vector<std::string> benchmark_quick_environment(const benchmark& b)
{
    if (b.quick_levels == 0)
        return {};
    return {SIERPINSKI_LEVELS_VARIABLE "=" + std::to_string(b.quick_levels)};
}

std::string benchmark_levels_read(const std::vector<std::string>& programs, uint32_t& levels)
{
    levels = 0;
    const bool climbs = std::any_of(programs.begin(), programs.end(), [](const std::string& name) {
        const benchmark* b = benchmark_find(name);
        return b != nullptr && b->quick_levels != 0;
    });
    if (!climbs)
        return "";
    uint32_t height = 0;
    const std::string refusal = sierpinski_levels_check(std::getenv(SIERPINSKI_LEVELS_VARIABLE), height);
    if (refusal.empty() && height < sierpinski_levels)
        levels = height;
    return refusal;
}

const benchmark* benchmark_find(const std::string& name)
{
    for (const benchmark& b : benchmarks())
        if (name == b.name)
            return &b;
    return nullptr;
}

std::optional<bench_window> benchmark_window_smallest(const std::string& name, const bench_window& window)
{
    bench_window smallest = window;
    if (name == "rectangle-bench") {
        // Rectangles a quarter of the window's width and height.
        smallest.width = std::max(window.width, 4);
        smallest.height = std::max(window.height, 4);
    } else if (name == "mandelbrot-bench") {
        smallest.width = std::max(window.width, 1);
        smallest.height = std::max(window.height, 1);
    } else if (name == "sierpinski-bench") {
        if (sierpinski_window_check(window) == sierpinski_window_fault::none)
            return std::nullopt;
        // A triangle of radius r needs 2r + 1 columns.
        smallest.height = std::max(window.height, sierpinski_min_height);
        smallest.width = std::max(window.width, 2 * (smallest.height / 2 - 8) + 1);
    }
    if (smallest.width == window.width && smallest.height == window.height)
        return std::nullopt;
    return smallest;
}
