// Small text helpers of the runtime base.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Decimal integer with optional surrounding blanks and sign; anything else
// (the empty text included) raises EConvertError "'%s' は整数ではありません".
int32_t StrToInt(const std::string& text);
std::string IntToStr(long long value);

// Which characters count as blanks around a text.
enum class TBlanks {
    SpacesAndLineEnds,  // space, tab, CR, LF: a setting's value, a number
    Spaces,             // space, tab: a list entry or cell, where a stray line end must stay visible
    SpacesAndFullWidth  // space, tab, U+3000: what a Japanese keyboard puts around a typed name
};
std::string Trim(std::string_view text, TBlanks blanks = TBlanks::SpacesAndLineEnds);
// Text without the CR and LF at its end (a reply line, an exception's text).
std::string WithoutLineEnd(std::string text);
std::string UpperCase(const std::string& text);  // ASCII letters only
std::string LowerCase(const std::string& text);  // ASCII letters only

// Case-insensitive comparison (<0, 0, >0). Only ASCII letters are folded:
// bytes of multibyte characters compare as they stand.
int CompareText(const std::string& a, const std::string& b);
bool SameText(const std::string& a, const std::string& b);

// Milliseconds of a monotonic clock, for waits and time-outs.
int64_t TickCount();
