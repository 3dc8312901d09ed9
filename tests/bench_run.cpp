#include "bench_run.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
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
