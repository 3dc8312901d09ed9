// Counts, seconds and statuses read from options and the environment: decimal
// digits only, with no sign, blank or base prefix, within the type's range.
#pragma once

#include <charconv>
#include <string_view>
#include <system_error>

template <typename T>
bool digits_parse(std::string_view text, T& value)
{
    if (text.empty() || text.front() < '0' || text.front() > '9')
        return false;
    T parsed{};
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, parsed);
    if (error != std::errc() || stop != end)
        return false;
    value = parsed;
    return true;
}
