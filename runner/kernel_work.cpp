#include "kernel_work.h"

#include <exception>
#include <fstream>
#include <sstream>

namespace {

// include/linux/sched.h: the task is a kernel thread.
constexpr unsigned long long pf_kthread = 0x00200000;

} // namespace

std::optional<unsigned long long> kernel_thread_ticks_parse(const std::string& stat)
{
    // The name, in parentheses, may hold blanks and parentheses itself.
    const std::size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return std::nullopt;
    std::istringstream fields(stat.substr(paren + 1));
    // From field 3 (state) on: flags is field 9, utime 14 and stime 15.
    std::string field;
    unsigned long long flags = 0, utime = 0, stime = 0;
    for (int n = 3; n <= 15; ++n) {
        if (!(fields >> field))
            return std::nullopt;
        try {
            if (n == 9)
                flags = std::stoull(field);
            else if (n == 14)
                utime = std::stoull(field);
            else if (n == 15)
                stime = std::stoull(field);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    if ((flags & pf_kthread) == 0)
        return std::nullopt;
    return utime + stime;
}

std::optional<unsigned long long> kernel_threads_ticks(const std::filesystem::path& proc)
{
    std::error_code ec;
    std::filesystem::directory_iterator it(proc, ec);
    if (ec)
        return std::nullopt;
    unsigned long long total = 0;
    for (const std::filesystem::directory_entry& entry : it) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        // A thread that ended since the listing is simply not counted.
        std::ifstream in(entry.path() / "stat");
        std::string stat;
        if (std::getline(in, stat))
            total += kernel_thread_ticks_parse(stat).value_or(0);
    }
    return total;
}
