#include "display_release.h"

#include <iterator>
#include <sys/ioctl.h>
#include <sys/mman.h>

static const int display_signals[] = {SIGINT, SIGTERM, SIGHUP};
static struct sigaction display_previous[std::size(display_signals)];
// Empty until the first display is taken: before, no handler can run.
static sigset_t display_signal_set;
// Written before the handler that reads it is installed.
static display_taken display_now;
static bool display_is_taken = false;
static volatile sig_atomic_t display_mode = display_release_end;
static volatile sig_atomic_t display_deferred = 0;

// System calls only: the handler gives the display back from within any call,
// a measured loop's included. Left to the kernel at exit, the CRTC would be
// turned off instead of showing the old picture. A copy: the kernel writes
// the requests back.
static void display_undo(display_taken held)
{
    if (held.crtc.crtc_id != 0)
        ioctl(held.fd, DRM_IOCTL_MODE_SETCRTC, &held.crtc);
    if (held.map != nullptr)
        munmap(held.map, held.map_len);
    if (held.fb_id != 0)
        ioctl(held.fd, DRM_IOCTL_MODE_RMFB, &held.fb_id);
    if (held.handle != 0) {
        drm_mode_destroy_dumb destroy{.handle = held.handle};
        ioctl(held.fd, DRM_IOCTL_MODE_DESTROY_DUMB, &destroy);
    }
    if (held.master)
        ioctl(held.fd, DRM_IOCTL_DROP_MASTER, nullptr);
}

static void display_release_on_signal(int sig)
{
    if (display_mode == display_release_defer) {
        if (display_deferred == 0)
            display_deferred = sig;
        return;
    }
    if (display_mode == display_release_hold && sig != SIGHUP)
        return; // the wait is cut short
    display_taken held = display_now;
    held.map = nullptr;
    display_undo(held);
    signal(sig, SIG_DFL);
    sigset_t this_signal;
    sigemptyset(&this_signal);
    sigaddset(&this_signal, sig);
    sigprocmask(SIG_UNBLOCK, &this_signal, nullptr);
    raise(sig);
}

void display_release_mode_set(display_release_mode mode)
{
    display_mode = mode;
}

void display_release_take(const display_taken& taken)
{
    display_now = taken;
    display_is_taken = true;
    sigemptyset(&display_signal_set);
    for (int sig : display_signals)
        sigaddset(&display_signal_set, sig);
    struct sigaction action {};
    action.sa_handler = display_release_on_signal;
    action.sa_mask = display_signal_set;
    // A deferred signal lets the calls it interrupts go on; nanosleep, the
    // hold's wait, is never restarted.
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(display_signals); ++i) {
        sigaction(display_signals[i], nullptr, &display_previous[i]);
        if (display_previous[i].sa_handler != SIG_IGN)
            sigaction(display_signals[i], &action, nullptr);
    }
}

int display_release_deferred()
{
    return display_deferred;
}

void display_release_give_back(const display_taken& held)
{
    // Blocked, a signal cannot give the display back a second time meanwhile.
    sigset_t previous_mask;
    sigprocmask(SIG_BLOCK, &display_signal_set, &previous_mask);
    display_undo(held);
    const int deferred = display_deferred;
    if (display_is_taken)
        for (size_t i = 0; i < std::size(display_signals); ++i)
            sigaction(display_signals[i], &display_previous[i], nullptr);
    display_is_taken = false;
    display_mode = display_release_end;
    display_deferred = 0;
    sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
    if (deferred != 0)
        raise(deferred);
}
