#include "describe.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstdlib>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <gnu/libc-version.h>
#include <map>
#include <set>
#include <sstream>
#include <sys/utsname.h>

#ifndef FBBENCH_COMPILE_FLAGS
#define FBBENCH_COMPILE_FLAGS ""
#endif

namespace fs = std::filesystem;

std::optional<std::string> file_text_read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return text.str();
}

fs::path root_path_join(const fs::path& root, const std::string& path)
{
    return root / fs::path(path).relative_path();
}

std::string text_trim(const std::string& text)
{
    const char* blank = " \t\r\n";
    const std::string stripped(text.c_str()); // device-tree strings end in NUL
    const size_t first = stripped.find_first_not_of(blank);
    if (first == std::string::npos)
        return "";
    return stripped.substr(first, stripped.find_last_not_of(blank) - first + 1);
}

std::optional<long long> text_integer(const std::string& text, int base)
{
    const std::string trimmed = text_trim(text);
    if (trimmed.empty())
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(trimmed.c_str(), &end, base);
    if (errno != 0 || *end != '\0')
        return std::nullopt;
    return value;
}

namespace {

std::optional<std::string> file_trimmed(const fs::path& path)
{
    std::optional<std::string> text = file_text_read(path);
    if (!text)
        return std::nullopt;
    return text_trim(*text);
}

// Entries of a directory whose names start with prefix, sorted; none when
// the directory is missing.
std::vector<fs::path> directory_entries(const fs::path& dir, const std::string& prefix)
{
    std::vector<fs::path> entries;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        if (it->path().filename().string().starts_with(prefix))
            entries.push_back(it->path());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

std::vector<std::string> words_split(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

std::optional<long long> file_integer(const fs::path& path)
{
    const std::optional<std::string> text = file_text_read(path);
    return text ? text_integer(*text) : std::nullopt;
}

} // namespace

std::string core_name(unsigned implementer, unsigned part)
{
    struct known_core {
        unsigned implementer, part;
        const char* name;
    };
    static const known_core cores[] = {
        {0x41, 0x920, "ARM920"},         {0x41, 0x926, "ARM926"},         {0x41, 0xb02, "ARM11 MPCore"},
        {0x41, 0xb36, "ARM1136"},        {0x41, 0xb56, "ARM1156"},        {0x41, 0xb76, "ARM1176"},
        {0x41, 0xc05, "Cortex-A5"},      {0x41, 0xc07, "Cortex-A7"},      {0x41, 0xc08, "Cortex-A8"},
        {0x41, 0xc09, "Cortex-A9"},      {0x41, 0xc0d, "Cortex-A12"},     {0x41, 0xc0e, "Cortex-A17"},
        {0x41, 0xc0f, "Cortex-A15"},     {0x41, 0xc14, "Cortex-R4"},      {0x41, 0xc15, "Cortex-R5"},
        {0x41, 0xd01, "Cortex-A32"},     {0x41, 0xd02, "Cortex-A34"},     {0x41, 0xd03, "Cortex-A53"},
        {0x41, 0xd04, "Cortex-A35"},     {0x41, 0xd05, "Cortex-A55"},     {0x41, 0xd07, "Cortex-A57"},
        {0x41, 0xd08, "Cortex-A72"},     {0x41, 0xd09, "Cortex-A73"},     {0x41, 0xd0a, "Cortex-A75"},
        {0x41, 0xd0b, "Cortex-A76"},     {0x41, 0xd0c, "Neoverse-N1"},    {0x41, 0xd0d, "Cortex-A77"},
        {0x41, 0xd41, "Cortex-A78"},     {0x41, 0xd44, "Cortex-X1"},      {0x41, 0xd46, "Cortex-A510"},
        {0x41, 0xd47, "Cortex-A710"},    {0x41, 0xd4b, "Cortex-A78C"},    {0x51, 0x04d, "Krait"},
        {0x51, 0x06f, "Krait"},          {0x56, 0x581, "PJ4"},            {0x56, 0x584, "PJ4B-MP"},
    };
    for (const known_core& core : cores) {
        if (core.implementer == implementer && core.part == part)
            return core.name;
    }
    return "";
}

cpu_description cpuinfo_parse(const std::string& text)
{
    cpu_description cpu;
    std::optional<long long> implementer;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string key = text_trim(line.substr(0, colon));
        const std::string value = text_trim(line.substr(colon + 1));
        if (key == "processor") {
            ++cpu.cores;
        } else if ((key == "model name" || key == "Processor") && !cpu.model) {
            cpu.model = value;
        } else if ((key == "Features" || key == "flags") && !cpu.features) {
            cpu.features = words_split(value);
        } else if (key == "CPU architecture" && !cpu.architecture) {
            // Older kernels write "7", others "AArch64"; name the Arm architecture.
            cpu.architecture = !value.empty() && std::isdigit(static_cast<unsigned char>(value[0])) ? "ARMv" + value
                                                                                                     : value;
        } else if (key == "Hardware") {
            cpu.hardware = value;
        } else if (key == "CPU implementer") {
            implementer = text_integer(value, 16);
        } else if (key == "CPU part" && implementer) {
            const std::optional<long long> part = text_integer(value, 16);
            if (!part)
                continue;
            std::string name = core_name(unsigned(*implementer), unsigned(*part));
            if (name.empty()) {
                char unknown[64];
                std::snprintf(unknown, sizeof unknown, "implementer 0x%02llx part 0x%03llx", *implementer, *part);
                name = unknown;
            }
            if (std::find(cpu.core_names.begin(), cpu.core_names.end(), name) == cpu.core_names.end())
                cpu.core_names.push_back(name);
        }
    }
    return cpu;
}

std::optional<std::vector<double>> loadavg_parse(const std::string& text)
{
    std::istringstream in(text);
    std::vector<double> load(3);
    if (!(in >> load[0] >> load[1] >> load[2]))
        return std::nullopt;
    return load;
}

namespace {

struct cpu_ticks {
    unsigned long long busy = 0;
    int cores = 0; // the cpuN lines
};

// The "cpu" line: user nice system idle iowait irq softirq steal; guest time
// is already counted in user. Kernels before 2.6.11 have fewer fields.
std::optional<cpu_ticks> cpu_ticks_parse(const std::string& text)
{
    std::istringstream in(text);
    std::optional<cpu_ticks> ticks;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string label;
        fields >> label;
        if (label == "cpu") {
            unsigned long long field[8] = {};
            for (unsigned long long& f : field)
                if (!(fields >> f))
                    break;
            ticks = cpu_ticks{field[0] + field[1] + field[2] + field[5] + field[6] + field[7], 0};
        } else if (ticks && label.size() > 3 && label.starts_with("cpu")) {
            ++ticks->cores;
        }
    }
    return ticks;
}

} // namespace

std::optional<competing_work> competing_work_measure(const std::string& stat_before, const std::string& stat_after,
                                                     double own_cpu_seconds, double wall_seconds,
                                                     long ticks_per_second)
{
    const std::optional<cpu_ticks> before = cpu_ticks_parse(stat_before);
    const std::optional<cpu_ticks> after = cpu_ticks_parse(stat_after);
    if (!before || !after || after->busy < before->busy || wall_seconds <= 0 || ticks_per_second <= 0)
        return std::nullopt;
    competing_work work;
    const double busy_seconds = double(after->busy - before->busy) / double(ticks_per_second);
    work.other_seconds = std::max(0.0, busy_seconds - own_cpu_seconds);
    work.percent = work.other_seconds / wall_seconds * 100;
    work.noise_seconds = 2.0 * std::max(1, after->cores) / double(ticks_per_second);
    return work;
}

bool competing_work_excessive(const competing_work& work)
{
    return work.percent > competing_work_threshold_percent && work.other_seconds > work.noise_seconds;
}

std::optional<std::string> os_release_pretty_name(const std::string& text)
{
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with("PRETTY_NAME="))
            continue;
        std::string value = text_trim(line.substr(12));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return std::nullopt;
}

std::optional<int> kernel_bits_of(const std::string& machine)
{
    // armv8l: a 64-bit kernel answering a program run as linux32, or an
    // ARMv8 core under a 32-bit kernel.
    if (machine.empty() || machine == "armv8l")
        return std::nullopt;
    return machine.find("64") != std::string::npos || machine == "s390x" ? 64 : 32;
}

const char* program_architecture()
{
#if defined(__aarch64__)
    return "aarch64";
#elif defined(__arm__)
    return "arm";
#elif defined(__x86_64__)
    return "x86_64";
#elif defined(__i386__)
    return "i386";
#else
    return "unknown";
#endif
}

system_description system_describe(const fs::path& root)
{
    system_description system;
    system.board_model = file_trimmed(root_path_join(root, "/proc/device-tree/model"));
    if (std::optional<std::string> cpuinfo = file_text_read(root_path_join(root, "/proc/cpuinfo")))
        system.cpu = cpuinfo_parse(*cpuinfo);
    for (const fs::path& dir : directory_entries(root_path_join(root, "/sys/devices/system/cpu/cpufreq"), "policy"))
        system.cpufreq.push_back({dir.filename().string(), file_trimmed(dir / "scaling_governor"),
                                  file_integer(dir / "scaling_cur_freq"), file_integer(dir / "scaling_min_freq"),
                                  file_integer(dir / "scaling_max_freq")});
    for (const fs::path& dir : directory_entries(root_path_join(root, "/sys/class/devfreq"), ""))
        system.devfreq.push_back(
            {dir.filename().string(), file_trimmed(dir / "governor"), file_integer(dir / "cur_freq")});

    utsname names;
    if (root == "/" && uname(&names) == 0) {
        system.kernel = {names.sysname, names.release, names.version, names.machine};
    } else {
        // The same strings as uname gives, but machine, which has no file.
        system.kernel = {file_trimmed(root_path_join(root, "/proc/sys/kernel/ostype")),
                         file_trimmed(root_path_join(root, "/proc/sys/kernel/osrelease")),
                         file_trimmed(root_path_join(root, "/proc/sys/kernel/version")), std::nullopt};
    }
    system.program_architecture = program_architecture();
    system.program_bits = int(sizeof(void*) * 8);
    if (system.kernel.machine)
        system.kernel_bits = kernel_bits_of(*system.kernel.machine);

    std::optional<std::string> os_release = file_text_read(root_path_join(root, "/etc/os-release"));
    if (!os_release)
        os_release = file_text_read(root_path_join(root, "/usr/lib/os-release"));
    system.os = os_release ? os_release_pretty_name(*os_release) : std::nullopt;

    system.libc = std::string("glibc ") + gnu_get_libc_version();
    system.compiler = std::string("GCC ") + __VERSION__;
    system.compile_flags = FBBENCH_COMPILE_FLAGS;
    return system;
}

std::vector<std::pair<long long, long long>> time_in_state_parse(const std::string& text)
{
    std::vector<std::pair<long long, long long>> states;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        long long khz, ticks;
        if (fields >> khz >> ticks)
            states.emplace_back(khz, ticks);
    }
    return states;
}

double cpufreq_seconds_below_max(const std::vector<std::pair<long long, long long>>& before,
                                 const std::vector<std::pair<long long, long long>>& after)
{
    long long max_khz = 0;
    for (const auto& [khz, ticks] : after)
        max_khz = std::max(max_khz, khz);
    std::map<long long, long long> start(before.begin(), before.end());
    long long below = 0;
    for (const auto& [khz, ticks] : after) {
        const auto found = start.find(khz);
        if (khz < max_khz && found != start.end() && ticks > found->second)
            below += ticks - found->second;
    }
    return double(below) / 100; // the kernel counts in units of 10 ms
}

system_sample system_sample_take(const fs::path& root)
{
    system_sample sample;
    for (const fs::path& dir : directory_entries(root_path_join(root, "/sys/class/thermal"), "thermal_zone")) {
        const std::optional<std::string> temp = file_text_read(dir / "temp");
        const std::optional<long long> millidegrees = temp ? text_integer(*temp) : std::nullopt;
        if (!millidegrees)
            continue;
        sample.thermal.push_back(
            {dir.filename().string(), file_trimmed(dir / "type").value_or(""), double(*millidegrees) / 1000});
    }
    for (const fs::path& dir : directory_entries(root_path_join(root, "/sys/devices/system/cpu/cpufreq"), "policy")) {
        if (std::optional<std::string> text = file_text_read(dir / "stats/time_in_state"))
            sample.cpufreq.push_back({dir.filename().string(), time_in_state_parse(*text)});
    }
    return sample;
}

void system_sample_compare(const system_sample& before, const system_sample& after, system_description& system,
                           std::vector<run_warning>& warnings)
{
    system.thermal_before = before.thermal;
    system.thermal_after = after.thermal;

    for (const cpufreq_residency& end : after.cpufreq) {
        for (const cpufreq_residency& start : before.cpufreq) {
            if (start.policy != end.policy)
                continue;
            const double seconds = cpufreq_seconds_below_max(start.time_in_state, end.time_in_state);
            if (seconds > 0) {
                char message[256];
                std::snprintf(message, sizeof message,
                              "cpufreq %s spent %.2f s below its maximum frequency during the runs: throttled or "
                              "scaled down; set the performance governor and cool the board",
                              end.policy.c_str(), seconds);
                run_warning_add(warnings, "throttled", message);
            }
        }
    }
    for (const thermal_reading& end : after.thermal) {
        for (const thermal_reading& start : before.thermal) {
            if (start.zone == end.zone && end.celsius - start.celsius > 10) {
                char message[256];
                std::snprintf(message, sizeof message,
                              "%s rose from %.1f to %.1f degrees C during the runs: the chip may have slowed down; "
                              "add cooling or pauses between runs",
                              end.zone.c_str(), start.celsius, end.celsius);
                run_warning_add(warnings, "temperature-rise", message);
            }
        }
    }
}

void system_idle_check(const fs::path& root, system_description& system, std::vector<run_warning>& warnings)
{
    const std::optional<std::string> loadavg = file_text_read(root_path_join(root, "/proc/loadavg"));
    system.load_average = loadavg ? loadavg_parse(*loadavg) : std::nullopt;
    for (const cpufreq_policy& policy : system.cpufreq) {
        const std::string governor = policy.governor.value_or("performance");
        if (governor != "performance")
            run_warning_add(warnings, "governor",
                            "cpufreq " + policy.policy + " uses the " + governor +
                                " governor: the clock may change during the runs; set performance, e.g. echo "
                                "performance > /sys/devices/system/cpu/cpufreq/" +
                                policy.policy + "/scaling_governor");
    }
}
