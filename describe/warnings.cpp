#include "warnings.h"

#include <cstdio>
#include <cstdlib>
#include <sys/ioctl.h>
#include <unistd.h>

void run_warning_add(std::vector<run_warning>& warnings, std::string kind, std::string message)
{
    // Only a terminal's lines are broken: a log keeps one line a warning.
    const int columns = isatty(STDERR_FILENO) ? terminal_columns(STDERR_FILENO) : 0;
    std::fputs(text_wrap("fbbench: warning: " + message, columns, 2).c_str(), stderr);
    warnings.push_back({std::move(kind), std::move(message)});
}

int terminal_columns(int fd)
{
    winsize size{};
    if (isatty(fd) && ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    if (const char* text = std::getenv("COLUMNS")) {
        char* end = nullptr;
        const long n = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && n > 0 && n < 10000)
            return int(n);
    }
    // A serial console, as on most boards, is a terminal that does not know
    // its width: take a terminal's classic 80 columns, not an unlimited line.
    return isatty(fd) ? 80 : 0;
}

namespace {

// Characters shown, counting UTF-8 sequences once.
int shown_width(const std::string& text)
{
    int n = 0;
    for (unsigned char c : text)
        n += (c & 0xc0) != 0x80;
    return n;
}

} // namespace

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
        if (line.find_first_not_of(' ') != std::string::npos && shown_width(line) + 1 + shown_width(word) > columns) {
            wrapped += line + "\n";
            line = std::string(std::size_t(indent), ' ');
        }
        if (!word.empty())
            line += (line.empty() || line.back() == ' ' ? "" : " ") + word;
    }
    return wrapped + line + "\n";
}
