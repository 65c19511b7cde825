// Helpers the text-conversion units share; not part of the library's face.
#pragma once

#include <iconv.h>

#include <string>
#include <string_view>

class TNMUUProcessor;

namespace charset_detail {

// One glibc iconv conversion, opened for the lifetime of a call.
class Iconv {
public:
    Iconv(const char* to, const char* from);
    ~Iconv() { iconv_close(cd_); }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    // Converts all of in into out. On a sequence it cannot convert (or one cut
    // at the end) it returns false with bad set to that sequence's offset.
    bool Convert(std::string_view in, std::string& out, size_t& bad);
    bool Convert(std::string_view in, std::string& out)
    {
        size_t bad = 0;
        return Convert(in, out, bad);
    }

private:
    iconv_t cd_;
};

// Decodes the UTF-8 sequence at text[i]; returns its length, 0 if invalid.
size_t Utf8Sequence(std::string_view text, size_t i, char32_t& cp);

// "😀 (U+1F600)"; controls are named by their number only.
std::string NameChar(std::string_view utf8, char32_t cp);

// "=?" Label "?B?" Base64 "?=" for Bytes, Base64-encoded with Encoder.
std::string EncodedWord(TNMUUProcessor& encoder, const std::string& bytes, const char* label);

// Base64 of 45 bytes is 60 characters, one encoder line.
constexpr size_t kBase64LineBytes = 45;

}  // namespace charset_detail
