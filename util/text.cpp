// Text as a terminal shows it: width, lines broken at blanks, and lists in words.
#include "text.h"

#include <algorithm>

int text_shown_width(const std::string& text)
{
    int n = 0;
    for (unsigned char c : text)
        n += (c & 0xc0) != 0x80;
    return n;
}

std::string text_wrap(const std::string& text, int columns, int indent)
{
    if (columns <= indent + 10)
        return text + "\n";
    // The text's own indent is kept on its first line.
    std::size_t at = std::min(text.find_first_not_of(' '), text.size());
    std::string wrapped, line = text.substr(0, at);
    while (at < text.size()) {
        std::size_t end = text.find(' ', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string word = text.substr(at, end - at);
        at = end + 1;
        if (line.find_first_not_of(' ') != std::string::npos && text_shown_width(line) + 1 + text_shown_width(word) > columns) {
            wrapped += line + "\n";
            line = std::string(std::size_t(indent), ' ');
        }
        if (!word.empty())
            line += (line.empty() || line.back() == ' ' ? "" : " ") + word;
    }
    return wrapped + line + "\n";
}

std::string text_list_join(const std::vector<std::string>& items, const char* last)
{
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i)
        text += (i == 0 ? "" : i + 1 == items.size() ? last : ", ") + items[i];
    return text;
}
