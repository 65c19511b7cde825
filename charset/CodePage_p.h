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

// RFC 2047 allows an encoded word 75 characters, and a header line holding
// one 76. The first word of a header stands after its field name, at most
// "Subject: ", so it is shorter; every later word has a line of its own.
constexpr size_t kMaxWordChars = 75;
constexpr size_t kFirstWordChars = 76 - 9;

// The bytes a word of at most Chars characters carries: "=?" Label "?B?"
// and "?=" around the Base64, 4 characters for every 3 bytes. Every such
// count is one encoder line (45 bytes at most).
constexpr size_t WordBytes(size_t chars, size_t labelLength) { return (chars - labelLength - 7) / 4 * 3; }

}  // namespace charset_detail
