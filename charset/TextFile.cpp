// Which code page a text file is in. A Shift_JIS text of half-width
// katakana can be valid UTF-8 by chance (ﾃｽ, C3 BD, reads as "ý"), so a file
// counts as UTF-8 only when every character it decodes to is one a Japanese
// text holds: one CP932 has, or one a UTF-8 file typically adds to those
// (kanji beyond CP932, Hangul, emoji, symbols).
#include <algorithm>
#include <iterator>

#include "charset/CodePage.h"
#include "charset/CodePage_p.h"
#include "rtl/StringList.h"

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

class Plausibility {
public:
    bool Holds(std::string_view line)
    {
        char32_t cp = 0;
        for (size_t i = 0; i < line.size();) {
            const size_t len = Utf8Sequence(line, i, cp);
            if (len == 0 || !Plausible(line.substr(i, len), cp))
                return false;
            i += len;
        }
        return true;
    }

private:
    bool Plausible(std::string_view ch, char32_t cp)
    {
        if (cp < 0x80)
            return true;
        if (std::any_of(std::begin(kPlausible), std::end(kPlausible),
                        [cp](const Range& r) { return cp >= r.first && cp <= r.last; }))
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
