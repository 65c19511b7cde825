// Attachments through the engine to aiosmtpd and back through Python's email
// package: the window's files and a row's own, their types and names, the
// checks before connecting, the server's SIZE and the run's identity.

#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "engine/compose/Attachments.h"
#include "codec/NMUUE.h"
#include "engine/journal/Journal.h"
#include "engine/compose/Preview.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/Certificates.h"
#include "tests/support/ScriptedPeer.h"

namespace enginetest {
namespace {

using testsupport::RandomBytes;
using testsupport::SmtpSink;

std::string Sha256(const std::string& Bytes)
{
    return QCryptographicHash::hash(QByteArray::fromStdString(Bytes), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

// Every message's attachments as "filename|name|type|sha256", read by Python.
std::vector<std::vector<std::string>> ReadAttachments(const SmtpSink& Sink)
{
    std::vector<std::string> args{std::string(VELTROW_SOURCE_DIR) + "/tests/engine/read_attachments.py"};
    for (const auto& m : Sink.Messages())
        args.push_back(m.Path);
    const auto result = testsupport::RunPython(
        "import runpy, sys; sys.argv = sys.argv[1:]; runpy.run_path(sys.argv[0], run_name='__main__')", args);
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    std::vector<std::vector<std::string>> messages;
    for (const QJsonValue& m : QJsonDocument::fromJson(QByteArray::fromStdString(result.Output)).array()) {
        messages.emplace_back();
        for (const QJsonValue& p : m.toArray()) {
            const QJsonObject o = p.toObject();
            messages.back().push_back((o["filename"].toString() + "|" + o["name"].toString() + "|" +
                                       o["type"].toString() + "|" + o["sha256"].toString())
                                          .toStdString());
        }
    }
    return messages;
}

class AttachmentRunTest : public EngineTest {
protected:
    static void SetUpTestSuite() { testsupport::TestCertificates::Get().TrustAuthority(); }

    std::string Attached(const std::string& Name, const std::string& Type, const std::string& Path) const
    {
        return Name + "|" + Name + "|" + Type + "|" + Sha256(testsupport::ReadWholeFile(Path));
    }
    std::vector<std::vector<std::string>> JournalRows(const std::string& Path) const
    {
        auto rows = ParseCsv(testsupport::ReadWholeFile(Path));
        for (auto& row : rows)
            row.resize(4);  // without the time
        return rows;
    }
};

TEST_F(AttachmentRunTest, WindowAndRowFilesArriveWholeWithTheirTypesAndNames)
{
    SmtpSink sink;
    WriteSettings(sink.Port());
    const std::string pdf = WriteFile("ご案内.pdf", "%PDF-1.4\n" + RandomBytes(200 * 1024, 1) + "\n%%EOF\n");
    // No extension: the content says PNG.
    const std::string png = WriteFile("地図", std::string("\x89PNG\r\n\x1a\n", 8) + RandomBytes(5000, 2));
    std::filesystem::create_directory(std::filesystem::path(profile.Path()) / "請求書");
    const std::string invoice = WriteFile("請求書/株式会社テスト.pdf", "%PDF-1.7\n" + RandomBytes(3000, 3));
    TSendRequest request = Request("a@example.jp\r\n佐藤 <b@example.jp>\r\nc@example.jp\r\n");
    request.Attachments = {pdf, png};
    request.RowAttachments = {{2, {"請求書/株式会社テスト.pdf"}}, {3, {png}}};

    engine->Send(request);

    ASSERT_EQ(ui.Summaries.size(), 1u);
    EXPECT_EQ(ui.Summaries[0].Counts[TOutcome::Sent], 3);
    ASSERT_TRUE(sink.WaitForMessages(3)) << sink.ServerLog();
    const std::string every[] = {Attached("ご案内.pdf", "application/pdf", pdf), Attached("地図", "image/png", png)};
    const std::vector<std::vector<std::string>> expected{
        {every[0], every[1]},
        {every[0], every[1], Attached("株式会社テスト.pdf", "application/pdf", invoice)},
        {every[0], every[1]},  // a row's file that every message carries anyway goes once
    };
    EXPECT_EQ(ReadAttachments(sink), expected);
}

TEST_F(AttachmentRunTest, AListsColumnNamesEachRowsFilesWithItsFieldsMerged)
{
    SmtpSink sink;
    WriteSettings(sink.Port());
    std::filesystem::create_directory(std::filesystem::path(profile.Path()) / "請求書");
    const std::string test = WriteFile("請求書/テスト.pdf", "%PDF-1.7\n" + RandomBytes(3000, 4));
    const std::string sample = WriteFile("請求書/サンプル.pdf", "%PDF-1.7\n" + RandomBytes(4000, 5));
    const std::string map = WriteFile("地図.png", std::string("\x89PNG\r\n\x1a\n", 8) + RandomBytes(900, 6));
    const std::string list = "会社名,メールアドレス,添付ファイル\r\n"
                             "テスト,a@example.jp,請求書/{{会社名}}.pdf\r\n"
                             "サンプル,b@example.jp, 請求書/{{会社名}}.pdf ; 地図.png\r\n"
                             "なし,c@example.jp,\r\n";

    engine->Send({WriteFile("list.csv", list), "件名", "本文\n"});

    ASSERT_TRUE(sink.WaitForMessages(3)) << sink.ServerLog();
    const std::vector<std::vector<std::string>> expected{
        {Attached("テスト.pdf", "application/pdf", test)},
        {Attached("サンプル.pdf", "application/pdf", sample), Attached("地図.png", "image/png", map)},
        {},
    };
    EXPECT_EQ(ReadAttachments(sink), expected);

    // The preview names each row's files; a test send of a row carries them.
    const TSendRequest request{WriteFile("list.csv", list), "件名", "本文\n"};
    const std::unique_ptr<TListPreview> preview = engine->Preview(request);
    ASSERT_TRUE(preview);
    const std::string third = ComposedText(preview->Compose(*preview->IndexOf(3)));
    EXPECT_NE(third.find("添付ファイル: サンプル.pdf（application/pdf、"), std::string::npos) << third;
    EXPECT_NE(third.find("添付ファイル: 地図.png（image/png、"), std::string::npos) << third;
    EXPECT_EQ(ComposedText(preview->Compose(*preview->IndexOf(4))).find("添付ファイル"), std::string::npos);
    engine->TestSend(request, 3, "me@example.jp");
    ASSERT_TRUE(sink.WaitForMessages(4)) << sink.ServerLog();
    EXPECT_EQ(ReadAttachments(sink).back(), expected[1]);

    // A row naming a file that is not there is asked about before the next
    // Send connects; cancelled, nothing goes.
    EXPECT_EQ(
        SendFailure({WriteFile("list.csv", list + "ない,d@example.jp,請求書/{{会社名}}.pdf\r\n"), "件名", "本文\n"}), "");
    ASSERT_EQ(ui.MissingQuestions.size(), 1u);
    EXPECT_NE(ui.MissingQuestions[0].find("5 行目: 添付ファイル " + profile.Path() + "/請求書/ない.pdf がありません"),
              std::string::npos)
        << ui.MissingQuestions[0];
    EXPECT_EQ(sink.Messages().size(), 4u);
}

TEST_F(AttachmentRunTest, AFileThatCannotBeAttachedRefusesTheRunBeforeConnecting)
{
    const std::string pdf = WriteFile("a.pdf", "%PDF-1.4\n");
    const std::string folder = profile.Path() + "/フォルダ";
    std::filesystem::create_directory(folder);
    // Opening it must not wait for a writer that never comes.
    const std::string fifo = profile.Path() + "/pipe.pdf";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        const char* name;
        std::vector<std::string> every;
        std::map<int, std::vector<std::string>> rows;
        std::string says;
    };
    const Case cases[] = {
        {"a window file is missing", {profile.Path() + "/ない.pdf"}, {},
         "添付ファイル " + profile.Path() + "/ない.pdf がありません"},
        {"a row's file is missing", {pdf}, {{2, {"請求書/ない.pdf"}}},
         "2 行目: 添付ファイル " + profile.Path() + "/請求書/ない.pdf がありません"},
        {"a folder", {folder}, {}, "添付ファイル " + folder + " はフォルダです"},
        {"a named pipe", {}, {{1, {"pipe.pdf"}}}, "1 行目: 添付ファイル " + fifo + " は通常のファイルではありません"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::ScriptedPeer peer;
        peer.ExpectClose();
        peer.Start();
        WriteSettings(peer.Port());
        ui = TTestFrontEnd();
        TSendRequest request = Request("a@example.jp\r\nb@example.jp\r\n");
        request.Attachments = c.every;
        request.RowAttachments = c.rows;
        // A window's file refuses the run; a row's is asked about, and the
        // front end's キャンセル sends nothing.
        std::string failure = SendFailure(request);
        failure += ui.MissingQuestions.empty() ? "" : ui.MissingQuestions[0];
        EXPECT_NE(failure.find(c.says), std::string::npos) << failure;
        EXPECT_TRUE(ui.Confirmations.empty());
        EXPECT_EQ(peer.Connections(), 0);
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(profile.Path()) / "送信記録"));
    }
}

TEST_F(AttachmentRunTest, AMessageAboveTheServersSizeIsRefusedForItsRowAndTheOthersGo)
{
    SmtpSink::Options options = testsupport::TestCertificates::Get().StartTls("valid");
    options.SizeLimit = 100 * 1000;
    SmtpSink sink(options);
    WriteFile("設定.txt", "localhost\r\n" + std::to_string(sink.Port()) +
                              "\r\npc01.example.jp\r\nTaro\r\ntaro@example.jp\r\nstarttls\r\n");
    const std::string small = WriteFile("small.bin", RandomBytes(1000, 4));
    const std::string large = WriteFile("large.bin", RandomBytes(80 * 1000, 5));
    TSendRequest request = Request("a@example.jp\r\nb@example.jp\r\nc@example.jp\r\n");
    request.Attachments = {small};
    request.RowAttachments = {{2, {large}}};

    engine->Send(request);

    ASSERT_EQ(ui.Summaries.size(), 1u);
    EXPECT_EQ(ui.Summaries[0].Counts[TOutcome::Sent], 2);
    EXPECT_EQ(ui.Summaries[0].Counts[TOutcome::Refused], 1);
    ASSERT_TRUE(sink.WaitForMessages(2)) << sink.ServerLog();
    EXPECT_EQ(sink.Message(0).RcptTos, std::vector<std::string>{"a@example.jp"});
    EXPECT_EQ(sink.Message(1).RcptTos, std::vector<std::string>{"c@example.jp"});
    const auto rows = JournalRows(ui.Summaries[0].JournalPath);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[2][0], "2");
    EXPECT_EQ(rows[2][2], "拒否");
    EXPECT_NE(rows[2][3].find("サーバーの上限は 100 KB"), std::string::npos) << rows[2][3];
}

TEST_F(AttachmentRunTest, ALargeMessageToAServerGreetedWithHeloIsAskedAboutOnceBeforeConnecting)
{
    // Encoded, 7.5 MB become a little over 10 MB.
    const std::string large = WriteFile("large.bin", RandomBytes(7600 * 1000, 6));
    for (const bool send : {false, true}) {
        SCOPED_TRACE(send);
        SmtpSink sink;
        WriteSettings(sink.Port());
        ui = TTestFrontEnd();
        ui.Large = send;
        TSendRequest request = Request("a@example.jp\r\n");
        request.Attachments = {large};
        EXPECT_EQ(SendFailure(request), "");
        ASSERT_EQ(ui.LargeQuestions.size(), 1u);
        // The size it names is the message's: the encoded file and a little more.
        const std::string& question = ui.LargeQuestions[0];
        const double named = std::atof(question.substr(question.find("は ") + 4).c_str()) * 1e6;
        const auto encoded = static_cast<double>(TNMUUProcessor::EncodedLength(7600 * 1000, uuMime));
        EXPECT_GE(named, encoded - 0.05e6) << question;
        EXPECT_LE(named, encoded + 0.15e6) << question;
        EXPECT_EQ(ui.Summaries.size(), send ? 1u : 0u);
        EXPECT_EQ(sink.WaitForMessages(1, send ? 10000 : 0), send);
    }
}

TEST(RunAttachments, TheDigestChangesWithWhatAnyRowCarries)
{
    const testsupport::TempFolder dir;
    const std::string a = dir.Write("a.pdf", "one");
    const std::string b = dir.Write("b.pdf", "two");
    const std::string same = dir.Write("c.pdf", "one");
    const std::string base = TRunAttachments({a}, {{2, {b}}}, dir.Path()).Digest();
    EXPECT_EQ(TRunAttachments({a}, {{2, {"b.pdf"}}}, dir.Path()).Digest(), base);
    struct Case {
        const char* name;
        std::vector<std::string> every;
        std::map<int, std::vector<std::string>> rows;
    };
    const Case others[] = {
        {"another row", {a}, {{3, {b}}}},
        {"the files swapped", {b}, {{2, {a}}}},
        {"another name, same bytes", {same}, {{2, {b}}}},
        {"one file less", {a}, {}},
    };
    for (const Case& c : others) {
        SCOPED_TRACE(c.name);
        EXPECT_NE(TRunAttachments(c.every, c.rows, dir.Path()).Digest(), base);
    }
    dir.Write("b.pdf", "TWO");
    EXPECT_NE(TRunAttachments({a}, {{2, {b}}}, dir.Path()).Digest(), base);
    EXPECT_EQ(TRunAttachments({}, {}, dir.Path()).Digest(), "");
}

TEST(RunAttachments, AnUnfinishedRunIsOfferedOnlyWithTheSameAttachments)
{
    const testsupport::TempFolder dir;
    TRunIdentity identity{"/l.txt", "a@example.jp\r\n", "件名", "本文", "d1"};
    {
        TJournal journal(dir.Path(), identity, std::time(nullptr));
        journal.Write({1, "a@example.jp", TOutcome::Sent, "250 ok", std::time(nullptr)});
        journal.Durable();
    }
    EXPECT_TRUE(FindUnfinishedRun(dir.Path(), identity));
    identity.Attachments = "d2";
    EXPECT_FALSE(FindUnfinishedRun(dir.Path(), identity));
    identity.Attachments.clear();
    EXPECT_FALSE(FindUnfinishedRun(dir.Path(), identity));
}

}  // namespace
}  // namespace enginetest

namespace enginetest {
namespace {

// The file a message carries is the file that was checked: one replaced by
// a FIFO (which would never end), changed or gone since is refused when its
// message is composed, saying what happened; a file whose size its reads
// do not keep (/proc) is refused at the check.
TEST(RunAttachments, WhatIsSentIsWhatWasChecked)
{
    const testsupport::TempFolder dir;
    const std::string bytes = RandomBytes(5000, 7);
    const auto write = [](const std::string& Path, const std::string& Bytes) {
        std::ofstream(Path, std::ios::binary | std::ios::trunc) << Bytes;
    };
    const std::string changed = " は送信前の確認の後で変わりました（大きさか中身が違います）。確認したものと違うファイルは送りません";
    struct Case {
        const char* name;
        std::function<void(const std::string& Path)> change;
        std::string refusal;  // after the path; empty: sent
    };
    const Case cases[] = {
        {"unchanged", [](const std::string&) {}, ""},
        {"written again, same bytes", [&](const std::string& p) { write(p, bytes); }, ""},
        {"replaced by a FIFO", [](const std::string& p) { std::filesystem::remove(p); ::mkfifo(p.c_str(), 0600); },
         " は送信の途中で通常のファイルではなくなりました"},
        {"other bytes of the same size", [&](const std::string& p) { write(p, std::string(bytes.size(), 'x')); }, changed},
        {"grown", [&](const std::string& p) { write(p, bytes + "more"); }, changed},
        {"gone", [](const std::string& p) { std::filesystem::remove(p); }, " が送信の途中でなくなりました"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.Write("資料.pdf", bytes);
        TRunAttachments files({path}, {}, dir.Path());
        c.change(path);
        try {
            const TParts parts = files.Parts(0);
            EXPECT_EQ(c.refusal, "");
            ASSERT_EQ(parts.size(), 1u);
            EXPECT_EQ(parts[0]->EncodedSize, TNMUUProcessor::EncodedLength(static_cast<int64_t>(bytes.size()), uuMime));
        } catch (const EStreamError& e) {
            EXPECT_EQ(e.Message(), "添付ファイル " + path + c.refusal);
        }
        std::filesystem::remove(path);
    }
    for (const std::string proc : {"/proc/self/maps", "/proc/self/status"}) {
        try {
            TRunAttachments({proc}, {}, dir.Path());
            ADD_FAILURE() << proc << " accepted";
        } catch (const EStreamError& e) {
            EXPECT_EQ(e.Message(), "添付ファイル " + proc + " は読むあいだに大きさが変わりました。中身の変わらないファイルを選んでください");
        }
    }
}

// A row's file changed while the run goes on: the messages before it went
// whole, its own does not go, and the run stops saying why, its row and the
// rest 未送信 for a resume once the file is put back.
TEST_F(AttachmentRunTest, AFileChangedDuringTheRunStopsItBeforeItsMessage)
{
    SmtpSink sink;
    WriteSettings(sink.Port());
    const struct {
        const char* name;
        std::function<void(const std::string& Path)> change;
        const char* failure;
    } cases[] = {
        {"a FIFO", [](const std::string& p) { std::filesystem::remove(p); ::mkfifo(p.c_str(), 0600); }, "通常のファイルではなくなりました"},
        {"other bytes", [](const std::string& p) { std::ofstream(p, std::ios::binary) << "changed"; }, "確認の後で変わりました"},
    };
    size_t before = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string list = "メールアドレス,添付ファイル\r\n";
        for (int row = 1; row <= 4; ++row) {
            list += Format("r%d@example.jp,%d.txt\r\n", row, row);
            WriteFile(Format("%d.txt", row), "row");
        }
        const std::string last = profile.Path() + "/4.txt";
        ui = TTestFrontEnd();
        ui.AtProgress = [&](int Sent) {
            if (Sent == 1)
                c.change(last);
        };
        // A subject of its own: not the continuation of the case before.
        engine->Send({WriteFile("list.csv", list), c.name, "本文\n"});
        ASSERT_EQ(ui.Summaries.size(), 1u);
        EXPECT_NE(ui.Summaries[0].Failure.find(last), std::string::npos) << ui.Summaries[0].Failure;
        EXPECT_NE(ui.Summaries[0].Failure.find(c.failure), std::string::npos) << ui.Summaries[0].Failure;
        EXPECT_EQ(ui.Summaries[0].Counts[TOutcome::Sent], 3);
        EXPECT_EQ(ui.Summaries[0].Counts[TOutcome::NotSent], 1);
        EXPECT_EQ(JournalRows(ui.Summaries[0].JournalPath).back(),
                  (std::vector<std::string>{"5", "r4@example.jp", "未送信", ""}));
        ASSERT_TRUE(sink.WaitForMessages(before + 3));
        before += 3;
        EXPECT_EQ(sink.MessageCount(), before);
        std::filesystem::remove(last);
    }
}

}  // namespace
}  // namespace enginetest
