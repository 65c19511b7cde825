// The check of every row before a run connects, through the engine to
// aiosmtpd: rows whose own files are missing are held back and sent by the
// next run once the files are there; files outside the list's folder are
// refused unless allowed; repeated addresses are named and, when chosen,
// sent once; a row whose message cannot be composed is named and skipped.

#include <filesystem>
#include <set>

#include "engine/journal/Journal.h"
#include "engine/compose/Preview.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/ScriptedPeer.h"

namespace enginetest {
namespace {

namespace fs = std::filesystem;
using testsupport::SmtpSink;

// The journal's rows: line -> outcome and reason.
std::map<int, std::pair<std::string, std::string>> Journal(const std::string& Path)
{
    std::map<int, std::pair<std::string, std::string>> rows;
    const auto records = ParseCsv(testsupport::ReadWholeFile(Path));
    for (size_t i = 1; i < records.size(); ++i)
        rows[std::stoi(records[i][0])] = {records[i][2], records[i][3]};
    return rows;
}

std::multiset<std::string> Recipients(const SmtpSink& Sink)
{
    std::multiset<std::string> to;
    for (const auto& m : Sink.Messages())
        to.insert(m.RcptTos.begin(), m.RcptTos.end());
    return to;
}

bool Contains(const std::string& Text, const std::string& Part) { return Text.find(Part) != std::string::npos; }

class RowCheckTest : public EngineTest {
protected:
    // A CSV in the profile's folder リスト, its 添付ファイル column as given.
    std::string List(const std::vector<std::pair<std::string, std::string>>& Rows) const
    {
        fs::create_directories(fs::path(profile.Path()) / "リスト");
        std::string csv = "メールアドレス,添付ファイル\r\n";
        for (const auto& [address, file] : Rows)
            csv += address + "," + file + "\r\n";
        return WriteFile("リスト/list.csv", csv);
    }
};

TEST_F(RowCheckTest, RowsWithoutTheirFilesStayUnsentAndTheNextRunSendsExactlyThem)
{
    const std::string folder = profile.Path() + "/リスト/";
    const std::string list = List({{"a@example.jp", "a.pdf"},
                                   {"b@example.jp", "b.pdf"},
                                   {"c@example.jp", "c.pdf"},
                                   {"d@example.jp", "d.pdf ; a.pdf"},
                                   {"e@example.jp", ""}});
    WriteFile("リスト/a.pdf", "%PDF a");
    WriteFile("リスト/c.pdf", "%PDF c");
    const TSendRequest request{list, "件名", "本文\n", {WriteFile("全員.txt", "every")}};

    // Asked, and キャンセル: nothing connects.
    SmtpSink sink;
    WriteSettings(sink.Port());
    EXPECT_EQ(SendFailure(request), "");
    ASSERT_EQ(ui.MissingQuestions.size(), 1u);
    const std::string& asked = ui.MissingQuestions[0];
    for (const std::string& named : {"3 行目: 添付ファイル " + folder + "b.pdf がありません",
                                    "5 行目: 添付ファイル " + folder + "d.pdf がありません"})
        EXPECT_TRUE(Contains(asked, named)) << asked;
    EXPECT_FALSE(Contains(asked, "2 行目")) << asked;
    EXPECT_TRUE(ui.Confirmations.empty());
    EXPECT_TRUE(ui.Summaries.empty());

    // Sent without them: they stay 未送信 with their reason, the run unfinished.
    ui.SkipMissing = true;
    engine->Send(request);
    ASSERT_EQ(ui.Summaries.size(), 1u);
    EXPECT_EQ(ui.Summaries[0].Counts[TOutcome::Sent], 3);
    EXPECT_EQ(ui.Summaries[0].Counts[TOutcome::NotSent], 2);
    ASSERT_EQ(ui.Confirmations.size(), 1u);
    EXPECT_EQ(ui.Confirmations[0].Messages, 3);
    EXPECT_EQ(ui.Confirmations[0].Held, 2);
    EXPECT_TRUE(Contains(ConfirmText(ui.Confirmations[0]), "5 行目: 添付ファイル " + folder + "d.pdf がありません"));
    ASSERT_TRUE(sink.WaitForMessages(3)) << sink.ServerLog();
    EXPECT_EQ(Recipients(sink), (std::multiset<std::string>{"a@example.jp", "c@example.jp", "e@example.jp"}));
    auto rows = Journal(ui.Summaries[0].JournalPath);
    EXPECT_EQ(rows[3], std::make_pair(std::string("未送信"), "添付ファイル " + folder + "b.pdf がありません"));
    EXPECT_EQ(rows[5].first, "未送信");

    // One file comes: the next run continues, and sends that row alone, the
    // other still held back.
    WriteFile("リスト/b.pdf", "%PDF b");
    ui.Questions.clear();
    engine->Send(request);
    ASSERT_EQ(ui.Questions.size(), 1u);
    EXPECT_TRUE(Contains(ui.Questions[0], "前回の送信は 5 件中 3 件で止まっています")) << ui.Questions[0];
    ASSERT_TRUE(sink.WaitForMessages(4)) << sink.ServerLog();
    EXPECT_EQ(sink.Message(3).RcptTos, std::vector<std::string>{"b@example.jp"});
    ASSERT_EQ(ui.Summaries.size(), 2u);
    EXPECT_EQ(ui.Summaries[1].Counts[TOutcome::Sent], 4);
    EXPECT_EQ(Journal(ui.Summaries[1].JournalPath)[5].first, "未送信");

    // Then the last one; after it the run is over and nothing is offered.
    WriteFile("リスト/d.pdf", "%PDF d");
    engine->Send(request);
    ASSERT_TRUE(sink.WaitForMessages(5)) << sink.ServerLog();
    EXPECT_EQ(sink.Message(4).RcptTos, std::vector<std::string>{"d@example.jp"});
    ASSERT_EQ(ui.Summaries.size(), 3u);
    EXPECT_EQ(ui.Summaries[2].Counts[TOutcome::Sent], 5);
    EXPECT_EQ(ui.Questions.size(), 2u);
    ui.Confirm = false;
    engine->Send(request);
    EXPECT_EQ(ui.Questions.size(), 2u);  // no resume offered
    EXPECT_FALSE(ui.Confirmations.back().SentBefore.empty());

    // A list none of whose rows could go is refused, naming them, unasked.
    ui = TTestFrontEnd();
    const std::string none = SendFailure({List({{"x@example.jp", "x.pdf"}}), "件名", "本文\n"});
    EXPECT_TRUE(Contains(none, "送信できる行がありません")) << none;
    EXPECT_TRUE(Contains(none, "2 行目: 添付ファイル " + folder + "x.pdf がありません")) << none;
    EXPECT_TRUE(ui.MissingQuestions.empty());
    EXPECT_EQ(sink.Messages().size(), 5u);
}

TEST_F(RowCheckTest, FilesOutsideTheListsFolderAreRefusedNamingRowAndPathUnlessAllowed)
{
    const std::string secret = WriteFile("秘密.txt", "private");
    fs::create_directories(fs::path(profile.Path()) / "リスト" / "sub");
    WriteFile("リスト/ok.txt", "fine");
    fs::create_symlink(secret, fs::path(profile.Path()) / "リスト" / "link.txt");
    struct Case {
        const char* name;
        std::string cell;
        std::string leads;  // where the question says it leads; empty: inside, nothing asked
    };
    const Case cases[] = {
        {"an absolute path", "/etc/hostname", "/etc/hostname"},
        {"up and out", "../秘密.txt", secret},
        {"far up", "../../../../../../../../etc/hostname", "/etc/hostname"},
        {"a link inside that points out", "link.txt", secret},
        {"down and up again, inside", "sub/../ok.txt", ""},
    };
    for (const Case& c : cases)
        for (const bool allow : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (allow ? ", allowed" : ""));
            SmtpSink sink;
            WriteSettings(sink.Port());
            ui = TTestFrontEnd();
            ui.AllowOutside = allow;
            engine->Send({List({{"a@example.jp", ""}, {"b@example.jp", c.cell}}), "件名", "本文\n"});
            const bool sends = allow || c.leads.empty();
            ASSERT_EQ(ui.OutsideQuestions.size(), c.leads.empty() ? 0u : 1u);
            if (!c.leads.empty()) {
                const std::string& asked = ui.OutsideQuestions[0];
                EXPECT_TRUE(Contains(asked, "3 行目: ")) << asked;
                EXPECT_TRUE(Contains(asked, " → " + c.leads)) << asked;
                EXPECT_FALSE(Contains(asked, "2 行目")) << asked;
            }
            EXPECT_EQ(ui.Summaries.size(), sends ? 1u : 0u);
            EXPECT_EQ(sink.WaitForMessages(2, sends ? 10000 : 0), sends) << sink.ServerLog();
        }
    // Files the user adds are the user's own choice.
    SmtpSink sink;
    WriteSettings(sink.Port());
    ui = TTestFrontEnd();
    engine->Send({List({{"a@example.jp", ""}}), "件名", "本文\n", {"/etc/hostname", secret}});
    EXPECT_TRUE(ui.OutsideQuestions.empty());
    EXPECT_TRUE(sink.WaitForMessages(1)) << sink.ServerLog();
}

TEST_F(RowCheckTest, RepeatedAddressesAreNamedAndSentOnceWhenChosen)
{
    const std::string list = List({{"a@example.jp", ""},
                                   {"b@example.jp", ""},
                                   {"A@Example.JP", ""},
                                   {"c@example.jp", ""},
                                   {"a@example.jp", ""},
                                   {"b@example.jp", ""}});
    struct Case {
        TRunFrontEnd::TDuplicatesChoice choice;
        std::multiset<std::string> to;
        std::map<int, std::string> outcomes;  // of the rows with a repeated address
    };
    const Case cases[] = {
        {TRunFrontEnd::dcSendAll,
         {"a@example.jp", "b@example.jp", "A@Example.JP", "c@example.jp", "a@example.jp", "b@example.jp"},
         {{4, "送信済み"}, {6, "送信済み"}, {7, "送信済み"}}},
        {TRunFrontEnd::dcOncePerAddress, {"a@example.jp", "b@example.jp", "c@example.jp"},
         {{4, "重複"}, {6, "重複"}, {7, "重複"}}},
        {TRunFrontEnd::dcCancel, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.choice);
        SmtpSink sink;
        WriteSettings(sink.Port());
        ui = TTestFrontEnd();
        ui.Resume = rcRestart;
        ui.Repeated = c.choice;
        engine->Send({list, "件名", "本文\n"});
        ASSERT_EQ(ui.Confirmations.size(), 1u);
        const TRunOutline& outline = ui.Confirmations[0];
        EXPECT_EQ(outline.Messages, 6);
        EXPECT_EQ(outline.Addresses, 3);
        EXPECT_EQ(outline.Duplicates, 3);
        EXPECT_EQ(outline.DuplicatesText, "A@Example.JP: 2、4、6 行目\nb@example.jp: 3、7 行目");
        EXPECT_TRUE(Contains(ConfirmText(outline), "同じアドレスには 1 通だけ"));
        if (c.to.empty()) {
            EXPECT_TRUE(ui.Summaries.empty());
            continue;
        }
        ASSERT_TRUE(sink.WaitForMessages(c.to.size())) << sink.ServerLog();
        EXPECT_EQ(Recipients(sink), c.to);
        ASSERT_EQ(ui.Summaries.size(), 1u);
        auto rows = Journal(ui.Summaries[0].JournalPath);
        for (const auto& [line, outcome] : c.outcomes)
            EXPECT_EQ(rows[line].first, outcome) << line;
        if (c.choice == TRunFrontEnd::dcOncePerAddress) {
            EXPECT_EQ(rows[7].second, "3 行目と同じアドレスです");
        }
    }
}

TEST_F(RowCheckTest, ARowWhoseMessageCannotBeComposedIsNamedAndSkippedWhileTheOthersGo)
{
    SmtpSink sink;
    WriteSettings(sink.Port(), "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\nhttps://example.jp/stop?c={{コード}}\r\nyes\r\n"
                               "東京都千代田区1-1\r\n03-1234-5678\r\n");
    const std::string list = WriteFile("list.csv", "メールアドレス,コード\r\na@example.jp,1\r\nb@example.jp," +
                                                       std::string(1200, 'x') + "\r\nc@example.jp,3\r\n");
    engine->Send({list, "件名", "本文\n"});

    ASSERT_EQ(ui.Confirmations.size(), 1u);
    EXPECT_EQ(ui.Confirmations[0].Messages, 2);
    const std::string confirm = ConfirmText(ui.Confirmations[0]);
    EXPECT_TRUE(Contains(confirm, "3 行目: この行の値を差し込んだ配信停止の URL が長すぎて")) << confirm;
    EXPECT_FALSE(Contains(confirm, "設定の")) << confirm;
    ASSERT_TRUE(sink.WaitForMessages(2)) << sink.ServerLog();
    EXPECT_EQ(Recipients(sink), (std::multiset<std::string>{"a@example.jp", "c@example.jp"}));
    ASSERT_EQ(ui.Summaries.size(), 1u);
    EXPECT_EQ(ui.Summaries[0].Failure, "");
    const auto rows = Journal(ui.Summaries[0].JournalPath);
    EXPECT_EQ(rows.at(3).first, "宛先不正");
    EXPECT_TRUE(Contains(rows.at(3).second, "配信停止の URL が長すぎて")) << rows.at(3).second;
    // Nothing is left for --resume to trip over again.
    ui.Confirm = false;
    engine->Send({list, "件名", "本文\n"});
    EXPECT_EQ(ui.Questions.size(), 0u);
}

TEST_F(RowCheckTest, ThePreviewMarksEachKindOfRowAndListsThem)
{
    WriteSettings(1);
    WriteFile("配信停止.txt", "stop@example.jp\n");
    fs::create_directories(fs::path(profile.Path()) / "リスト");
    WriteFile("リスト/here.pdf", "%PDF");
    const TSendRequest request{List({{"a@example.jp", "here.pdf"},
                                     {"stop@example.jp", ""},
                                     {"A@example.jp", ""},
                                     {"b@example.jp", "gone.pdf"},
                                     {"c@example.jp", "/etc/hostname"},
                                     {"not an address", ""}}),
                               "件名", "本文\n"};
    const std::unique_ptr<TListPreview> preview = engine->Preview(request);
    ASSERT_TRUE(preview);
    const std::string folder = profile.Path() + "/リスト/";
    struct Case {
        int line;
        std::string note;     // the start of the row's note
        std::string problem;  // 宛先不正's reason
        std::string finding;  // a line of 確認の結果
    };
    const Case cases[] = {
        {2, "", "", ""},
        {3, "この行は送信しません（配信停止: ", "", "配信停止 3 行目: "},
        {4, "2 行目と同じアドレスです（「同じアドレスには 1 通だけ」", "", "重複 4 行目: 2 行目と同じアドレスです"},
        {5, "この行は送信しません（未送信: 添付ファイル " + folder + "gone.pdf がありません）", "",
         "添付ファイルなし（未送信） 5 行目: 添付ファイル " + folder + "gone.pdf がありません"},
        {6, "宛先リストのフォルダの外のファイル: /etc/hostname → /etc/hostname", "",
         "リストのフォルダの外のファイル 6 行目: /etc/hostname → /etc/hostname"},
        {7, "", "x", "宛先不正 7 行目: "},
    };
    const std::vector<std::string> findings = preview->Findings();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const TComposedRow row = preview->Compose(*preview->IndexOf(c.line));
        EXPECT_TRUE(row.Note.starts_with(c.note) && row.Note.empty() == c.note.empty()) << row.Note;
        EXPECT_EQ(row.Problem.empty(), c.problem.empty()) << row.Problem;
        EXPECT_TRUE(ComposedText(row).starts_with(c.note));
        const bool listed = std::any_of(findings.begin(), findings.end(),
                                        [&](const std::string& f) { return Contains(f, " " + std::to_string(c.line) + " 行目: "); });
        EXPECT_EQ(listed, !c.finding.empty());
        if (!c.finding.empty()) {
            EXPECT_TRUE(std::any_of(findings.begin(), findings.end(),
                                    [&](const std::string& f) { return f.starts_with(c.finding); }));
        }
    }
}

}  // namespace
}  // namespace enginetest
