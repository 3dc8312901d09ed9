#include "display_target.h"

#include <cstdio>

bool display_flush_needed(const nlohmann::json& device)
{
    if (!device.is_object())
        return false;
    if (device.value("kind", "") == "drm")
        return true;
    const nlohmann::json& mapping = device.value("mapping", nlohmann::json::object());
    return mapping.is_object() && mapping.value("class", "") == "deferred-io";
}

namespace {

bool display_wanted(const runner_options& options, const nlohmann::json& device)
{
    return options.sync == "always" || (options.sync == "auto" && display_flush_needed(device));
}

} // namespace

std::string display_target_dropped(const runner_options& options, const nlohmann::json& device)
{
    if (!device.is_object() || !display_wanted(options, device))
        return "";
    const nlohmann::json& flush = device.value("display", nlohmann::json::object()).value("flush", nlohmann::json::object());
    return flush.is_object() && flush.contains("error") && flush["error"].is_string() ? flush["error"].get<std::string>()
                                                                                       : "";
}

std::vector<std::string> device_targets(const runner_options& options, const nlohmann::json& device)
{
    std::vector<std::string> targets = {"device"};
    if (options.memory)
        targets.push_back("memory");
    if (display_wanted(options, device) && display_target_dropped(options, device).empty())
        targets.push_back("display");
    return targets;
}

const nlohmann::json& device_description_find(const session& s, const std::string& path)
{
    static const nlohmann::json none = nlohmann::json::object();
    for (const nlohmann::json& device : s.device_descriptions)
        if (device.is_object() && device.value("path", "") == path)
            return device;
    return none;
}

namespace {

// What the display received as a share of what was drawn: below 1 is a loss,
// for a rate and for a time alike.
double shown_share(const result_row& row)
{
    const double drawn = row.device->median, shown = row.display->median;
    if (row.metric.higher_is_better)
        return drawn > 0 ? shown / drawn : 1;
    return shown > 0 ? drawn / shown : 1;
}

} // namespace

void display_drop_warnings_add(session& s, const std::string& program, const std::string& path)
{
    const result_row* worst = nullptr;
    std::vector<result_row> rows = results_rows(s);
    for (const result_row& row : rows) {
        if (row.program != program || row.path != path || !row.device || !row.display)
            continue;
        if (shown_share(row) < 0.5 && (worst == nullptr || shown_share(row) < shown_share(*worst)))
            worst = &row;
    }
    if (worst == nullptr)
        return;
    const double drawn = worst->device->median, shown = worst->display->median;
    char message[300];
    if (program == "sierpinski-bench")
        std::snprintf(message, sizeof message, "%s shows at most %.1f of the %.1f Sierpinski frames/s drawn at %u points",
                      path.c_str(), shown, drawn, worst->metric.points);
    else if (program == "rectangle-bench")
        std::snprintf(message, sizeof message, "%s shows at most %.1f of the %.1f MPixels/s of rectangles drawn",
                      path.c_str(), shown, drawn);
    else if (program == "mandelbrot-bench")
        std::snprintf(message, sizeof message, "%s takes %.2f s to show the Mandelbrot passes drawn in %.2f s",
                      path.c_str(), shown, drawn);
    else
        std::snprintf(message, sizeof message, "%s shows at most %.2f of the %.2f %s of %s drawn", path.c_str(), shown,
                      drawn, worst->metric.unit.c_str(), program.c_str());
    run_warning_add(s.warnings, "display-drop", message);
}
