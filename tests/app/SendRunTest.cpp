// The bulk send run driven through the main window: against Debian's
// aiosmtpd (every received message read back with Python's email package)
// and against the scripted peer where the exact wire or a refusal matters.
#include <ctime>
#include <functional>
#include <filesystem>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include "engine/run/ErrorWords.h"
#include "app/Main.h"
#include "app/Setting.h"
#include "smtp/NMsmtp.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/SmtpSink.h"

using namespace apptest;
using testsupport::ScriptedPeer;
using testsupport::SinkMessage;
using testsupport::SmtpSink;

namespace {

std::string Str(const QJsonValue& v) { return v.toString().toStdString(); }

// [[name, address], ...] of a From or To line.
std::vector<std::pair<std::string, std::string>> Addresses(const QJsonValue& v)
{
    std::vector<std::pair<std::string, std::string>> out;
    for (const QJsonValue& pair : v.toArray())
        out.emplace_back(Str(pair.toArray().at(0)), Str(pair.toArray().at(1)));
    return out;
}

class SendRunTest : public AppTest {
protected:
    void UseServer(uint16_t port, const std::string& user = "pc01.example.jp",
                   const std::string& name = "山田 太郎", const std::string& address = "taro@example.jp")
    {
        WriteSettings("127.0.0.1", std::to_string(port), user, name, address);
    }
    // Types the subject and the body lines into the real fields.
    void Type(const std::string& subject, const std::vector<std::string>& body)
    {
        Form1->Edit2->clear();
        TypeText(Form1->Edit2, QString::fromStdString(subject));
        Form1->Memo1->clear();
        for (const std::string& line : body)
            TypeText(Form1->Memo1, QString::fromStdString(line) + QLatin1Char('\n'));
    }
    void Recipients(const std::string& bytes)
    {
        Form1->Edit1->clear();
        TypeText(Form1->Edit1, QString::fromStdString(WriteRecipients(bytes)));
    }
    void Send() { Click(Form1->Button4); }
    // Settings line 8: every message ISO-2022-JP, so text it cannot carry
    // is refused (auto would send it as UTF-8).
    void ChooseIso2022Jp() { WriteFile(SettingsFileName, ReadFile(SettingsFileName) + "none\r\n\r\niso-2022-jp\r\n"); }
};

// The wire of one accepted message on the scripted peer.
void ScriptMessage(ScriptedPeer& peer, const std::string& from, const std::string& rcpt, std::string* data)
{
    peer.Expect("RSET").SendLine("250 OK");
    peer.Expect("MAIL FROM:<" + from + ">").SendLine("250 OK");
    peer.Expect("RCPT TO:<" + rcpt + ">").SendLine("250 OK");
    peer.Expect("DATA").SendLine("354 go ahead");
    peer.ExpectUntil("\r\n.\r\n", data).SendLine("250 queued");
}

}  // namespace

TEST_F(SendRunTest, EveryEntryGetsOneTransactionOnOneConnection)
{
    ScriptedPeer peer;
    std::string data1, data2, data3;
    peer.SendLine("220 peer ready").Expect("HELO pc01").SendLine("250 hello");
    ScriptMessage(peer, "taro@example.jp", "a@example.jp", &data1);
    ScriptMessage(peer, "taro@example.jp", "b@example.jp", &data2);
    ScriptMessage(peer, "taro@example.jp", "c@example.jp", &data3);
    peer.Expect("QUIT").SendLine("221 bye").ExpectClose();
    peer.Start();

    UseServer(peer.Port(), "pc01", "Taro");
    Type("hello", {"body"});
    Recipients("a@example.jp\r\nb@example.jp\r\nc@example.jp\r\n");
    Watch watch;
    Send();

    ASSERT_TRUE(peer.WaitDone());
    EXPECT_TRUE(peer.ScriptUsedUp()) << peer.Failure();
    EXPECT_EQ(peer.Connections(), 1);
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(watch.progress, (std::vector<std::string>{"1/3", "2/3", "3/3", "送信終了"}));
    // A repeated text does not change the bar, so each change shows once.
    EXPECT_EQ(watch.status, (std::vector<std::string>{"接続しました", "メッセージを送り終わりました",
                                                       "接続を終了しました"}));
    EXPECT_NE(data1.find("To: a@example.jp\r\n"), std::string::npos) << data1;
    EXPECT_NE(data3.find("To: c@example.jp\r\n"), std::string::npos) << data3;
    EXPECT_NE(data1.find("From: Taro <taro@example.jp>\r\n"), std::string::npos) << data1;
    EXPECT_FALSE(Form1->NMSMTP1->Connected);
}

// Mended: the body is converted to ISO-2022-JP line by line (it went out
// raw under "charset=iso-2022-jp"), and every message carries a Date.
TEST_F(SendRunTest, ReadersShowSubjectAndBodyExactlyAsTyped)
{
    SmtpSink sink;
    UseServer(sink.Port());
    const std::vector<std::string> body = {
        "各位", "", "Hello, world. 12:00", ".", "..x", "ﾃｽﾄ 半角カナ ｶﾞｲﾄﾞ", "〜お知らせ〜 (第3回)"};
    Type("Re: 会議のご案内 (第3回) ｶﾞｲﾄﾞ", body);
    Recipients("a@example.jp\r\nb@example.jp\r\n");
    const std::time_t before = std::time(nullptr);
    Send();
    const std::time_t after = std::time(nullptr);

    ASSERT_TRUE(sink.WaitForMessages(2)) << sink.ServerLog();
    EXPECT_TRUE(Boxes.empty());
    const auto mails = ReadMails(sink.Messages());
    // Half-width katakana cannot travel in ISO-2022-JP; it arrives full-width.
    const std::string expectedBody =
        "\n各位\n\nHello, world. 12:00\n.\n..x\nテスト 半角カナ ガイド\n〜お知らせ〜 (第3回)\n";
    for (const QJsonObject& mail : mails) {
        EXPECT_EQ(Str(mail["subject"]), "Re: 会議のご案内 (第3回) ガイド");
        EXPECT_EQ(Str(mail["body"]), expectedBody);
        EXPECT_EQ(Str(mail["charset"]), "iso-2022-jp");
        EXPECT_TRUE(mail["header_7bit"].toBool());
        EXPECT_TRUE(mail["body_7bit"].toBool());
        ASSERT_TRUE(mail["date_epoch"].isDouble()) << Str(mail["date"]);
        EXPECT_GE(mail["date_epoch"].toDouble(), static_cast<double>(before) - 1);
        EXPECT_LE(mail["date_epoch"].toDouble(), static_cast<double>(after) + 1);
    }
    // Each line ends in ASCII mode; the raw body holds no 8-bit byte.
    const std::string data = sink.Message(0).Data;
    EXPECT_NE(data.find("\x1B$B3F0L\x1B(B\r\n"), std::string::npos);  // 各位
}

TEST_F(SendRunTest, LongSubjectArrivesWhole)
{
    SmtpSink sink;
    UseServer(sink.Port());
    std::string subject;
    for (int i = 0; i < 6; ++i)
        subject += "第" + std::to_string(i + 1) + "回 定例会議のご案内、";
    Type(subject, {"x"});
    Recipients("a@example.jp\r\n");
    Send();
    ASSERT_TRUE(sink.WaitForMessages(1)) << sink.ServerLog();
    const auto mails = ReadMails(sink.Messages());
    EXPECT_EQ(Str(mails[0]["subject"]), subject);
    EXPECT_TRUE(mails[0]["header_7bit"].toBool());
}

// Mended: display names that are not ASCII travel as encoded words; ASCII
// names, addresses and the envelope stay as they were.
TEST_F(SendRunTest, SenderAndRecipientNamesDecodeAndEnvelopeIsBare)
{
    SmtpSink sink;
    UseServer(sink.Port(), "pc01.example.jp", "山田 太郎");
    Type("names", {"x"});
    Recipients("佐藤 花子 <hanako@example.jp>\r\n\"鈴木 一郎\" <ichiro@example.jp>\r\n"
               "Bob Smith <bob@example.com>\r\nplain@example.jp\r\n");
    Send();

    ASSERT_TRUE(sink.WaitForMessages(4)) << sink.ServerLog();
    EXPECT_TRUE(Boxes.empty());
    const auto messages = sink.Messages();
    const auto mails = ReadMails(messages);
    ASSERT_EQ(mails.size(), 4u);
    const std::vector<std::pair<std::string, std::string>> to = {
        {"佐藤 花子", "hanako@example.jp"}, {"鈴木 一郎", "ichiro@example.jp"},
        {"Bob Smith", "bob@example.com"}, {"", "plain@example.jp"}};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Addresses(mails[i]["from"]),
                  (std::vector<std::pair<std::string, std::string>>{{"山田 太郎", "taro@example.jp"}}));
        EXPECT_EQ(Addresses(mails[i]["to"]), (std::vector<std::pair<std::string, std::string>>{to[i]}));
        EXPECT_TRUE(mails[i]["header_7bit"].toBool());
        EXPECT_EQ(messages[i].RcptTos, std::vector<std::string>{to[i].second});
        EXPECT_EQ(messages[i].MailFrom, "taro@example.jp");
        EXPECT_EQ(messages[i].Helo, "pc01.example.jp");
    }
    EXPECT_EQ(Str(mails[2]["to_raw"]), "Bob Smith <bob@example.com>");
    EXPECT_EQ(Str(mails[3]["to_raw"]), "plain@example.jp");
}

TEST_F(SendRunTest, FilesFromAShiftJisSystemAreReadAsCp932)
{
    SmtpSink sink;
    // 山田 and 佐藤 in CP932 bytes; the recipient file has no final line end.
    WriteFile(SettingsFileName, "127.0.0.1\r\n" + std::to_string(sink.Port()) +
                                    "\r\npc01\r\n\x8E\x52\x93\x63\r\ntaro@example.jp\r\n");
    Type("cp932", {"x"});
    Recipients("\x8D\xB2\x93\xA1 <sato@example.jp>");
    Send();
    ASSERT_TRUE(sink.WaitForMessages(1)) << sink.ServerLog();
    EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
    const auto mails = ReadMails(sink.Messages());
    EXPECT_EQ(Addresses(mails[0]["from"]),
              (std::vector<std::pair<std::string, std::string>>{{"山田", "taro@example.jp"}}));
    EXPECT_EQ(Addresses(mails[0]["to"]),
              (std::vector<std::pair<std::string, std::string>>{{"佐藤", "sato@example.jp"}}));
}

// An empty file stops before connecting (RecipientFileTest's lists with nothing to send).
TEST_F(SendRunTest, EntriesAreUsedAsWritten)
{
    struct Case {
        const char* name;
        std::string file;
        std::vector<std::vector<std::string>> rcpts;  // per message
        std::vector<std::string> progress;
    };
    const std::vector<Case> cases = {
        {"last line without line end, duplicate address",
         "a@example.jp\r\nb@example.jp\na@example.jp",
         {{"a@example.jp"}, {"b@example.jp"}, {"a@example.jp"}},
         {"1/3", "2/3", "3/3", "送信終了"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SmtpSink sink;
        UseServer(sink.Port());
        Type("t", {"b"});
        Recipients(c.file);
        Watch watch;
        Send();
        EXPECT_TRUE(Boxes.empty());
        EXPECT_EQ(watch.progress, c.progress);
        EXPECT_EQ(watch.status.front(), "接続しました");
        EXPECT_EQ(watch.status.back(), "接続を終了しました");
        ASSERT_TRUE(sink.WaitForMessages(c.rcpts.size()));
        const auto messages = sink.Messages();
        ASSERT_EQ(messages.size(), c.rcpts.size());
        for (size_t i = 0; i < messages.size(); ++i)
            EXPECT_EQ(messages[i].RcptTos, c.rcpts[i]);
    }
}

TEST_F(SendRunTest, BlankEntryIsSkippedAsInvalidAndTheRunGoesOn)
{
    SmtpSink sink;
    UseServer(sink.Port());
    Type("t", {"b"});
    Recipients("a@example.jp\r\n\r\nb@example.jp\r\n");
    Watch watch;
    Send();

    EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
    ASSERT_EQ(sink.MessageCount(), 2u);
    EXPECT_EQ(sink.Message(1).RcptTos, std::vector<std::string>{"b@example.jp"});
    EXPECT_EQ(watch.progress, (std::vector<std::string>{"1/3", "2/3", "送信終了"}));
    EXPECT_EQ(watch.status.front(), "宛先不正 1 件（2 行目: 空行）は送信しません");
    EXPECT_FALSE(Form1->NMSMTP1->Connected);
    ASSERT_EQ(Summaries.size(), 1u);
    EXPECT_EQ(Summaries[0].Text.substr(0, Summaries[0].Text.find("\n\n")),
              "送信済み 2 件\n拒否 0 件\n一時エラー 0 件\n不明 0 件\n未送信 0 件\n宛先不正 1 件");
}

TEST_F(SendRunTest, EmptyPathFailsBeforeConnecting)
{
    SmtpSink sink;
    UseServer(sink.Port());
    Type("t", {"b"});
    Form1->Edit1->clear();
    Send();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"ファイル  は開けません"});
    EXPECT_FALSE(Form1->NMSMTP1->Connected);
    EXPECT_TRUE(Summaries.empty());

    Recipients("a@example.jp\r\n");
    Send();
    EXPECT_EQ(Boxes.size(), 1u);
    EXPECT_TRUE(sink.WaitForMessages(1));
    EXPECT_EQ(Form1->Edit3->text(), "送信終了");
}

TEST_F(SendRunTest, SendDuringARunFailsAlreadyConnectedAndTheRunGoesOn)
{
    SmtpSink sink;
    UseServer(sink.Port());
    Type("first", {"b"});
    Recipients("a@example.jp\r\nb@example.jp\r\nc@example.jp\r\n");
    // The second message is assembled before the run waits again; the
    // second Send's subject reaches the messages after it.
    When second([] { return Form1->Edit3->text() == "1/3"; }, [] {
        Form1->Edit2->setText("second");
        Click(Form1->Button4);
    });
    Watch watch;
    Send();

    EXPECT_TRUE(second.Done());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Already connected"});
    EXPECT_EQ(watch.progress, (std::vector<std::string>{"1/3", "2/3", "3/3", "送信終了"}));
    ASSERT_TRUE(sink.WaitForMessages(3));
    EXPECT_FALSE(Form1->NMSMTP1->Connected);
    const auto mails = ReadMails(sink.Messages());
    ASSERT_EQ(mails.size(), 3u);
    EXPECT_EQ(Str(mails[0]["subject"]), "first");
    EXPECT_EQ(Str(mails[2]["subject"]), "second");
}

TEST_F(SendRunTest, SettingsFailBeforeConnecting)
{
    ScriptedPeer peer;
    peer.Accept().Start();  // a connection would show in Connections()
    Type("t", {"b"});
    Recipients("a@example.jp\r\n");

    WriteSettings("127.0.0.1", "abc", "u", "n", "a@b");
    Send();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{
                              "設定.txt の 2 行目 (ポート) の「abc」は使えません。1 から 65535 までの整数を書いてください。"});
    EXPECT_EQ(Form1->NMSMTP1->Host, "127.0.0.1");
    EXPECT_EQ(Form1->NMSMTP1->UserID, "");

    WriteFile(SettingsFileName, "127.0.0.1\r\n" + std::to_string(peer.Port()) + "\r\nu\r\n");
    Send();
    EXPECT_EQ(BoxTexts().back(), "リストのインデックスが範囲を超えています (3)");
    EXPECT_EQ(Form1->NMSMTP1->UserID, "u");

    EXPECT_FALSE(Form1->NMSMTP1->Connected);
    EXPECT_EQ(peer.Connections(), 0);
}

TEST_F(SendRunTest, MissingSettingsFileIsCreatedWithTheDefaults)
{
    Type("t", {"b"});
    Recipients("a@example.jp\r\n");
    Send();
    EXPECT_EQ(ReadFile(SettingsFileName), "\r\n25\r\n\r\n\r\n\r\n");
    EXPECT_EQ(Form1->NMSMTP1->Host, "");
    EXPECT_EQ(Form1->NMSMTP1->Port, 25);
    EXPECT_EQ(Form1->NMSMTP1->PostMessage->FromAddress, "");
    // With no server named the connection cannot even start.
    ASSERT_FALSE(Boxes.empty());
    EXPECT_FALSE(Form1->NMSMTP1->Connected);
}

TEST_F(SendRunTest, SettingsSavedInTheWindowAreUsedAtTheNextSend)
{
    SmtpSink sink;
    UseServer(sink.Port(), "first.example.jp", "Taro", "taro@example.jp");
    Type("t", {"b"});
    Recipients("a@example.jp\r\n");
    Send();
    ASSERT_TRUE(sink.WaitForMessages(1));

    Click(Form1->Button10);
    ASSERT_EQ(Form3->Edit3->text(), "first.example.jp");
    Form3->Edit3->clear();
    QTest::keyClicks(Form3->Edit3, "second.example.jp");
    Form3->Edit5->clear();
    QTest::keyClicks(Form3->Edit5, "hanako@example.jp");
    Click(Form3->Button2);
    Send();

    ASSERT_TRUE(sink.WaitForMessages(2));
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(sink.Message(0).Helo, "first.example.jp");
    EXPECT_EQ(sink.Message(1).Helo, "second.example.jp");
    EXPECT_EQ(sink.Message(1).MailFrom, "hanako@example.jp");
}

// Mended: text that ISO-2022-JP cannot carry stops the Send before it
// connects, naming the characters; nothing garbled is sent.
TEST_F(SendRunTest, UnmailableTextIsRefusedBeforeConnecting)
{
    struct Case {
        const char* name;
        std::string subject;
        std::vector<std::string> body;
        std::string sender;
        std::string box;
    };
    const std::vector<Case> cases = {
        {"emoji in the subject", "会議🎉", {"x"}, "Taro",
         "タイトル: ISO-2022-JP で送れない文字があります: 🎉 (U+1F389)"},
        {"IBM extension in the body", "t", {"ok", "髙橋です"}, "Taro",
         "本文 2 行目: ISO-2022-JP で送れない文字があります: 髙 (U+9AD9)"},
        {"character CP932 lacks in the body", "t", {"한국어"}, "Taro",
         "本文 1 行目: ISO-2022-JP で送れない文字があります:"},
        {"emoji in the sender name", "t", {"x"}, "太郎😀", "送信者名: ISO-2022-JP で送れない文字があります: 😀 (U+1F600)"},
    };
    ScriptedPeer peer;
    peer.Accept().Start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Boxes.clear();
        UseServer(peer.Port(), "pc01", c.sender);
        ChooseIso2022Jp();
        Type(c.subject, c.body);
        Recipients("a@example.jp\r\n");
        Send();
        ASSERT_EQ(Boxes.size(), 1u);
        EXPECT_EQ(Boxes[0].Type, mtError);
        EXPECT_EQ(Boxes[0].Text.substr(0, c.box.size()), c.box) << Boxes[0].Text;
    }
    EXPECT_FALSE(Form1->NMSMTP1->Connected);
    EXPECT_EQ(peer.Connections(), 0);
}

TEST_F(SendRunTest, UnmailableRecipientNameIsSkippedAsInvalid)
{
    SmtpSink sink;
    UseServer(sink.Port());
    ChooseIso2022Jp();
    Type("t", {"b"});
    Recipients("絵文字😀 <b@example.jp>\r\na@example.jp\r\n");
    Send();
    EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
    ASSERT_EQ(sink.MessageCount(), 1u);
    EXPECT_EQ(sink.Message(0).RcptTos, std::vector<std::string>{"a@example.jp"});
    EXPECT_FALSE(Form1->NMSMTP1->Connected);
}

// Mended: ToAddress is emptied before each entry, so the entry whose message
// was refused does not receive the next run's first message.
TEST_F(SendRunTest, RefusedEntryDoesNotGetTheNextRunsMessage)
{
    ScriptedPeer peer;
    peer.SendLine("220 ready").Expect("HELO pc01").SendLine("250 hello");
    peer.Expect("RSET").SendLine("250 OK").Expect("MAIL FROM:<taro@example.jp>").SendLine("250 OK");
    peer.Expect("RCPT TO:<first@example.jp>").SendLine("250 OK").Expect("DATA").SendLine("354 go");
    peer.ExpectUntil("\r\n.\r\n").SendLine("554 rejected");
    peer.Expect("QUIT").SendLine("221 bye").ExpectClose();
    peer.Accept().SendLine("220 ready").Expect("HELO pc01").SendLine("250 hello");
    std::string data;
    ScriptMessage(peer, "taro@example.jp", "second@example.jp", &data);
    peer.Expect("QUIT").SendLine("221 bye").ExpectClose();
    peer.Start();

    UseServer(peer.Port(), "pc01", "Taro");
    Type("t", {"b"});
    Recipients("first@example.jp\r\n");
    Send();
    // The refusal is the entry's outcome, not a box; the run ends with QUIT.
    EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
    EXPECT_FALSE(Form1->NMSMTP1->Connected);
    Click(Form1->Button5);

    Recipients("second@example.jp\r\n");
    Send();
    ASSERT_TRUE(peer.WaitDone());
    EXPECT_TRUE(peer.ScriptUsedUp()) << peer.Failure();
    EXPECT_NE(data.find("To: second@example.jp\r\n"), std::string::npos) << data;
    EXPECT_EQ(data.find("first@"), std::string::npos) << data;
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(Summaries.size(), 2u);
}

TEST_F(SendRunTest, RefusalsEndTheRunWithOneBoxAndNoConnectionLeft)
{
    struct Case {
        const char* name;
        std::function<void(ScriptedPeer&)> script;
        std::string fromAddress;
        std::string box;
        bool inSummary;  // the failure heads the run's summary box
    };
    const auto greet = [](ScriptedPeer& peer) {
        peer.SendLine("220 ready").Expect("HELO pc01").SendLine("250 hello");
    };
    const std::vector<Case> cases = {
        {"greeting refused", [](ScriptedPeer& peer) { peer.SendLine("554 no service"); },
         "taro@example.jp", "554 no service", false},
        {"HELO refused",
         [](ScriptedPeer& peer) { peer.SendLine("220 ready").Expect("HELO pc01").SendLine("501 who"); },
         "taro@example.jp", "Authentication failed\n501 who", false},
        {"no sender address", greet, "", "Incomplete Header", true},
        {"MAIL FROM refused",
         [&](ScriptedPeer& peer) {
             greet(peer);
             peer.Expect("RSET").SendLine("250 OK").Expect("MAIL FROM:<taro@example.jp>").SendLine("550 no");
         },
         // The refusal is the entry's outcome; the run goes on to its QUIT.
         "taro@example.jp", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Boxes.clear();
        ScriptedPeer peer;
        c.script(peer);
        peer.Expect("QUIT").SendLine("221 bye").ExpectClose();
        peer.Start();
        WriteSettings("127.0.0.1", std::to_string(peer.Port()), "pc01", "Taro", c.fromAddress);
        Type("t", {"b"});
        Recipients("a@example.jp\r\n");
        Form1->Edit3->clear();
        Summaries.clear();
        Send();
        if (c.inSummary) {
            EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
            ASSERT_EQ(Summaries.size(), 1u);
            EXPECT_EQ(Summaries[0].Type, mtError);
            EXPECT_EQ(Summaries[0].Text.rfind(ErrorBoxText(c.box) + "\n\n送信済み 0 件", 0), 0u) << Summaries[0].Text;
        } else {
            EXPECT_EQ(BoxTexts(), c.box.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.box});
        }
        ASSERT_TRUE(peer.WaitDone());
        EXPECT_TRUE(peer.ScriptUsedUp()) << peer.Failure();
        EXPECT_FALSE(Form1->NMSMTP1->Connected);
        EXPECT_EQ(Form1->StatusBar1->currentMessage(), "接続を終了しました");
        EXPECT_EQ(Form1->Edit3->text(), "送信終了");
    }
}

TEST_F(SendRunTest, ConnectionFailuresShowOneBox)
{
    const testsupport::RefusedPort refused;
    UseServer(refused.Port());
    Type("t", {"b"});
    Recipients("a@example.jp\r\n");
    {
        Watch watch;
        Send();
        EXPECT_EQ(watch.status, std::vector<std::string>{"接続に失敗しました"});
    }
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Connection Failed"});
    EXPECT_EQ(Boxes[0].Type, mtError);
    // The box leads with the server it tried and what to check.
    EXPECT_EQ(Boxes[0].Explanation, "サーバー 127.0.0.1:" + std::to_string(refused.Port())
                                        + " に接続できませんでした。「設定」の「SMTPサーバ」と「ポート」が正しいか、"
                                          "サーバーが動いているか、ファイアウォールに止められていないかを確認してください。");

    Boxes.clear();
    WriteSettings("no-such-host.invalid", "25", "u", "n", "a@b");
    Watch watch;
    Send();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Null Remote Address"});
    EXPECT_EQ(Boxes[0].Explanation.rfind("サーバー名 no-such-host.invalid が見つかりません。", 0), 0u)
        << Boxes[0].Explanation;
    EXPECT_EQ(watch.status, std::vector<std::string>{"サーバー名が違っています"});
}

// The check of every row asks before anything connects, and Enter (the
// default button) answers キャンセル; the confirmation with repeated
// addresses offers one message per address.
TEST_F(SendRunTest, TheRowChecksQuestionsDefaultToCancelAndNothingConnects)
{
    WriteFile("here.pdf", "%PDF");
    struct Case {
        const char* name;
        std::string list;
        std::string asked;
    };
    const Case cases[] = {
        {"a row's file is missing", "メールアドレス,添付ファイル\r\na@example.jp,here.pdf\r\nb@example.jp,gone.pdf\r\n",
         "3 行目: 添付ファイル " + Scratch() + "/gone.pdf がありません"},
        {"a row's file is outside the list's folder", "メールアドレス,添付ファイル\r\na@example.jp,/etc/hostname\r\n",
         "2 行目: /etc/hostname → /etc/hostname"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer;
        peer.ExpectClose();
        peer.Start();
        UseServer(peer.Port(), "pc01", "Taro");
        Type("hello", {"body"});
        Form1->Edit1->clear();
        TypeText(Form1->Edit1, QString::fromStdString(WriteRecipients(c.list, "list.csv")));
        Boxes.clear();
        Confirmations.clear();
        Send();
        ASSERT_EQ(Boxes.size(), 1u);
        EXPECT_NE(Boxes[0].Text.find(c.asked), std::string::npos) << Boxes[0].Text;
        EXPECT_EQ(Boxes[0].Buttons, (std::vector<std::string>{"送信する", "キャンセル"}));
        EXPECT_EQ(Boxes[0].Default, 1);
        EXPECT_TRUE(Confirmations.empty());
        EXPECT_EQ(peer.Connections(), 0);
    }
    TRunOutline outline;
    outline.Duplicates = 1;
    outline.DuplicatesText = "a@example.jp: 2、3 行目";
    for (const bool sentBefore : {false, true}) {
        outline.SentBefore = sentBefore ? "20261207-101500" : "";
        // The hook presses 送信する; Enter would take the box's default.
        EXPECT_EQ(Form1->ConfirmRunWithDuplicates(outline), TRunFrontEnd::dcSendAll);
        ASSERT_FALSE(Confirmations.empty());
        EXPECT_EQ(Confirmations.back().Default, sentBefore ? TRunFrontEnd::dcCancel : TRunFrontEnd::dcSendAll);
        EXPECT_EQ(Confirmations.back().Buttons,
                  (std::vector<std::string>{"送信する", "同じアドレスには 1 通だけ", "キャンセル"}));
        EXPECT_NE(Confirmations.back().Text.find("a@example.jp: 2、3 行目"), std::string::npos);
    }
}
