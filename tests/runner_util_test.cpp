// The shared helpers: text (width as shown, lines broken at blanks, lists in
// words) and descriptors' owner.
#include "text.h"
#include "unique_fd.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
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
