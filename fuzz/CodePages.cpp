// The code-page converters on any bytes: each either converts or raises
// ECodePageError. Text converted to CP932 and back is the same text unless
// it used one of the JIS-standard stand-ins (CP932 bytes need not be: some
// characters have two codes), ISO-2022-JP output is 7-bit and ends in ASCII
// mode, encoded words fit their header lines, and every text file reads as
// lines of UTF-8.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "charset/CodePage.h"
#include "codec/NMUUE.h"
#include "rtl/StringList.h"

namespace {

// U+301C, U+2016, U+2212, U+00A2, U+00A3, U+00AC and U+2014, which become
// CP932's own code points.
bool HasStandIn(const std::string& Utf8)
{
    for (const char* c : {"\xE3\x80\x9C", "\xE2\x80\x96", "\xE2\x88\x92", "\xC2\xA2", "\xC2\xA3", "\xC2\xAC",
                          "\xE2\x80\x94"}) {
        if (Utf8.find(c) != std::string::npos)
            return true;
    }
    return false;
}

void CheckIso2022Jp(const std::string& Text)
{
    for (char c : Text) {
        if (static_cast<unsigned char>(c) > 0x7F)
            std::abort();
    }
    // Anything but ASCII mode at the end would garble what follows.
    const size_t esc = Text.rfind('\x1B');
    if (esc != std::string::npos && Text.compare(esc, 3, "\x1B(B") != 0)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string input(reinterpret_cast<const char*>(Data), Size);
    IsValidUtf8(input);
    try {
        const std::string sjis = Utf8ToCp932(input);
        const std::string back = Cp932ToUtf8(sjis);
        if (back != input && !HasStandIn(input))
            std::abort();
    } catch (const ECodePageError&) {
    }
    try {
        const std::string utf8 = Cp932ToUtf8(input);
        if (!IsValidUtf8(utf8))
            std::abort();
        std::string again;
        try {
            again = Cp932ToUtf8(Utf8ToCp932(utf8));
        } catch (const ECodePageError&) {
            again = utf8;  // defined in CP932 but not mailable: refused, fine
        }
        if (again != utf8)
            std::abort();
    } catch (const ECodePageError&) {
    }
    try {
        CheckIso2022Jp(SjisToIso2022Jp(input));
        CheckIso2022Jp(BodyLineToIso2022Jp(input));
        TNMUUProcessor encoder(nullptr);
        const std::string subject = EncodeSubject(encoder, input);
        for (char c : subject) {
            if (static_cast<unsigned char>(c) > 0x7F)
                std::abort();
        }
        // "Subject: " and the first word, then " " and each later one.
        for (size_t start = 0, limit = 67; start < subject.size(); limit = 75) {
            const size_t end = std::min(subject.find("\r\n ", start), subject.size());
            if (end - start > limit)
                std::abort();
            start = end + 3;
        }
        EncodeHeaderText(encoder, input);
    } catch (const ECodePageError&) {
    }
    TStringList lines;
    lines.SetText(input);
    try {
        LinesToUtf8(lines);
    } catch (const ECodePageError&) {
    }
    try {
        TextFileLines(input, lines);
        for (const std::string& line : lines.Lines()) {
            if (!IsValidUtf8(line))
                std::abort();
        }
    } catch (const ECodePageError&) {
    }
    return 0;
}
