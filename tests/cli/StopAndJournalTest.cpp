// veltrow-send where bad luck or someone else's hand meets the run: a stop
// while the list is read or the DNS server is silent, a disk that fills up
// midway, journal files replaced by a FIFO or a symbolic link, and
// --resume when there is nothing to continue.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include "cli/Progress.h"
#include "cli/StopSignals.h"
#include "cli/TerminalFrontEnd.h"
#include "engine/journal/Journal.h"
#include "platform/Windows.h"
#include "tests/engine/DnsServer.h"
#include "tests/support/Certificates.h"
#include "tests/support/SmtpSink.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using testsupport::SmtpSink;
using testsupport::TempFolder;
using Clock = std::chrono::steady_clock;

struct TTimed {
    int Exit = -1;  // -1: ended by a signal, or killed at the limit
    std::string Out, Err;
    int64_t EndMs = -1;  // from the moment Moment said yes to the end; -1: never
};

int64_t Since(Clock::time_point From)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - From).count();
}

// Runs veltrow-send with Args, standard output and error into pipes.
// Moment is asked whenever output came and every 10 ms until it says yes
// (it may signal the child); EndMs then measures the rest of the child's
// life. A child still alive LimitMs after the start is killed. FileLimit:
// the child's RLIMIT_FSIZE (ulimit -f), in bytes; 0 for none.
TTimed Spawn(const std::vector<std::string>& Args,
             const std::function<bool(const std::string& Err, pid_t Child)>& Moment = nullptr,
             int64_t LimitMs = 120000, rlim_t FileLimit = 0)
{
    std::vector<std::string> all{VELTROW_SEND};
    all.insert(all.end(), Args.begin(), Args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        // Only what is safe between fork and exec.
        if (FileLimit > 0) {
            const struct rlimit limit {FileLimit, FileLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execve(argv[0], argv.data(), environ);
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    TTimed result;
    const Clock::time_point start = Clock::now();
    std::optional<Clock::time_point> moment;
    if (!Moment)
        moment = start;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* into[2] = {&result.Out, &result.Err};
    int open = 2;
    bool killed = false;
    while (open > 0) {
        ::poll(fds, 2, 10);
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                into[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
        if (!moment && Moment(result.Err, child))
            moment = Clock::now();
        if (!killed && Since(start) > LimitMs) {
            ADD_FAILURE() << "veltrow-send still running after " << LimitMs << " ms; killed";
            ::kill(child, SIGKILL);
            killed = true;
        }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (moment)
        result.EndMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - *moment).count();
    result.Exit = WIFEXITED(status) && !killed ? WEXITSTATUS(status) : -1;
    return result;
}

bool Has(const std::string& Text, const std::string& Part) { return Text.find(Part) != std::string::npos; }

// The child has read at least Bytes from files and pipes (its rchar): a
// list of that size is in memory and being parsed.
bool HasRead(pid_t Child, size_t Bytes)
{
    const std::string io = testsupport::ReadWholeFile("/proc/" + std::to_string(Child) + "/io");
    const size_t at = io.find("rchar: ");
    return at != std::string::npos && std::strtoull(io.c_str() + at + 7, nullptr, 10) >= Bytes;
}

// Who received how many messages.
std::map<std::string, int> Received(const SmtpSink& Sink)
{
    std::map<std::string, int> received;
    for (const auto& m : Sink.Messages())
        for (const auto& to : m.RcptTos)
            ++received[to];
    return received;
}

// The journal's rows ("line|outcome") of the run the summary names.
std::vector<std::string> Rows(const std::string& Err)
{
    const std::string named = "送信記録: ";
    const size_t at = Err.rfind(named);
    if (at == std::string::npos)
        return {};
    const size_t from = at + named.size();
    std::vector<std::string> rows;
    for (const auto& r : ParseCsv(testsupport::ReadWholeFile(Err.substr(from, Err.find('\n', from) - from))))
        if (r.size() >= 3 && r[0] != "行")
            rows.push_back(r[0] + "|" + r[2]);
    return rows;
}

class StopAndJournalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The DNS server's process is run through Qt.
        win::EnsureApplication();
        setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + profile_.Path() + "/no-bus").c_str(), 1);
        unsetenv("SSL_CERT_FILE");
    }

    // Plain SMTP without a login, from From.
    void Settings(uint16_t Port, const std::string& From = "self@example.jp")
    {
        profile_.Write("設定.txt", "127.0.0.1\r\n" + std::to_string(Port) + "\r\nclient.example.jp\r\n送信係\r\n" + From + "\r\n");
    }

    std::vector<std::string> Args(const std::string& List, std::vector<std::string> More = {}) const
    {
        // A body without a line end reads the same whichever way line ends are kept.
        std::vector<std::string> args{"--to", List, "--subject", "お知らせ", "--body",
                                      profile_.Write("本文.txt", "本文"), "--profile", profile_.Path()};
        args.insert(args.end(), More.begin(), More.end());
        return args;
    }

    std::string JournalFolder() const { return profile_.Path() + "/" + JournalFolderName; }

    TempFolder profile_;
};

// Nothing is recorded yet while the list is read or the sender's domain is
// looked up: SIGTERM or SIGINT then ends the process within a second, exit
// 3, whatever the program is busy with. The end after a lookup that was
// given up on does not wait for the resolver either.
TEST_F(StopAndJournalTest, AStopBeforeAnythingIsRecordedEndsTheProcessAtOnce)
{
    SmtpSink sink;
    std::string big = "メールアドレス,名前\r\n";
    for (int i = 0; i < 100000; ++i)
        big += "u" + std::to_string(i) + "@example.jp,名前" + std::to_string(i) + "\r\n";
    const std::string bigList = profile_.Write("大きな宛先.csv", big);
    const std::string smallList = profile_.Write("宛先.txt", "a@example.jp\n");
    testsupport::DnsServer silent({"--silent"});
    if (silent.Denied())
        GTEST_SKIP() << "binding port 53 needs root";
    enum TMoment { ListRead, DomainAsked, Summary };
    struct Case {
        const char* name;
        bool bigList, silentDns;
        TMoment moment;
        int signal;  // 0: none, the run goes its way
        int exit;
        const char* err;
    };
    const Case cases[] = {
        {"SIGTERM while a long list is read", true, false, ListRead, SIGTERM, 3, "中断しました。何も送っていません。"},
        {"SIGINT while a long list is read", true, false, ListRead, SIGINT, 3, "中断しました。何も送っていません。"},
        {"SIGTERM while the DNS server is silent", false, true, DomainAsked, SIGTERM, 3, "中断しました。何も送っていません。"},
        {"the end after a lookup given up on", false, true, Summary, 0, 0, "5 秒以内に答えませんでした"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(JournalFolder());
        // Looked up only for a domain that is no example's. A stop that
        // came too late must not send the long list: nothing listens there.
        Settings(c.signal ? 1 : sink.Port(), c.silentDns ? "taro@veltrow-test.jp" : "self@example.jp");
        if (c.silentDns)
            setenv("VELTROW_DNS_SERVER", silent.Options().Nameserver.c_str(), 1);
        const std::string list = c.bigList ? bigList : smallList;
        const size_t before = sink.MessageCount();
        const TTimed run = Spawn(Args(list), [&](const std::string& Err, pid_t Child) {
            // Read, and not yet past the check (its outline would follow).
            const bool now = c.moment == ListRead      ? HasRead(Child, big.size()) && !Has(Err, "通のメッセージを")
                             : c.moment == DomainAsked ? Has(Err, "SPF と DMARC を確かめています")
                                                       : Has(Err, "送信記録: ");
            if (now && c.signal)
                ::kill(Child, c.signal);
            return now;
        });
        unsetenv("VELTROW_DNS_SERVER");
        EXPECT_EQ(run.Exit, c.exit) << run.Err;
        EXPECT_TRUE(Has(run.Err, c.err)) << run.Err;
        EXPECT_GE(run.EndMs, 0) << run.Err;
        EXPECT_LT(run.EndMs, 1000) << run.Err;
        EXPECT_EQ(sink.MessageCount(), before + (c.signal ? 0 : 1));
        // A stopped run leaves no journal: nothing was sent.
        if (c.signal) {
            EXPECT_FALSE(fs::exists(JournalFolder()) && !fs::is_empty(JournalFolder())) << run.Err;
        }
    }
}

// A disk that fills up midway (here the file size limit of ulimit -f, whose
// SIGXFSZ is ignored) stops the run: the failure, the summary and the hint
// to resume; the journal holds what the disk took, and --resume sends the
// rest to nobody twice.
TEST_F(StopAndJournalTest, ADiskThatFillsUpMidwayStopsTheRunResumably)
{
    SmtpSink sink;
    Settings(sink.Port());
    std::string entries;
    for (int i = 10; i < 30; ++i)
        entries += "r" + std::to_string(i) + "@example.jp\n";
    const std::string list = profile_.Write("宛先.txt", entries);
    // The side file (the list and one record per message) fits, the CSV's
    // rows do not all: about ten go on the disk.
    const TTimed full = Spawn(Args(list), nullptr, 120000, 900);
    EXPECT_EQ(full.Exit, 1) << full.Err;
    for (const char* part : {"送信を続けられませんでした", "に書き込めません", "送信済み ", "未送信 ",
                             "残りは --resume で続きから送れます。"})
        EXPECT_TRUE(Has(full.Err, part)) << part << "\n" << full.Err;
    const size_t sentFirst = sink.MessageCount();
    EXPECT_GT(sentFirst, 3u) << full.Err;
    EXPECT_LT(sentFirst, 20u) << full.Err;

    const TTimed rest = Spawn(Args(list, {"--resume"}));
    EXPECT_TRUE(rest.Exit == 0 || rest.Exit == 1) << rest.Err;
    EXPECT_TRUE(Has(rest.Err, "続きから送信します")) << rest.Err;
    // Nobody twice; at most the message in flight at the failure is 不明.
    const std::map<std::string, int> received = Received(sink);
    for (const auto& [to, count] : received)
        EXPECT_EQ(count, 1) << to;
    const std::vector<std::string> rows = Rows(rest.Err);
    EXPECT_EQ(rows.size(), 20u) << rest.Err;
    size_t sent = 0, unknown = 0;
    for (const std::string& row : rows) {
        sent += Has(row, "|送信済み");
        unknown += Has(row, "|不明");
    }
    // 不明 may have arrived (here it did: its row was what the disk refused).
    EXPECT_GE(received.size(), sent);
    EXPECT_LE(received.size(), sent + unknown);
    EXPECT_EQ(sent + unknown, 20u) << rest.Err;
    EXPECT_LE(unknown, 1u);
}

// The unfinished run of the list and message, and what --resume makes of it
// when its journal files are someone else's: a FIFO is never waited on, a
// symbolic link never written through, and with no unfinished run left
// nothing is sent (a scheduled --resume after a finished run sends to nobody).
TEST_F(StopAndJournalTest, ResumeContinuesOnlyAnUnfinishedRunWhoseFilesAreItsOwn)
{
    SmtpSink sink;
    Settings(sink.Port());
    enum TKind { Unfinished, Finished, None, CsvFifo, RunLink };
    struct Case {
        const char* name;
        TKind kind;
        std::vector<std::string> more;
        std::set<std::string> sent;  // by this run
        std::string err;
        bool named;  // the journal file is named as one that cannot be read
    };
    const Case cases[] = {
        {"an unfinished run goes on", Unfinished, {"--resume"}, {"r2@example.jp", "r3@example.jp"}, "続きから送信します（--resume）", false},
        {"a finished run is not sent again", Finished, {"--resume"}, {}, "続きから送る送信はありません", false},
        {"nor rehearsed", Finished, {"--resume", "--dry-run"}, {}, "続きから送る送信はありません", false},
        {"no run at all", None, {"--resume"}, {}, "何も送りませんでした", false},
        {"the CSV replaced by a FIFO", CsvFifo, {"--resume"}, {}, "続きから送る送信はありません", true},
        {"the side file a symbolic link", RunLink, {"--resume"}, {}, "続きから送る送信はありません", true},
        {"the side file a symbolic link, started afresh", RunLink, {"--restart"},
         {"r1@example.jp", "r2@example.jp", "r3@example.jp"}, "送信記録: ", true},
    };
    const std::string body = "本文";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(JournalFolder());
        const std::string list = profile_.Write("宛先.txt", "r1@example.jp\nr2@example.jp\nr3@example.jp\n");
        std::string csv, side;
        if (c.kind != None) {
            fs::create_directories(JournalFolder());
            TJournal journal(JournalFolder(), {list, testsupport::ReadWholeFile(list), "お知らせ", body, ""},
                             std::time(nullptr));
            journal.Sending(1);
            journal.Write({1, "r1@example.jp", TOutcome::Sent, "250 OK", std::time(nullptr)});
            if (c.kind == Finished)
                journal.Finish();
            csv = journal.Path();
            side = JournalFolder() + "/" + journal.Stem() + ".run";
        }
        const std::string elsewhere = profile_.Path() + "/elsewhere.run";
        if (c.kind == CsvFifo) {
            fs::remove(csv);
            ASSERT_EQ(::mkfifo(csv.c_str(), 0600), 0);
        }
        if (c.kind == RunLink) {
            fs::rename(side, elsewhere);
            fs::create_symlink(elsewhere, side);
        }
        const std::string target = c.kind == RunLink ? testsupport::ReadWholeFile(elsewhere) : "";
        const size_t before = sink.MessageCount();
        const TTimed run = Spawn(Args(list, c.more), nullptr, 60000);
        EXPECT_EQ(run.Exit, 0) << run.Err;
        EXPECT_TRUE(Has(run.Err, c.err)) << run.Err;
        EXPECT_EQ(Has(run.Err, "読めないため"), c.named) << run.Err;
        if (c.named) {
            EXPECT_TRUE(Has(run.Err, c.kind == CsvFifo ? csv : side)) << run.Err;
        }
        ASSERT_TRUE(sink.WaitForMessages(before + c.sent.size()));
        std::set<std::string> sent;
        for (size_t i = before; i < sink.MessageCount(); ++i)
            for (const auto& to : sink.Message(i).RcptTos)
                sent.insert(to);
        EXPECT_EQ(sent, c.sent);
        if (c.kind == RunLink) {
            EXPECT_EQ(testsupport::ReadWholeFile(elsewhere), target);
        }
    }
}

// The summary of a resumed run speaks of the whole list: the messages the
// earlier run sent in UTF-8 are counted too.
TEST_F(StopAndJournalTest, AResumedRunsUtf8CountCoversTheWholeList)
{
    SmtpSink sink;
    Settings(sink.Port());
    // 𠮷 is outside JIS X 0208: each of these names goes out in UTF-8.
    const std::string list = profile_.Write("宛先.txt", "𠮷田 <r1@example.jp>\n𠮷川 <r2@example.jp>\n山田 <r3@example.jp>\n");
    fs::create_directories(JournalFolder());
    {
        TJournal journal(JournalFolder(), {list, testsupport::ReadWholeFile(list), "お知らせ", "本文", ""},
                         std::time(nullptr));
        journal.Sending(1);
        journal.Write({1, "𠮷田 <r1@example.jp>", TOutcome::Sent, "250 OK", std::time(nullptr)});
    }
    const TTimed run = Spawn(Args(list, {"--resume"}));
    EXPECT_EQ(run.Exit, 0) << run.Err;
    EXPECT_TRUE(Has(run.Err, "送信済み 3 件")) << run.Err;
    EXPECT_TRUE(Has(run.Err, "うち 2 通は UTF-8 で送りました")) << run.Err;
    EXPECT_EQ(sink.MessageCount(), 2u);
}

// --test-to against a certificate nobody trusts says what the run says:
// the fingerprint to pass to --trust.
TEST_F(StopAndJournalTest, ATestSendToAnUntrustedServerNamesTheTrustOption)
{
    const testsupport::TestCertificates& certificates = testsupport::TestCertificates::Get();
    SmtpSink sink(certificates.StartTls("unknown"));
    profile_.Write("設定.txt", "127.0.0.1\r\n" + std::to_string(sink.Port()) +
                                   "\r\nclient.example.jp\r\n送信係\r\nself@example.jp\r\nstarttls\r\n");
    const TTimed run = Spawn(Args(profile_.Write("宛先.txt", "a@example.jp\n"), {"--test-to", "check@example.jp"}));
    EXPECT_EQ(run.Exit, 2) << run.Err;
    EXPECT_TRUE(Has(run.Err, "--trust " + certificates.Fingerprint("unknown"))) << run.Err;
    EXPECT_EQ(sink.MessageCount(), 0u);
}

// On a terminal the line counts the messages the run means to send (not
// the entries it never sends), and as the run ends the entries not reached
// are drawn once, in the last line, not one redraw each.
TEST(TerminalProgressTest, TheTotalIsThePlannedMessagesAndTheEndIsDrawnOnce)
{
    win::EnsureApplication();
    std::vector<TPlanEntry> entries;
    for (int line = 1; line <= 8; ++line)
        entries.push_back({line, "r" + std::to_string(line) + "@example.jp"});
    entries[1].Sendable = false;
    entries[1].Problem = "アドレスがありません";
    entries[4].OptedOut = true;
    TRunPlan plan(entries);
    char *out = nullptr, *err = nullptr;
    size_t outSize = 0, errSize = 0;
    std::FILE* outFile = ::open_memstream(&out, &outSize);
    std::FILE* errFile = ::open_memstream(&err, &errSize);
    {
        TSendOptions options;
        TStopSignals stops;
        TProgressPrinter printer(outFile, errFile, true, [] { return int64_t{0}; });
        TTerminalFrontEnd frontEnd(options, printer, stops);
        const auto settle = [&](size_t Index) {
            frontEnd.Outcome({plan.Entries()[Index].Line, plan.Entries()[Index].Entry, *plan.OutcomeOf(Index), "", 0});
            frontEnd.Counts(plan);
        };
        for (size_t i : {size_t{0}, size_t{2}}) {
            plan.Record(i, TAttempt::Accepted, 0);
            settle(i);
        }
        for (size_t i : plan.Finish())
            settle(i);
        TRunSummary summary;
        summary.Plan = &plan;
        summary.JournalPath = "/journal.csv";
        summary.Failure = "送信記録 /journal.csv に書き込めません";
        frontEnd.Summary(summary);
    }
    std::fclose(outFile);
    std::fclose(errFile);
    const std::string shown(out, outSize), said(err, errSize);
    std::free(out);
    std::free(err);
    std::vector<std::string> lines;
    for (size_t at = shown.find('\r'); at != std::string::npos; at = shown.find('\r', at + 1))
        lines.push_back(shown.substr(at + 1, shown.find("\x1b[K", at) - at - 1));
    EXPECT_EQ(lines, (std::vector<std::string>{"1/6 送信済み　宛先不正 1 件、配信停止 1 件",
                                               "2/6 送信済み　宛先不正 1 件、配信停止 1 件",
                                               "2/6 送信済み　未送信 4 件、宛先不正 1 件、配信停止 1 件"}))
        << shown;
    EXPECT_TRUE(Has(said, "送信を続けられませんでした")) << said;
    EXPECT_TRUE(Has(said, "残りは --resume で続きから送れます。")) << said;
}

}  // namespace
