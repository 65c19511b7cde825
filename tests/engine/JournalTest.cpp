// The journal's files byte for byte, read back by Python's csv module as a
// spreadsheet user's tools would, and the search for a run to continue.
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/journal/Journal.h"
#include "engine/journal/JournalEscape.h"
#include "engine/run/MessageStep.h"
#include "charset/CodePage.h"
#include "smtp/NMsmtp.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/SmtpSink.h"

using testsupport::ReadWholeFile;
using testsupport::ScriptedPeer;
using testsupport::TempFolder;

namespace {

// 2026-12-07 10:15:00 in Tokyo.
constexpr std::time_t Start = 1796606100;

// Runs the test body in a fixed time zone and puts the old one back.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone)
    {
        if (const char* old = std::getenv("TZ"))
            old_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ZoneScope()
    {
        if (old_)
            ::setenv("TZ", old_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> old_;
};

void Overwrite(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

const TRunIdentity Identity{"/home/u/宛先.txt", "taro@example.jp\r\n佐藤 <hanako@example.jp>\r\n", "ご案内",
                            "本文\r\n二行目", ""};

TEST(Journal, CsvFieldsAreQuotedAsRfc4180AndReadBackWhole)
{
    const std::vector<std::vector<std::string>> records = {
        {"1", "taro@example.jp", "送信済み", "250 2.0.0 Ok: queued as 4F3", "t"},
        {"2", "\"Yamada, Taro\" <taro@example.jp>", "拒否", "550-5.1.1 no such user\r\n550 5.1.1 see the help", ""},
        {"", "", "", "", ""},
        {"a\rb", "c\nd", "\"", ",", "x\"\"y"},
    };
    std::string text = "\xEF\xBB\xBF";
    for (const auto& r : records)
        text += CsvRecord(r);
    EXPECT_EQ(CsvRecord(records[1]), "2,\"\"\"Yamada, Taro\"\" <taro@example.jp>\",拒否,"
                                     "\"550-5.1.1 no such user\r\n550 5.1.1 see the help\",\r\n");
    EXPECT_EQ(ParseCsv(text), records);
    // A record cut off by a crash is not a record.
    EXPECT_EQ(ParseCsv(text + "5,taro@exa"), records);
    EXPECT_EQ(ParseCsv(text + "6,\"open quote\r\n"), records);
}

// Side-file values hold whatever the user typed, including text that looks
// like an escape; each must come back as it was, from a single line.
TEST(Journal, SideFileValuesComeBackFromOneLine)
{
    const std::string values[] = {"C:\\new\\x41 \\", "\\n is no line end", "a\tb\x7F\x01\r\n", "本文\n\n",
                                  std::string("nul\0byte", 8)};
    for (const std::string& value : values) {
        SCOPED_TRACE(value);
        const std::string line = journal_detail::Escape(value);
        EXPECT_EQ(line.find_first_of(std::string("\r\n\0", 3)), std::string::npos);
        EXPECT_EQ(journal_detail::Unescape(line), value);
    }
}

// Rows carry the local time as Japanese Excel reads it; older journals'
// ISO times and Excel's own re-saved form read back as the same moment.
TEST(Journal, TimesAreLocalAndReadBackInEveryForm)
{
    struct {
        const char* zone;
        const char* local;
        const char* iso;
        const char* excel;
        const char* stem;
    } const cases[] = {
        {"Asia/Tokyo", "2026/12/07 10:15:00", "2026-12-07T10:15:00+09:00", "2026/12/7 10:15", "20261207-101500"},
        {"UTC", "2026/12/07 01:15:00", "2026-12-07T01:15:00+00:00", "2026/12/7 1:15", "20261207-011500"},
        {"America/St_Johns", "2026/12/06 21:45:00", "2026-12-06T21:45:00-03:30", "2026/12/6 21:45",
         "20261206-214500"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.zone);
        const ZoneScope zone(c.zone);
        EXPECT_EQ(JournalTime(Start), c.local);
        EXPECT_EQ(RunStem(Start), c.stem);
        EXPECT_EQ(ParseJournalTime(c.local), Start);
        EXPECT_EQ(ParseJournalTime(c.excel), Start);
        const ZoneScope elsewhere("Europe/Berlin");  // the offset is in the text
        EXPECT_EQ(ParseJournalTime(c.iso), Start);
    }
    for (const char* bad : {"", "2026/12/07", "2026/12/07 10:15:00x", "2026-12-07T10:15:00", "yesterday"})
        EXPECT_EQ(ParseJournalTime(bad), std::nullopt) << bad;
}

TEST(Journal, FilesAreExactAndASecondRunInTheSameSecondGetsItsOwn)
{
    const ZoneScope zone("Asia/Tokyo");
    const TempFolder dir;
    const std::string folder = JournalFolderBeside(dir.Path() + "/設定.txt");
    EXPECT_EQ(folder, dir.Path() + "/送信記録");

    std::string first, second;
    {
        TJournal journal(folder, Identity, Start);
        TJournal again(folder, Identity, Start);
        first = journal.Path();
        second = again.Path();
        journal.Write({3, "", TOutcome::Invalid, "空行", Start});
        journal.Write({1, "taro@example.jp", TOutcome::Sent, "250 ok", Start + 1});
        journal.Write({2, "佐藤, 花子 <hanako@example.jp>", TOutcome::Refused, "550-no\r\n550 \"user\"", Start + 2});
    }
    EXPECT_EQ(first, folder + "/20261207-101500.csv");
    EXPECT_EQ(second, folder + "/20261207-101500-2.csv");
    EXPECT_EQ(ReadWholeFile(first),
              "\xEF\xBB\xBF行,宛先,結果,サーバーの応答・理由,時刻\r\n"
              "3,,宛先不正,空行,2026/12/07 10:15:00\r\n"
              "1,taro@example.jp,送信済み,250 ok,2026/12/07 10:15:01\r\n"
              "2,\"佐藤, 花子 <hanako@example.jp>\",拒否,\"550-no\r\n550 \"\"user\"\"\",2026/12/07 10:15:02\r\n");
}

// What FindUnfinishedRun makes of a run left in a given state.
TEST(Journal, UnfinishedRunsAreFoundWithWhatMustNotGoAgain)
{
    struct Case {
        const char* name;
        void (*act)(TJournal&, const std::string& folder);
        TRunIdentity asked;
        bool found;
        std::map<int, TOutcome> settled;
    };
    const auto sent = [](TJournal& j, const std::string&) {
        j.Sending(1);
        j.Write({1, "a", TOutcome::Sent, "250", Start});
        j.Sending(2);
        j.Write({2, "b", TOutcome::Temporary, "451", Start});
        j.Sending(3);
        j.Write({3, "c", TOutcome::Refused, "550", Start});
    };
    TRunIdentity otherBody = Identity;
    otherBody.Body += "!";
    TRunIdentity otherFile = Identity;
    otherFile.RecipientFile = "/home/u/other.txt";
    const Case cases[] = {
        {"stopped after rows", sent, Identity, true,
         {{1, TOutcome::Sent}, {3, TOutcome::Refused}}},
        {"another body", sent, otherBody, false, {}},
        {"another file", sent, otherFile, false, {}},
        {"killed while a message went out", [](TJournal& j, const std::string&) {
             j.Sending(1);
             j.Write({1, "a", TOutcome::Sent, "250", Start});
             j.Sending(2);
         }, Identity, true, {{1, TOutcome::Sent}, {2, TOutcome::Unknown}}},
        // Rows go on the disk alongside the next message's commands: after a
        // power cut the row before the message in flight can be gone too.
        // Neither entry may go again.
        {"a power cut took the row before the message in flight", [](TJournal& j, const std::string&) {
             j.Sending(1);
             j.Sending(2);
         }, Identity, true, {{1, TOutcome::Unknown}, {2, TOutcome::Unknown}}},
        {"killed during a 4xx wait", [](TJournal& j, const std::string&) {
             j.Sending(1);
             j.Undelivered(1);
         }, Identity, true, {}},
        {"not-sent and broken-after-dot rows", [](TJournal& j, const std::string&) {
             j.Write({1, "a", TOutcome::Unknown, "", Start});
             j.Write({2, "b", TOutcome::NotSent, "", Start});
             j.Write({3, "", TOutcome::Invalid, "", Start});
         }, Identity, true, {{1, TOutcome::Unknown}}},
        // Excel drops the BOM and the seconds.
        {"saved back by Excel as Shift_JIS", [](TJournal& j, const std::string&) {
             j.Sending(1);
             j.Write({1, "佐藤 <a@example.jp>", TOutcome::Sent, "250", Start});
             j.Sending(2);
             j.Write({2, "b", TOutcome::Refused, "550 拒否", Start});
             std::string text = ReadWholeFile(j.Path()).substr(3);
             for (size_t at; (at = text.find(":00\r\n")) != std::string::npos;)
                 text.replace(at, 5, "\r\n");
             Overwrite(j.Path(), Utf8ToCp932(text));
         }, Identity, true, {{1, TOutcome::Sent}, {2, TOutcome::Refused}}},
        {"ended normally", [](TJournal& j, const std::string&) {
             j.Write({1, "a", TOutcome::Sent, "250", Start});
             j.Finish();
         }, Identity, false, {}},
        {"given up by 最初から", [](TJournal& j, const std::string& folder) {
             AbandonRun(folder, j.Stem());
         }, Identity, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempFolder dir;
        const std::string folder = dir.Path() + "/送信記録";
        TJournal journal(folder, Identity, Start);
        c.act(journal, folder);
        const auto point = FindUnfinishedRun(folder, c.asked);
        ASSERT_EQ(point.has_value(), c.found);
        if (!point)
            continue;
        EXPECT_EQ(point->Stem, journal.Stem());
        EXPECT_EQ(point->CsvPath, journal.Path());
        EXPECT_EQ(point->Settled, c.settled);
    }
}

// A damaged side file, newer than a good one of the same run, is named and
// passed over; the good one is still offered.
TEST(Journal, SideFilesThatCannotBeReadAreNamedAndNeverOffered)
{
    const ZoneScope zone("Asia/Tokyo");
    const std::string identity = "file /home/u/宛先.txt\nrecipients taro@example.jp\\r\\n佐藤 "
                                 "<hanako@example.jp>\\r\\n\nsubject ご案内\n";
    for (const std::string& bad : {identity + "body abc\\xZZ\n", identity + "body abc\\x4\n",
                                  "veltrow-run 9\n" + identity, std::string("\xFF\xFE")}) {
        SCOPED_TRACE(bad);
        const TempFolder dir;
        const std::string folder = dir.Path() + "/送信記録";
        TJournal journal(folder, Identity, Start);
        journal.Write({1, "a", TOutcome::Sent, "250", Start});
        const std::string damaged = folder + "/20261207-101501.run";
        Overwrite(damaged, bad.starts_with("file") ? "veltrow-run 1\n" + bad : bad);
        std::vector<std::string> unreadable;
        const auto point = FindUnfinishedRun(folder, Identity, &unreadable);
        ASSERT_TRUE(point);
        EXPECT_EQ(point->Stem, journal.Stem());
        EXPECT_EQ(unreadable, std::vector<std::string>{damaged});
    }
}

// When the journal cannot be put on the disk before a message's final ".",
// the message is not delivered: the connection closes before its text, and
// the failure is raised.
TEST(MessageStep, AFailureBeforeTheDotDeliversNothing)
{
    ScriptedPeer peer;
    peer.SendLine("220 ready").Expect("HELO client.test").SendLine("250 ok");
    peer.Expect("RSET").SendLine("250 ok").Expect("MAIL FROM:<a@example.test>").SendLine("250 ok");
    peer.Expect("RCPT TO:<b@example.test>").SendLine("250 ok").Expect("DATA").SendLine("354 go on");
    peer.ExpectClose();
    peer.Start();
    TNMSMTP smtp(nullptr);
    smtp.Host = "127.0.0.1";
    smtp.Port = peer.Port();
    smtp.UserID = "client.test";
    smtp.TimeOut = 5000;
    smtp.PostMessage->FromAddress = "a@example.test";
    smtp.PostMessage->ToAddress->Add("b@example.test");
    smtp.PostMessage->Body->Add("text");
    smtp.Connect();
    TMessageStep step(smtp);
    step.BeforeDot = [] { throw EStreamError("送信記録 x に書き込めません"); };
    EXPECT_THROW(step.Send(), EStreamError);
    EXPECT_FALSE(smtp.Connected);
    EXPECT_TRUE(peer.WaitDone());
    EXPECT_EQ(peer.Failure(), "");
}

}  // namespace
