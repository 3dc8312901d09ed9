#include "lava_cases.h"

#include "benchlib.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <utility>

namespace {

[[noreturn]] void bad(const std::string& what)
{
    throw std::runtime_error("not a results file: " + what);
}

const nlohmann::json& member(const nlohmann::json& object, const char* key, nlohmann::json::value_t type,
                             const std::string& where)
{
    auto it = object.find(key);
    if (it == object.end())
        bad(where + " has no \"" + key + "\"");
    if (it->type() != type && !(type == nlohmann::json::value_t::number_float && it->is_number()))
        bad(where + "'s \"" + key + "\" is a " + it->type_name());
    return *it;
}

// The member where the file has it, of the type it must have; nullptr where
// it has none.
const nlohmann::json* optional_member(const nlohmann::json& object, const char* key, nlohmann::json::value_t type,
                                      const std::string& where)
{
    return object.contains(key) ? &member(object, key, type, where) : nullptr;
}

const nlohmann::json& array_member(const nlohmann::json& object, const char* key)
{
    return member(object, key, nlohmann::json::value_t::array, "the file");
}

std::string string_member(const nlohmann::json& object, const char* key, const std::string& where)
{
    return member(object, key, nlohmann::json::value_t::string, where).get<std::string>();
}

// /dev/fb0 is fb0, /dev/dri/card0 dri-card0.
std::string device_part(const std::string& path)
{
    std::string_view p = path;
    if (p.starts_with("/dev/"))
        p.remove_prefix(5);
    return lava_name_part(p);
}

// The shortest fixed-point text that reads back as value.
std::string number_text(double value)
{
    char text[400];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
    if (ec != std::errc())
        return "0";
    return std::string(text, end);
}

double finite_number(const nlohmann::json& object, const char* key, const std::string& where)
{
    const double v = member(object, key, nlohmann::json::value_t::number_float, where).get<double>();
    if (!std::isfinite(v))
        bad(where + "'s \"" + key + "\" is not finite");
    return v;
}

void describe_cases(const nlohmann::json& devices, std::vector<lava_case>& cases)
{
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const nlohmann::json& d = devices[i];
        const std::string where = "devices[" + std::to_string(i) + "]";
        if (!d.is_object())
            bad(where + " is not an object");
        const std::string name = "describe." + device_part(string_member(d, "path", where));
        // A device that could not be opened or queried has only its error.
        const bool failed = optional_member(d, "error", nlohmann::json::value_t::string, where) != nullptr;
        cases.push_back({name, failed ? "fail" : "pass", "", ""});
        if (failed)
            continue;
        const auto object = nlohmann::json::value_t::object;
        const nlohmann::json* display = optional_member(d, "display", object, where);
        const nlohmann::json* refresh =
            display ? optional_member(*display, "refresh", object, where + ".display") : nullptr;
        if (refresh && refresh->contains("median_hz"))
            cases.push_back({name + ".refresh", "pass",
                             number_text(finite_number(*refresh, "median_hz", where + ".display.refresh")), "Hz"});
        else if (refresh)
            cases.push_back({name + ".refresh", "skip", "", ""});
        const nlohmann::json* probe =
            display ? optional_member(*display, "update_probe", object, where + ".display") : nullptr;
        if (probe && probe->contains("updates_per_second"))
            cases.push_back({name + ".update-probe", "pass",
                             number_text(finite_number(*probe, "updates_per_second", where + ".display.update_probe")),
                             "updates/s"});
        else if (probe)
            cases.push_back({name + ".update-probe", "skip", "", ""});
    }
}

// Per device with a presented summary: each benchmark's frames presented a
// second and vblanks missed (the medians of its runs), pass unless more
// frames were presented than the display refreshes, which no display can
// do; one skipped case where the target was dropped.
void presented_cases(const nlohmann::json& devices, std::vector<lava_case>& cases)
{
    const auto object = nlohmann::json::value_t::object;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const std::string where = "devices[" + std::to_string(i) + "]";
        const nlohmann::json* presented = optional_member(devices[i], "presented", object, where);
        if (presented == nullptr)
            continue;
        const std::string at = where + ".presented";
        const std::string device = device_part(string_member(devices[i], "path", where));
        if (optional_member(*presented, "dropped", nlohmann::json::value_t::string, at) != nullptr) {
            cases.push_back({"presented." + device, "skip", "", ""});
            continue;
        }
        const double hz = finite_number(*presented, "refresh_hz", at);
        const nlohmann::json& benchmarks = member(*presented, "benchmarks", nlohmann::json::value_t::array, at);
        for (std::size_t k = 0; k < benchmarks.size(); ++k) {
            const std::string b_at = at + ".benchmarks[" + std::to_string(k) + "]";
            if (!benchmarks[k].is_object())
                bad(b_at + " is not an object");
            const std::string stem = lava_name_part(string_member(benchmarks[k], "program", b_at)) + "." + device;
            const double fps = finite_number(benchmarks[k], "frames_per_second", b_at);
            cases.push_back({stem + ".presented-fps", fps <= hz * 1.005 ? "pass" : "fail", number_text(fps), "frames/s"});
            cases.push_back({stem + ".missed-vblanks", "pass",
                             number_text(finite_number(benchmarks[k], "missed_vblanks", b_at)), "vblanks"});
        }
    }
}

// Per benchmark, device and target: how many counted runs gave a figure;
// pass when every one did.
void run_cases(const nlohmann::json& runs, std::vector<lava_case>& cases)
{
    struct tally {
        std::string name;
        int valid = 0;
        int invalid = 0;
    };
    std::vector<tally> groups;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const nlohmann::json& r = runs[i];
        const std::string where = "runs[" + std::to_string(i) + "]";
        if (!r.is_object())
            bad(where + " is not an object");
        const nlohmann::json* warmup = optional_member(r, "warmup", nlohmann::json::value_t::boolean, where);
        if (warmup && warmup->get<bool>())
            continue;
        const nlohmann::json* target_member = optional_member(r, "target", nlohmann::json::value_t::string, where);
        const std::string target = target_member ? target_member->get<std::string>() : "device";
        const std::string name = lava_name_part(string_member(r, "program", where)) + "." +
                                 device_part(string_member(r, "path", where)) + "." + lava_name_part(target);
        auto it = std::find_if(groups.begin(), groups.end(), [&](const tally& t) { return t.name == name; });
        if (it == groups.end())
            it = groups.insert(groups.end(), tally{name});
        const bool valid = member(r, "valid", nlohmann::json::value_t::boolean, where).get<bool>();
        // A presented run that found the vblank events faked is the device's
        // fact, said by the skipped presented case, not a failed run.
        const nlohmann::json* reason = optional_member(r, "invalid_reason", nlohmann::json::value_t::string, where);
        if (!valid && reason != nullptr && reason->get<std::string>().starts_with("presented dropped: "))
            continue;
        (valid ? it->valid : it->invalid)++;
    }
    for (const tally& t : groups)
        if (t.valid + t.invalid > 0)
            cases.push_back({t.name, t.invalid == 0 && t.valid > 0 ? "pass" : "fail", std::to_string(t.valid), "runs"});
}

// A unit goes to lava-test-case as one word of its signal line, where a
// blank, '=' or '>' would end it and a control character take the console.
bool unit_valid(const std::string& unit)
{
    if (unit.empty() || unit.size() > 32)
        return false;
    for (char c : unit)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' || c == '%' ||
              c == '.' || c == '_' || c == '-'))
            return false;
    return true;
}

// Per benchmark, metric, device and target: the median, pass when settled.
void figure_cases(const nlohmann::json& results, std::vector<lava_case>& cases)
{
    for (std::size_t i = 0; i < results.size(); ++i) {
        const nlohmann::json& r = results[i];
        const std::string where = "results[" + std::to_string(i) + "]";
        if (!r.is_object())
            bad(where + " is not an object");
        const std::string stem = lava_name_part(string_member(r, "program", where)) + "." +
                                 lava_name_part(string_member(r, "metric", where)) + "." +
                                 device_part(string_member(r, "path", where)) + ".";
        const std::string unit = string_member(r, "unit", where);
        if (!unit_valid(unit))
            bad(where + "'s unit \"" + unit + "\" is not 1 to 32 letters, digits, '/', '%', '.', '_' or '-'");
        for (const char* target : {"device", "memory", "display", "presented"}) {
            if (!r.contains(target))
                continue;
            const std::string at = where + "." + target;
            const nlohmann::json& s = member(r, target, nlohmann::json::value_t::object, where);
            const bool settled = member(s, "settled", nlohmann::json::value_t::boolean, at).get<bool>();
            cases.push_back({stem + target, settled ? "pass" : "fail", number_text(finite_number(s, "median", at)),
                             unit});
        }
    }
}

void warning_cases(const nlohmann::json& warnings, std::vector<lava_case>& cases)
{
    for (std::size_t i = 0; i < warnings.size(); ++i) {
        const std::string where = "warnings[" + std::to_string(i) + "]";
        if (!warnings[i].is_object())
            bad(where + " is not an object");
        // A warning says the figures may mislead and what to do: it asks
        // for a look, as a failed case does.
        cases.push_back({"warning." + lava_name_part(string_member(warnings[i], "kind", where)), "fail", "", ""});
    }
}

// A name given twice (a warning of one kind for two benchmarks, say) is
// numbered from its second time on, in file order: NAME, NAME.2, NAME.3.
void names_number(std::vector<lava_case>& cases)
{
    std::map<std::string, int> seen;
    for (lava_case& c : cases) {
        const int n = ++seen[c.name];
        if (n > 1)
            c.name += "." + std::to_string(n);
    }
}

} // namespace

std::string lava_name_part(std::string_view text)
{
    std::string part;
    for (char c : text) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (c >= 'A' && c <= 'Z')
            part += static_cast<char>(c - 'A' + 'a');
        else if (keep)
            part += c;
        else if (!part.empty() && part.back() != '-')
            part += '-';
    }
    while (!part.empty() && part.back() == '-')
        part.pop_back();
    return part.empty() ? "none" : part;
}

std::vector<lava_case> lava_cases_make(const nlohmann::json& results, int status)
{
    if (!results.is_object())
        bad("not a JSON object");
    const std::string schema = string_member(results, "schema", "the file");
    if (!schema.starts_with("fbbench-results/"))
        bad("schema \"" + schema + "\"");
    const bool complete = member(results, "complete", nlohmann::json::value_t::boolean, "the file").get<bool>();
    std::vector<lava_case> cases;
    cases.push_back({"fbbench", status == 0 && complete ? "pass" : "fail", "", ""});
    describe_cases(array_member(results, "devices"), cases);
    run_cases(array_member(results, "runs"), cases);
    figure_cases(array_member(results, "results"), cases);
    presented_cases(array_member(results, "devices"), cases);
    warning_cases(array_member(results, "warnings"), cases);
    names_number(cases);
    return cases;
}

std::string lava_cases_format(const std::vector<lava_case>& cases)
{
    std::string text;
    for (const lava_case& c : cases) {
        text += c.name + " " + c.result;
        if (!c.measurement.empty())
            text += " " + c.measurement + " " + c.units;
        text += "\n";
    }
    return text;
}

std::string lava_base64(std::string_view data)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(data[i]) << 16 | static_cast<unsigned char>(data[i + 1]) << 8 |
                           static_cast<unsigned char>(data[i + 2]);
        out += {digits[v >> 18], digits[v >> 12 & 63], digits[v >> 6 & 63], digits[v & 63]};
    }
    if (i + 1 == data.size()) {
        const unsigned v = static_cast<unsigned char>(data[i]) << 16;
        out += {digits[v >> 18], digits[v >> 12 & 63], '=', '='};
    } else if (i + 2 == data.size()) {
        const unsigned v = static_cast<unsigned char>(data[i]) << 16 | static_cast<unsigned char>(data[i + 1]) << 8;
        out += {digits[v >> 18], digits[v >> 12 & 63], digits[v >> 6 & 63], '='};
    }
    return out;
}

std::uint32_t lava_crc32(std::string_view data)
{
    // CRC-32 of zlib and Ethernet (reflected, polynomial 0x04C11DB7).
    std::uint32_t crc = 0xFFFFFFFFu;
    for (char c : data) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = crc & 1 ? crc >> 1 ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

std::string lava_block_make(const std::string& name, int status, std::string_view content)
{
    char head[160];
    std::snprintf(head, sizeof head, " status=%d bytes=%zu crc32=%08x\n", status, content.size(),
                  static_cast<unsigned>(lava_crc32(content)));
    std::string block = "FBBENCH-RESULTS-BEGIN name=" + name + head;
    // 76 characters a line, as MIME has it: short enough for any console.
    const std::string text = lava_base64(content);
    for (std::size_t at = 0; at < text.size(); at += 76)
        block += text.substr(at, 76) + "\n";
    return block + "FBBENCH-RESULTS-END name=" + name + "\n";
}

std::string lava_block_missing(const std::string& name, int status, const std::string& reason)
{
    return "FBBENCH-RESULTS-MISSING name=" + name + " status=" + std::to_string(status) + " " + lava_line_text(reason) +
           "\n";
}

std::string lava_line_text(const std::string& text)
{
    std::string line = bench_text_escape(text.c_str());
    // fbbench-lava-results looks for its markers anywhere in a line.
    static const std::string marker = "FBBENCH-RESULTS-";
    for (std::size_t at = 0; (at = line.find(marker, at)) != std::string::npos; at += marker.size())
        line.replace(at + 7, 1, "\\x2d");
    return line;
}

bool lava_block_name_char(char c, bool first)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           (!first && (c == '.' || c == '-'));
}

bool lava_block_name_valid(std::string_view name)
{
    if (name.empty() || name.size() > lava_block_name_limit)
        return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (!lava_block_name_char(name[i], i == 0))
            return false;
    return true;
}
