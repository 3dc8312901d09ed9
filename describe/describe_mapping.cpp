#include "describe.h"

#include "display_release.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace fs = std::filesystem;

std::optional<std::vector<std::string>> smaps_vm_flags(const std::string& text, uintptr_t address)
{
    std::istringstream in(text);
    std::optional<std::vector<std::string>> holding;
    bool in_entry = false, starts_here = false;
    for (std::string line; std::getline(in, line);) {
        // An entry starts with "start-end perms offset dev inode [path]".
        char* end = nullptr;
        const unsigned long long start = std::strtoull(line.c_str(), &end, 16);
        if (end != line.c_str() && *end == '-') {
            const unsigned long long stop = std::strtoull(end + 1, nullptr, 16);
            in_entry = start <= address && address < stop;
            starts_here = start == address;
        } else if (in_entry && line.starts_with("VmFlags:")) {
            std::istringstream fields(line.substr(8));
            std::vector<std::string> flags;
            for (std::string flag; fields >> flag;)
                flags.push_back(flag);
            if (starts_here)
                return flags;
            if (!holding)
                holding = flags;
        }
    }
    return holding;
}

probe_area probe_area_of(const fb_fix_screeninfo& fix, const fb_var_screeninfo& var, size_t length)
{
    probe_area area;
    if (var.bits_per_pixel == 0 || var.bits_per_pixel % 8 != 0)
        return area;
    area.pixel_bytes = var.bits_per_pixel / 8;
    area.stride = fix.line_length != 0 ? fix.line_length : var.xres * area.pixel_bytes;
    if (area.stride == 0)
        return area;
    area.width = std::min(var.xres, area.stride / area.pixel_bytes);
    area.height = uint32_t(std::min<size_t>(var.yres, length / area.stride));
    if (area.width == 0)
        area.height = 0;
    return area;
}

namespace {

enum class probe_kind { row_writes, row_pixels, column_pixels, random_pixels, sequential_read };

uint32_t xorshift32(uint32_t& state)
{
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

volatile uint8_t* pixel_at(volatile uint8_t* bytes, const probe_area& area, uint32_t x, uint32_t y)
{
    return bytes + size_t(y) * area.stride + size_t(x) * area.pixel_bytes;
}

void pixel_store(volatile uint8_t* pixel, uint32_t pixel_bytes, uint8_t value)
{
    for (uint32_t b = 0; b < pixel_bytes; ++b)
        pixel[b] = value;
}

volatile uint32_t probe_sink;

// One pass of a probe; returns the pixels it touched. Stores stay inside the
// area's rows, within the visible width.
uint64_t probe_pass(probe_kind kind, void* base, const probe_area& area, uint32_t pass, uint32_t& random)
{
    volatile uint8_t* bytes = static_cast<volatile uint8_t*>(base);
    const uint8_t value = uint8_t(pass);
    const uint32_t row = pass % area.height;
    const uint32_t row_bytes = area.width * area.pixel_bytes;
    switch (kind) {
    case probe_kind::row_writes:
        // Whole rows as a fill writes them: the widest plain stores.
        if (area.stride % 4 == 0 && row_bytes % 4 == 0) {
            volatile uint32_t* words = static_cast<volatile uint32_t*>(base) + size_t(row) * (area.stride / 4);
            for (uint32_t i = 0; i < row_bytes / 4; ++i)
                words[i] = value * 0x01010101u;
        } else {
            for (uint32_t i = 0; i < row_bytes; ++i)
                bytes[size_t(row) * area.stride + i] = value;
        }
        return area.width;
    case probe_kind::row_pixels:
        for (uint32_t x = 0; x < area.width; ++x)
            pixel_store(pixel_at(bytes, area, x, row), area.pixel_bytes, value);
        return area.width;
    case probe_kind::column_pixels: {
        const uint32_t column = pass % area.width;
        for (uint32_t y = 0; y < area.height; ++y)
            pixel_store(pixel_at(bytes, area, column, y), area.pixel_bytes, value);
        return area.height;
    }
    case probe_kind::random_pixels:
        for (int i = 0; i < 1024; ++i) {
            const uint32_t x = xorshift32(random) % area.width;
            const uint32_t y = xorshift32(random) % area.height;
            pixel_store(pixel_at(bytes, area, x, y), area.pixel_bytes, value);
        }
        return 1024;
    case probe_kind::sequential_read: {
        uint32_t sum = 0;
        for (uint32_t i = 0; i < row_bytes; ++i)
            sum += bytes[size_t(row) * area.stride + i];
        probe_sink = probe_sink + sum;
        return area.width;
    }
    }
    return 0;
}

bool (*stop_check)() = nullptr;

double probe_mpixels(probe_kind kind, void* base, const probe_area& area, double seconds)
{
    using clock = std::chrono::steady_clock;
    const clock::time_point start = clock::now();
    uint32_t random = 2463534242u;
    uint64_t pixels = 0;
    double elapsed = 0;
    for (uint32_t pass = 0; (pass == 0 || elapsed < seconds) && !describe_stopped(); ++pass) {
        pixels += probe_pass(kind, base, area, pass, random);
        elapsed = std::chrono::duration<double>(clock::now() - start).count();
    }
    return elapsed > 0 ? double(pixels) / elapsed / 1e6 : 0;
}

} // namespace

void describe_stop_check_set(bool (*stopped)())
{
    stop_check = stopped;
}

bool describe_stopped()
{
    return (stop_check != nullptr && stop_check()) || display_release_deferred() != 0;
}

std::vector<mapping_probe> mapping_probes_run(void* screen, void* memory, const probe_area& area, double seconds)
{
    const struct {
        probe_kind kind;
        const char* name;
    } probes[] = {
        {probe_kind::row_writes, "row writes"},
        {probe_kind::row_pixels, "writes along a row"},
        {probe_kind::column_pixels, "writes down a column"},
        {probe_kind::random_pixels, "random writes"},
        {probe_kind::sequential_read, "sequential read"},
    };
    std::vector<mapping_probe> results;
    if (area.height == 0 || area.width == 0)
        return results;
    for (const auto& probe : probes) {
        results.push_back({probe.name, probe_mpixels(probe.kind, screen, area, seconds),
                           probe_mpixels(probe.kind, memory, area, seconds)});
        if (describe_stopped())
            return {}; // cut short: no figure of a probe stopped midway
    }
    return results;
}

mapping_class mapping_classify(const std::optional<std::vector<std::string>>& flags,
                               const std::vector<mapping_probe>& probes)
{
    // remap_pfn_range (and io_remap_pfn_range, vm_iomap_memory) marks a
    // mapping io and pf: the display's own memory, which the kernel maps
    // write-combined or uncached on Arm (fb_pgprotect, dma_mmap_wc). Deferred
    // I/O faults in ordinary pages, and adds io alone for a contiguous
    // buffer, so pf is what tells a direct mapping. Reads three or more times
    // slower than RAM confirm an uncached mapping, and classify one whose
    // smaps entry is missing. Reads at RAM speed do not make a direct mapping
    // cached: an emulator, which models no caches, shows exactly that, and
    // nothing a process can see tells the two apart. So the flags decide and
    // direct-cached is never inferred; the figures stay in the evidence.
    double read_ratio = NAN;
    for (const mapping_probe& probe : probes) {
        if (probe.name == "sequential read" && probe.memory_mpixels > 0)
            read_ratio = probe.screen_mpixels / probe.memory_mpixels;
    }
    char reads[128] = "no read probe";
    if (!std::isnan(read_ratio))
        std::snprintf(reads, sizeof reads, "reads at %.2f times RAM's speed", read_ratio);
    const bool reads_slow = read_ratio <= 1.0 / 3; // false for NaN

    if (!flags) {
        if (reads_slow)
            return {"direct-uncached", std::string("no smaps entry; ") + reads + ": uncached or write-combined"};
        return {"unknown", std::string("no smaps entry; ") + reads};
    }
    const bool pf = std::find(flags->begin(), flags->end(), "pf") != flags->end();
    if (!pf) {
        return {"deferred-io", std::string("VmFlags without pf: ordinary pages, a shadow that the kernel copies "
                                           "to the display later; ") +
                                   reads};
    }
    if (reads_slow)
        return {"direct-uncached", std::string("VmFlags io/pf: the display's memory mapped directly; ") + reads +
                                       ": uncached or write-combined"};
    return {"direct-uncached", std::string("VmFlags io/pf: the display's memory mapped directly, which the kernel "
                                           "maps write-combined or uncached; ") +
                                   reads + (std::isnan(read_ratio) ? "" : " (an emulator models no caches)")};
}

std::string device_mapping_open(const std::string& device_path, device_mapping& mapping)
{
    mapping.fd = open(device_path.c_str(), O_RDWR | O_CLOEXEC);
    if (mapping.fd < 0)
        return "cannot open " + device_path + ": " + std::strerror(errno);
    if (ioctl(mapping.fd, FBIOGET_FSCREENINFO, &mapping.fix) != 0 ||
        ioctl(mapping.fd, FBIOGET_VSCREENINFO, &mapping.var) != 0) {
        const int query_errno = errno;
        close(mapping.fd);
        mapping.fd = -1;
        return "cannot query " + device_path + ": " + std::strerror(query_errno);
    }
    const fb_var_screeninfo& var = mapping.var;
    mapping.length = mapping.fix.smem_len != 0 ? mapping.fix.smem_len
                     : mapping.fix.line_length != 0
                         ? size_t(mapping.fix.line_length) * var.yres_virtual
                         : size_t(var.xres_virtual) * var.yres_virtual * var.bits_per_pixel / 8;
    if (mapping.length != 0)
        mapping.base = mmap(nullptr, mapping.length, PROT_READ | PROT_WRITE, MAP_SHARED, mapping.fd, 0);
    if (mapping.base == MAP_FAILED) {
        const int map_errno = mapping.length != 0 ? errno : EINVAL;
        close(mapping.fd);
        mapping.fd = -1;
        return "cannot map " + device_path + ": " + std::strerror(map_errno);
    }
    return "";
}

void device_mapping_close(device_mapping& mapping)
{
    if (mapping.base != MAP_FAILED)
        munmap(mapping.base, mapping.length);
    mapping.base = MAP_FAILED;
    if (mapping.fd >= 0)
        close(mapping.fd);
    mapping.fd = -1;
}

namespace {

// RAM of the screen's size for the comparison runs, its pages in place.
std::vector<mapping_probe> probes_against_memory(const device_mapping& mapping, double seconds)
{
    const probe_area area = probe_area_of(mapping.fix, mapping.var, mapping.length);
    if (area.height == 0)
        return {};
    void* memory = mmap(nullptr, mapping.length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE,
                        -1, 0);
    if (memory == MAP_FAILED)
        return {};
    std::vector<mapping_probe> probes = mapping_probes_run(mapping.base, memory, area, seconds);
    munmap(memory, mapping.length);
    return probes;
}

} // namespace

void mapping_class_check(const fs::path& root, const std::string& device_path, const mapping_class& found,
                         std::vector<run_warning>& warnings)
{
    if (found.name != "deferred-io")
        return;
    const std::string card = fb_sysfs_describe(root, device_path).drm_card;
    const std::string instead = !card.empty()
                                    ? "measure its DRM device /dev/dri/" + card
                                    : "measure a device whose driver maps the display's memory directly";
    run_warning_add(warnings, "deferred-io",
                    device_path + " is a shadow in RAM that the kernel copies to the display later (deferred I/O): "
                                  "the screen numbers measure RAM, not the display; " +
                        instead + " instead");
}

mapping_description mapping_describe(const fs::path& root, const std::string& device_path, bool probe,
                                     std::vector<run_warning>& warnings, double probe_seconds)
{
    mapping_description described;
    device_mapping mapping;
    if (std::string failure = device_mapping_open(device_path, mapping); !failure.empty()) {
        run_warning_add(warnings, "mapping", failure + "; the mapping is not classified");
        described.found = {"unknown", failure};
        return described;
    }
    const std::optional<std::string> smaps = file_text_read(root_path_join(root, "/proc/self/smaps"));
    described.vm_flags = smaps ? smaps_vm_flags(*smaps, reinterpret_cast<uintptr_t>(mapping.base)) : std::nullopt;
    const std::vector<mapping_probe> probes = probe ? probes_against_memory(mapping, probe_seconds)
                                                    : std::vector<mapping_probe>{};
    device_mapping_close(mapping);

    described.found = mapping_classify(described.vm_flags, probes);
    if (probe) {
        described.probes.emplace();
        for (const mapping_probe& result : probes) {
            mapping_probe& entry = described.probes->emplace_back(mapping_probe{
                result.name, std::round(result.screen_mpixels * 100) / 100,
                std::round(result.memory_mpixels * 100) / 100, std::nullopt});
            if (result.memory_mpixels > 0)
                entry.ratio = std::round(result.screen_mpixels / result.memory_mpixels * 1000) / 1000;
        }
    }
    mapping_class_check(root, device_path, described.found, warnings);
    return described;
}
