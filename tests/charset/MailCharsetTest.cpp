// The charset chosen per message, the UTF-8 header words read back by
// Python's email package, and the code page of text files.
#include "charset/MailCharset.h"

#include <gtest/gtest.h>

#include "codec/NMUUE.h"
#include "rtl/StringList.h"
#include "tests/charset/CharsetTestSupport.h"

using namespace charsettest;

namespace {

TEST(MailCharset, AutoTakesIso2022JpOnlyForStrictJisX0208)
{
    struct Case {
        const char* text;
        bool strict;
    } cases[] = {
        {"", true},
        {"Re: meeting 10:00", true},
        {"会議のご案内", true},
        {"ｶﾞｲﾄﾞ ﾊﾟｿｺﾝ", true},  // become full-width
        {"〜～", true},           // WAVE DASH and FULLWIDTH TILDE, both 1-33
        {"∵≒−‖", true},          // row 2, not their NEC row 13 twins
        {"髙橋", false},          // IBM extension
        {"山﨑", false},
        {"①②", false},           // NEC row 13
        {"㈱", false},
        {"Ⅲ", false},
        {"😀", false},
        {"안녕하세요", false},
        {"¥100", false},
        {"café", false},
        {"a\x1b" "b", false},     // ISO-2022-JP's own shift code
        {"\xe3\x81", false},      // cut character
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsStrictJis(c.text), c.strict) << c.text;
}

TEST(MailCharset, TheDecisionIsPerMessageAndOnlyInAuto)
{
    struct Case {
        TMailCharset choice;
        std::initializer_list<std::string_view> texts;
        TMailCharset sent;
    } cases[] = {
        {mcAuto, {"会議", "本文です", "山田 太郎", "佐藤"}, mcIso2022Jp},
        {mcAuto, {"会議", "本文です", "山田 太郎", "髙橋"}, mcUtf8},  // one recipient's name
        {mcAuto, {"会議", "本文 ①", "山田", ""}, mcUtf8},
        {mcAuto, {}, mcIso2022Jp},
        {mcIso2022Jp, {"😀"}, mcIso2022Jp},  // refused later, as ever
        {mcUtf8, {"abc"}, mcUtf8},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MessageCharset(c.choice, c.texts), c.sent) << c.choice << " " << *c.texts.begin();
    EXPECT_STREQ(CharsetLabel(mcUtf8), "UTF-8");
    EXPECT_STREQ(CharsetLabel(mcIso2022Jp), "iso-2022-jp");
}

TEST(MailCharset, NoCharsetCarriesNulOrBrokenCharacters)
{
    struct Case {
        std::string text;
        const char* message;
    } cases[] = {
        {std::string("a\0b", 3), "送れない制御文字 NUL (文字番号 0) があります"},
        {"a\xed\xa0\xbd" "b", "壊れた文字があります (文字の片割れなど、どの文字コードでも送れないもの)"},  // lone surrogate
        {"\xe3\x81", "壊れた文字があります (文字の片割れなど、どの文字コードでも送れないもの)"},
        {"髙橋 😀 안녕 ｶﾞ \x1b", "(no error)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ErrorOf([&] { CheckMailable(c.text); }), c.message) << Hex(c.text);
}

std::string Kana(int n)
{
    static const char* kana = "あいうえおかきくけこさしすせそ";
    std::string out;
    for (int i = 0; i < n; ++i)
        out += std::string(kana + 3 * (i % 15), 3);
    return out;
}

// Every word is at most 75 characters and decodes alone (no character is
// split); the folded value decodes to the text exactly.
TEST(MailCharset, Utf8WordsDecodeBackInPythonsEmailPackage)
{
    const std::string texts[] = {
        "髙橋", "山﨑", "①②", "㈱テスト", "😀", "안녕하세요", "ｶﾞｲﾄﾞ 半角のまま",
        "Re: 髙橋様 ①〜⑳ 😀👍🏽 안녕 ¥100 café", Kana(15), Kana(16), Kana(100),
        std::string(44, 'a') + "😀", std::string(200, 'z'),
    };
    TNMUUProcessor encoder(nullptr);
    std::string data;
    for (const std::string& text : texts)
        data += Hex(text) + " " + Hex(EncodeUtf8Subject(encoder, text)) + "\n";
    EXPECT_EQ(encoder.SourceStream, nullptr);
    EXPECT_EQ(EncodeUtf8Subject(encoder, ""), "");
    EXPECT_EQ(EncodeUtf8HeaderText(encoder, "Taro Yamada"), "Taro Yamada");
    EXPECT_EQ(EncodeUtf8HeaderText(encoder, "髙橋"), EncodeUtf8Subject(encoder, "髙橋"));

    const std::string script = std::string(kPythonJisReader) + R"(
import email, email.header, email.policy, re
word = re.compile(r'=\?UTF-8\?B\?[A-Za-z0-9+/]+=*\?=$')
count = 0
for line in open(sys.argv[1]):
    text, value = (bytes.fromhex(x) for x in line.rstrip('\n').split(' '))
    text = text.decode('utf-8')
    value = value.decode('ascii')
    lines = value.split('\r\n')
    for i, l in enumerate(lines):
        check(word.match(l.strip()) and len(l.strip()) <= 75 and (i == 0) != l.startswith(' '),
              'not a folded word of at most 75: %r' % l)
        check(len(email.header.decode_header(l.strip())[0][0].decode('utf-8', 'strict')) > 0, 'empty word')
    msg = email.message_from_bytes(('Subject: ' + value + '\r\n\r\nbody\r\n').encode('ascii'),
                                   policy=email.policy.default)
    check(msg['Subject'] == text, '%r decoded as %r' % (text, msg['Subject']))
    count += 1
finish(count)
)";
    const PythonRun run = RunPython(script, data);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find(Format("checked %zu failed 0", std::size(texts))), std::string::npos) << run.output;
}

TEST(MailCharset, OnlyShortPrintableAsciiStandsInAHeaderAsWritten)
{
    const struct {
        std::string text;
        bool plain;
    } cases[] = {
        {"Yamada, Taro", true},
        {"", true},
        {std::string(60, 'a') + " " + std::string(60, 'b'), true},
        {std::string(61, 'a'), false},  // a word no fold can shorten
        {"Taro\tYamada", true},
        {"=?UTF-8?B?5bGx55Sw?=", false},
        {"a =? b", false},
        {"\x1b$B;3ED\x1b(B", false},  // raw JIS
        {"del\x7f", false},
        {"山田", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsPlainHeaderText(c.text), c.plain) << c.text;
}

// Round trips of the words through a reader: HeaderFormTest of the engine.
TEST(MailCharset, ATextFilesCharsetIsTheOneItsBytesShow)
{
    const struct {
        std::string bytes;
        const char* charset;
    } files[] = {
        {"plain text\r\n", "us-ascii"},
        {"", "us-ascii"},
        {"\xEF\xBB\xBF" "BOM", "UTF-8"},
        {"\xFF\xFE" "a", "UTF-16"},
        {"こんにちは", "UTF-8"},
        {std::string("こんにちは").substr(0, 14), "UTF-8"},  // cut inside its last character
        {"\x82\xb1\x82\xf1\x82\xc9\x82\xbf\x82\xcd", "Shift_JIS"},
        {"\x82\xb1\x82\xf1\x82", "Shift_JIS"},  // cut inside a pair
        {"\x80\x80\xff\xfe\xfd", ""},
    };
    for (const auto& f : files)
        EXPECT_EQ(TextCharset(f.bytes), f.charset) << Hex(f.bytes);
}

// A Shift_JIS file of half-width katakana can be valid UTF-8 by chance.
TEST(MailCharset, TextFilesAreUtf8OnlyWhenEveryCharacterIsPlausible)
{
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        std::vector<std::string> read;
        bool converted;
    } cases[] = {
        {"ﾃｽ", {"\xc3\xbd"}, {"ﾃｽ"}, true},
        {"ﾅｶ ﾄｳ", {"\xc5\xb6 \xc4\xb3"}, {"ﾅｶ ﾄｳ"}, true},
        {"ﾏｷ, ﾕｷ, ﾜｶ", {"\xcf\xb7", "\xd5\xb7", "\xdc\xb6"}, {"ﾏｷ", "ﾕｷ", "ﾜｶ"}, true},
        {"ﾃｽ and an address", {"\xc3\xbd <a@example.jp>", "b@example.jp"}, {"ﾃｽ <a@example.jp>", "b@example.jp"}, true},
        {"UTF-8 Japanese", {"山田 太郎 <a@example.jp>", "ｶﾞｲﾄﾞ"}, {"山田 太郎 <a@example.jp>", "ｶﾞｲﾄﾞ"}, false},
        {"UTF-8 beyond CP932", {"髙橋 😀 안녕 ¥100 〜"}, {"髙橋 😀 안녕 ¥100 〜"}, false},
        {"UTF-8 that is no CP932", {"\xc4\x80"}, {"\xc4\x80"}, false},  // Ā: 80 ends no CP932 text
        {"ASCII", {"a@example.jp", ""}, {"a@example.jp", ""}, false},
        // ö, é, ó, ë are two half-width katakana each (ﾃｶ, ﾃｩ, ﾃｳ, ﾃｫ); a
        // word with an ASCII letter or a letter no katakana pair gives is UTF-8.
        {"Jörg Müller", {"Jörg Müller <jm@example.de>"}, {"Jörg Müller <jm@example.de>"}, false},
        {"René, café, Zoë", {"René <r@example.fr>", "café", "Zoë"}, {"René <r@example.fr>", "café", "Zoë"}, false},
        {"Ångström, Łódź", {"Ångström", "Łódź"}, {"Ångström", "Łódź"}, false},
        {"Cyrillic and Greek", {"Иван Петров", "Ελένη"}, {"Иван Петров", "Ελένη"}, false},
        {"mixed UTF-8 line", {"Jörg（ヨルク） 山田 <j@example.jp>"}, {"Jörg（ヨルク） 山田 <j@example.jp>"}, false},
        {"UTF-8 and ﾃｽ", {"Jörg", "\xef\xbe\x83\xef\xbd\xbd"}, {"Jörg", "ﾃｽ"}, false},
        {"ﾃｽﾃｽ", {"\xc3\xbd\xc3\xbd"}, {"ﾃｽﾃｽ"}, true},                    // "ýý": no ASCII letter
        {"ﾃｽ beside ASCII words", {"\xc3\xbd user 2 <a@example.jp>"}, {"ﾃｽ user 2 <a@example.jp>"}, true},
        {"ｶﾞｲﾄﾞ, ﾃｽﾄ", {"\xb6\xde\xb2\xc4\xde", "\xc3\xbd\xc4"}, {"ｶﾞｲﾄﾞ", "ﾃｽﾄ"}, true},
        {"mixed CP932 line", {"\xc3\xbd \x8e\x52\x93\x63 <a@example.jp>"}, {"ﾃｽ 山田 <a@example.jp>"}, true},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        TStringList list;
        for (const std::string& l : c.lines)
            list.Add(l);
        EXPECT_EQ(LinesToUtf8(list), c.converted);
        EXPECT_EQ(list.Lines(), c.read);
    }
}

}  // namespace
