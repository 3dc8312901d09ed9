// The shared helpers: text (width as shown, lines broken at blanks, lists in
// words), processes' stat lines and proc files, and descriptors' owner.
#include "procfs.h"
#include "text.h"
#include "unique_fd.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

TEST(Text, ShownWidthCountsEachUtf8SequenceOnce)
{
    const struct {
        const char* text;
        int width;
    } cases[] = {{"", 0}, {"abc", 3}, {"0.24~ \u2013", 7}, {"\u00b5s", 2}, {"\xf0\x9f\x98\x80", 1}};
    for (const auto& c : cases)
        EXPECT_EQ(text_shown_width(c.text), c.width) << c.text;
}

TEST(Text, WrapBreaksAtBlanksAndIndents)
{
    const struct {
        const char* text;
        int columns, indent;
        const char* wrapped;
    } cases[] = {
        {"one two three", 0, 2, "one two three\n"}, // no limit
        {"one two three", 9, 2, "one two three\n"}, // too narrow to break: kept whole
        {"fbbench: one two three four five six", 20, 2, "fbbench: one two\n  three four five\n  six\n"},
        {"  kept indent and more words", 16, 4, "  kept indent\n    and more\n    words\n"},
        // Dashes are one column each, not three bytes.
        {"a \u2013 b \u2013 c \u2013 d \u2013 e", 12, 0, "a \u2013 b \u2013 c \u2013\nd \u2013 e\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text_wrap(c.text, c.columns, c.indent), c.wrapped) << c.text;
}

TEST(Text, ListJoinSaysTheLastApart)
{
    const struct {
        std::vector<std::string> items;
        const char* last;
        const char* joined;
    } cases[] = {
        {{}, " and ", ""},
        {{"a"}, " and ", "a"},
        {{"a", "b"}, " and ", "a and b"},
        {{"a", "b", "c"}, " and ", "a, b and c"},
        {{"a", "b", "c"}, " or ", "a, b or c"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text_list_join(c.items, c.last), c.joined);
}

// A stat line's fields follow the name's last ')', whatever the name holds;
// a line cut short, or a field that is no number, gives nothing.
TEST(Procfs, StatFieldsFollowTheLastParenthesis)
{
    const struct {
        const char* line;
        std::optional<procfs_stat> fields;
    } cases[] = {
        {"1234 (bash) S 1200 1234 1234 34816 1300 4194560 500 0 0 0 12 34 0 0 20 0 1 0 100 0 0\n",
         procfs_stat{'S', 1200, 1234, 1234, 4194560, 12, 34}},
        // A kernel thread: no terminal, tpgid -1.
        {"41 (kworker/0:2-events) I 2 0 0 0 -1 69238880 0 0 0 0 7 35 0 0 20 0 1 0 90 0 0",
         procfs_stat{'I', 2, 0, 0, 69238880, 7, 35}},
        {"77 (a (b) c) Z 1 77 77 0 -1 4194560 120 0 0 0 100 23 0 0 20 0 1 0 300 0 0",
         procfs_stat{'Z', 1, 77, 77, 4194560, 100, 23}},
        // A name that reads as fields, and one across two lines.
        {"99 (x) R 1 2 3 4 5 6 7 8 9 10 11 12) S 10 99 98 0 -1 64 0 0 0 0 5 6", procfs_stat{'S', 10, 99, 98, 64, 5, 6}},
        {"5 (two\nlines) D 1 5 5 0 -1 0 0 0 0 0 1 2", procfs_stat{'D', 1, 5, 5, 0, 1, 2}},
        {"9 (ksoftirqd/0) S 2 0 0 0 -1 69238848 0 0 0 0 0", std::nullopt}, // stime cut off
        {"9 (ksoftirqd/0", std::nullopt},
        {"9 ksoftirqd S 2 0 0 0 -1 69238848 0 0 0 0 0 0", std::nullopt},
        {"", std::nullopt},
        {"1 (x) S one 1 1 0 -1 0 0 0 0 0 1 2", std::nullopt},
        {"1 (x) S 1 1 1 0 -1 -64 0 0 0 0 1 2", std::nullopt},
        {"1 (x) S 1 1 1 0 -1 64 0 0 0 0 1 2x", std::nullopt},
        {"1 (x) SR 1 1 1 0 -1 64 0 0 0 0 1 2", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(procfs_stat_parse(c.line), c.fields) << c.line;
}

// This process as the kernel tells of it, and a file longer than one read.
TEST(Procfs, ReadsThisProcessAndWholeFiles)
{
    // A child, not this process: a user-mode emulator answers for its own
    // /proc/self/stat with most fields 0, as it does for no other process.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        pause();
        _exit(0);
    }
    const std::optional<procfs_stat> seen = procfs_stat_read(child);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(seen.has_value());
    EXPECT_NE(std::string("RS").find(seen->state), std::string::npos) << seen->state;
    EXPECT_EQ(seen->ppid, getpid());
    EXPECT_EQ(seen->pgrp, getpgrp());
    EXPECT_EQ(seen->session, getsid(0));

    std::string name = (std::filesystem::temp_directory_path() / "runner_util_test-XXXXXX").string();
    const unique_fd fd(mkstemp(name.data()));
    ASSERT_GE(fd.get(), 0);
    std::string text(10000, 'x');
    text.back() = '\n';
    ASSERT_EQ(write(fd.get(), text.data(), text.size()), ssize_t(text.size()));
    EXPECT_EQ(procfs_file_read(name), text);
    unlink(name.c_str());
    EXPECT_EQ(procfs_file_read(name), "");
}

// An owner closes its descriptor once: when it goes or takes another, not
// once it has been released or moved away; errno stays the caller's.
TEST(UniqueFd, ClosesWhatItHoldsOnce)
{
    const auto is_open = [](int fd) { return fcntl(fd, F_GETFD) != -1; };
    const int first = open("/dev/null", O_RDONLY | O_CLOEXEC), second = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    {
        unique_fd a(first);
        unique_fd b = std::move(a);
        EXPECT_EQ(a.get(), -1);
        EXPECT_EQ(b.get(), first);
        a = std::move(b);
        EXPECT_EQ(a.get(), first);
        EXPECT_TRUE(is_open(first));
        a.reset(second);
        EXPECT_FALSE(is_open(first));
        EXPECT_EQ(a.get(), second);
    }
    EXPECT_FALSE(is_open(second));

    const int kept = open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(unique_fd(kept).release(), kept);
    EXPECT_TRUE(is_open(kept));
    unique_fd stale(kept);
    close(kept);
    errno = ENOENT;
    stale.reset();
    EXPECT_EQ(errno, ENOENT) << "the failed close's EBADF is not seen";
    EXPECT_EQ(stale.get(), -1);
}
