#include "bench_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <thread>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

namespace {

std::string file_text(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

bench_result bench_run(const std::string& program, const std::vector<std::string>& env, const char* stdout_path,
                       int closed_fd)
{
    return bench_run_command({program}, env, stdout_path, closed_fd);
}

bench_result bench_run_command(const std::vector<std::string>& command, const std::vector<std::string>& env,
                               const char* stdout_path, int closed_fd, const std::function<void(pid_t)>& while_running)
{
    const std::string& program = command.at(0);
    std::string folder_template = (std::filesystem::temp_directory_path() / "fbbench-XXXXXX").string();
    if (mkdtemp(folder_template.data()) == nullptr)
        throw std::runtime_error("cannot make a scratch folder");
    const std::filesystem::path folder = folder_template;
    const std::filesystem::path out_path = folder / "out", err_path = folder / "err";
    const std::filesystem::path dump_path = folder / "screen", log_path = folder / "log";

    std::vector<std::string> child_env = {
        "PATH=/usr/bin:/bin",
        "LD_PRELOAD=" TEST_FRAMEBUFFER_LIBRARY,
        "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1",
        "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1",
        "TEST_FB_DUMP=" + dump_path.string(),
        "TEST_FB_LOG=" + log_path.string(),
    };
    for (const std::string& entry : env) {
        // A later value of a variable replaces an earlier one.
        const std::string name = entry.substr(0, entry.find('=') + 1);
        std::erase_if(child_env, [&](const std::string& earlier) { return earlier.starts_with(name); });
        child_env.push_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& entry : child_env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("cannot fork");
    if (pid == 0) {
        const int out = open(stdout_path ? stdout_path : out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0)
            _exit(126);
        if (closed_fd >= 0)
            close(closed_fd);
        std::vector<std::string> words;
#ifdef BENCH_EMULATOR
        // Through the emulator, which hands the environment, and so the
        // preloaded test framebuffer, to the program it runs.
        std::istringstream emulator(BENCH_EMULATOR);
        for (std::string word; std::getline(emulator, word, '\t');)
            words.push_back(word);
#endif
        words.insert(words.end(), command.begin(), command.end());
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (while_running)
        while_running(pid);
    int wait_status = 0;
    rusage usage{};
    if (wait4(pid, &wait_status, 0, &usage) != pid)
        throw std::runtime_error("cannot wait for " + program);

    bench_result result;
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    result.signal = WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : 0;
    result.max_rss_kb = usage.ru_maxrss;
    result.out = file_text(out_path);
    result.err = file_text(err_path);
    result.screen_dumped = std::filesystem::exists(dump_path);
    const std::string screen = file_text(dump_path);
    result.screen.assign(screen.begin(), screen.end());
    std::istringstream log(file_text(log_path));
    for (std::string line; std::getline(log, line);)
        result.log.push_back(line);
    std::filesystem::remove_all(folder);
    return result;
}

std::string bench_log_path(pid_t pid)
{
    const std::string variables = file_text("/proc/" + std::to_string(pid) + "/environ");
    const std::string name = "TEST_FB_LOG=";
    for (size_t start = 0; start < variables.size();) {
        const size_t end = std::min(variables.find('\0', start), variables.size());
        if (variables.compare(start, name.size(), name) == 0)
            return variables.substr(start + name.size(), end - start - name.size());
        start = end + 1;
    }
    return "";
}

bool bench_log_wait(pid_t pid, const std::string& line)
{
    for (int tries = 0; tries < 6000; ++tries) {
        const std::string path = bench_log_path(pid);
        if (!path.empty() && ("\n" + file_text(path)).find("\n" + line + "\n") != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

namespace {

// In nanosleep now: by the kernel function it waits in, else by the number
// of the system call it is in (an emulated program's is the emulator's).
bool sleeping(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    if (file_text(proc + "/wchan").find("nanosleep") != std::string::npos)
        return true;
    long number = -1;
    std::istringstream(file_text(proc + "/syscall")) >> number;
#ifdef SYS_nanosleep
    if (number == SYS_nanosleep)
        return true;
#endif
    return number == SYS_clock_nanosleep;
}

} // namespace

bool bench_sleep_wait(pid_t pid)
{
    for (int tries = 0; tries < 6000; ++tries) {
        if (sleeping(pid))
            return true;
        if (kill(pid, 0) != 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}
