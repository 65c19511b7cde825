#include "engine/journal/JournalEscape.h"

#include "rtl/Exception.h"

namespace journal_detail {

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    throw EBadSideFile();
}

}  // namespace

std::string Escape(std::string_view s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c < 0x20 || c == 0x7F)
            out += Format("\\x%02X", c);
        else
            out += static_cast<char>(c);
    }
    return out;
}

std::string Unescape(std::string_view s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        if (c == 'n')
            out += '\n';
        else if (c == 'r')
            out += '\r';
        else if (c == 'x') {
            if (i + 2 >= s.size())
                throw EBadSideFile();
            out += static_cast<char>(HexDigit(s[i + 1]) * 16 + HexDigit(s[i + 2]));
            i += 2;
        } else
            out += c;
    }
    return out;
}

}  // namespace journal_detail
