// The one owner of a file descriptor: it is closed with its owner, and handed
// on only by moving, so that no error path leaks it or closes it twice.
#pragma once

#include <cerrno>
#include <unistd.h>

struct unique_fd {
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }

    // The descriptor, or -1 when none is held.
    int get() const { return fd_; }

    // Gives the descriptor up without closing it.
    [[nodiscard]] int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

    // Closes the one held, if any, and takes fd. errno is kept, so that the
    // call that made fd, or failed to, is still the one it tells of.
    void reset(int fd = -1)
    {
        if (fd_ >= 0 && fd_ != fd) {
            const int saved = errno;
            close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};
