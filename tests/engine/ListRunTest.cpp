// Lists with merge fields through the whole engine against aiosmtpd, each
// message read back by Python's strict decoders (tests/app/read_mail.py).
#include <algorithm>
#include <filesystem>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "engine/journal/Journal.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/ScriptedPeer.h"

namespace enginetest {
namespace {

using testsupport::SmtpSink;

struct TShown {
    std::string Address, Name, Subject, Body, Charset;
};

std::vector<TShown> ReadMails(const std::vector<testsupport::SinkMessage>& Messages)
{
    std::vector<std::string> paths;
    for (const auto& m : Messages)
        paths.push_back(m.Path);
    const auto result =
        testsupport::RunPython(testsupport::ReadWholeFile(VELTROW_SOURCE_DIR "/tests/app/read_mail.py"), paths);
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    std::vector<TShown> shown;
    for (const QJsonValue& v : QJsonDocument::fromJson(QByteArray::fromStdString(result.Output)).array()) {
        const QJsonObject o = v.toObject();
        const QJsonArray to = o["to"].toArray().first().toArray();
        shown.push_back({to[1].toString().toStdString(), to[0].toString().toStdString(),
                         o["subject"].toString().toStdString(), o["body"].toString().toStdString(),
                         o["charset"].toString().toStdString()});
    }
    return shown;
}

// "行 宛先 結果" of every journal row, by row number.
std::vector<std::string> JournalRows(const std::string& Path)
{
    std::vector<std::string> rows;
    const auto records = ParseCsv(testsupport::ReadWholeFile(Path));
    for (size_t i = 1; i < records.size(); ++i)
        rows.push_back(records[i][0] + " " + records[i][1] + " " + records[i][2]);
    std::sort(rows.begin(), rows.end());
    return rows;
}

class ListRunTest : public EngineTest {};

TEST_F(ListRunTest, EveryRowGetsItsOwnMessageAndItsRowNumberInTheJournal)
{
    struct Case {
        const char* name;
        std::string file, bytes, subject, body;
        std::vector<TShown> mails;
        std::vector<std::string> journal;
        std::string settings = "";  // lines 6 on
        std::string empty = "";     // the question about empty fields, when asked
    };
    const Case cases[] = {
        {"CSV with a BOM, no 敬称 column: 様; an empty address and 髙 (UTF-8)", "list.csv",
         "\xEF\xBB\xBF" "メールアドレス,氏名,会社名\r\n"
         "a@example.jp,山田 太郎,株式会社アルファ\r\n"
         ",欠番,なし\r\n"
         "b@example.jp,髙橋 花子,\"ベータ, 大阪\"\r\n",
         "{{会社名}} {{氏名}}{{敬称}}へ", "{{会社名}}\n{{ 氏名 }} {{敬称}}\n",
         {{"a@example.jp", "山田 太郎", "株式会社アルファ 山田 太郎様へ", "株式会社アルファ\n山田 太郎 様\n", "iso-2022-jp"},
          {"b@example.jp", "髙橋 花子", "ベータ, 大阪 髙橋 花子様へ", "ベータ, 大阪\n髙橋 花子 様\n", "utf-8"}},
         {"2 a@example.jp 送信済み", "3  宛先不正", "4 b@example.jp 送信済み"}},
        {"TSV with the 敬称 column, a blank row above the header", "list.tsv",
         "\r\nmail\t名前\t敬称\r\nc@example.jp\t総務部\t御中\r\nd@example.jp\t佐藤\t様\r\n",
         "{{名前}}{{敬称}}", "{{名前}}{{敬称}}\n",
         {{"c@example.jp", "総務部", "総務部御中", "総務部御中\n", "iso-2022-jp"},
          {"d@example.jp", "佐藤", "佐藤様", "佐藤様\n", "iso-2022-jp"}},
         {"3 c@example.jp 送信済み", "4 d@example.jp 送信済み"}},
        {"a text list: the entry's address and name", "list.txt", "次郎 <e@example.jp>\r\nf@example.jp\r\n",
         "{{氏名}}様 ({{メールアドレス}})", "{{氏名}}さん\n",
         {{"e@example.jp", "次郎", "次郎様 (e@example.jp)", "次郎さん\n", "iso-2022-jp"},
          {"f@example.jp", "", "様 (f@example.jp)", "さん\n", "iso-2022-jp"}},
         {"1 次郎 <e@example.jp> 送信済み", "2 f@example.jp 送信済み"}, "",
         "1 行で {{氏名}} が空です。送信しますか？\n\n{{氏名}}: 2 行目"},
        {"ISO-2022-JP chosen: a row whose cell it cannot carry is not sent", "list.csv",
         "メールアドレス,会社名\r\ng@example.jp,①商事\r\nh@example.jp,二商事\r\n", "{{会社名}}御中", "本文\n",
         {{"h@example.jp", "", "二商事御中", "本文\n", "iso-2022-jp"}},
         {"2 g@example.jp 宛先不正", "3 h@example.jp 送信済み"},
         "none\r\n\r\niso-2022-jp\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SmtpSink sink;
        WriteSettings(sink.Port(), c.settings);
        ui = TTestFrontEnd();
        ui.SendEmpty = true;
        engine->Send({WriteFile(c.file, c.bytes), c.subject, c.body});
        EXPECT_EQ(ui.EmptyQuestions, c.empty.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.empty});
        ASSERT_EQ(ui.Summaries.size(), 1u) << (ui.Failures.empty() ? "" : ui.Failures[0]);
        ASSERT_TRUE(sink.WaitForMessages(c.mails.size()));
        const std::vector<TShown> shown = ReadMails(sink.Messages());
        ASSERT_EQ(shown.size(), c.mails.size());
        for (size_t i = 0; i < shown.size(); ++i) {
            EXPECT_EQ(sink.Message(i).RcptTos, std::vector<std::string>{c.mails[i].Address});
            EXPECT_EQ(shown[i].Address, c.mails[i].Address);
            EXPECT_EQ(shown[i].Name, c.mails[i].Name);
            EXPECT_EQ(shown[i].Subject, c.mails[i].Subject);
            // An ISO-2022-JP body begins with a blank line.
            EXPECT_EQ(shown[i].Body, (c.mails[i].Charset == "utf-8" ? "" : "\n") + c.mails[i].Body);
            EXPECT_EQ(shown[i].Charset, c.mails[i].Charset);
        }
        EXPECT_EQ(JournalRows(ui.Summaries[0].JournalPath), c.journal);
        EXPECT_EQ(ui.Summaries[0].Utf8, static_cast<int>(std::count_if(c.mails.begin(), c.mails.end(),
                                                                       [](const TShown& m) { return m.Charset == "utf-8"; })));
    }
}

TEST_F(ListRunTest, UnknownOrDeclinedEmptyFieldsConnectNowhere)
{
    const std::string list = "メールアドレス,会社名\r\na@example.jp,アルファ\r\nb@example.jp,\r\nc@example.jp,　\r\n";
    struct Case {
        const char* name;
        std::string subject;
        std::string failure;   // what the Send raised
        std::string question;  // what the front end was asked
    };
    const Case cases[] = {
        {"an unknown field", "{{会社名}} {{部署}}様", "差し込み項目 {{部署}} は宛先リストにありません。使える項目: メールアドレス、会社名。",
         ""},
        {"empty cells, declined", "{{会社名}}様", "", "2 行で {{会社名}} が空です。送信しますか？\n\n{{会社名}}: 3、4 行目"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::ScriptedPeer peer;  // says nothing: a connect would fail the Send
        peer.ExpectClose();
        peer.Start();
        WriteSettings(peer.Port());
        ui = TTestFrontEnd();
        EXPECT_EQ(SendFailure({WriteFile("list.csv", list), c.subject, "本文\n"}), c.failure);
        EXPECT_EQ(ui.EmptyQuestions, c.question.empty() ? std::vector<std::string>{}
                                                         : std::vector<std::string>{c.question});
        EXPECT_TRUE(ui.Confirmations.empty());
        EXPECT_EQ(peer.Connections(), 0);
    }
}

TEST_F(ListRunTest, ATestSendArrivesOnceWithItsPrefixAndLeavesNoJournal)
{
    SmtpSink sink;
    WriteSettings(sink.Port());
    const TSendRequest request{WriteFile("list.csv", "email,氏名\r\na@example.jp,山田\r\nb@example.jp,佐藤\r\n"),
                               "{{氏名}}様へ", "{{氏名}}様\n"};
    struct Case {
        int row;
        std::string to;  // typed; empty: the sender's own
        std::string address, subject;
    };
    const Case cases[] = {
        {3, "", "taro@example.jp", "[テスト] 佐藤様へ"},
        {0, " check@example.jp ", "check@example.jp", "[テスト] 山田様へ"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string said = engine->TestSend(request, cases[i].row, cases[i].to);
        EXPECT_NE(said.find(cases[i].address), std::string::npos) << said;
        EXPECT_NE(said.find("250"), std::string::npos) << said;
        ASSERT_TRUE(sink.WaitForMessages(i + 1));
        const testsupport::SinkMessage m = sink.Message(i);
        EXPECT_EQ(m.RcptTos, std::vector<std::string>{cases[i].address});
        EXPECT_EQ(ReadMails({m})[0].Subject, cases[i].subject);
    }
    EXPECT_EQ(sink.MessageCount(), std::size(cases));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(profile.Path()) / "送信記録"));
    EXPECT_TRUE(ui.Progressed.empty());
    EXPECT_TRUE(ui.Summaries.empty());
    EXPECT_THROW(engine->TestSend(request, 9, ""), Exception);
}

// A stopped run of a table resumes by row number: the settled row is not
// sent again, and its journal row comes first.
TEST_F(ListRunTest, AStoppedTableRunResumesByRowNumber)
{
    const TSendRequest request{WriteFile("list.csv", "\r\nmail,氏名\r\na@example.jp,山田\r\nb@example.jp,佐藤\r\n"),
                               "{{氏名}}様", "本文\n"};
    SendStoppedAfterFirst(request);
    SmtpSink sink;
    WriteSettings(sink.Port());
    ui = TTestFrontEnd();
    engine->Send(request);
    ASSERT_EQ(ui.Questions.size(), 1u);
    EXPECT_NE(ui.Questions[0].find("2 件中 1 件"), std::string::npos) << ui.Questions[0];
    ASSERT_TRUE(sink.WaitForMessages(1));
    EXPECT_EQ(sink.MessageCount(), 1u);
    EXPECT_EQ(sink.Message(0).RcptTos, std::vector<std::string>{"b@example.jp"});
    ASSERT_EQ(ui.Summaries.size(), 1u);
    EXPECT_EQ(JournalRows(ui.Summaries[0].JournalPath),
              (std::vector<std::string>{"3 a@example.jp 送信済み", "4 b@example.jp 送信済み"}));
}

}  // namespace
}  // namespace enginetest
