// The shared text helpers: width as shown, lines broken at blanks, lists in words.
#include "text.h"

#include <gtest/gtest.h>

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
