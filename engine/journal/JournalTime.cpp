#include "engine/journal/JournalTime.h"

#include <cstdio>

#include "rtl/Exception.h"

std::string JournalTime(std::time_t When)
{
    std::tm t{};
    localtime_r(&When, &t);
    return Format("%04d/%02d/%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                  t.tm_sec);
}

std::optional<std::time_t> ParseJournalTime(std::string_view Text)
{
    const std::string text(Text);
    std::tm t{};
    int used = 0;
    // Excel, saving the file back, drops the seconds and the leading zeros.
    if (std::sscanf(text.c_str(), "%4d/%2d/%2d %2d:%2d%n", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                    &t.tm_min, &used) == 5) {
        int more = 0;
        if (text[static_cast<size_t>(used)] == ':' &&
            std::sscanf(text.c_str() + used, ":%2d%n", &t.tm_sec, &more) == 1)
            used += more;
        if (static_cast<size_t>(used) != text.size())
            return std::nullopt;
        t.tm_year -= 1900;
        t.tm_mon -= 1;
        t.tm_isdst = -1;
        const std::time_t when = std::mktime(&t);
        return when == -1 ? std::nullopt : std::optional(when);
    }
    char sign = 0;
    int offsetHours = 0, offsetMinutes = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%2d:%2d%n", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &t.tm_sec, &sign, &offsetHours, &offsetMinutes, &used) != 9 ||
        static_cast<size_t>(used) != text.size() || (sign != '+' && sign != '-'))
        return std::nullopt;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    const long offset = (offsetHours * 60L + offsetMinutes) * 60 * (sign == '-' ? -1 : 1);
    return timegm(&t) - offset;
}

std::string RunStem(std::time_t Start)
{
    std::tm t{};
    localtime_r(&Start, &t);
    return Format("%04d%02d%02d-%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                  t.tm_sec);
}
