// The sender name with specials quoted, a Message-ID on every message, and
// recipient files that cannot be sent refused before anything goes out.
#include <cstdio>
#include <filesystem>
#include <set>
#include <sys/stat.h>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "engine/journal/Journal.h"
#include "app/Main.h"
#include "engine/run/SendRun.h"
#include "engine/account/SettingsFile.h"
#include "rtl/SysUtils.h"
#include "smtp/NMsmtp.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/SmtpSink.h"

using namespace apptest;
using testsupport::ScriptedPeer;
using testsupport::SmtpSink;

namespace {

class RecipientFileTest : public AppTest {
protected:
    void Use(const SmtpSink& sink, const std::string& name, const std::string& recipients)
    {
        WriteSettings("127.0.0.1", std::to_string(sink.Port()), "pc01", name, "taro@example.jp");
        Form1->Edit2->setText("subject");
        Form1->Memo1->setPlainText("body");
        Form1->Edit1->setText(QString::fromStdString(WriteRecipients(recipients)));
    }
};

// Notepad's and Excel's 「Unicode テキスト」: UTF-16 with its byte-order mark.
std::string Utf16(const std::u16string& text, bool le)
{
    std::string bytes = le ? "\xff\xfe" : "\xfe\xff";
    for (char16_t u : text) {
        const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
        bytes += le ? std::string{lo, hi} : std::string{hi, lo};
    }
    return bytes;
}

// From and To as Python's strict parser reads them, with the Message-ID:
// "count|name|address" per header, then the id.
std::vector<std::string> Describe(const testsupport::SinkMessage& message)
{
    const auto result = testsupport::RunPython(R"(
import email, email.policy, sys
msg = email.message_from_bytes(open(sys.argv[1], 'rb').read(), policy=email.policy.default)
for name in ('From', 'To'):
    h = msg[name]
    assert not h.defects, (name, h.defects)
    print('%d|%s|%s' % (len(h.addresses), h.addresses[0].display_name, h.addresses[0].addr_spec))
print(msg['Message-ID'])
)",
                                               {message.Path});
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < result.Output.size();) {
        const size_t end = result.Output.find('\n', pos);
        lines.push_back(result.Output.substr(pos, end - pos));
        pos = end == std::string::npos ? result.Output.size() : end + 1;
    }
    return lines;
}

}  // namespace

TEST_F(RecipientFileTest, QuotedSenderNameAndMessageIds)
{
    SmtpSink sink;
    Use(sink, "Yamada, Taro",
        "Hanako Sato <hs@example.jp>\r\nc0255-1@example.jp\r\nBob Smith <bob@example.com>\r\nJ Doe <jd@example.com>\r\n");
    Click(Form1->Button4);
    ASSERT_TRUE(sink.WaitForMessages(4)) << sink.ServerLog();
    EXPECT_TRUE(Boxes.empty()) << ::testing::PrintToString(BoxTexts());
    const struct {
        const char* to;
        const char* rcpt;
    } expected[] = {
        {"1|Hanako Sato|hs@example.jp", "hs@example.jp"},
        {"1||c0255-1@example.jp", "c0255-1@example.jp"},
        {"1|Bob Smith|bob@example.com", "bob@example.com"},
        {"1|J Doe|jd@example.com", "jd@example.com"},
    };
    std::set<std::string> ids;
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const auto message = sink.Message(i);
        EXPECT_EQ(message.RcptTos, std::vector<std::string>{expected[i].rcpt});
        const std::vector<std::string> d = Describe(message);
        ASSERT_EQ(d.size(), 3u);
        EXPECT_EQ(d[0], "1|Yamada, Taro|taro@example.jp");
        EXPECT_EQ(d[1], expected[i].to);
        EXPECT_EQ(d[2].front(), '<');
        EXPECT_NE(d[2].find("@example.jp>"), std::string::npos) << d[2];
        ids.insert(d[2]);
        EXPECT_EQ(message.Data.find("\xE4\xBD\x90"), std::string::npos) << "raw UTF-8 in the header";
    }
    EXPECT_EQ(ids.size(), 4u) << "Message-IDs repeat";
}

TEST_F(RecipientFileTest, FilesThatCannotBeSentAreRefusedNamingTheLine)
{
    const std::string longAddress = std::string(250, 'a') + "@example.jp";
    const struct {
        const char* what;
        std::string file;
        std::string box;
    } cases[] = {
        {"a NUL byte", std::string("a@example.jp\r\nb@exa\0mple.jp\r\nc@example.jp\r\n", 43),
         "宛先 2 行目: NUL 文字 (0x00) があります"},
        {"a NUL byte after lone CR and LF line ends", std::string("a@example.jp\rb@example.jp\nc\0", 28),
         "宛先 3 行目: NUL 文字 (0x00) があります"},
        {"a line too long for the To line", "a@example.jp\r\n" + std::string(995, 'x') + "\r\n",
         "宛先 2 行目: 長すぎて送れません"},
        {"an address too long for RCPT TO", "x <" + longAddress + ">\r\n", "宛先 1 行目: 長すぎて送れません"},
        {"a NUL in UTF-16", Utf16(std::u16string(u"a@example.jp\r\nb@exa\0mple.jp", 27), true),
         "宛先 2 行目: NUL 文字 (0x00) があります"},
        {"a lone surrogate in UTF-16", Utf16(u"a@example.jp\r\n\xd800" u"b@example.jp", false),
         "宛先 2 行目: UTF-16 として正しくないバイトがあります: D8 00"},
        {"UTF-16 cut in half", Utf16(u"a@example.jp\n", true) + "b", "宛先 2 行目: UTF-16 として正しくないバイトがあります: 62"},
        {"UTF-8 with a broken character", "a@example.jp\r\nb@example.jp\r\n\x82 <c@example.jp>\r\n",
         "宛先 3 行目: CP932 として正しくないバイトがあります: 1 バイト目の 82 20"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Boxes.clear();
        SmtpSink sink;
        Use(sink, "Taro", c.file);
        Click(Form1->Button4);
        EXPECT_EQ(BoxTexts(), std::vector<std::string>{c.box});
        Click(Form1->Button5);  // the connection the failure left open
        EXPECT_FALSE(Form1->NMSMTP1->Connected);
        EXPECT_EQ(sink.MessageCount(), 0u);
    }
}

// Settings and recipient files as Windows users save them: UTF-16 with its
// mark, UTF-8 with accented names, and Shift_JIS whose ﾃｽ is valid UTF-8 too.
TEST_F(RecipientFileTest, FilesSavedOnWindowsAreReadAsWritten)
{
    SmtpSink sink;
    const std::string port = std::to_string(sink.Port());
    const auto utf8Settings = [&](const std::string& name) {
        return "127.0.0.1\r\n" + port + "\r\npc01\r\n" + name + "\r\ntaro@example.jp\r\n";
    };
    const auto utf16Settings = [&](const std::u16string& name, bool le) {
        return Utf16(u"127.0.0.1\r\n" + std::u16string(port.begin(), port.end()) + u"\r\npc01\r\n" + name
                         + u"\r\ntaro@example.jp\r\n",
                     le);
    };
    struct Case {
        const char* what;
        std::string settings, recipients;
        std::vector<std::string> shown;  // "From name|To name|To address" of each message
    } cases[] = {
        {"UTF-16 LE", utf16Settings(u"René Ørsted", true), Utf16(u"Jörg Müller <j@example.de>\r\n", true),
         {"René Ørsted|Jörg Müller|j@example.de"}},
        {"UTF-16 BE: ý stays ý", utf16Settings(u"山田 太郎", false), Utf16(u"\xfd <t@example.jp>\n", false),
         {"山田 太郎|ý|t@example.jp"}},
        {"UTF-8 accented", utf8Settings("Łódź 営業部"), "café <c@example.fr>\r\nÅngström <a@example.se>\r\n",
         {"Łódź 営業部|café|c@example.fr", "Łódź 営業部|Ångström|a@example.se"}},
        {"Shift_JIS ﾃｽ", utf8Settings("\xc3\xbd"), "\xc3\xbd <t@example.jp>\r\n", {"テス|テス|t@example.jp"}},
    };
    size_t sent = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Boxes.clear();
        Use(sink, "x", c.recipients);
        WriteFile(SettingsFileName, c.settings);
        Click(Form1->Button4);
        ASSERT_TRUE(sink.WaitForMessages(sent + c.shown.size())) << ::testing::PrintToString(BoxTexts());
        EXPECT_TRUE(Boxes.empty()) << ::testing::PrintToString(BoxTexts());
        for (const std::string& shown : c.shown) {
            const std::vector<std::string> d = Describe(sink.Message(sent++));
            ASSERT_EQ(d.size(), 3u);
            EXPECT_EQ(d[0].substr(2, d[0].rfind('|') - 2) + d[1].substr(1), shown);
        }
    }
    // A settings file that cannot be read is named with its line.
    Boxes.clear();
    WriteFile(SettingsFileName, utf16Settings(u"山田\xdc00", true));
    Click(Form1->Button4);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"設定.txt の 4 行目: UTF-16 として正しくないバイトがあります: 00 DC"});
    EXPECT_EQ(sink.MessageCount(), sent);
}

// Lists that give the run nothing to do stop before the connection, saying why.
TEST_F(RecipientFileTest, ListsWithNothingToSendStopBeforeConnecting)
{
    const std::string fifo = Scratch() + "/fifo.txt";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string csv = WriteRecipients("\x8E\x52\x93\x63,yamada@example.jp\r\nSato <sato@example.jp\r\n\r\n"
                                            "\x8D\xB2\x93\xA1 <>\r\n",
                                            "excel.txt");
    const std::string notRegular = " は通常のファイルではありません（%s）。宛先を 1 行に 1 件書いたテキストファイルを選んでください";
    const struct {
        std::string path;
        std::string box;
    } cases[] = {
        {fifo, "宛先ファイル " + fifo + Format(notRegular.c_str(), "名前付きパイプ")},
        {Scratch(), "宛先ファイル " + Scratch() + Format(notRegular.c_str(), "フォルダ")},
        {"/dev/zero", "宛先ファイル /dev/zero" + Format(notRegular.c_str(), "デバイス")},
        {csv, "宛先ファイル " + csv + " に送信できる宛先がありません: 宛先不正 4 件（1 行目: 区切り文字があります（1 行に宛先 1 件）、"
                   "2 行目: < > が閉じていません、3 行目: 空行、…）"},
        {WriteRecipients(""), "宛先ファイル " + Scratch() + "/rcpt.txt に宛先がありません"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Boxes.clear();
        ScriptedPeer peer;
        peer.SendLine("220 ready").ExpectClose();
        peer.Start();
        WriteSettings("127.0.0.1", std::to_string(peer.Port()), "pc01", "Taro", "taro@example.jp");
        Form1->Edit1->setText(QString::fromStdString(c.path));
        Click(Form1->Button4);
        EXPECT_EQ(BoxTexts(), std::vector<std::string>{c.box});
        EXPECT_EQ(peer.Connections(), 0);
        EXPECT_EQ(Form1->Run().State(), TSendState::Idle);
    }
}

// A long list is read and checked while the window answers: Abort stops it
// before anything is connected.
TEST_F(RecipientFileTest, AbortWhileALongListIsReadEndsTheRunQuietly)
{
    std::string list;
    for (int i = 0; i < 1'000'000; ++i)
        list += "r" + std::to_string(i) + "@example.jp\r\n";
    ScriptedPeer peer;
    peer.SendLine("220 ready").ExpectClose();
    peer.Start();
    WriteSettings("127.0.0.1", std::to_string(peer.Port()), "pc01", "Taro", "taro@example.jp");
    Form1->Edit1->setText(QString::fromStdString(WriteRecipients(list)));
    int64_t pressed = -1;
    When abort([] { return Form1->Run().State() == TSendState::Connecting; }, [&] {
        pressed = NowMs();
        Click(Form1->Button5);
    });
    Click(Form1->Button4);
    ASSERT_TRUE(abort.Done());
    // A figure for the record, not a bound: the machine's load decides it.
    std::printf("[ list ] Abort while reading 1,000,000 lines ended the run after %lld ms\n",
                static_cast<long long>(NowMs() - pressed));
    EXPECT_TRUE(Boxes.empty()) << ::testing::PrintToString(BoxTexts());
    EXPECT_EQ(peer.Connections(), 0);
    EXPECT_FALSE(std::filesystem::exists(JournalFolderBeside(SettingsFileName)));
}
