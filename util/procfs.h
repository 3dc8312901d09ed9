// What the kernel tells of processes under /proc: a process's stat line, and
// whole proc files. A leaf: used by the runner and its tests.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>

// The fields of a /proc/PID/stat line that are read, by their numbers in
// proc(5).
struct procfs_stat {
    char state = 0; // 3: 'R', 'S', 'D', 'Z' (zombie), 'X' (dead)...
    pid_t ppid = 0; // 4
    pid_t pgrp = 0; // 5
    pid_t session = 0; // 6
    unsigned long long flags = 0; // 9: PF_* of include/linux/sched.h
    unsigned long long utime = 0; // 14: user time, in clock ticks
    unsigned long long stime = 0; // 15: system time, in clock ticks
    bool operator==(const procfs_stat&) const = default;
};

// The fields of a stat line. The name before them, in parentheses, may hold
// blanks and parentheses itself: the fields follow its last ')'. Nothing
// when one of them is missing or is no number.
std::optional<procfs_stat> procfs_stat_parse(const std::string& line);

// /proc/PID/stat, read and parsed; nothing once the process is gone.
std::optional<procfs_stat> procfs_stat_read(pid_t pid);

// A small file read whole, as the kernel makes up a proc file on each read;
// empty when it cannot be opened.
std::string procfs_file_read(const std::filesystem::path& path);
