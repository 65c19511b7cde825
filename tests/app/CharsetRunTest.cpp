// The charset chosen per message, driven through the main window against
// Debian's aiosmtpd; every message is read back with Python's email package
// and its strict codecs (read_mail.py).
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>

#include "app/Main.h"
#include "app/Setting.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/SmtpSink.h"

using namespace apptest;
using testsupport::ScriptedPeer;
using testsupport::SinkMessage;
using testsupport::SmtpSink;

namespace {

struct Shown {
    std::string subject, fromName, toName, body, charset;
    bool headerAscii;
    std::string toAddress;
    int toCount;
};

std::vector<Shown> ReadShown(const std::vector<SinkMessage>& messages)
{
    std::vector<Shown> mails;
    const auto str = [](const QJsonValue& v) { return v.toString().toStdString(); };
    for (const QJsonObject& o : apptest::ReadMails(messages)) {
        mails.push_back({str(o["subject"]), str(o["from"].toArray().at(0).toArray().at(0)),
                         str(o["to"].toArray().at(0).toArray().at(0)), str(o["body"]), str(o["charset"]),
                         o["header_7bit"].toBool(), str(o["to"].toArray().at(0).toArray().at(1)),
                         static_cast<int>(o["to"].toArray().size())});
    }
    return mails;
}

// The message without its Date line, which differs from run to run.
// The message without its Date and Message-ID lines, which differ per message.
std::string WithoutDate(std::string data)
{
    for (const char* name : {"\r\nDate: ", "\r\nMessage-ID: "}) {
        const size_t at = data.find(name);
        if (at != std::string::npos)
            data = data.substr(0, at) + data.substr(data.find("\r\n", at + 2));
    }
    return data;
}

// Base64 lines of at most 76 characters between the header and the end.
bool Base64Body(const std::string& data)
{
    if (data.find("Content-Transfer-Encoding: base64\r\n") == std::string::npos)
        return false;
    const size_t start = data.find("\r\n\r\n") + 4;
    for (size_t pos = start, end; pos < data.size(); pos = end + 2) {
        end = data.find("\r\n", pos);
        if (end == std::string::npos || end - pos > 76
            || data.substr(pos, end - pos).find_first_not_of(
                   "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") != std::string::npos)
            return false;
    }
    return true;
}

class CharsetRunTest : public AppTest {
protected:
    void Settings(uint16_t port, const std::string& fromName, const std::string& charset)
    {
        WriteFile(SettingsFileName, "127.0.0.1\r\n" + std::to_string(port) + "\r\npc01\r\n" + fromName
                                        + "\r\ntaro@example.jp\r\nnone\r\n\r\n" + charset + "\r\n");
    }
    void Send(const QString& subject, const QString& body, const std::string& recipients)
    {
        Form1->Edit2->setText(subject);
        Form1->Memo1->setPlainText(body);
        Form1->Edit1->setText(QString::fromStdString(WriteRecipients(recipients)));
        Click(Form1->Button4);
    }
};

}  // namespace

TEST_F(CharsetRunTest, AutoSendsWhatJisCannotCarryAsUtf8AndReadersDecodeItExactly)
{
    const std::vector<std::string> texts = {"髙橋", "山﨑", "①②", "㈱ベルトロウ", "予定 😀", "안녕하세요 김민수"};
    SmtpSink sink;
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        Settings(sink.Port(), "差出 " + text, "auto");
        Send(QString::fromStdString("件名 " + text), QString::fromStdString("本文 " + text + "\nｶﾞｲﾄﾞ"),
             "宛先 " + text + " <a@example.jp>\r\n");
        EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
    }
    ASSERT_TRUE(sink.WaitForMessages(texts.size()));
    const auto messages = sink.Messages();
    const auto mails = ReadShown(messages);
    for (size_t i = 0; i < mails.size() && i < texts.size(); ++i) {
        SCOPED_TRACE(texts[i]);
        EXPECT_EQ(mails[i].charset, "utf-8");
        EXPECT_EQ(mails[i].subject, "件名 " + texts[i]);
        EXPECT_EQ(mails[i].fromName, "差出 " + texts[i]);
        EXPECT_EQ(mails[i].toName, "宛先 " + texts[i]);
        EXPECT_EQ(mails[i].body, "本文 " + texts[i] + "\nｶﾞｲﾄﾞ\n");  // half-width as typed
        EXPECT_TRUE(mails[i].headerAscii);
        EXPECT_TRUE(Base64Body(messages[i].Data)) << messages[i].Data;
    }
}

TEST_F(CharsetRunTest, PureJisX0208StaysIso2022JpByteForByte)
{
    SmtpSink sink;
    for (const char* charset : {"iso-2022-jp", "auto", ""}) {
        Settings(sink.Port(), "山田 太郎", charset);
        Send(QString::fromUtf8("会議のご案内 〜 ｶﾞｲﾄﾞ"), QString::fromUtf8("第3回 −10％\n～"),
             "佐藤 花子 <a@example.jp>\r\n");
    }
    ASSERT_TRUE(sink.WaitForMessages(3));
    const auto messages = sink.Messages();
    EXPECT_EQ(WithoutDate(messages[1].Data), WithoutDate(messages[0].Data));
    EXPECT_EQ(WithoutDate(messages[2].Data), WithoutDate(messages[0].Data));
    EXPECT_NE(messages[0].Data.find("charset=iso-2022-jp\r\n"), std::string::npos) << messages[0].Data;
    EXPECT_EQ(messages[0].Data.find("Content-Transfer-Encoding"), std::string::npos) << messages[0].Data;
    const auto mails = ReadShown({messages[0]});
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].subject, "会議のご案内 〜 ガイド");
    EXPECT_EQ(mails[0].body, "\n第3回 −10％\n〜\n");  // an ISO-2022-JP body begins with a blank line
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(CharsetRunTest, ChoicesRefuseBeforeConnectingWhatTheyCannotCarry)
{
    struct Case {
        const char* charset;
        QString subject;
        QString body;
        std::string box;
        std::string fromName = "Taro";
    };
    const std::string toAuto = "。「設定」の文字コードを「自動」にすると UTF-8 で送れます";
    const std::vector<Case> cases = {
        {"iso-2022-jp", QString::fromUtf8("第①回"), "b",
         "タイトル: ISO-2022-JP で送れない機種依存文字があります: ① (U+2460)" + toAuto},
        {"iso-2022-jp", "s", QString::fromUtf8("a\n㈱ベルトロウ ㍻"),
         "本文 2 行目: ISO-2022-JP で送れない機種依存文字があります: ㈱ (U+3231)、㍻ (U+337B)" + toAuto},
        {"iso-2022-jp", "s", "b", "送信者名: ISO-2022-JP で送れない機種依存文字があります: Ⅲ (U+2162)" + toAuto,
         "山田Ⅲ"},
        {"iso-2022-jp", QString::fromUtf8("髙橋様"), "b", "タイトル: ISO-2022-JP で送れない文字があります: 髙 (U+9AD9)"},
        {"iso-2022-jp", "s", QString::fromUtf8("a\n😀"), "本文 2 行目: ISO-2022-JP で送れない文字があります: 😀 (U+1F600)"},
        {"auto", QString("a") + QChar(0xD83D), "b",
         "タイトル: 壊れた文字があります (文字の片割れなど、どの文字コードでも送れないもの)"},
        {"utf-8", "s", QString("a\nb") + QChar(0xDE00),
         "本文 2 行目: 壊れた文字があります (文字の片割れなど、どの文字コードでも送れないもの)"},
        {"auto", QString("a") + QChar(0) + "b", "s", "タイトル: 送れない制御文字 NUL (文字番号 0) があります"},
    };
    ScriptedPeer peer;
    peer.Accept().Start();  // a connection would show in Connections()
    for (const Case& c : cases) {
        SCOPED_TRACE(c.box);
        Boxes.clear();
        Settings(peer.Port(), c.fromName, c.charset);
        Send(c.subject, c.body, "a@example.jp\r\n");
        EXPECT_EQ(BoxTexts(), std::vector<std::string>{c.box});
    }
    EXPECT_EQ(peer.Connections(), 0);
}

TEST_F(CharsetRunTest, Utf8ChoiceSendsEveryMessageAsTyped)
{
    SmtpSink sink;
    Settings(sink.Port(), "ﾀﾛｳ", "utf-8");
    Send(QString::fromUtf8("ｶﾞｲﾄﾞ ～〜"), QString::fromUtf8("ﾃｽﾄ\nplain"), "ﾊﾅｺ <a@example.jp>\r\nb@example.jp\r\n");
    ASSERT_TRUE(sink.WaitForMessages(2));
    const auto mails = ReadShown(sink.Messages());
    for (const Shown& mail : mails) {
        EXPECT_EQ(mail.charset, "utf-8");
        EXPECT_EQ(mail.subject, "ｶﾞｲﾄﾞ ～〜");
        EXPECT_EQ(mail.fromName, "ﾀﾛｳ");
        EXPECT_EQ(mail.body, "ﾃｽﾄ\nplain\n");
    }
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_EQ(mails[0].toName, "ﾊﾅｺ");
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(CharsetRunTest, MixedRunDecidesPerMessageAndSaysSoBeforeAndAfter)
{
    SmtpSink sink;
    Settings(sink.Port(), "山田 太郎", "auto");
    Watch watch;
    Send(QString::fromUtf8("お知らせ"), QString::fromUtf8("本文です"),
         "佐藤 花子 <a@example.jp>\r\n髙橋 一郎 <b@example.jp>\r\nc@example.jp\r\n\"山﨑\" <d@example.jp>\r\n");
    ASSERT_TRUE(sink.WaitForMessages(4));
    const auto messages = sink.Messages();
    const auto mails = ReadShown(messages);
    ASSERT_EQ(mails.size(), 4u);
    const char* charsets[] = {"iso-2022-jp", "utf-8", "iso-2022-jp", "utf-8"};
    const char* names[] = {"佐藤 花子", "髙橋 一郎", "", "山﨑"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(mails[i].charset, charsets[i]) << i;
        EXPECT_EQ(mails[i].toName, names[i]) << i;
        EXPECT_EQ(mails[i].subject, "お知らせ");
        EXPECT_EQ(mails[i].fromName, "山田 太郎");
        EXPECT_EQ(mails[i].body, i % 2 ? "本文です\n" : "\n本文です\n");
    }
    // The ISO-2022-JP messages are those a run without the UTF-8 ones sends.
    EXPECT_FALSE(Base64Body(messages[0].Data));
    EXPECT_TRUE(Base64Body(messages[1].Data));
    // Said where it stays in view: the confirmation and the summary.
    ASSERT_EQ(Confirmations.size(), 1u);
    EXPECT_NE(Confirmations[0].Text.find("4 通のメッセージを 4 件のアドレスに送信します。\nうち 2 通は UTF-8 で送ります（JIS X 0208 にない文字があるため）。"),
              std::string::npos) << Confirmations[0].Text;
    ASSERT_EQ(Summaries.size(), 1u);
    EXPECT_NE(Summaries[0].Text.find("うち 2 通は UTF-8 で送りました（JIS X 0208 にない文字があるため）。"), std::string::npos)
        << Summaries[0].Text;
    for (const std::string& status : watch.status)
        EXPECT_EQ(status.find("UTF-8"), std::string::npos) << status;
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(CharsetRunTest, RecipientNamesAndCommentsParseAsOneAddressWithABareEnvelope)
{
    struct Case {
        const char* charset;
        std::string entry, name, address;
    };
    const std::vector<Case> cases = {
        {"auto", "c0255-1@example.jp (佐藤花子)", "佐藤花子", "c0255-1@example.jp"},
        {"utf-8", "c0255-2@example.jp (髙橋 一郎)", "髙橋 一郎", "c0255-2@example.jp"},
        {"iso-2022-jp", "  c3@example.jp (山田, 太郎)  ", "山田, 太郎", "c3@example.jp"},
        {"auto", "c4@example.jp (Sato, Hanako)", "Sato, Hanako", "c4@example.jp"},
        {"auto", "c5@example.jp ()", "", "c5@example.jp"},
        {"auto", "Yamada, Taro <c6@example.jp>", "Yamada, Taro", "c6@example.jp"},
        {"auto", "T. Suzuki (Sales) <c7@example.jp>", "T. Suzuki (Sales)", "c7@example.jp"},
        {"auto", "\"a\\\"b@c\" <c8@example.jp>", "a\"b@c", "c8@example.jp"},
        {"auto", "Ken Ito <c9@example.jp>", "Ken Ito", "c9@example.jp"},
    };
    SmtpSink sink;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        Settings(sink.Port(), "Taro", c.charset);
        Send("s", "b", c.entry + "\r\n");
        EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
    }
    ASSERT_TRUE(sink.WaitForMessages(cases.size()));
    const auto messages = sink.Messages();
    const auto mails = ReadShown(messages);
    ASSERT_EQ(mails.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].entry);
        EXPECT_EQ(messages[i].RcptTos, std::vector<std::string>{cases[i].address});
        EXPECT_EQ(mails[i].toCount, 1) << messages[i].Data;
        EXPECT_EQ(mails[i].toName, cases[i].name) << messages[i].Data;
        EXPECT_EQ(mails[i].toAddress, cases[i].address);
        EXPECT_TRUE(mails[i].headerAscii);
    }
    // A plain name goes out as written.
    EXPECT_NE(messages.back().Data.find("\r\nTo: Ken Ito <c9@example.jp>\r\n"), std::string::npos);
}

// RFC 2047 read strictly: every encoded word at most 75 characters, every
// header line holding one at most 76 with its field name, no defect under
// Python's strict policy, and subject and names decoded back exactly. The
// ISO-2022-JP texts of 43 to 45 bytes once made words of 78. (Python's
// address parser puts a blank between adjacent words of a name, against
// RFC 2047 6.2, so the names are read with its plain RFC 2047 decoder.)
TEST_F(CharsetRunTest, EncodedWordsAndTheirLinesKeepTheirLengths)
{
    const auto repeat = [](const std::string& s, int n) {
        std::string out;
        for (int i = 0; i < n; ++i)
            out += s;
        return out;
    };
    struct Case {
        const char* charset;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"iso-2022-jp", repeat("あ", 15)},                // 36 bytes: one word after "Subject: "
        {"iso-2022-jp", repeat("あ", 18) + "a"},          // 43
        {"iso-2022-jp", repeat("あ", 18) + "ab"},         // 44
        {"iso-2022-jp", "a" + repeat("あ", 19)},          // 45
        {"iso-2022-jp", repeat("会議のご案内、", 9)},     // several words
        {"utf-8", repeat("髙", 13)},                      // 39 bytes
        {"utf-8", repeat("髙", 14)},                      // 42
        {"utf-8", repeat("髙", 15) + "a"},                // 46
        {"utf-8", repeat("Jörg Müller 山﨑、", 6)},
    };
    SmtpSink sink;
    for (const Case& c : cases) {
        Settings(sink.Port(), c.text, c.charset);
        Send(QString::fromStdString(c.text), "b", c.text + " <hanako.yamada-sales@example.jp>\r\n");
        EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
    }
    ASSERT_TRUE(sink.WaitForMessages(cases.size()));
    std::vector<std::string> args;
    for (size_t i = 0; i < cases.size(); ++i) {
        args.push_back(sink.Message(i).Path);
        args.push_back(cases[i].text);
    }
    const auto result = testsupport::RunPython(R"(
import email, email.header, email.policy, email.utils, re, sys
word = re.compile(rb'=\?[^?]+\?[BbQq]\?[^?]*\?=')
for path, text in zip(sys.argv[1::2], sys.argv[2::2]):
    raw = open(path, 'rb').read()
    for line in raw.split(b'\r\n\r\n', 1)[0].split(b'\r\n'):
        words = word.findall(line)
        if words and len(line) > 76 or any(len(w) > 75 for w in words):
            print('too long:', line.decode())
    msg = email.message_from_bytes(raw, policy=email.policy.strict)
    plain = email.message_from_bytes(raw)
    names = [email.utils.getaddresses([plain[h]])[0][0] for h in ('From', 'To')]
    shown = [str(msg['Subject'])] + [str(email.header.make_header(email.header.decode_header(n))) for n in names]
    defects = [d for h in ('Subject', 'From', 'To') for d in msg[h].defects]
    if shown != [text] * 3 or defects or msg['To'].addresses[0].addr_spec != 'hanako.yamada-sales@example.jp':
        print('read as', shown, defects)
print('done')
)",
                                               args);
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    EXPECT_EQ(result.Output, "done\n");
}

