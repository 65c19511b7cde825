#include "charset/MailCharset.h"

#include <algorithm>

#include "charset/CodePage.h"
#include "charset/CodePage_p.h"
#include "codec/NMUUE.h"

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

std::string EncodeUtf8Words(TNMUUProcessor& Encoder, std::string_view Utf8, size_t WordChars)
{
    const size_t limit = WordBytes(WordChars, 5);  // "UTF-8"
    std::string value;
    char32_t cp = 0;
    for (size_t start = 0; start < Utf8.size();) {
        size_t end = start;
        while (end < Utf8.size()) {
            const size_t len = std::max<size_t>(Utf8Sequence(Utf8, end, cp), 1);
            if (end > start && end + len - start > limit)
                break;
            end += len;
        }
        value.append(value.empty() ? "" : " ")
            .append(EncodedWord(Encoder, std::string(Utf8.substr(start, end - start)), "UTF-8"));
        start = end;
    }
    return value;
}

bool IsPlainHeaderText(std::string_view Text)
{
    size_t word = 0;
    for (char c : Text) {
        const auto b = static_cast<unsigned char>(c);
        if ((b < 0x20 && b != '\t') || b >= 0x7F)
            return false;
        word = b == ' ' || b == '\t' ? 0 : word + 1;
        if (word > MaxPlainWord)
            return false;
    }
    return Text.find("=?") == std::string_view::npos;
}

std::string IsoParameterWords(std::string_view Utf8Name)
{
    constexpr size_t kParameterWordChars = 64;
    if (IsPlainHeaderText(Utf8Name) || !IsStrictJis(Utf8Name))
        return {};
    TNMUUProcessor encoder(nullptr);
    return EncodeIsoWords(encoder, Utf8ToCp932(Utf8Name), kParameterWordChars);
}

std::string TextCharset(std::string_view Bytes)
{
    if (Bytes.starts_with("\xEF\xBB\xBF"))
        return "UTF-8";
    if (Bytes.starts_with("\xFF\xFE") || Bytes.starts_with("\xFE\xFF"))
        return "UTF-16";
    if (IsAscii(Bytes))
        return "us-ascii";
    // A sequence cut by the end of what was read is no evidence either way.
    size_t whole = Bytes.size();
    for (size_t back = 1; back <= 3 && back <= Bytes.size(); ++back) {
        const auto b = static_cast<unsigned char>(Bytes[Bytes.size() - back]);
        if (b >= 0xC0) {
            whole = Bytes.size() - back;
            break;
        }
        if (b < 0x80)
            break;
    }
    if (IsValidUtf8(Bytes.substr(0, whole)))
        return "UTF-8";
    // CP932 pairs are two bytes: a cut pair at the end is one byte.
    for (std::string_view text : {Bytes, Bytes.substr(0, Bytes.size() - 1)}) {
        try {
            Cp932ToUtf8(text);
            return "Shift_JIS";
        } catch (const ECodePageError&) {
        }
    }
    return {};
}

std::string EncodeUtf8HeaderText(TNMUUProcessor& Encoder, std::string_view Utf8)
{
    if (IsAscii(Utf8))
        return std::string(Utf8);
    return EncodeUtf8Subject(Encoder, Utf8);
}
