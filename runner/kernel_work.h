// The CPU time of the kernel's own threads (kworkers and the like), which do
// a display's deferred copies and other work a run asks of the kernel: read
// once before and once after a run, outside its timed part, so that it is
// told apart from other processes' work.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

// The user and system time, in clock ticks, of the thread whose
// /proc/PID/stat line is stat when it is a kernel thread (PF_KTHREAD);
// nothing for a user process or a line that does not parse.
std::optional<unsigned long long> kernel_thread_ticks_parse(const std::string& stat);

// The ticks of every kernel thread under proc ("/proc"); nothing when proc
// cannot be read.
std::optional<unsigned long long> kernel_threads_ticks(const std::filesystem::path& proc);
