#include "charset/CodePage.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "charset/CodePage_p.h"
#include "codec/NMUUE.h"
#include "rtl/StringList.h"
#include "rtl/Streams.h"

using namespace charset_detail;

namespace charset_detail {

Iconv::Iconv(const char* to, const char* from) : cd_(iconv_open(to, from))
{
    if (cd_ == reinterpret_cast<iconv_t>(-1))
        throw ECodePageError(Format("文字コード変換 %s から %s を開けません", from, to));
}

bool Iconv::Convert(std::string_view in, std::string& out, size_t& bad)
{
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    out.clear();
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    std::array<char, 256> buf;
    while (srcLeft > 0) {
        char* dst = buf.data();
        size_t dstLeft = buf.size();
        const size_t rc = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
        out.append(buf.data(), buf.size() - dstLeft);
        if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
            bad = in.size() - srcLeft;
            return false;
        }
    }
    return true;
}

// Decodes the UTF-8 sequence at text[i]; returns its length, 0 if invalid.
size_t Utf8Sequence(std::string_view text, size_t i, char32_t& cp)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b0 = byte(i);
    size_t len;
    char32_t min;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2, min = 0x80, cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3, min = 0x800, cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4, min = 0x10000, cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (text.size() - i < len)
        return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

// "😀 (U+1F600)"; controls are named by their number only.
std::string NameChar(std::string_view utf8, char32_t cp)
{
    const std::string number = Format("U+%04X", static_cast<unsigned>(cp));
    if (cp < 0xA0)
        return number;
    return std::string(utf8) + " (" + number + ")";
}

std::string EncodedWord(TNMUUProcessor& encoder, const std::string& bytes, const char* label)
{
    std::string base64 = EncodeBase64Lines(encoder, bytes);
    // One block gives one line, ended by CR LF, which "?=" replaces.
    if (base64.size() < 2 || base64.compare(base64.size() - 2, 2, "\r\n") != 0)
        throw ECodePageError("Base64 の行末がありません");
    base64.resize(base64.size() - 2);
    return std::string("=?") + label + "?B?" + base64 + "?=";
}

}  // namespace charset_detail

namespace {

constexpr char kIsoLabel[] = "iso-2022-jp";
// 36 bytes in the first word, 42 in every later one.
constexpr size_t kFirstWordBytes = WordBytes(kFirstWordChars, sizeof kIsoLabel - 1);
constexpr size_t kWordBytes = WordBytes(kMaxWordChars, sizeof kIsoLabel - 1);
// Listing more offending characters than this helps nobody.
constexpr size_t kMaxNamedChars = 10;

constexpr char kToJis[] = "\x1b$B";
constexpr char kToAscii[] = "\x1b(B";
constexpr size_t kEscapeLength = 3;

// JIS-standard code points that CP932 tables map elsewhere; Linux input
// methods type these for the JIS X 0208 characters.
struct JisStandardChar {
    char32_t cp;
    const char* cp932;
};
constexpr JisStandardChar kJisStandardChars[] = {
    {0x301C, "\x81\x60"},  // WAVE DASH
    {0x2016, "\x81\x61"},  // DOUBLE VERTICAL LINE
    {0x2212, "\x81\x7C"},  // MINUS SIGN
    {0x00A2, "\x81\x91"},  // CENT SIGN
    {0x00A3, "\x81\x92"},  // POUND SIGN
    {0x00AC, "\x81\xCA"},  // NOT SIGN
    {0x2014, "\x81\x5C"},  // EM DASH
};

bool IsSjisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
bool IsSjisTrail(unsigned char c) { return c >= 0x40 && c <= 0xFC && c != 0x7F; }
// Leads that address JIS X 0208 rows 1 to 84; the rest hold extensions.
bool IsJisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xEA); }
bool IsHalfWidthKatakana(unsigned char c) { return c >= 0xA1 && c <= 0xDF; }

// The arithmetic mapping of a Shift_JIS pair onto its JIS X 0208 row and cell.
std::array<unsigned char, 2> SjisToJisPair(unsigned char c, unsigned char t)
{
    auto j1 = static_cast<unsigned char>(c <= 0x9F ? 2 * c - 0xE1 : 2 * c - 0x161);
    unsigned char j2;
    if (t <= 0x7F) {
        j2 = static_cast<unsigned char>(t - 0x1F);
    } else if (t <= 0x9E) {
        j2 = static_cast<unsigned char>(t - 0x20);
    } else {
        j2 = static_cast<unsigned char>(t - 0x7E);
        ++j1;
    }
    return {j1, j2};
}

// The JIS codes of JIS X 0208 that CP932 assigns. Row 13 holds the NEC
// special characters (①, ㈱, Ⅲ), which strict ISO-2022-JP readers reject.
constexpr unsigned char kNecRow = 0x2D;
constexpr unsigned char kNecRow13Lead = 0x87;

using JisTable = std::bitset<94 * 94>;

size_t JisIndex(unsigned char j1, unsigned char j2) { return (j1 - 0x21u) * 94u + (j2 - 0x21u); }

const JisTable& AssignedJis()
{
    static const JisTable table = [] {
        JisTable t;
        Iconv dec("UTF-8", "CP932");
        std::string out;
        for (unsigned c = 0x81; c <= 0xEA; ++c) {
            if (!IsJisLead(static_cast<unsigned char>(c)))
                continue;
            for (unsigned s = 0x40; s <= 0xFC; ++s) {
                if (!IsSjisTrail(static_cast<unsigned char>(s)))
                    continue;
                const char pair[2] = {static_cast<char>(c), static_cast<char>(s)};
                const auto jis = SjisToJisPair(static_cast<unsigned char>(c), static_cast<unsigned char>(s));
                if (jis[0] != kNecRow && dec.Convert(std::string_view(pair, 2), out))
                    t.set(JisIndex(jis[0], jis[1]));
            }
        }
        return t;
    }();
    return table;
}

// Full-width JIS X 0208 codes of the half-width katakana A1 to DF.
constexpr uint16_t kHalfWidthToJis[63] = {
    0x2123, 0x2156, 0x2157, 0x2122, 0x2126, 0x2572, 0x2521, 0x2523,  // ｡｢｣､･ｦｧｨ
    0x2525, 0x2527, 0x2529, 0x2563, 0x2565, 0x2567, 0x2543, 0x213C,  // ｩｪｫｬｭｮｯｰ
    0x2522, 0x2524, 0x2526, 0x2528, 0x252A, 0x252B, 0x252D, 0x252F,  // ｱｲｳｴｵｶｷｸ
    0x2531, 0x2533, 0x2535, 0x2537, 0x2539, 0x253B, 0x253D, 0x253F,  // ｹｺｻｼｽｾｿﾀ
    0x2541, 0x2544, 0x2546, 0x2548, 0x254A, 0x254B, 0x254C, 0x254D,  // ﾁﾂﾃﾄﾅﾆﾇﾈ
    0x254E, 0x254F, 0x2552, 0x2555, 0x2558, 0x255B, 0x255E, 0x255F,  // ﾉﾊﾋﾌﾍﾎﾏﾐ
    0x2560, 0x2561, 0x2562, 0x2564, 0x2566, 0x2568, 0x2569, 0x256A,  // ﾑﾒﾓﾔﾕﾖﾗﾘ
    0x256B, 0x256C, 0x256D, 0x256F, 0x2573, 0x212B, 0x212C,          // ﾙﾚﾛﾜﾝﾞﾟ
};
constexpr unsigned char kVoicedMark = 0xDE;
constexpr unsigned char kSemiVoicedMark = 0xDF;

// The combined character of a half-width katakana and a following sound
// mark, 0 where JIS X 0208 has none.
uint16_t CombineSoundMark(unsigned char kana, unsigned char mark)
{
    const uint16_t base = kHalfWidthToJis[kana - 0xA1];
    if (mark == kVoicedMark) {
        if (kana == 0xB3)  // ｳﾞ
            return 0x2574;
        if ((kana >= 0xB6 && kana <= 0xC4) || (kana >= 0xCA && kana <= 0xCE))  // ｶ-ﾄ, ﾊ-ﾎ
            return static_cast<uint16_t>(base + 1);
    } else if (mark == kSemiVoicedMark && kana >= 0xCA && kana <= 0xCE) {  // ﾊ-ﾎ
        return static_cast<uint16_t>(base + 2);
    }
    return 0;
}

// A character of the ISO-2022-JP text: an ASCII byte or a JIS X 0208 pair.
struct JisChar {
    bool twoByte;
    unsigned char b0;
    unsigned char b1;
};

JisChar JisPair(uint16_t code)
{
    return {true, static_cast<unsigned char>(code >> 8), static_cast<unsigned char>(code & 0xFF)};
}

[[noreturn]] void RefuseBytes(const char* what, size_t pos, std::string_view bytes)
{
    std::string hex;
    for (char b : bytes)
        hex += Format(hex.empty() ? "%02X" : " %02X", static_cast<unsigned char>(b));
    throw ECodePageError(Format("%s: %zu バイト目の %s", what, pos + 1, hex.c_str()));
}

std::vector<JisChar> ParseSjis(std::string_view sjis)
{
    std::vector<JisChar> chars;
    chars.reserve(sjis.size());
    size_t i = 0;
    while (i < sjis.size()) {
        const auto c = static_cast<unsigned char>(sjis[i]);
        if (c < 0x80) {
            // ESC, SO and SI are ISO-2022's own shift codes; passed through
            // they would switch the reader's character set.
            if (c == 0x1B || c == 0x0E || c == 0x0F)
                RefuseBytes("ISO-2022-JP で送れない制御文字があります", i, sjis.substr(i, 1));
            chars.push_back({false, c, 0});
            ++i;
        } else if (IsHalfWidthKatakana(c)) {
            const auto next = i + 1 < sjis.size() ? static_cast<unsigned char>(sjis[i + 1]) : 0;
            if (const uint16_t combined = next ? CombineSoundMark(c, next) : 0) {
                chars.push_back(JisPair(combined));
                i += 2;
            } else {
                chars.push_back(JisPair(kHalfWidthToJis[c - 0xA1]));
                ++i;
            }
        } else if (IsSjisLead(c)) {
            if (i + 1 >= sjis.size())
                RefuseBytes("Shift_JIS の文字が途中で切れています", i, sjis.substr(i, 1));
            const auto t = static_cast<unsigned char>(sjis[i + 1]);
            if (!IsSjisTrail(t))
                RefuseBytes("Shift_JIS として正しくないバイトがあります", i, sjis.substr(i, 2));
            const auto jis = SjisToJisPair(c, t);
            if (!IsJisLead(c) || !AssignedJis().test(JisIndex(jis[0], jis[1]))) {
                // Extensions and user-defined characters are real characters;
                // name them so the user can find them.
                Iconv dec("UTF-8", "CP932");
                std::string utf8;
                char32_t cp = 0;
                if (dec.Convert(sjis.substr(i, 2), utf8) && Utf8Sequence(utf8, 0, cp) == utf8.size()) {
                    const std::string what = "ISO-2022-JP で送れない文字があります: " + NameChar(utf8, cp);
                    RefuseBytes(what.c_str(), i, sjis.substr(i, 2));
                }
                RefuseBytes("JIS X 0208 にない文字コードがあります", i, sjis.substr(i, 2));
            }
            chars.push_back({true, jis[0], jis[1]});
            i += 2;
        } else {  // 80, A0, FD to FF
            RefuseBytes("Shift_JIS として正しくないバイトがあります", i, sjis.substr(i, 1));
        }
    }
    return chars;
}

// A complete ISO-2022-JP text: starts and ends in ASCII mode.
std::string Render(const JisChar* first, const JisChar* last)
{
    std::string out;
    bool jis = false;
    for (const JisChar* ch = first; ch != last; ++ch) {
        if (ch->twoByte != jis) {
            out += ch->twoByte ? kToJis : kToAscii;
            jis = ch->twoByte;
        }
        out += static_cast<char>(ch->b0);
        if (ch->twoByte)
            out += static_cast<char>(ch->b1);
    }
    if (jis)
        out += kToAscii;
    return out;
}

// Splits the text into complete ISO-2022-JP texts of at most firstLimit
// bytes for the first and limit for every later one, each as long as
// possible, never splitting a character.
std::vector<std::string> Fold(const std::vector<JisChar>& chars, size_t firstLimit, size_t limit)
{
    std::vector<std::string> words;
    size_t start = 0;
    size_t size = 0;  // bytes of the current word without its closing escape
    bool jis = false;
    for (size_t i = 0; i < chars.size(); ++i) {
        const bool twoByte = chars[i].twoByte;
        const size_t width = twoByte ? 2 : 1;
        const size_t closing = twoByte ? kEscapeLength : 0;
        size_t add = (twoByte != jis ? kEscapeLength : 0) + width;
        if (i > start && size + add + closing > (words.empty() ? firstLimit : limit)) {
            words.push_back(Render(&chars[start], &chars[i]));
            start = i;
            size = 0;
            add = (twoByte ? kEscapeLength : 0) + width;
        }
        size += add;
        jis = twoByte;
    }
    words.push_back(Render(chars.data() + start, chars.data() + chars.size()));
    return words;
}

std::string EncodeWords(TNMUUProcessor& encoder, const std::vector<JisChar>& chars)
{
    std::string value;
    for (const std::string& word : Fold(chars, kFirstWordBytes, kWordBytes)) {
        if (!value.empty())
            value += "\r\n ";  // folding white space between words
        value += EncodedWord(encoder, word, kIsoLabel);
    }
    return value;
}

}  // namespace

bool IsValidUtf8(std::string_view Text)
{
    char32_t cp;
    for (size_t i = 0; i < Text.size();) {
        const size_t len = Utf8Sequence(Text, i, cp);
        if (len == 0)
            return false;
        i += len;
    }
    return true;
}

bool IsAscii(std::string_view Text)
{
    for (char c : Text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

std::string Utf8ToCp932(std::string_view Utf8)
{
    // Most body lines are ASCII; opening the converters costs more than them.
    if (IsAscii(Utf8))
        return std::string(Utf8);
    Iconv enc("CP932", "UTF-8");
    Iconv dec("UTF-8", "CP932");
    std::string out;
    struct Refused {
        std::string name;
        bool nec;
    };
    std::vector<Refused> refused;
    size_t refusedCount = 0;
    std::string bytes;
    std::string back;
    for (size_t i = 0; i < Utf8.size();) {
        char32_t cp;
        const size_t len = Utf8Sequence(Utf8, i, cp);
        if (len == 0)
            RefuseBytes("UTF-8 として正しくないバイトがあります", i, Utf8.substr(i, 1));
        const std::string_view ch = Utf8.substr(i, len);
        i += len;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
            continue;
        }
        bool done = false;
        for (const JisStandardChar& j : kJisStandardChars) {
            if (j.cp == cp) {
                out += j.cp932;
                done = true;
            }
        }
        if (done)
            continue;
        // A one-way mapping of the tables (U+00A5 to a backslash, for
        // instance) would change the text the reader sees, so the character
        // must come back unchanged.
        const bool ok = enc.Convert(ch, bytes) && !bytes.empty() && dec.Convert(bytes, back) && back == ch
                        && (bytes.size() == 1 ? IsHalfWidthKatakana(static_cast<unsigned char>(bytes[0]))
                                              : IsJisLead(static_cast<unsigned char>(bytes[0])));
        const bool nec = ok && static_cast<unsigned char>(bytes[0]) == kNecRow13Lead;
        if (ok && !nec) {
            out += bytes;
            continue;
        }
        const std::string name = NameChar(ch, cp);
        bool seen = false;
        for (const Refused& r : refused)
            seen = seen || r.name == name;
        if (!seen) {
            ++refusedCount;
            if (refused.size() < kMaxNamedChars)
                refused.push_back({name, nec});
        }
    }
    if (!refused.empty()) {
        // NEC row 13 is named as such: users know these as 機種依存文字, and
        // auto sends them as UTF-8.
        std::stable_partition(refused.begin(), refused.end(), [](const Refused& r) { return !r.nec; });
        const bool nec = refused.back().nec;
        const bool others = !refused.front().nec;
        std::string list;
        for (size_t k = 0; k < refused.size(); ++k) {
            list += k == 0 ? "" : "、";
            if (refused[k].nec && others && !refused[k - 1].nec)
                list += "機種依存文字 ";
            list += refused[k].name;
        }
        if (refusedCount > refused.size())
            list += Format(" ほか %zu 文字", refusedCount - refused.size());
        std::string message = (nec && !others ? "ISO-2022-JP で送れない機種依存文字があります: "
                                              : "ISO-2022-JP で送れない文字があります: ")
                              + list;
        if (nec)
            message += "。「設定」の文字コードを「自動」にすると UTF-8 で送れます";
        throw ECodePageError(message);
    }
    return out;
}

std::string Cp932ToUtf8(std::string_view Cp932)
{
    Iconv dec("UTF-8", "CP932");
    std::string out;
    size_t bad = 0;
    if (!dec.Convert(Cp932, out, bad)) {
        const auto lead = static_cast<unsigned char>(Cp932[bad]);
        const size_t len = IsSjisLead(lead) && bad + 1 < Cp932.size() ? 2 : 1;
        RefuseBytes("CP932 として正しくないバイトがあります", bad, Cp932.substr(bad, len));
    }
    return out;
}

std::string SjisToIso2022Jp(std::string_view Sjis)
{
    // ASCII without the shift codes is its own ISO-2022-JP text.
    if (IsAscii(Sjis) && Sjis.find_first_of("\x1b\x0e\x0f") == std::string_view::npos)
        return std::string(Sjis);
    const std::vector<JisChar> chars = ParseSjis(Sjis);
    return Render(chars.data(), chars.data() + chars.size());
}

std::string BodyLineToIso2022Jp(std::string_view SjisLine) { return SjisToIso2022Jp(SjisLine); }

std::string EncodeSubject(TNMUUProcessor& Encoder, const std::string& Subject)
{
    const std::vector<JisChar> chars = ParseSjis(Subject);
    if (chars.empty())
        return EncodedWord(Encoder, std::string(kToJis) + kToAscii, kIsoLabel);  // as it always was
    return EncodeWords(Encoder, chars);
}

std::string EncodeIsoWords(TNMUUProcessor& Encoder, const std::string& SjisText, size_t WordChars)
{
    const size_t bytes = WordBytes(WordChars, sizeof kIsoLabel - 1);
    std::string value;
    for (const std::string& word : Fold(ParseSjis(SjisText), bytes, bytes))
        value.append(value.empty() ? "" : " ").append(EncodedWord(Encoder, word, kIsoLabel));
    return value;
}

std::string EncodeHeaderText(TNMUUProcessor& Encoder, const std::string& SjisText)
{
    if (IsAscii(SjisText))
        return SjisText;
    return EncodeWords(Encoder, ParseSjis(SjisText));
}
