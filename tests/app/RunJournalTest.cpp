// Runs that finish and can be trusted, driven through the real main window:
// outcomes per entry, retries, the refusal stop, reconnects, pacing, the
// journal as Python's csv module reads it, the resume question, and a run
// killed with SIGKILL and then continued.
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <regex>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>

#include "engine/journal/Journal.h"
#include "app/Main.h"
#include "engine/run/RunWords.h"
#include "engine/run/SendRun.h"
#include "engine/account/SettingsFile.h"
#include "smtp/NMsmtp.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/SmtpSink.h"

using namespace apptest;
using testsupport::ScriptedPeer;
using testsupport::SmtpSink;

namespace {

const char* const From = "taro@example.jp";

void Greet(ScriptedPeer& peer)
{
    peer.SendLine("220 ready").Expect("HELO pc01").SendLine("250 hello");
}

// One transaction up to the verdict after ".", which is Verdict.
void ScriptMessage(ScriptedPeer& peer, const std::string& rcpt, const std::string& verdict = "250 queued")
{
    peer.Expect("RSET").SendLine("250 OK").Expect("MAIL FROM:<" + std::string(From) + ">").SendLine("250 OK");
    peer.Expect("RCPT TO:<" + rcpt + ">").SendLine("250 OK").Expect("DATA").SendLine("354 go ahead");
    peer.ExpectUntil("\r\n.\r\n").SendLine(verdict);
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class RunJournalTest : public AppTest {
protected:
    void Use(uint16_t port, const std::string& pauseSeconds = "")
    {
        WriteFile(SettingsFileName, "127.0.0.1\r\n" + std::to_string(port) + "\r\npc01\r\nTaro\r\n" + From +
                                        "\r\nnone\r\n\r\nauto\r\n" + pauseSeconds + "\r\n");
        Form1->Edit2->setText("ご案内");
        Form1->Memo1->setPlainText("本文です");
        Form1->Run().RetryDelayMs = 200;
        Form1->Run().ReconnectDelaysMs = {50, 50, 50};
    }
    void Entries(const std::string& bytes)
    {
        Form1->Edit1->setText(QString::fromStdString(WriteRecipients(bytes)));
    }
    // What the window makes of its fields as the run's identity.
    TRunIdentity Identity() const
    {
        const std::string path = Form1->Edit1->text().toStdString();
        return {path, ReadFile(path), Form1->Edit2->text().toStdString(),
                Form1->Memo1->toPlainText().toStdString(), ""};
    }
    std::string Folder() const { return JournalFolderBeside(SettingsFileName); }
    // The rows of the journal the last summary names, without the time,
    // "line|entry|outcome|reply", as Python's csv module reads the file; the
    // times are checked apart.
    std::vector<std::string> Rows()
    {
        const std::string marker = "送信記録: ";
        const size_t at = Summaries.empty() ? std::string::npos : Summaries.back().Text.find(marker);
        if (at == std::string::npos)
            return {"no summary"};
        const std::string newest = Summaries.back().Text.substr(at + marker.size());
        const auto python = testsupport::RunPython(
            "import csv, json, sys\n"
            "with open(sys.argv[1], encoding='utf-8-sig', newline='') as f:\n"
            "    print(json.dumps(list(csv.reader(f))))\n",
            {newest});
        EXPECT_EQ(python.ExitCode, 0) << python.Output;
        const QJsonArray records = QJsonDocument::fromJson(QByteArray::fromStdString(python.Output)).array();
        std::vector<std::string> rows;
        const std::regex local(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)");
        for (const QJsonValue& r : records) {
            const QJsonArray f = r.toArray();
            if (rows.empty() && f.at(0).toString() == "行") {
                rows.push_back("header");
                continue;
            }
            EXPECT_TRUE(std::regex_match(f.at(4).toString().toStdString(), local)) << f.at(4).toString().toStdString();
            rows.push_back((f.at(0).toString() + "|" + f.at(1).toString() + "|" + f.at(2).toString() + "|" +
                            f.at(3).toString())
                               .toStdString());
        }
        return rows;
    }
    std::string SummaryCounts() const
    {
        if (Summaries.empty())
            return "no summary";
        const std::string& t = Summaries.back().Text;
        return t.substr(0, t.find("\n\n"));
    }
};

TEST_F(RunJournalTest, ARefusedRecipientInTheMiddleIsRecordedAndTheOthersAreDelivered)
{
    SmtpSink::Options refusing;
    refusing.RefuseRcpt = {"bad"};
    SmtpSink sink(refusing);
    Use(sink.Port());
    Entries("a@example.jp\r\n\"Bad, Name\" <bad@example.jp>\r\nc@example.jp\r\nName <d@example.jp\r\n");
    Watch watch;
    Click(Form1->Button4);

    EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
    ASSERT_EQ(sink.MessageCount(), 2u);
    EXPECT_EQ(sink.Message(1).RcptTos, std::vector<std::string>{"c@example.jp"});
    EXPECT_EQ(Rows(), (std::vector<std::string>{"header", "4|Name <d@example.jp|宛先不正|< > が閉じていません",
                                                "1|a@example.jp|送信済み|250 Message accepted for delivery",
                                                "2|\"Bad, Name\" <bad@example.jp>|拒否|550 5.1.1 Recipient refused",
                                                "3|c@example.jp|送信済み|250 Message accepted for delivery"}));
    EXPECT_EQ(watch.progress, (std::vector<std::string>{"1/4", "2/4", "送信終了"}));
    EXPECT_EQ(watch.status.front(), "宛先不正 1 件（4 行目: < > が閉じていません）は送信しません");
    EXPECT_EQ(Form1->findChild<QLabel*>("CountsLabel")->text(), "拒否 1 件、宛先不正 1 件");
    EXPECT_EQ(SummaryCounts(), "送信済み 2 件\n拒否 1 件\n一時エラー 0 件\n不明 0 件\n未送信 0 件\n宛先不正 1 件");
    EXPECT_NE(Summaries.back().Text.find(Folder() + "/"), std::string::npos);
    EXPECT_EQ(FindUnfinishedRun(Folder(), Identity()), std::nullopt);
}

TEST_F(RunJournalTest, A4xxIsTriedAgainAfterTheOthersAndItsRowKeepsEveryReply)
{
    ScriptedPeer peer;
    Greet(peer);
    peer.Expect("RSET").SendLine("250 OK").Expect("MAIL FROM:<taro@example.jp>").SendLine("250 OK");
    peer.Expect("RCPT TO:<a@example.jp>").SendLine("451 4.7.1 greylisted").Expect("DATA").SendLine("503 no rcpt");
    ScriptMessage(peer, "b@example.jp");
    ScriptMessage(peer, "a@example.jp");
    peer.Expect("QUIT").SendLine("221 bye").ExpectClose();
    peer.Start();
    Use(peer.Port());
    Entries("a@example.jp\r\nb@example.jp\r\n");
    Watch watch;
    Click(Form1->Button4);

    ASSERT_TRUE(peer.WaitDone());
    EXPECT_TRUE(peer.ScriptUsedUp()) << peer.Failure();
    EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
    EXPECT_EQ(Rows(), (std::vector<std::string>{"header", "2|b@example.jp|送信済み|250 queued",
                                                "1|a@example.jp|送信済み|451 4.7.1 greylisted\n250 queued"}));
    // The wait for the retry is said, and the run is not over before it.
    EXPECT_NE(std::find(watch.status.begin(), watch.status.end(), WaitText(TWait::Retry, 200)), watch.status.end());
    EXPECT_EQ(watch.progress, (std::vector<std::string>{"1/2", "2/2", "送信終了"}));
    EXPECT_EQ(SummaryCounts(), "送信済み 2 件\n拒否 0 件\n一時エラー 0 件\n不明 0 件\n未送信 0 件\n宛先不正 0 件");
}

TEST_F(RunJournalTest, FiveContentRefusalsInARowStopTheRun)
{
    ScriptedPeer peer;
    Greet(peer);
    std::string entries;
    for (int i = 1; i <= 7; ++i)
        entries += Format("r%d@example.jp\r\n", i);
    for (int i = 1; i <= 5; ++i)
        ScriptMessage(peer, Format("r%d@example.jp", i), "554 5.7.1 content refused");
    peer.Expect("QUIT").SendLine("221 bye").ExpectClose();
    peer.Start();
    Use(peer.Port());
    Entries(entries);
    Click(Form1->Button4);

    ASSERT_TRUE(peer.WaitDone());
    EXPECT_TRUE(peer.ScriptUsedUp()) << peer.Failure();
    std::vector<std::string> expected{"header"};
    for (int i = 1; i <= 5; ++i)
        expected.push_back(std::to_string(i) + "|r" + std::to_string(i) + "@example.jp|拒否|554 5.7.1 content refused");
    expected.push_back("6|r6@example.jp|未送信|");
    expected.push_back("7|r7@example.jp|未送信|");
    EXPECT_EQ(Rows(), expected);
    // A stopped run is offered again.
    const auto point = FindUnfinishedRun(Folder(), Identity());
    ASSERT_TRUE(point);
    EXPECT_EQ(point->Settled.size(), 5u);
}

TEST_F(RunJournalTest, AServerThatClosesAfterMessage2IsReconnectedAndEveryoneGetsOneMessage)
{
    ScriptedPeer peer;
    Greet(peer);
    ScriptMessage(peer, "r1@example.jp");
    ScriptMessage(peer, "r2@example.jp");
    peer.Close();
    peer.Accept();
    Greet(peer);
    ScriptMessage(peer, "r3@example.jp");
    ScriptMessage(peer, "r4@example.jp");
    peer.Expect("QUIT").SendLine("221 bye").ExpectClose();
    peer.Start();
    Use(peer.Port());
    Entries("r1@example.jp\r\nr2@example.jp\r\nr3@example.jp\r\nr4@example.jp\r\n");
    Watch watch;
    Click(Form1->Button4);

    ASSERT_TRUE(peer.WaitDone());
    EXPECT_TRUE(peer.ScriptUsedUp()) << peer.Failure();
    EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
    EXPECT_EQ(peer.Connections(), 2);
    // 送信終了 only once the run is over; meanwhile the wait is said.
    EXPECT_EQ(watch.progress, (std::vector<std::string>{"1/4", "2/4", "3/4", "4/4", "送信終了"}));
    const auto said = [&](const std::string& text) {
        return std::find(watch.status.begin(), watch.status.end(), text) != watch.status.end();
    };
    EXPECT_TRUE(said("サーバーとの接続が切れました"));
    EXPECT_TRUE(said(WaitText(TWait::Reconnect, 50)));
    for (int i = 1; i <= 4; ++i)
        EXPECT_EQ(Count(peer.Received(), "RCPT TO:<r" + std::to_string(i) + "@example.jp>"), 1u) << i;
    EXPECT_EQ(SummaryCounts(), "送信済み 4 件\n拒否 0 件\n一時エラー 0 件\n不明 0 件\n未送信 0 件\n宛先不正 0 件");
    EXPECT_EQ(Form1->Edit3->text(), "送信終了");
}

// The close comes while the verdict on "." is due: the message may have
// arrived, so it is 不明 and never sent again; before "." it goes again.
TEST_F(RunJournalTest, ABreakAfterTheDotIsUnknownAndABreakBeforeItIsSentAgain)
{
    ScriptedPeer peer;
    Greet(peer);
    ScriptMessage(peer, "r1@example.jp");
    peer.Expect("RSET").SendLine("250 OK").Expect("MAIL FROM:<taro@example.jp>").SendLine("250 OK");
    peer.Expect("RCPT TO:<r2@example.jp>").SendLine("250 OK").Expect("DATA").SendLine("354 go ahead");
    peer.ExpectUntil("\r\n.\r\n").Close();
    peer.Accept();
    Greet(peer);
    peer.Expect("RSET").SendLine("250 OK").Expect("MAIL FROM:<taro@example.jp>").Close();
    peer.Accept();
    Greet(peer);
    ScriptMessage(peer, "r3@example.jp");
    peer.Expect("QUIT").SendLine("221 bye").ExpectClose();
    peer.Start();
    Use(peer.Port());
    Entries("r1@example.jp\r\nr2@example.jp\r\nr3@example.jp\r\n");
    Click(Form1->Button4);

    ASSERT_TRUE(peer.WaitDone());
    EXPECT_TRUE(peer.ScriptUsedUp()) << peer.Failure();
    EXPECT_EQ(peer.Connections(), 3);
    EXPECT_EQ(Rows(), (std::vector<std::string>{"header", "1|r1@example.jp|送信済み|250 queued",
                                                "2|r2@example.jp|不明|", "3|r3@example.jp|送信済み|250 queued"}));
}

TEST_F(RunJournalTest, PacingWaitsBetweenMessagesAndAbortEndsTheWaitAtOnce)
{
    {
        SmtpSink sink;
        Use(sink.Port(), "1");
        Entries("a@example.jp\r\nb@example.jp\r\nc@example.jp\r\nd@example.jp\r\n");
        const int64_t start = NowMs();
        Click(Form1->Button4);
        EXPECT_GE(NowMs() - start, 3000);
        EXPECT_EQ(sink.MessageCount(), 4u);
    }
    SmtpSink sink;
    Use(sink.Port(), "30");
    Form1->Memo1->setPlainText("二回目");
    int64_t pressed = -1;
    When abort([&] { return Form1->Edit3->text() == "1/4"; }, [&] {
        pressed = NowMs();
        Click(Form1->Button5);
    });
    Click(Form1->Button4);
    // The pacing's 30 seconds were cut: no message after the first.
    ASSERT_GE(pressed, 0);
    EXPECT_EQ(sink.MessageCount(), 1u);
    EXPECT_FALSE(Form1->NMSMTP1->Connected);
    EXPECT_EQ(Form1->StatusBar1->currentMessage(), "接続を終了しました");
    EXPECT_EQ(Form1->Edit3->text(), "送信終了");
    EXPECT_EQ(SummaryCounts(), "送信済み 1 件\n拒否 0 件\n一時エラー 0 件\n不明 0 件\n未送信 3 件\n宛先不正 0 件");
}

// An earlier run stopped after line 1 was delivered and while line 2 was
// going out; the three answers to the question.
TEST_F(RunJournalTest, TheResumeQuestionsThreeAnswers)
{
    struct Case {
        int choice;
        std::vector<std::string> delivered;
        bool earlierStillOffered;
    };
    const Case cases[] = {
        {0, {"c@example.jp"}, false},
        {1, {"a@example.jp", "b@example.jp", "c@example.jp"}, false},
        {2, {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.choice);
        std::filesystem::remove_all(Folder());
        Boxes.clear();
        Summaries.clear();
        SmtpSink sink;
        Use(sink.Port());
        Entries("a@example.jp\r\nb@example.jp\r\nc@example.jp\r\n");
        std::string earlier;
        {
            TJournal journal(Folder(), Identity(), std::time(nullptr) - 3600);
            journal.Sending(1);
            journal.Write({1, "a@example.jp", TOutcome::Sent, "250 ok", std::time(nullptr) - 3600});
            journal.Sending(2);
            earlier = journal.Stem();
        }
        Choice = c.choice;
        Click(Form1->Button4);

        ASSERT_EQ(Boxes.size(), 1u);
        EXPECT_EQ(Boxes[0].Text, "前回の送信は 3 件中 2 件で止まっています。続きから送信しますか？\n\n"
                                 "次の宛先は届いたかどうか分かりません（不明）。続きからでは送信しません:\n"
                                 "2 行目: b@example.jp");
        EXPECT_EQ(Boxes[0].Buttons, (std::vector<std::string>{"続きから", "最初から", "キャンセル"}));
        EXPECT_EQ(Boxes[0].Default, 0);
        std::vector<std::string> delivered;
        for (const auto& m : sink.Messages())
            delivered.push_back(m.RcptTos.at(0));
        EXPECT_EQ(delivered, c.delivered);
        const auto offered = FindUnfinishedRun(Folder(), Identity());
        EXPECT_EQ(offered.has_value(), c.earlierStillOffered);
        if (offered) {
            EXPECT_EQ(offered->Stem, earlier);
        }
        EXPECT_EQ(Summaries.size(), c.choice == 2 ? 0u : 1u);
        EXPECT_FALSE(Form1->NMSMTP1->Connected);
    }
}

// A damaged side file is named once and passed over; the run goes on.
TEST_F(RunJournalTest, ADamagedSideFileIsNamedAndTheRunGoesOn)
{
    SmtpSink sink;
    Use(sink.Port());
    Entries("a@example.jp\r\n");
    std::filesystem::create_directories(Folder());
    const std::string damaged = Folder() + "/20261207-101500.run";
    WriteFile(damaged, "veltrow-run 1\nbody abc\\xZZ\n");
    Click(Form1->Button4);

    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"送信記録の次のファイルは読めないため、続きからの送信には使いません:\n" +
                                                   damaged});
    // The sink may store the message a moment after its reply.
    EXPECT_TRUE(sink.WaitForMessages(1));
    EXPECT_EQ(sink.MessageCount(), 1u);
    EXPECT_EQ(SummaryCounts(), "送信済み 1 件\n拒否 0 件\n一時エラー 0 件\n不明 0 件\n未送信 0 件\n宛先不正 0 件");
}

// The program killed while the server holds back its verdict on line 3;
// then started again and continued: everyone has exactly one message, but
// line 3, which the question lists as 不明.
TEST_F(RunJournalTest, ARunKilledMidwayIsContinuedWithoutDuplicates)
{
    ScriptedPeer peer;
    Greet(peer);
    ScriptMessage(peer, "r1@example.jp");
    ScriptMessage(peer, "r2@example.jp");
    peer.Expect("RSET").SendLine("250 OK").Expect("MAIL FROM:<taro@example.jp>").SendLine("250 OK");
    peer.Expect("RCPT TO:<r3@example.jp>").SendLine("250 OK").Expect("DATA").SendLine("354 go ahead");
    peer.ExpectUntil("\r\n.\r\n").WaitForRelease();
    peer.Start();
    Use(peer.Port());
    Entries("r1@example.jp\r\nr2@example.jp\r\nr3@example.jp\r\nr4@example.jp\r\nr5@example.jp\r\n");

    const TRunIdentity identity = Identity();
    std::string program = VELTROW_SEND_CHILD, folder = Scratch();
    std::string file = identity.RecipientFile, subject = identity.Subject, body = identity.Body;
    char* argv[] = {program.data(), folder.data(), file.data(), subject.data(), body.data(), nullptr};
    pid_t child = -1;
    ASSERT_EQ(::posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, environ), 0);
    const bool third = WaitUntil([&] { return Count(peer.Received(), "\r\n.\r\n") == 3; }, 60000);
    // Meanwhile a second Veltrow in the same folder neither sends nor offers
    // the running job to continue.
    if (third)
        Click(Form1->Button4);
    const std::vector<std::string> whileRunning = BoxTexts();
    Boxes.clear();
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(third) << peer.Received();
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_EQ(whileRunning.size(), 1u) << ::testing::PrintToString(whileRunning);
    EXPECT_NE(whileRunning[0].find("別の Veltrow がこのフォルダー"), std::string::npos) << whileRunning[0];
    EXPECT_EQ(peer.Connections(), 1);

    SmtpSink sink;
    Use(sink.Port());
    Click(Form1->Button4);
    ASSERT_EQ(Boxes.size(), 1u) << BoxTexts()[0];
    EXPECT_NE(Boxes[0].Text.find("5 件中 3 件"), std::string::npos) << Boxes[0].Text;
    EXPECT_NE(Boxes[0].Text.find("3 行目: r3@example.jp"), std::string::npos) << Boxes[0].Text;
    std::vector<std::string> second;
    for (const auto& m : sink.Messages())
        second.push_back(m.RcptTos.at(0));
    EXPECT_EQ(second, (std::vector<std::string>{"r4@example.jp", "r5@example.jp"}));
    for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(Count(peer.Received(), "RCPT TO:<r" + std::to_string(i) + "@example.jp>"), 1u) << i;
    // One journal answers who got the message, and the summary counts the whole list.
    EXPECT_EQ(Rows(), (std::vector<std::string>{"header", "1|r1@example.jp|送信済み|250 queued",
                                                "2|r2@example.jp|送信済み|250 queued", "3|r3@example.jp|不明|",
                                                "4|r4@example.jp|送信済み|250 Message accepted for delivery",
                                                "5|r5@example.jp|送信済み|250 Message accepted for delivery"}));
    EXPECT_EQ(SummaryCounts(), "送信済み 4 件\n拒否 0 件\n一時エラー 0 件\n不明 1 件\n未送信 0 件\n宛先不正 0 件");
    EXPECT_EQ(FindUnfinishedRun(Folder(), identity), std::nullopt);
}

// The journal is made before the connection opens: one that cannot be made
// stops the run before the server is contacted, and a run whose connection
// then fails leaves no journal behind.
TEST_F(RunJournalTest, TheJournalComesBeforeTheConnection)
{
    ScriptedPeer peer;
    Greet(peer);
    peer.Start();
    Use(peer.Port());
    Entries("r1@example.jp\r\n");
    WriteFile(Folder(), "a file where the folder belongs");
    Click(Form1->Button4);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_NE(Boxes[0].Text.find(Folder() + "/"), std::string::npos) << Boxes[0].Text;
    EXPECT_EQ(peer.Connections(), 0);

    std::filesystem::remove(Folder());
    Boxes.clear();
    const testsupport::RefusedPort refused;
    Use(refused.Port());
    Click(Form1->Button4);
    EXPECT_FALSE(Boxes.empty());
    EXPECT_TRUE(std::filesystem::is_empty(Folder()));
}

}  // namespace
