// A session's hold on its devices, from before the description to the end:
// a second session on a device waits for the first, so that no program of
// one runs between the runs of the other.
//
// The programs lock a device with flock(2) on their own descriptor, and a
// session cannot hold that lock without refusing its own programs. The
// session lock is an open file description lock (fcntl(2) F_OFD_SETLK) on
// byte 0 of the same device node: the kernel keeps the two kinds apart, so
// the programs' locks never meet it; it needs no file or folder of its own
// and is the same object for every path to the device; it goes with the
// process, however it ends. A second lock at byte 1 + the holder's pid names
// the holder to a session that waits, as F_OFD_GETLK reports no pid.
#pragma once

#include "unique_fd.h"

#include <functional>
#include <string>
#include <vector>

struct session_lock {
    std::vector<std::string> paths; // the devices, each with its descriptor
    std::vector<unique_fd> fds; // -1 where the device cannot be opened: its programs will say why
};

// Opens the device for reading and writing without staying its DRM master:
// a card's first opener becomes master, which would refuse the programs
// and probes theirs. None held, with errno set, when it cannot be opened.
unique_fd device_open_unmastered(const std::string& path, int flags);

// Tries to take every device's session lock, without waiting. Empty when all
// are held (then kept until lock is destroyed), else one line naming the
// session that holds the first busy device ("/dev/fb0 is in use by the
// fbbench session of pid 1234 on host (fbbench --runs 5)"); none stays held.
std::string session_lock_take(session_lock& lock, const std::vector<std::string>& devices);

// Takes them, waiting while another session holds one; each time the holder
// changes, hands the line naming it to waiting. Returns false when a stop
// signal came first.
bool session_lock_wait(session_lock& lock, const std::vector<std::string>& devices,
                       const std::function<void(const std::string&)>& waiting);
