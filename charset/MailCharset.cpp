#include "charset/MailCharset.h"

#include <algorithm>

#include "charset/CodePage.h"
#include "charset/CodePage_p.h"

using namespace charset_detail;

namespace {

bool IsShiftCode(unsigned char c) { return c == 0x1B || c == 0x0E || c == 0x0F; }

}  // namespace

void CheckMailable(std::string_view Utf8)
{
    char32_t cp = 0;
    for (size_t i = 0; i < Utf8.size();) {
        const size_t len = Utf8Sequence(Utf8, i, cp);
        if (len == 0)
            throw ECodePageError("壊れた文字があります (文字の片割れなど、どの文字コードでも送れないもの)");
        if (cp == 0)
            throw ECodePageError("送れない制御文字 NUL (文字番号 0) があります");
        i += len;
    }
}

bool IsStrictJis(std::string_view Utf8)
{
    std::string sjis;
    try {
        sjis = Utf8ToCp932(Utf8);
    } catch (const ECodePageError&) {
        return false;
    }
    for (size_t i = 0; i < sjis.size(); ++i) {
        const auto c = static_cast<unsigned char>(sjis[i]);
        if (IsShiftCode(c))
            return false;
        // Every other byte above A0 but the half-width katakana leads a pair.
        if (c >= 0x80 && !(c >= 0xA1 && c <= 0xDF))
            ++i;
    }
    return true;
}

TMailCharset MessageCharset(TMailCharset Choice, std::initializer_list<std::string_view> Texts)
{
    if (Choice != mcAuto)
        return Choice;
    for (std::string_view text : Texts)
        if (!IsStrictJis(text))
            return mcUtf8;
    return mcIso2022Jp;
}

const char* CharsetLabel(TMailCharset Charset) { return Charset == mcUtf8 ? "UTF-8" : "iso-2022-jp"; }

std::string EncodeUtf8Subject(TNMUUProcessor& Encoder, std::string_view Utf8)
{
    // 39 bytes in the first word, 45 in every later one.
    constexpr size_t kLabelLength = 5;  // "UTF-8"
    std::string value;
    char32_t cp = 0;
    for (size_t start = 0; start < Utf8.size();) {
        const size_t limit = WordBytes(value.empty() ? kFirstWordChars : kMaxWordChars, kLabelLength);
        size_t end = start;
        while (end < Utf8.size()) {
            const size_t len = std::max<size_t>(Utf8Sequence(Utf8, end, cp), 1);
            if (end + len - start > limit)
                break;
            end += len;
        }
        if (!value.empty())
            value += "\r\n ";  // folding white space between words
        value += EncodedWord(Encoder, std::string(Utf8.substr(start, end - start)), "UTF-8");
        start = end;
    }
    return value;
}

std::string EncodeUtf8HeaderText(TNMUUProcessor& Encoder, std::string_view Utf8)
{
    if (IsAscii(Utf8))
        return std::string(Utf8);
    return EncodeUtf8Subject(Encoder, Utf8);
}
