// The parts of veltrow-send around the run: the password from a
// descriptor, the stop signals brought into the event loop, and the
// progress and log lines.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>

#include "cli/Password.h"
#include "cli/Progress.h"
#include "cli/StopSignals.h"
#include "platform/Windows.h"
#include "tests/support/Helpers.h"

namespace {

// Bytes written to a pipe, its write end closed: what --password-fd reads.
int PipeWith(const std::string& Bytes)
{
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    EXPECT_EQ(::write(fds[1], Bytes.data(), Bytes.size()), static_cast<ssize_t>(Bytes.size()));
    ::close(fds[1]);
    return fds[0];
}

TEST(PasswordTest, OneLineIsTakenAndTheRestLeft)
{
    const struct {
        std::string Bytes, Password, Left;
    } cases[] = {
        {"secret\nnext line\n", "secret", "next line\n"},
        {"pa ss\r\n", "pa ss", ""},
        {"no line end", "no line end", ""},
        {"\nafter", "", "after"},  // an empty password is a password
    };
    for (const auto& c : cases) {
        const int fd = PipeWith(c.Bytes);
        EXPECT_EQ(ReadPasswordLine(fd), c.Password) << c.Bytes;
        char rest[64] = {};
        const ssize_t n = ::read(fd, rest, sizeof rest);
        EXPECT_EQ(std::string(rest, static_cast<size_t>(std::max<ssize_t>(n, 0))), c.Left) << c.Bytes;
        ::close(fd);
    }
    const int empty = PipeWith("");
    EXPECT_THROW(ReadPasswordLine(empty), EPasswordError);
    ::close(empty);
}

// The handler does nothing but note the signal: the stop is acted on in the
// event loop, once per signal.
TEST(StopSignalsTest, ASignalIsActedOnInTheEventLoop)
{
    win::EnsureApplication();
    TStopSignals stops;
    std::vector<int> seen;
    stops.OnStop = [&](int Signal) { seen.push_back(Signal); };
    ASSERT_EQ(::raise(SIGTERM), 0);
    EXPECT_TRUE(stops.Stopped());
    EXPECT_EQ(stops.LastSignal(), SIGTERM);
    EXPECT_TRUE(seen.empty());
    ASSERT_EQ(::raise(SIGINT), 0);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen, (std::vector<int>{SIGTERM, SIGINT}));
}

TEST(ProgressTest, LinesSayWhatTheyMust)
{
    const struct {
        int Sent, Settled, Total;
        std::string Counts;
        int64_t ElapsedMs;
        std::string Line;
    } cases[] = {
        {0, 0, 120, "", 0, "0/120 送信済み"},
        // Under a second the rate would be noise.
        {2, 2, 120, "", 999, "2/120 送信済み"},
        {10, 12, 120, "拒否 2件", 3000, "10/120 送信済み　拒否 2件　4.0 通/秒　残り 0:27"},
        {1, 1, 7201, "", 1000, "1/7201 送信済み　1.0 通/秒　残り 2:00:00"},
        {5, 5, 5, "", 2000, "5/5 送信済み　2.5 通/秒"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProgressLine(c.Sent, c.Settled, c.Total, c.Counts, c.ElapsedMs), c.Line);
    EXPECT_EQ(OutcomeLine(3, "A\tB <a@example.jp>", "一時エラー", "451 first\r\n451 second\r\n"),
              "3\tA B <a@example.jp>\t一時エラー\t451 first / 451 second");
}

// A log gets one line per outcome and nothing redrawn; a terminal gets the
// redrawn line, a notice above it, and the line standing at the end.
TEST(ProgressTest, LogAndTerminalGetTheirOwnForm)
{
    for (const bool terminal : {false, true}) {
        char* text = nullptr;
        size_t size = 0;
        std::FILE* out = ::open_memstream(&text, &size);
        int64_t now = 0;
        // One stream for both, as on a terminal or under 2>&1: their order shows.
        TProgressPrinter printer(out, out, terminal, [&] { return now; });
        printer.Begin();
        now = 2000;
        printer.Outcome(1, "a@example.jp", "送信済み", "250 OK");
        printer.Progress(1, 1, 2, "");
        printer.Say("待っています");
        printer.Outcome(2, "b@example.jp", "拒否", "550 no");
        printer.Progress(1, 2, 2, "拒否 1件");
        printer.End();
        std::fclose(out);
        const std::string shown(text, size);
        std::free(text);
        EXPECT_EQ(shown, terminal ? "\r1/2 送信済み　0.5 通/秒　残り 0:02\x1b[K"
                                    "\r\x1b[K待っています\n1/2 送信済み　0.5 通/秒　残り 0:02"
                                    "\r1/2 送信済み　拒否 1件　1.0 通/秒\x1b[K\n"
                                  : "1\ta@example.jp\t送信済み\t250 OK\n待っています\n2\tb@example.jp\t拒否\t550 no\n");
    }
}

}  // namespace
