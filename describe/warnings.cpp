#include "warnings.h"

#include "text.h"

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
