#include "kernel_work.h"

#include "procfs.h"

namespace {

// include/linux/sched.h: the task is a kernel thread.
constexpr unsigned long long pf_kthread = 0x00200000;

} // namespace

std::optional<unsigned long long> kernel_thread_ticks_parse(const std::string& stat)
{
    const std::optional<procfs_stat> fields = procfs_stat_parse(stat);
    if (!fields || (fields->flags & pf_kthread) == 0)
        return std::nullopt;
    return fields->utime + fields->stime;
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
        total += kernel_thread_ticks_parse(procfs_file_read(entry.path() / "stat")).value_or(0);
    }
    return total;
}
