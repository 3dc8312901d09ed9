// The one handler that gives a taken display back, on each stop signal, in
// each mode: the programs give the display back and die by the signal; the
// hold's wait is cut short by SIGINT and SIGTERM, the display then given back
// as after a full wait; the description's probe defers the signal until the
// display is given back, then passes it on to the action it had before. A
// framebuffer has nothing to give back; a signal ignored at the start stays
// ignored.
#include "bench_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

namespace {

const std::vector<std::string> drm = {"TEST_FB_SCREEN=100x60x32", "TEST_FB_DRM=1"};
const std::vector<std::string> framebuffer = {"TEST_FB_SCREEN=100x60x32"};
const std::string shown = "setcrtc fb 7, 1 connector(s)";
const std::string mapped = "mmap 24000";
// On a signal that ends the process, the mapping is left to the kernel.
const std::vector<std::string> given_back = {shown, "setcrtc fb 5, 1 connector(s)", "rmfb 7", "destroy dumb 6",
                                             "drop master"};
const std::vector<std::string> released = {shown,    "setcrtc fb 5, 1 connector(s)", "munmap 30720", "rmfb 7",
                                           "destroy dumb 6", "drop master"};
std::vector<std::string> closed(std::vector<std::string> log)
{
    log.push_back("close");
    return log;
}

TEST(DisplayRelease, EachSignalGivesTheDisplayBackAsTheModeSays)
{
    const struct {
        const char* name;
        std::vector<std::string> words; // the child's
        const std::vector<std::string>& env;
        std::vector<int> signals; // sent once the child waits
        int status;
        std::string out;
        std::vector<std::string> log_tail; // from the display taken on, without the clock readings
    } cases[] = {
        {"EndInt", {}, drm, {SIGINT}, 128 + SIGINT, "", given_back},
        {"EndTerm", {}, drm, {SIGTERM}, 128 + SIGTERM, "", given_back},
        {"EndHup", {}, drm, {SIGHUP}, 128 + SIGHUP, "", given_back},
        {"HoldInt", {"hold"}, drm, {SIGINT}, 0, "deferred 0\nnoted 0\n", closed(released)},
        {"HoldTerm", {"hold"}, drm, {SIGTERM}, 0, "deferred 0\nnoted 0\n", closed(released)},
        {"HoldHup", {"hold"}, drm, {SIGHUP}, 128 + SIGHUP, "", given_back},
        {"DeferInt", {"defer", "note"}, drm, {SIGINT}, 0, "deferred 2\nnoted 2\n", closed(released)},
        {"DeferTerm", {"defer", "note"}, drm, {SIGTERM}, 0, "deferred 15\nnoted 15\n", closed(released)},
        {"DeferHup", {"defer", "note"}, drm, {SIGHUP}, 0, "deferred 1\nnoted 1\n", closed(released)},
        // No handler before: the signal ends the child once the display is back.
        {"DeferToDefault", {"defer"}, drm, {SIGTERM}, 128 + SIGTERM, "deferred 15\n", released},
        {"IgnoredStaysIgnored", {"ignore"}, drm, {SIGINT, SIGTERM}, 128 + SIGTERM, "", given_back},
        {"FramebufferEnd", {}, framebuffer, {SIGTERM}, 128 + SIGTERM, "", {mapped}},
        {"FramebufferHoldInt", {"hold"}, framebuffer, {SIGINT}, 0, "deferred 0\nnoted 0\n",
         {mapped, "munmap 24000", "close"}},
        {"FramebufferHoldHup", {"hold"}, framebuffer, {SIGHUP}, 128 + SIGHUP, "", {mapped}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> command = {DISPLAY_RELEASE_CHILD};
        command.insert(command.end(), c.words.begin(), c.words.end());
        bool waiting = false;
        const bench_result result = bench_run_command(command, c.env, nullptr, -1, [&](pid_t pid) {
            waiting = bench_sleep_wait(pid);
            for (int sig : c.signals)
                kill(pid, waiting ? sig : SIGKILL);
        });
        ASSERT_TRUE(waiting) << "the child never waited: " << testing::PrintToString(result.log);
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_EQ(result.out, c.out);
        std::vector<std::string> tail(std::find(result.log.begin(), result.log.end(), c.log_tail.front()),
                                      result.log.end());
        if (!tail.empty() && tail.back().starts_with("gettimeofday "))
            tail.pop_back();
        EXPECT_EQ(tail, c.log_tail);
    }
}

} // namespace
