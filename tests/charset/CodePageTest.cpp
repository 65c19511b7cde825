#include "charset/CodePage.h"

#include <gtest/gtest.h>

#include "codec/NMUUE.h"
#include "rtl/StringList.h"
#include "tests/charset/CharsetTestSupport.h"

using namespace charsettest;

namespace {

TEST(CodePage, ShiftJisToIso2022JpExactBytes)
{
    struct Case {
        const char* name;
        std::string sjis;
        std::string jis;
    } cases[] = {
        {"empty", "", ""},
        {"hiragana a", "\x82\xa0", kJ + "$\"" + kA},
        {"ascii only", "Hello, world ~\\", "Hello, world ~\\"},
        {"ascii then kanji", "Re: \x89\xef\x8b\x63", "Re: " + kJ + "2q5D" + kA},
        {"switching", "a\x82\xa0" "b\x82\xa2", "a" + kJ + "$\"" + kA + "b" + kJ + "$$" + kA},
        {"ends in ascii", "\x82\xa0\x82\xa2" "a", kJ + "$\"$$" + kA + "a"},
        {"second byte 9F raises the row", "\x82\x9f", kJ + "$!" + kA},
        {"ideographic space", "\x81\x40", kJ + "!!" + kA},
        {"lead E0", "\xe0\x40", kJ + "_!" + kA},
        {"last JIS X 0208 character", "\xea\xa4", kJ + "t&" + kA},
        {"half-width voiced", "\xb6\xde\xb2\xc4\xde", kJ + "%,%$%I" + kA},
        {"half-width semi-voiced", "\xca\xdf\xcb\xdf\xce\xdf", kJ + "%Q%T%]" + kA},
        {"half-width vu", "\xb3\xde", kJ + "%t" + kA},
        {"no combined character", "\xdc\xde\xb1\xdf", kJ + "%o!+%\"!," + kA},
        {"lone sound mark", "\xde", kJ + "!+" + kA},
        {"half-width at the end", "\xb6", kJ + "%+" + kA},
        {"half-width between ascii", "a\xb6" "b", "a" + kJ + "%+" + kA + "b"},
        {"half-width punctuation", "\xa1\xa2\xa3\xa4\xa5\xb0", kJ + "!#!V!W!\"!&!<" + kA},
        {"with full-width run", "\x82\xa0\xb6\xde", kJ + "$\"%," + kA},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Hex(SjisToIso2022Jp(c.sjis)), Hex(c.jis)) << c.name;
        EXPECT_EQ(Hex(BodyLineToIso2022Jp(c.sjis)), Hex(c.jis)) << c.name;
    }
}

TEST(CodePage, ConverterRefusesWhatNoMailableCharacterExplains)
{
    struct Case {
        std::string sjis;
        const char* message;
    } cases[] = {
        {"\x82", "Shift_JIS の文字が途中で切れています: 1 バイト目の 82"},
        {"ab\x82\xa0\x82", "Shift_JIS の文字が途中で切れています: 5 バイト目の 82"},
        {"\x80", "Shift_JIS として正しくないバイトがあります: 1 バイト目の 80"},
        {"x\xa0", "Shift_JIS として正しくないバイトがあります: 2 バイト目の A0"},
        {"\xfd", "Shift_JIS として正しくないバイトがあります: 1 バイト目の FD"},
        {"\xff", "Shift_JIS として正しくないバイトがあります: 1 バイト目の FF"},
        {"\x82\x20", "Shift_JIS として正しくないバイトがあります: 1 バイト目の 82 20"},
        {"\x82\x7f", "Shift_JIS として正しくないバイトがあります: 1 バイト目の 82 7F"},
        {"\x82\xfd", "Shift_JIS として正しくないバイトがあります: 1 バイト目の 82 FD"},
        {"\x85\x40", "JIS X 0208 にない文字コードがあります: 1 バイト目の 85 40"},
        {"\x82\x9e", "JIS X 0208 にない文字コードがあります: 1 バイト目の 82 9E"},
        {"\xeb\x40", "JIS X 0208 にない文字コードがあります: 1 バイト目の EB 40"},
        {"a\x87\x40", "ISO-2022-JP で送れない文字があります: ① (U+2460): 2 バイト目の 87 40"},  // NEC row 13
        {"\xed\x40", "ISO-2022-JP で送れない文字があります: 纊 (U+7E8A): 1 バイト目の ED 40"},
        {"\xfa\x40", "ISO-2022-JP で送れない文字があります: ⅰ (U+2170): 1 バイト目の FA 40"},
        {"\xfb\xfc", "ISO-2022-JP で送れない文字があります: 髙 (U+9AD9): 1 バイト目の FB FC"},
        {"\xf0\x40", "ISO-2022-JP で送れない文字があります: \xee\x80\x80 (U+E000): 1 バイト目の F0 40"},
        {"\x1b$B", "ISO-2022-JP で送れない制御文字があります: 1 バイト目の 1B"},
        {"a\x0e", "ISO-2022-JP で送れない制御文字があります: 2 バイト目の 0E"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ErrorOf([&] { SjisToIso2022Jp(c.sjis); }), c.message) << Hex(c.sjis);
}

TEST(CodePage, Utf8ToCp932AcceptsJisX0208)
{
    struct Case {
        const char* utf8;
        std::string cp932;
    } cases[] = {
        {"", ""},
        {"abc ~\\\t", "abc ~\\\t"},
        {"あ会議", "\x82\xa0\x89\xef\x8b\x63"},
        {"〜～", "\x81\x60\x81\x60"},  // WAVE DASH and FULLWIDTH TILDE
        {"‖∥", "\x81\x61\x81\x61"},
        {"−－", "\x81\x7c\x81\x7c"},
        {"¢￠£￡", "\x81\x91\x81\x91\x81\x92\x81\x92"},
        {"¬￢", "\x81\xca\x81\xca"},
        {"—―", "\x81\x5c\x81\x5c"},  // EM DASH, HORIZONTAL BAR
        {"∵≒", "\x81\xe6\x81\xe0"},  // row 2, not their NEC row 13 twins
        {"ｶﾞｲﾄﾞ", "\xb6\xde\xb2\xc4\xde"},
        {"凜熙", "\xea\xa3\xea\xa4"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Hex(Utf8ToCp932(c.utf8)), Hex(c.cp932)) << c.utf8;
}

TEST(CodePage, Utf8ToCp932RefusesAndNamesWhatCannotBeMailed)
{
    struct Case {
        const char* utf8;
        const char* message;
    } cases[] = {
        {"件名😀", "ISO-2022-JP で送れない文字があります: 😀 (U+1F600)"},
        {"ⅰ", "ISO-2022-JP で送れない文字があります: ⅰ (U+2170)"},  // IBM extension only
        {"纊", "ISO-2022-JP で送れない文字があります: 纊 (U+7E8A)"},
        {"髙橋", "ISO-2022-JP で送れない文字があります: 髙 (U+9AD9)"},
        {"\xee\x80\x80", "ISO-2022-JP で送れない文字があります: \xee\x80\x80 (U+E000)"},  // user-defined
        {"¥100", "ISO-2022-JP で送れない文字があります: ¥ (U+00A5)"},  // iconv would make it a backslash
        {"‾", "ISO-2022-JP で送れない文字があります: ‾ (U+203E)"},
        {"a\xc2\x85" "b", "ISO-2022-JP で送れない文字があります: U+0085"},
        {"😀a纊b😀", "ISO-2022-JP で送れない文字があります: 😀 (U+1F600)、纊 (U+7E8A)"},
        {"①⑳Ⅲ㈱㍻", "ISO-2022-JP で送れない機種依存文字があります: ① (U+2460)、⑳ (U+2473)、Ⅲ (U+2162)、"
                     "㈱ (U+3231)、㍻ (U+337B)。「設定」の文字コードを「自動」にすると UTF-8 で送れます"},
        {"①髙㈱纊①", "ISO-2022-JP で送れない文字があります: 髙 (U+9AD9)、纊 (U+7E8A)、機種依存文字 ① (U+2460)、"
                      "㈱ (U+3231)。「設定」の文字コードを「自動」にすると UTF-8 で送れます"},
        {"\xe3\x81", "UTF-8 として正しくないバイトがあります: 1 バイト目の E3"},
        {"ab\xc0\xaf", "UTF-8 として正しくないバイトがあります: 3 バイト目の C0"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ErrorOf([&] { Utf8ToCp932(c.utf8); }), c.message) << c.utf8;

    std::string many;
    for (char32_t cp = 0x1F600; cp < 0x1F60C; ++cp)  // 12 distinct emoji
        many += std::string("\xf0\x9f\x98") + char(0x80 + (cp - 0x1F600));
    const std::string message = ErrorOf([&] { Utf8ToCp932(many); });
    EXPECT_NE(message.find("U+1F609"), std::string::npos) << message;
    EXPECT_EQ(message.find("U+1F60A"), std::string::npos) << message;
    EXPECT_NE(message.find("ほか 2 文字"), std::string::npos) << message;

    // Every character of NEC row 13 is refused as such, unless it is the
    // twin of a JIS X 0208 character of row 2 (∵, ≒), sent as that.
    int refused = 0;
    for (int t = 0x40; t <= 0x9E; ++t) {
        std::string utf8, got;
        if (ErrorOf([&] { utf8 = Cp932ToUtf8(std::string{'\x87', char(t)}); }) != "(no error)")
            continue;  // unassigned
        const std::string message = ErrorOf([&] { got = Utf8ToCp932(utf8); });
        if (message == "(no error)") {
            EXPECT_NE(got[0], '\x87') << utf8;  // a twin of row 2
        } else {
            EXPECT_EQ(message.rfind("ISO-2022-JP で送れない機種依存文字があります: " + utf8 + " (U+", 0), 0u);
            ++refused;
        }
    }
    EXPECT_EQ(refused, 83 - 9);  // the row's 83 characters but its 9 twins
}

TEST(CodePage, Utf8CheckAndCp932Fallback)
{
    struct Case {
        std::string text;
        bool valid;
    } cases[] = {
        {"", true}, {"abc", true}, {"あ😀", true}, {"\x82\xa0", false}, {"\xc0\xaf", false},
        {"\xe0\x80\xaf", false}, {"\xed\xa0\x80", false}, {"\xf4\x90\x80\x80", false},
        {"\xe3\x81", false}, {"\xe3\x81" "a", false}, {"\xf8\x88\x80\x80\x80", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsValidUtf8(c.text), c.valid) << Hex(c.text);

    EXPECT_EQ(Cp932ToUtf8("a\x82\xa0\x87\x40\x81\x60\xb6"), "aあ①～ｶ");
    EXPECT_EQ(ErrorOf([] { Cp932ToUtf8("ab\x80"); }), "CP932 として正しくないバイトがあります: 3 バイト目の 80");
    EXPECT_EQ(ErrorOf([] { Cp932ToUtf8("\x82\xa0\x82"); }), "CP932 として正しくないバイトがあります: 3 バイト目の 82");

    TStringList utf8{"smtp.example.jp", "山田 太郎", ""};
    EXPECT_FALSE(LinesToUtf8(utf8));
    EXPECT_EQ(utf8[1], "山田 太郎");

    TStringList sjis{"smtp.example.jp", "\x8e\x52\x93\x63 \x91\xbe\x98\x59", ""};
    EXPECT_TRUE(LinesToUtf8(sjis));
    EXPECT_EQ(sjis[1], "山田 太郎");
    EXPECT_EQ(sjis[0], "smtp.example.jp");
    EXPECT_EQ(sjis.Count(), 3);

    TStringList broken{"\x82\xa0", "ok", "\x80"};
    EXPECT_EQ(ErrorOf([&] { LinesToUtf8(broken); }), "3 行目: CP932 として正しくないバイトがあります: 1 バイト目の 80");
}

// A text file is read whole: a zero byte, a broken marked UTF-8 or lines in
// both code pages are refused at their line, and a mark settles the code page.
TEST(CodePage, TextFileLinesReadPastZeroBytesTrustTheMarkAndRefuseMixedCodePages)
{
    using namespace std::string_literals;
    std::string accents;
    for (int i = 0; i < 70; ++i)
        accents += "é";
    const struct {
        const char* what;
        std::string bytes;
        std::vector<std::string> lines;
        std::string refusal;
    } cases[] = {
        {"a mark settles UTF-8", "\xEF\xBB\xBF" "Ünïcödé\n" + accents + "\n", {"Ünïcödé", accents}, ""},
        {"a mark over CP932", "\xEF\xBB\xBF" "ok\n\x82\xa0\n", {}, "2 行目: UTF-8 の印 (BOM) があるのに UTF-8 として正しくない"},
        {"a zero byte in UTF-8", "a\nb\0c\nd\n"s, {}, "2 行目: NUL 文字 (0x00) があります"},
        {"a zero byte in CP932", "\x82\xa0\r\n\r\n\0\r\n"s, {}, "3 行目: NUL 文字 (0x00) があります"},
        {"a zero character in UTF-16", "\xFF\xFE" "a\0\n\0b\0\0\0"s, {}, "2 行目: NUL 文字 (0x00) があります"},
        {"UTF-8 then CP932", "名前\n\x8e\x52\x93\x63\n", {}, "（1 行目は UTF-8、2 行目は Shift_JIS）"},
        {"CP932, ASCII, then UTF-8", "\x8e\x52\nabc\nJörg\n", {}, "（3 行目は UTF-8、1 行目は Shift_JIS）"},
        {"CP932 katakana that is also UTF-8", "\xc3\xbd\n\x8e\x52\n", {"ﾃｽ", "山"}, ""},
        {"UTF-8 without a mark", "山田\nJörg\n", {"山田", "Jörg"}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TStringList lines;
        const std::string error = ErrorOf([&] { TextFileLines(c.bytes, lines); });
        if (c.refusal.empty()) {
            EXPECT_EQ(error, "(no error)");
            EXPECT_EQ(lines.Lines(), c.lines);
        } else {
            EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
        }
    }
}

// The first word fits after "Subject: " on a line of 76 (36 bytes, 67
// characters), every later word on a line of its own (42 bytes, 75).
TEST(CodePage, EncodeSubjectWordsFitTheirLines)
{
    TNMUUProcessor encoder(nullptr);
    EXPECT_EQ(EncodeSubject(encoder, "\x82\xa0"), "=?iso-2022-jp?B?GyRCJCIbKEI=?=");
    EXPECT_EQ(EncodeSubject(encoder, ""), "=?iso-2022-jp?B?GyRCGyhC?=");
    EXPECT_EQ(encoder.SourceStream, nullptr);
    EXPECT_EQ(encoder.TargetStream, nullptr);

    const auto a = [](int n) { return Repeat("\x82\xa0", n); };  // あ
    const auto jis = [](int n) { return kJ + Repeat("$\"", n) + kA; };
    struct Case {
        const char* name;
        std::string sjis;
        std::vector<std::string> words;  // the ISO-2022-JP text of each
    } cases[] = {
        {"15 kana, 36 bytes", a(15), {jis(15)}},
        {"16 kana, 38 bytes", a(16), {jis(15), jis(1)}},
        {"a and 15 kana, 37 bytes", "a" + a(15), {"a" + jis(14), jis(1)}},
        {"19 kana, 44 bytes", a(19), {jis(15), jis(4)}},
        {"a and 19 kana, 45 bytes", "a" + a(19), {"a" + jis(14), jis(5)}},
        {"ab and 19 kana, 46 bytes", "ab" + a(19), {"ab" + jis(14), jis(5)}},
        {"52 kana", a(52), {jis(15), jis(18), jis(18), jis(1)}},
        {"36 ASCII", std::string(36, 'x'), {std::string(36, 'x')}},
        {"37 ASCII", std::string(37, 'x'), {std::string(36, 'x'), "x"}},
        {"80 ASCII", std::string(80, 'x'), {std::string(36, 'x'), std::string(42, 'x'), "xx"}},
    };
    for (const Case& c : cases) {
        std::string value;
        for (const std::string& w : c.words)
            value += (value.empty() ? "" : "\r\n ") + ("=?iso-2022-jp?B?" + Base64(w) + "?=");
        EXPECT_EQ(EncodeSubject(encoder, c.sjis), value) << c.name;
    }
}

TEST(CodePage, LongSubjectsFoldIntoCompleteWords)
{
    TNMUUProcessor encoder(nullptr);
    const std::string kanji = "\x89\xef\x8b\x63";  // 会議
    const std::string subjects[] = {
        Repeat("\x82\xa0", 100),
        Repeat("Re: " + kanji + " ", 30),
        Repeat("a" + kanji + "\xb6\xde", 25),
        std::string(200, 'z'),
        Repeat("ab\x82\xa0", 40),
    };
    for (const std::string& subject : subjects) {
        const std::string value = EncodeSubject(encoder, subject);
        std::vector<std::string> joined;
        size_t words = 0;
        size_t pos = 0;
        while (true) {
            const size_t end = value.find("\r\n ", pos);
            const std::string word = value.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
            ++words;
            ASSERT_EQ(word.rfind("=?iso-2022-jp?B?", 0), 0u) << word;
            ASSERT_EQ(word.substr(word.size() - 2), "?=") << word;
            const std::string b64 = word.substr(16, word.size() - 18);
            EXPECT_EQ(b64.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                      std::string::npos);
            const std::string jis = UnBase64(b64);
            EXPECT_EQ(Base64(jis), b64);
            const size_t limit = words == 1 ? 36 : 42;
            EXPECT_LE(word.size(), limit == 36 ? 67u : 75u);
            EXPECT_LE(jis.size(), limit);
            if (end != std::string::npos) {  // only the last word may be short
                EXPECT_GT(jis.size() + 8, limit);
            }
            const size_t lastJ = jis.rfind(kJ);
            EXPECT_TRUE(lastJ == std::string::npos || jis.rfind(kA) > lastJ) << "word ends in JIS mode";
            const auto chars = JisChars(jis);
            joined.insert(joined.end(), chars.begin(), chars.end());
            if (end == std::string::npos)
                break;
            pos = end + 3;
        }
        EXPECT_GT(words, 1u);
        EXPECT_EQ(joined, JisChars(SjisToIso2022Jp(subject)));
    }
}

TEST(CodePage, HeaderTextStaysAsciiOrBecomesEncodedWords)
{
    TNMUUProcessor encoder(nullptr);
    EXPECT_EQ(EncodeHeaderText(encoder, "Taro Yamada"), "Taro Yamada");
    EXPECT_EQ(EncodeHeaderText(encoder, ""), "");
    const std::string name = "\x8e\x52\x93\x63 \x91\xbe\x98\x59";  // 山田 太郎
    EXPECT_EQ(EncodeHeaderText(encoder, name), EncodeSubject(encoder, name));
    EXPECT_EQ(EncodeHeaderText(encoder, name), "=?iso-2022-jp?B?" + Base64(SjisToIso2022Jp(name)) + "?=");
    EXPECT_THROW(EncodeHeaderText(encoder, "\x80"), ECodePageError);
}

// The whole chain, UTF-8 to CP932 to the Subject value, read back by Python's
// email package from a parsed message.
TEST(CodePage, SubjectsDecodeBackInPythonsEmailPackage)
{
    struct Case {
        std::string typed;
        std::string shown;
    };
    std::string hundred;
    const char* kana = "あいうえおかきくけこさしすせそたちつてとなにぬねのはひふへほ";
    for (int i = 0; i < 100; ++i)  // 30 distinct kana, 3 bytes each in UTF-8
        hundred += std::string(kana + 3 * (i % 30), 3);
    const Case cases[] = {
        {"あ", "あ"},
        {"会議のご案内", "会議のご案内"},
        {"Re: 会議のご案内 (第3回)", "Re: 会議のご案内 (第3回)"},
        {"ｶﾞｲﾄﾞ", "ガイド"},
        {"〜お知らせ〜", "〜お知らせ〜"},
        {"◎△□ (株)テスト", "◎△□ (株)テスト"},
        {hundred, hundred},
        {"", ""},
        {"ﾊﾟｿｺﾝ教室のご案内: 第1〜20回 ﾃｷｽﾄ配布 −10％ (¬_¬)", "パソコン教室のご案内: 第1〜20回 テキスト配布 −10％ (¬_¬)"},
    };
    TNMUUProcessor encoder(nullptr);
    std::string data;
    for (const Case& c : cases)
        data += Hex(c.shown) + " " + Hex(EncodeSubject(encoder, Utf8ToCp932(c.typed))) + "\n";

    const std::string script = std::string(kPythonJisReader) + R"(
import email, email.header, re
word = re.compile(r'=\?iso-2022-jp\?B\?[A-Za-z0-9+/]*=*\?=$')
count = 0
for line in open(sys.argv[1]):
    shown, value = (bytes.fromhex(x) for x in line.rstrip('\n').split(' '))
    shown = shown.decode('utf-8')
    value = value.decode('ascii')
    lines = value.split('\r\n')
    check(all(word.match(l.strip()) for l in lines) and all(l.startswith(' ') for l in lines[1:]),
          'not a folded header of encoded words: %r' % value)
    check(len('Subject: ' + lines[0]) <= 76, 'first line too long: %r' % lines[0])
    for i, l in enumerate(lines):
        jis = email.header.decode_header(l.strip())[0][0]
        check(len(jis) <= (36 if i == 0 else 42) and len(l) <= 76 and len(l.strip()) <= 75
              and jis.rfind(b'\x1b$B') <= jis.rfind(b'\x1b(B'),
              'word of %d bytes, %r' % (len(jis), jis))
    msg = email.message_from_bytes(('Subject: ' + value + '\r\n\r\nbody\r\n').encode('ascii'))
    text = ''.join(b.decode(cs or 'ascii', 'strict') if isinstance(b, bytes) else b
                   for b, cs in email.header.decode_header(msg['Subject']))
    check(text == shown, '%r decoded as %r' % (shown, text))
    count += 1
finish(count)
)";
    const PythonRun run = RunPython(script, data);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find(Format("checked %zu failed 0", std::size(cases))), std::string::npos) << run.output;
}

// Every Shift_JIS pair and every half-width katakana (alone and before each
// sound mark) against Python's own tables: JIS X 0208 as Python's shift_jis
// and strict iso2022_jp codecs know it (NEC row 13 is none of it), and the
// full-width forms as Unicode's compatibility normalization gives them.
TEST(CodePage, ConverterAgreesWithPythonOnEveryCharacter)
{
    std::string data;
    auto add = [&](const std::string& sjis) {
        std::string jis = "-";
        try {
            jis = Hex(SjisToIso2022Jp(sjis));
        } catch (const ECodePageError&) {
        }
        data += Hex(sjis) + " " + jis + "\n";
    };
    size_t count = 0;
    for (int c = 0x81; c <= 0xFC; ++c) {
        if (c >= 0xA0 && c <= 0xDF)
            continue;
        for (int t = 0x40; t <= 0xFC; ++t, ++count)
            add(std::string{char(c), char(t)});
    }
    for (int k = 0xA1; k <= 0xDF; ++k) {
        add(std::string{char(k)});
        add(std::string{char(k), char(0xDE)});
        add(std::string{char(k), char(0xDF)});
        count += 3;
    }
    const std::string script = std::string(kPythonJisReader) + R"(
import unicodedata
def fullwidth(ch):
    return {'\uff9e': '\u309b', '\uff9f': '\u309c'}.get(ch, unicodedata.normalize('NFKC', ch))
count = 0
for line in open(sys.argv[1]):
    sjis, jis = line.split()
    sjis = bytes.fromhex(sjis)
    got = None if jis == '-' else bytes.fromhex(jis).decode('iso2022_jp', 'strict')
    if len(sjis) == 2 and not (0xA1 <= sjis[0] <= 0xDF):
        try:
            want = sjis.decode('shift_jis')
        except UnicodeDecodeError:
            want = None
    else:
        text = sjis.decode('cp932')
        want = unicodedata.normalize('NFKC', text)
        try:
            want.encode('iso2022_jp')
        except UnicodeEncodeError:
            want = ''.join(fullwidth(ch) for ch in text)
    check(got == want, '%s: got %r, want %r' % (sjis.hex(), got, want))
    count += 1
finish(count)
)";
    const PythonRun run = RunPython(script, data);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find(Format("checked %zu failed 0", count)), std::string::npos) << run.output;
}

}  // namespace
