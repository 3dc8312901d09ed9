#include "presented.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace {

// One unsigned number, then the end or a blank; advances past it.
template <typename T> bool number_take(const char*& at, const char* end, T& value)
{
    const std::from_chars_result r = std::from_chars(at, end, value);
    if (r.ec != std::errc() || (r.ptr != end && *r.ptr != ' '))
        return false;
    at = r.ptr == end ? r.ptr : r.ptr + 1;
    return true;
}

} // namespace

bool presented_parse(const std::string& text, presented_record& record, std::string& error)
{
    record = {};
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != "fbbench-present 1") {
        error = text.empty() ? "no flip records" : "the flip records are not recognised";
        return false;
    }
    uint64_t kept = 0;
    for (std::size_t n = 2; std::getline(lines, line); ++n) {
        const std::size_t blank = line.find(' ');
        const std::string key = line.substr(0, blank);
        const char* at = line.data() + (blank == std::string::npos ? line.size() : blank + 1);
        const char* end = line.data() + line.size();
        bool good = blank != std::string::npos;
        if (key == "error") {
            record.error = std::string(at, end);
        } else if (key == "flip") {
            uint32_t sec = 0, usec = 0, sequence = 0;
            good = good && number_take(at, end, sec) && number_take(at, end, usec) && number_take(at, end, sequence)
                && at == end && usec < 1000000;
            record.timestamps_us.push_back(int64_t(sec) * 1000000 + usec);
            record.sequences.push_back(sequence);
        } else {
            uint64_t* field = key == "units"  ? &record.units
                            : key == "queued" ? &record.queued
                            : key == "busy"   ? &record.busy
                            : key == "events" ? &record.events
                            : key == "kept"   ? &kept
                                              : nullptr;
            good = good && field != nullptr && number_take(at, end, *field) && at == end;
        }
        if (!good) {
            error = "line " + std::to_string(n) + " of the flip records is not recognised";
            return false;
        }
    }
    if (kept != record.timestamps_us.size() || record.events < kept || record.queued < record.events) {
        error = "the flip records do not add up";
        return false;
    }
    return true;
}

std::string presented_fault(const presented_record& r)
{
    if (!r.error.empty())
        return "the page flip failed: " + r.error;
    if (r.events == 0 && r.busy > 0)
        return "every page flip was refused as busy";
    if (r.timestamps_us.size() < 2)
        return "fewer than two flips were presented";
    const uint32_t advance = r.sequences.back() - r.sequences.front();
    if (advance == 0)
        return "the vblank counter does not move (every flip event has sequence " + std::to_string(r.sequences.front())
             + ")";
    for (std::size_t i = 1; i < r.sequences.size(); ++i)
        if (uint32_t(r.sequences[i] - r.sequences[i - 1]) == 0 || uint32_t(r.sequences[i] - r.sequences[i - 1]) > advance)
            return "the vblank counter does not advance with the flips (sequence " + std::to_string(r.sequences[i - 1])
                 + " then " + std::to_string(r.sequences[i]) + ")";
    for (std::size_t i = 1; i < r.timestamps_us.size(); ++i)
        if (r.timestamps_us[i] <= r.timestamps_us[i - 1])
            return "the flip events' timestamps do not advance";
    return "";
}

presented_figures presented_compute(const presented_record& r, double refresh_hz)
{
    presented_figures f;
    f.units = r.units;
    f.flips = r.events;
    f.refresh_hz = refresh_hz;
    const std::size_t n = r.timestamps_us.size();
    if (n < 2)
        return f;
    std::vector<double> intervals;
    for (std::size_t i = 1; i < n; ++i)
        intervals.push_back(double(r.timestamps_us[i] - r.timestamps_us[i - 1]) / 1000);
    const double frame_ms = refresh_hz > 0 ? 1000 / refresh_hz : 0;
    for (double interval : intervals)
        f.intervals_flagged += frame_ms > 0 && std::abs(interval - frame_ms) > frame_ms * presented_interval_tolerance;
    std::sort(intervals.begin(), intervals.end());
    const std::size_t k = intervals.size();
    f.interval_median_ms = k % 2 != 0 ? intervals[k / 2] : (intervals[k / 2 - 1] + intervals[k / 2]) / 2;
    // Nearest rank.
    f.interval_p99_ms = intervals[std::size_t(std::ceil(0.99 * double(k))) - 1];
    f.interval_spread_percent = (intervals.back() - intervals.front()) / f.interval_median_ms * 100;
    f.elapsed_seconds = double(r.timestamps_us.back() - r.timestamps_us.front()) / 1e6;
    f.frames_per_second = double(k) / f.elapsed_seconds;
    f.vblanks = uint32_t(r.sequences.back() - r.sequences.front());
    // Each interval's first vblank showed a new frame; the others, the old one.
    f.missed_vblanks = f.vblanks > k ? f.vblanks - k : 0;
    f.frames_lost = double(k) < f.elapsed_seconds * refresh_hz * presented_frames_share;
    return f;
}

