// A process's stat line, and whole proc files.
#include "procfs.h"

#include "unique_fd.h"

#include <charconv>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace {

// The whole word as a number; false for anything else in it.
template <typename T>
bool number_parse(const std::string& word, T& value)
{
    const char* end = word.data() + word.size();
    const auto [at, error] = std::from_chars(word.data(), end, value);
    return error == std::errc() && at == end;
}

} // namespace

std::optional<procfs_stat> procfs_stat_parse(const std::string& line)
{
    const std::size_t paren = line.rfind(')');
    if (paren == std::string::npos)
        return std::nullopt;
    // Fields 3 (the state) to 15 (stime), the last one read.
    std::istringstream words(line.substr(paren + 1));
    std::vector<std::string> fields;
    for (std::string word; fields.size() < 13 && words >> word;)
        fields.push_back(word);
    if (fields.size() < 13)
        return std::nullopt;
    const auto field = [&](int number) -> const std::string& { return fields[std::size_t(number - 3)]; };
    procfs_stat stat;
    if (field(3).size() != 1 || !number_parse(field(4), stat.ppid) || !number_parse(field(5), stat.pgrp)
        || !number_parse(field(6), stat.session) || !number_parse(field(9), stat.flags)
        || !number_parse(field(14), stat.utime) || !number_parse(field(15), stat.stime))
        return std::nullopt;
    stat.state = field(3)[0];
    return stat;
}

std::optional<procfs_stat> procfs_stat_read(pid_t pid)
{
    return procfs_stat_parse(procfs_file_read("/proc/" + std::to_string(pid) + "/stat"));
}

std::string procfs_file_read(const std::filesystem::path& path)
{
    std::string text;
    const unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd.get(), buffer, sizeof buffer)) > 0;)
        text.append(buffer, std::size_t(n));
    return text;
}
