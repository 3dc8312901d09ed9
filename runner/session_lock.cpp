#include "session_lock.h"

#include "benchlib.h"
#include "execute.h"
#include "procfs.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>
#include <xf86drm.h>

namespace {

// The session lock is byte 0; a holder's pid mark lies beyond it.
constexpr off_t session_byte = 0;
constexpr off_t pid_marks = 1;

bool range_lock(int fd, off_t start)
{
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = start;
    range.l_len = 1;
    return fcntl(fd, F_OFD_SETLK, &range) == 0;
}

// Gives up this descriptor's locks, the session byte and the mark alike.
void locks_release(int fd)
{
    struct flock range {};
    range.l_type = F_UNLCK;
    range.l_whence = SEEK_SET;
    fcntl(fd, F_OFD_SETLK, &range);
}

// The holder's pid by its mark; 0 while it has none yet.
pid_t holder_pid(int fd)
{
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = pid_marks;
    range.l_len = 0; // to the end
    if (fcntl(fd, F_OFD_GETLK, &range) != 0 || range.l_type == F_UNLCK || range.l_start < pid_marks)
        return 0;
    return pid_t(range.l_start - pid_marks);
}

// The holder's command line as ps shows it, its words joined by blanks and
// escaped, cut to a line's worth; empty when it cannot be read.
std::string command_of(pid_t pid)
{
    std::string text = procfs_file_read("/proc/" + std::to_string(pid) + "/cmdline");
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    for (char& c : text)
        if (c == '\0')
            c = ' ';
    if (text.size() > 120)
        text = text.substr(0, 120) + "...";
    return bench_text_escape(text.c_str());
}

std::string busy_line(const std::string& path, int fd)
{
    std::string line = bench_text_escape(path.c_str()) + " is in use by another fbbench session";
    if (const pid_t pid = holder_pid(fd); pid > 0) {
        const std::string command = command_of(pid);
        line += " (pid " + std::to_string(pid) + (command.empty() ? "" : ": " + command) + ")";
    }
    return line;
}

} // namespace

unique_fd device_open_unmastered(const std::string& path, int flags)
{
    unique_fd fd(open(path.c_str(), flags | O_CLOEXEC));
    if (fd.get() >= 0 && fb_device_kind_of(fd.get()) == fb_device_kind::drm)
        drmDropMaster(fd.get()); // fails, harmlessly, where another holds master
    return fd;
}

std::string session_lock_take(session_lock& lock, const std::vector<std::string>& devices)
{
    // Each device is opened once: a DRM card opened again and again could
    // take master from between another session's runs.
    for (std::size_t i = lock.fds.size(); i < devices.size(); ++i) {
        lock.paths.push_back(devices[i]);
        lock.fds.push_back(device_open_unmastered(devices[i], O_RDWR));
    }
    for (std::size_t i = 0; i < lock.fds.size(); ++i) {
        const int fd = lock.fds[i].get();
        if (fd < 0)
            continue;
        if (range_lock(fd, session_byte)) {
            range_lock(fd, pid_marks + getpid());
            continue;
        }
        // A node that takes no locks holds no session either.
        if (errno != EAGAIN && errno != EACCES)
            continue;
        const std::string line = busy_line(lock.paths[i], fd);
        // Never waiting while holding: two sessions on two devices taken in
        // opposite orders would wait for each other.
        for (std::size_t k = 0; k < i; ++k)
            if (lock.fds[k].get() >= 0)
                locks_release(lock.fds[k].get());
        return line;
    }
    return "";
}

bool session_lock_wait(session_lock& lock, const std::vector<std::string>& devices,
                       const std::function<void(const std::string&)>& waiting)
{
    std::string said;
    for (;;) {
        if (signals_caught() != 0)
            return false;
        const std::string busy = session_lock_take(lock, devices);
        if (busy.empty())
            return true;
        if (busy != said)
            waiting(busy);
        said = busy;
        // A stop signal cuts the sleep short.
        const timespec poll{0, 100 * 1000 * 1000};
        nanosleep(&poll, nullptr);
    }
}
