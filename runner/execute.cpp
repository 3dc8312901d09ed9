#include "execute.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

volatile std::sig_atomic_t caught_signal = 0;
volatile pid_t running_child = 0;

void signal_forward(int sig)
{
    caught_signal = sig;
    if (running_child > 0)
        kill(running_child, sig);
}

// A captured output file, already unlinked: it vanishes with its descriptor.
struct capture_file {
    int fd = -1;
    capture_file() = default;
    capture_file(const capture_file&) = delete;
    capture_file& operator=(const capture_file&) = delete;
    ~capture_file()
    {
        if (fd >= 0)
            close(fd);
    }
};

bool capture_open(capture_file& file, std::string& error)
{
    std::filesystem::path folder = "/tmp";
    if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp != '\0')
        folder = tmp;
    std::string name = (folder / "fbbench-run-XXXXXX").string();
    file.fd = mkostemp(name.data(), O_CLOEXEC);
    if (file.fd < 0) {
        error = "cannot create a file in " + folder.string() + " for a run's output: " + std::strerror(errno);
        return false;
    }
    unlink(name.c_str());
    return true;
}

std::string capture_read(const capture_file& file)
{
    std::string text;
    char buffer[4096];
    off_t at = 0;
    for (ssize_t n; (n = pread(file.fd, buffer, sizeof buffer, at)) > 0; at += n)
        text.append(buffer, std::size_t(n));
    return text;
}

double clock_seconds(clockid_t id)
{
    timespec ts{};
    clock_gettime(id, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// A small file read whole; empty when it cannot be read.
std::string file_read(const char* path)
{
    std::string text;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, std::size_t(n));
    close(fd);
    return text;
}

bool executable(const std::filesystem::path& path)
{
    return access(path.c_str(), X_OK) == 0 && !std::filesystem::is_directory(path);
}

} // namespace

std::string program_locate(const std::string& name, const std::string& dir)
{
    if (!dir.empty())
        return executable(std::filesystem::path(dir) / name) ? (std::filesystem::path(dir) / name).string() : "";
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec && executable(self.parent_path() / name))
        return (self.parent_path() / name).string();
    const char* path = std::getenv("PATH");
    const std::string search = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = search.find(':', start);
        const std::string entry = search.substr(start, end - start);
        const std::filesystem::path candidate = std::filesystem::path(entry.empty() ? "." : entry) / name;
        if (executable(candidate))
            return candidate.string();
        if (end == std::string::npos)
            return "";
        start = end + 1;
    }
}

void signals_catch()
{
    struct sigaction action {};
    action.sa_handler = signal_forward;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: waitpid returns to look at the flag
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int signals_caught()
{
    return caught_signal;
}

bool program_execute(const std::string& path, const std::vector<std::string>& overrides, run_outcome& outcome,
                     std::string& error)
{
    capture_file out, err;
    if (!capture_open(out, error) || !capture_open(err, error))
        return false;

    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string& o : overrides)
            replaced = replaced || o.starts_with(name);
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), overrides.begin(), overrides.end());
    std::vector<char*> envp;
    for (std::string& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = path;
    char* const argv[] = {program.data(), nullptr};

    // The signals stay blocked until the parent knows the child's id, so
    // that one arriving in between is passed on rather than lost.
    sigset_t block, previous;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, &previous);

    // The whole machine's CPU time around the run, so that other processes'
    // share of it can be told apart from the child's own.
    outcome.stat_before = file_read("/proc/stat");
    const double monotonic_start = clock_seconds(CLOCK_MONOTONIC);
    const double realtime_start = clock_seconds(CLOCK_REALTIME);
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        if (dup2(out.fd, STDOUT_FILENO) < 0 || dup2(err.fd, STDERR_FILENO) < 0)
            _exit(126);
        execve(argv[0], argv, envp.data());
        const int saved = errno;
        const std::string message = "fbbench: cannot run " + path + ": " + std::strerror(saved) + "\n";
        [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, message.data(), message.size());
        _exit(127);
    }
    if (pid < 0) {
        const int saved = errno;
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        error = "cannot start " + path + ": " + std::strerror(saved);
        return false;
    }
    running_child = pid;
    sigprocmask(SIG_SETMASK, &previous, nullptr);

    int status = 0;
    rusage usage{};
    pid_t reaped;
    while ((reaped = wait4(pid, &status, 0, &usage)) < 0 && errno == EINTR) {
    }
    const double realtime_end = clock_seconds(CLOCK_REALTIME);
    const double monotonic_end = clock_seconds(CLOCK_MONOTONIC);
    outcome.stat_after = file_read("/proc/stat");
    running_child = 0;
    if (reaped != pid) {
        error = "cannot wait for " + path + ": " + std::strerror(errno);
        return false;
    }
    outcome.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.out = capture_read(out);
    outcome.err = capture_read(err);
    outcome.monotonic_seconds = monotonic_end - monotonic_start;
    outcome.realtime_seconds = realtime_end - realtime_start;
    outcome.child_cpu_seconds = double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) * 1e-6
                              + double(usage.ru_stime.tv_sec) + double(usage.ru_stime.tv_usec) * 1e-6;
    return true;
}
