#include "rtl/SysUtils.h"

#include <chrono>
#include <climits>

#include "rtl/Exception.h"

namespace {
char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
}  // namespace

int32_t StrToInt(const std::string& text)
{
    const std::string t = Trim(text);
    size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
        negative = t[i] == '-';
        ++i;
    }
    if (i == t.size())
        throw EConvertError::NotAnInteger(text);
    long long value = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9')
            throw EConvertError::NotAnInteger(text);
        value = value * 10 + (t[i] - '0');
        if (value > static_cast<long long>(INT32_MAX) + 1)
            throw EConvertError::NotAnInteger(text);
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX || value < INT32_MIN)
        throw EConvertError::NotAnInteger(text);
    return static_cast<int32_t>(value);
}

std::string IntToStr(long long value) { return std::to_string(value); }

std::string WithoutLineEnd(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

std::string Trim(std::string_view text, TBlanks blanks)
{
    const std::string_view single = blanks == TBlanks::SpacesAndLineEnds ? " \t\r\n" : " \t";
    const std::string_view wide = blanks == TBlanks::SpacesAndFullWidth ? "\xe3\x80\x80" : "";
    for (;;) {
        if (!text.empty() && single.find(text.front()) != std::string_view::npos)
            text.remove_prefix(1);
        else if (!wide.empty() && text.starts_with(wide))
            text.remove_prefix(wide.size());
        else
            break;
    }
    for (;;) {
        if (!text.empty() && single.find(text.back()) != std::string_view::npos)
            text.remove_suffix(1);
        else if (!wide.empty() && text.ends_with(wide))
            text.remove_suffix(wide.size());
        else
            break;
    }
    return std::string(text);
}

std::string UpperCase(const std::string& text)
{
    std::string out(text);
    for (char& c : out)
        c = Upper(c);
    return out;
}

std::string LowerCase(const std::string& text)
{
    std::string out(text);
    for (char& c : out)
        c = Lower(c);
    return out;
}

int CompareText(const std::string& a, const std::string& b)
{
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const unsigned char x = static_cast<unsigned char>(Upper(a[i]));
        const unsigned char y = static_cast<unsigned char>(Upper(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool SameText(const std::string& a, const std::string& b) { return CompareText(a, b) == 0; }

int64_t TickCount()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
