#include "execute.h"

#include "digits.h"
#include "procfs.h"
#include "unique_fd.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <algorithm>
#include <dirent.h>
#include <set>
#include <filesystem>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

// The stop signals: each caught unless ignored at the start.
constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Seconds between SIGTERM and SIGKILL.
constexpr int kill_grace_seconds = 5;
// Seconds to wait for a program's end after SIGKILL: only one stuck in the
// kernel takes longer, and fbbench must not wait for it for good.
constexpr int killed_wait_seconds = 10;

volatile std::sig_atomic_t caught_signal = 0;
bool ignored_at_start[NSIG] = {};

// Only notes the first signal: the main flow acts on it, where it is safe
// to (no allocation, no file work in a handler).
void signal_note(int sig)
{
    if (caught_signal == 0)
        caught_signal = sig;
}

// Creates a captured output file, unlinked at once so that it vanishes with
// its descriptor, and reserves room for all of the output that is kept: a
// program whose report cannot be written fails, and a full folder would
// pass for the benchmark's fault. False with errno set.
bool capture_open(unique_fd& file, const std::filesystem::path& folder)
{
    std::string name = (folder / "fbbench-run-XXXXXX").string();
    file.reset(mkostemp(name.data(), O_CLOEXEC));
    if (file.get() < 0)
        return false;
    unlink(name.c_str());
    // Without fallocate in the file system, the writes find out.
    return fallocate(file.get(), FALLOC_FL_KEEP_SIZE, 0, off_t(capture_limit)) == 0 || errno == EOPNOTSUPP
        || errno == ENOSYS;
}

std::filesystem::path capture_folder()
{
    if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp != '\0')
        return tmp;
    return "/tmp";
}

// At most capture_limit bytes of the file; truncated when there was more.
std::string capture_read(const unique_fd& file, bool& truncated)
{
    struct stat st {};
    truncated = fstat(file.get(), &st) == 0 && std::size_t(st.st_size) > capture_limit;
    std::string text(capture_limit, '\0');
    std::size_t at = 0;
    while (at < text.size()) {
        const ssize_t n = pread(file.get(), text.data() + at, text.size() - at, off_t(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        at += std::size_t(n);
    }
    text.resize(at);
    return text;
}

// The stop signals fbbench takes, and SIGCHLD. One ignored at the start is
// left out: a blocked signal is queued even when ignored, and sigtimedwait
// would take it.
sigset_t stop_and_child_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : stop_signals)
        if (!ignored_at_start[sig])
            sigaddset(&set, sig);
    sigaddset(&set, SIGCHLD);
    return set;
}

double clock_seconds(clockid_t id)
{
    timespec ts{};
    clock_gettime(id, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// The wall clock's offset from the monotonic clock. The wall clock is read
// between two monotonic readings, and the closest pair of a few tries is
// kept, so that being preempted between the reads on a busy machine is not
// taken for a step of the clock.
double clock_offset_read()
{
    double closest = 1e9;
    double offset = 0;
    for (int attempt = 0; attempt < 8 && closest > 50e-6; ++attempt) {
        const double before = clock_seconds(CLOCK_MONOTONIC);
        const double realtime = clock_seconds(CLOCK_REALTIME);
        const double after = clock_seconds(CLOCK_MONOTONIC);
        if (after - before < closest) {
            closest = after - before;
            offset = realtime - (before + after) / 2;
        }
    }
    return offset;
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

void orphans_adopt()
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
}

void signals_catch()
{
    struct sigaction action {};
    action.sa_handler = signal_note;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : stop_signals) {
        struct sigaction previous {};
        sigaction(sig, nullptr, &previous);
        // A background job started with the signal ignored keeps it so.
        ignored_at_start[sig] = previous.sa_handler == SIG_IGN;
        if (!ignored_at_start[sig])
            sigaction(sig, &action, nullptr);
    }
    // Inherited SIG_IGN for SIGCHLD would reap the programs unseen.
    signal(SIGCHLD, SIG_DFL);
}

int signals_caught()
{
    return caught_signal;
}

void signals_reraise()
{
    const int sig = caught_signal;
    if (sig == 0)
        return;
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
}

std::string signal_name(int sig)
{
    const char* name = sigabbrev_np(sig);
    return name != nullptr ? std::string("SIG") + name : "signal " + std::to_string(sig);
}

namespace {

// Sends sig to the program's process group, which also reaches what the
// program started itself.
void run_signal(pid_t pid, int sig)
{
    if (kill(-pid, sig) != 0)
        kill(pid, sig);
}

// How often the wall clock is read while a program runs: often enough that
// a step stands out from a clock set in small steps, rarely enough that the
// wake-ups are no work to speak of.
constexpr double clock_sample_seconds = 0.25;

// Waits for the program, passing stop signals on and enforcing the
// deadline, with the stop signals and SIGCHLD blocked: each is taken with
// sigtimedwait, so none is lost; it wakes between them only to read the
// wall clock into samples. False with errno set when it cannot be waited
// for (ETIMEDOUT: still there after SIGKILL).
bool run_wait(pid_t pid, int timeout_seconds, int& status, rusage& usage, bool& timed_out,
              std::vector<clock_sample>& samples)
{
    const sigset_t waited = stop_and_child_set();
    const double deadline = clock_seconds(CLOCK_MONOTONIC) + timeout_seconds;
    double kill_at = 0; // SIGKILL due then, once SIGTERM or a stop signal was sent
    bool killed = false;
    double killed_at = 0;
    int stops = 0;
    for (;;) {
        const pid_t reaped = wait4(pid, &status, WNOHANG, &usage);
        if (reaped == pid)
            return true;
        if (reaped < 0 && errno != EINTR)
            return false;
        const double now = clock_seconds(CLOCK_MONOTONIC);
        if (now >= samples.back().monotonic + clock_sample_seconds)
            samples.push_back({now, clock_offset_read()});
        if (!killed && kill_at == 0 && now >= deadline) {
            timed_out = true;
            run_signal(pid, SIGTERM);
            kill_at = now + kill_grace_seconds;
        }
        if (!killed && kill_at != 0 && now >= kill_at) {
            run_signal(pid, SIGKILL);
            killed = true;
            killed_at = now;
        }
        if (killed && now >= killed_at + killed_wait_seconds) {
            errno = ETIMEDOUT;
            return false;
        }
        const double next = killed ? killed_at + killed_wait_seconds : kill_at != 0 ? kill_at : deadline;
        const double wait = std::max(std::min(next, samples.back().monotonic + clock_sample_seconds) - now, 0.001);
        timespec timeout{time_t(wait), long((wait - double(time_t(wait))) * 1e9)};
        siginfo_t info{};
        const int sig = sigtimedwait(&waited, &info, &timeout);
        if (sig <= 0 || sig == SIGCHLD)
            continue;
        if (caught_signal == 0)
            caught_signal = sig;
        if (killed)
            continue;
        // The first stop signal is passed on; a second, or the program
        // still there after the grace, ends it at once.
        if (++stops == 1) {
            run_signal(pid, sig);
            if (kill_at == 0)
                kill_at = clock_seconds(CLOCK_MONOTONIC) + kill_grace_seconds;
        } else {
            run_signal(pid, SIGKILL);
            killed = true;
            killed_at = clock_seconds(CLOCK_MONOTONIC);
        }
    }
}

// The running processes of the group, and fbbench's running children (the
// program is reaped, so they are orphans that came to it).
std::vector<pid_t> leftovers_find(pid_t group)
{
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return found;
    const pid_t self = getpid();
    while (const dirent* entry = readdir(proc)) {
        pid_t pid = 0;
        if (!digits_parse(entry->d_name, pid) || pid == 0)
            continue;
        // Gone or a zombie: it runs no more.
        const std::optional<procfs_stat> stat = procfs_stat_read(pid);
        if (stat && stat->state != 'Z' && stat->state != 'X' && (stat->pgrp == group || stat->ppid == self))
            found.push_back(pid);
    }
    closedir(proc);
    return found;
}

// Kills what the program left (its group, and orphans that came to fbbench,
// which a child of a killed one becomes in turn) until nothing is left or
// the wait after SIGKILL runs out, reaping the orphans. Returns how many
// processes were left.
int leftovers_end(pid_t group)
{
    std::set<pid_t> seen;
    const double give_up = clock_seconds(CLOCK_MONOTONIC) + killed_wait_seconds;
    const sigset_t child = [] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGCHLD);
        return set;
    }();
    for (;;) {
        const std::vector<pid_t> found = leftovers_find(group);
        if (found.empty())
            break;
        for (pid_t pid : found) {
            seen.insert(pid);
            kill(pid, SIGKILL);
        }
        if (clock_seconds(CLOCK_MONOTONIC) >= give_up)
            break;
        // SIGCHLD is blocked: an orphan's end is taken here, a group
        // member's (another's child) is seen at the next look.
        const timespec look_again{0, 10'000'000};
        sigtimedwait(&child, nullptr, &look_again);
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    return int(seen.size());
}

} // namespace

bool program_execute(const std::string& path, const std::vector<std::string>& overrides, int timeout_seconds,
                     run_outcome& outcome, std::string& error)
{
    unique_fd out, err;
    const std::filesystem::path folder = capture_folder();
    if (!capture_open(out, folder) || !capture_open(err, folder)) {
        outcome.capture_error = "in " + folder.string() + ": " + std::strerror(errno);
        return true;
    }

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
    const std::string exec_failed = "fbbench: cannot run " + path + ": ";

    // From here until the program has been reaped the stop signals are
    // blocked: one that came before is seen in the flag, one that comes
    // after is taken by the wait and passed on. None falls in between.
    const sigset_t block = stop_and_child_set();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &block, &previous);
    if (caught_signal != 0) {
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        return true;
    }

    const pid_t parent = getpid();
    // The whole machine's CPU time around the run, so that other processes'
    // share of it can be told apart from the child's own.
    outcome.stat_before = procfs_file_read("/proc/stat");
    const double offset_start = clock_offset_read();
    const double monotonic_start = clock_seconds(CLOCK_MONOTONIC);
    outcome.clock_samples = {{monotonic_start, offset_start}};
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls until execve.
        // fbbench gone, by whatever means, takes the program with it; a
        // parent that died before the request was made is seen at once.
        // SIGTERM, not SIGKILL: a DRM program's handler gives the display
        // back on it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        // A group of its own: a Ctrl-C at the terminal reaches fbbench
        // alone, which passes it on once, and a kill reaches whatever the
        // program started.
        setpgid(0, 0);
        rlimit fsize{};
        if (getrlimit(RLIMIT_FSIZE, &fsize) == 0 && fsize.rlim_cur > run_file_size_limit) {
            fsize.rlim_cur = run_file_size_limit;
            setrlimit(RLIMIT_FSIZE, &fsize);
        }
        for (int sig : stop_signals)
            if (!ignored_at_start[sig])
                signal(sig, SIG_DFL);
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        if (dup2(out.get(), STDOUT_FILENO) < 0 || dup2(err.get(), STDERR_FILENO) < 0)
            _exit(126);
        execve(argv[0], argv, envp.data());
        const char* reason = strerror(errno);
        [[maybe_unused]] ssize_t n = write(STDERR_FILENO, exec_failed.data(), exec_failed.size());
        n = write(STDERR_FILENO, reason, std::strlen(reason));
        n = write(STDERR_FILENO, "\n", 1);
        _exit(127);
    }
    if (pid < 0) {
        const int saved = errno;
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        error = "cannot start " + path + ": " + std::strerror(saved);
        return false;
    }
    // Also here, so that a signal sent before the child got to it finds
    // the group.
    setpgid(pid, pid);
    outcome.started = true;

    int status = 0;
    rusage usage{};
    const bool reaped = run_wait(pid, timeout_seconds, status, usage, outcome.timed_out, outcome.clock_samples);
    const int saved = errno;
    const double monotonic_end = clock_seconds(CLOCK_MONOTONIC);
    outcome.clock_samples.push_back({monotonic_end, clock_offset_read()});
    outcome.stat_after = procfs_file_read("/proc/stat");
    // Whatever the program left goes with it.
    if (reaped)
        outcome.leftover_processes = leftovers_end(pid);
    else
        kill(-pid, SIGKILL);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (!reaped) {
        error = saved == ETIMEDOUT ? path + " was still there " + std::to_string(killed_wait_seconds)
                                         + " s after SIGKILL"
                                   : "cannot wait for " + path + ": " + std::strerror(saved);
        return false;
    }
    if (WIFEXITED(status))
        outcome.exit_status = WEXITSTATUS(status);
    else
        outcome.signal = WTERMSIG(status);
    outcome.out = capture_read(out, outcome.out_truncated);
    outcome.err = capture_read(err, outcome.err_truncated);
    outcome.monotonic_seconds = monotonic_end - monotonic_start;
    outcome.child_cpu_seconds = double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) * 1e-6
                              + double(usage.ru_stime.tv_sec) + double(usage.ru_stime.tv_usec) * 1e-6;
    return true;
}

int inherited_file_open(std::string& error)
{
    std::string name = (capture_folder() / "fbbench-flips-XXXXXX").string();
    const int fd = mkostemp(name.data(), 0);
    if (fd < 0) {
        error = "cannot make a file in " + capture_folder().string() + ": " + std::strerror(errno);
        return -1;
    }
    unlink(name.c_str());
    return fd;
}

bool inherited_file_read(int fd, std::size_t limit, std::string& text)
{
    text.assign(limit + 1, '\0');
    std::size_t at = 0;
    while (at < text.size()) {
        const ssize_t n = pread(fd, text.data() + at, text.size() - at, off_t(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        at += std::size_t(n);
    }
    text.resize(std::min(at, limit));
    return at <= limit;
}
