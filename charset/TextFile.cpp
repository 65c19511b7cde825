// Which code page a text file is in. A Shift_JIS text of half-width
// katakana can be valid UTF-8 by chance (ﾃｽ, C3 BD, reads as "ý"), so a file
// counts as UTF-8 only when every character it decodes to is one a Japanese
// text holds: one CP932 has, or one a UTF-8 file typically adds to those
// (kanji beyond CP932, Hangul, emoji, symbols, and the accented letters of
// European names as long as they stand in a word that half-width katakana
// cannot have given).
#include <algorithm>
#include <iterator>

#include "charset/CodePage.h"
#include "charset/CodePage_p.h"
#include "rtl/StringList.h"
#include "rtl/Streams.h"

using namespace charset_detail;

namespace {

struct Range {
    char32_t first;
    char32_t last;
};

// Characters a Japanese UTF-8 file plausibly holds beyond CP932.
constexpr Range kPlausible[] = {
    {0x00A2, 0x00A3}, {0x00A5, 0x00A5}, {0x00AC, 0x00AC},  // ¢ £ ¥ ¬
    {0x2000, 0x2BFF},    // punctuation, arrows, mathematical and technical signs, shapes, dingbats
    {0x2E80, 0x2FDF},    // CJK radicals
    {0x3000, 0x4DBF},    // CJK symbols, kana, enclosed and compatibility forms, extension A
    {0x4E00, 0x9FFF},    // CJK ideographs
    {0xAC00, 0xD7A3},    // Hangul syllables
    {0xF900, 0xFAFF},    // CJK compatibility ideographs
    {0xFE00, 0xFE0F},    // variation selectors
    {0xFE30, 0xFE4F},    // CJK compatibility forms
    {0xFEFF, 0xFEFF},    // byte order mark
    {0xFF00, 0xFFEF},    // full-width and half-width forms
    {0x1F000, 0x1FAFF},  // emoji
    {0x20000, 0x3FFFF},  // CJK ideographs, extensions B onwards
    {0xE0100, 0xE01EF},  // ideographic variation selectors
};

// Letters of the Latin, Greek and Cyrillic scripts, with their combining accents.
constexpr Range kEuropeanLetters[] = {
    {0x00C0, 0x00D6}, {0x00D8, 0x00F6}, {0x00F8, 0x024F},  // Latin-1 letters, Latin Extended-A and -B
    {0x0300, 0x036F},                                      // combining accents
    {0x0370, 0x03FF},                                      // Greek
    {0x0400, 0x052F},                                      // Cyrillic
    {0x1E00, 0x1EFF},                                      // Latin Extended Additional
};

bool InRanges(char32_t cp, const Range* first, const Range* last)
{
    return std::any_of(first, last, [cp](const Range& r) { return cp >= r.first && cp <= r.last; });
}

bool IsAsciiLetter(char32_t cp) { return (cp >= 'A' && cp <= 'Z') || (cp >= 'a' && cp <= 'z'); }

class Plausibility {
public:
    // An accented letter whose UTF-8 bytes are two half-width katakana on
    // their own (ö is C3 B6, ﾃｶ) is trusted only in a word that also holds a
    // letter those bytes cannot be: an ASCII letter ("Jörg") or a letter
    // that is no such pair ("Łó" in "Łódź"). "ý" alone stays ﾃｽ.
    bool Holds(std::string_view line)
    {
        char32_t cp = 0;
        bool anchored = false;  // the current word holds a letter no katakana gave
        bool doubtful = false;  // ... a letter katakana would give, and CP932 lacks
        for (size_t i = 0; i < line.size();) {
            const size_t len = Utf8Sequence(line, i, cp);
            if (len == 0)
                return false;
            const std::string_view ch = line.substr(i, len);
            i += len;
            if (IsAsciiLetter(cp)) {
                anchored = true;
            } else if (InRanges(cp, std::begin(kEuropeanLetters), std::end(kEuropeanLetters))) {
                if (!dec_.Convert(ch, back_))
                    anchored = true;
                else if (!Plausible(ch, cp))
                    doubtful = true;
            } else {
                if (doubtful && !anchored)
                    return false;
                anchored = doubtful = false;
                if (!Plausible(ch, cp))
                    return false;
            }
        }
        return anchored || !doubtful;
    }

private:
    bool Plausible(std::string_view ch, char32_t cp)
    {
        if (cp < 0x80 || InRanges(cp, std::begin(kPlausible), std::end(kPlausible)))
            return true;
        // CP932 has it when it comes back unchanged.
        return enc_.Convert(ch, bytes_) && !bytes_.empty() && dec_.Convert(bytes_, back_) && back_ == ch;
    }

    Iconv enc_{"CP932", "UTF-8"};
    Iconv dec_{"UTF-8", "CP932"};
    std::string bytes_;
    std::string back_;
};

bool AllCp932(const TStringList& lines)
{
    Iconv dec("UTF-8", "CP932");
    std::string out;
    return std::all_of(lines.Lines().begin(), lines.Lines().end(),
                       [&](const std::string& line) { return dec.Convert(line, out); });
}

}  // namespace

void RefuseMixedLines(const TStringList& Lines)
{
    Plausibility plausible;
    int utf8 = 0;
    int cp932 = 0;
    for (int i = 0; i < Lines.Count() && !(utf8 && cp932); ++i) {
        const std::string& line = Lines[i];
        if (IsAscii(line))
            continue;
        if (!IsValidUtf8(line))
            cp932 = cp932 ? cp932 : i + 1;
        else if (plausible.Holds(line))
            utf8 = utf8 ? utf8 : i + 1;
    }
    // Read whole in either code page, the other's lines would come out
    // garbled, or be refused for a reason that is not theirs.
    if (utf8 && cp932)
        throw ECodePageError(Format("UTF-8 と Shift_JIS の行が混じっています（%d 行目は UTF-8、%d 行目は Shift_JIS）。"
                                    "どちらか一方の文字コードで保存し直してください",
                                    utf8, cp932));
}

bool LinesToUtf8(TStringList& Lines)
{
    const auto& lines = Lines.Lines();
    if (std::all_of(lines.begin(), lines.end(), [](const std::string& line) { return IsAscii(line); }))
        return false;
    if (std::all_of(lines.begin(), lines.end(), [](const std::string& line) { return IsValidUtf8(line); })) {
        Plausibility plausible;
        // Valid UTF-8 that is no CP932 text either stays UTF-8.
        if (std::all_of(lines.begin(), lines.end(), [&](const std::string& line) { return plausible.Holds(line); })
            || !AllCp932(Lines))
            return false;
    }
    for (int i = 0; i < Lines.Count(); ++i) {
        try {
            Lines.Put(i, Cp932ToUtf8(Lines[i]));
        } catch (ECodePageError& e) {
            e.SetMessage(Format("%d 行目: ", i + 1) + e.Message());
            throw;
        }
    }
    return true;
}

namespace {

constexpr char kUtf16LeMark[] = "\xff\xfe";
constexpr char kUtf16BeMark[] = "\xfe\xff";
constexpr char kUtf8Mark[] = "\xef\xbb\xbf";

// A zero byte would end the text wherever a C string carries it, and no
// message may hold one: a file with it is refused at its line, never cut.
void RefuseZeroBytes(const TStringList& Lines)
{
    for (int i = 0; i < Lines.Count(); ++i)
        if (Lines[i].find('\0') != std::string::npos)
            throw ECodePageError(Format("%d 行目: NUL 文字 (0x00) があります", i + 1));
}

}  // namespace

void CheckUtf8Lines(const TStringList& Lines)
{
    for (int i = 0; i < Lines.Count(); ++i)
        if (!IsValidUtf8(Lines[i]))
            throw ECodePageError(Format("%d 行目: UTF-8 の印 (BOM) があるのに UTF-8 として正しくないバイトがあります",
                                        i + 1));
}

std::string TextFileLines(std::string_view Bytes, TStringList& Lines)
{
    const bool le = Bytes.substr(0, 2) == kUtf16LeMark;
    if (!le && Bytes.substr(0, 2) != kUtf16BeMark) {
        TStringStream stream{std::string(Bytes)};
        Lines.LoadFromStream(stream);
        RefuseZeroBytes(Lines);
        // The mark was written by an editor that saved UTF-8: it settles
        // what a guess from the characters could get wrong.
        if (Bytes.starts_with(kUtf8Mark)) {
            CheckUtf8Lines(Lines);
        } else {
            RefuseMixedLines(Lines);
            LinesToUtf8(Lines);
        }
        return std::string(Bytes);
    }
    const std::string_view units = Bytes.substr(2);
    Iconv dec("UTF-8", le ? "UTF-16LE" : "UTF-16BE");
    std::string text;
    size_t bad = units.size() - units.size() % 2;  // a cut unit at the end
    if (!dec.Convert(units.substr(0, bad), text, bad) || bad < units.size()) {
        // The line as the lines will count it: CR LF, a lone CR or a lone LF ends one.
        int line = 1;
        for (size_t i = 0; i < text.size(); ++i)
            line += text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) ? 1 : 0;
        std::string hex;
        for (char b : units.substr(bad, 2))
            hex += Format(hex.empty() ? "%02X" : " %02X", static_cast<unsigned char>(b));
        throw ECodePageError(Format("%d 行目: UTF-16 として正しくないバイトがあります: %s", line, hex.c_str()));
    }
    // Already Unicode: nothing here is Shift_JIS in disguise.
    Lines.SetText(text);
    RefuseZeroBytes(Lines);
    return text;
}

void ReadTextFile(const std::string& FileName, TStringList& Lines)
{
    TMemoryStream file;
    file.LoadFromFile(FileName);
    try {
        TextFileLines(std::string_view(file.Memory(), static_cast<size_t>(file.Size())), Lines);
    } catch (ECodePageError& e) {
        e.SetMessage(FileName + " の " + e.Message());
        throw;
    }
}
