// The send run's state machine: its transitions as a table, and the
// abortable wait inside a real run against the scripted peer, ended by the
// user the way a pacing or retry wait would be.
#include <optional>

#include <QCoreApplication>

#include "engine/run/SendRun.h"
#include "smtp/NMsmtp.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/SmtpSink.h"

using namespace apptest;
using testsupport::ScriptedPeer;
using S = TSendState;
using E = TSendEvent;

namespace {

// A run of these entries, planned as the window's check would, with its
// journal in Folder.
TPreparedRun Prepared(const std::vector<std::string>& Entries, const std::string& Folder)
{
    TPreparedRun run;
    run.JournalFolder = Folder;
    std::vector<TPlanEntry> plan;
    for (size_t i = 0; i < Entries.size(); ++i)
        plan.push_back({static_cast<int>(i) + 1, Entries[i], true});
    run.Plan = std::make_unique<TRunPlan>(std::move(plan));
    return run;
}

TEST(SendState, Transitions)
{
    struct Row {
        S from;
        E event;
        bool connected;
        S to;
    };
    const Row rows[] = {
        {S::Idle, E::Send, false, S::Connecting},
        {S::Idle, E::Abort, true, S::AbortQuit},  // a connection a failure left open
        {S::Idle, E::Abort, false, S::Idle},
        {S::Idle, E::WindowClosed, false, S::Idle},
        {S::Connecting, E::Connected, true, S::Sending},
        {S::Connecting, E::Send, false, S::Connecting},  // refused, the run goes on
        {S::Connecting, E::Abort, false, S::Cutting},    // nothing can be accepted yet
        {S::Connecting, E::Abort, true, S::Stopping},    // the greeting may still come
        {S::Connecting, E::WindowClosed, false, S::Closing},
        {S::Sending, E::Send, true, S::Sending},
        {S::Sending, E::MessagesDone, true, S::Quitting},
        {S::Sending, E::Abort, true, S::Stopping},
        {S::Sending, E::Abort, false, S::Cutting},
        {S::Sending, E::GraceOver, true, S::Sending},
        {S::Quitting, E::Abort, true, S::Stopping},
        {S::Quitting, E::WindowClosed, true, S::Closing},
        {S::Stopping, E::Connected, true, S::Stopping},     // no message after a late greeting
        {S::Stopping, E::MessagesDone, true, S::Stopping},  // its QUIT stays under the grace
        {S::Stopping, E::Abort, true, S::Cutting},          // a second press cuts at once
        {S::Stopping, E::GraceOver, true, S::Cutting},
        {S::Stopping, E::WindowClosed, true, S::Closing},
        {S::Stopping, E::Send, true, S::Stopping},
        {S::Cutting, E::Abort, true, S::Cutting},
        {S::Cutting, E::Connected, true, S::Cutting},
        {S::Cutting, E::WindowClosed, true, S::Closing},
        {S::Closing, E::Abort, true, S::Closing},
        {S::AbortQuit, E::Send, true, S::AbortQuit},  // refused; the grace goes on
        {S::AbortQuit, E::Abort, true, S::AbortQuitCut},
        {S::AbortQuit, E::GraceOver, true, S::AbortQuitCut},
        {S::AbortQuit, E::WindowClosed, true, S::AbortQuitCut},
        {S::AbortQuitCut, E::Send, true, S::AbortQuitCut},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "from " << static_cast<int>(r.from) << " event "
                                        << static_cast<int>(r.event) << " connected " << r.connected);
        EXPECT_EQ(NextSendState(r.from, r.event, r.connected), r.to);
    }
    for (S from : {S::Idle, S::Connecting, S::Sending, S::Quitting, S::Stopping, S::Cutting, S::Closing,
                   S::AbortQuit, S::AbortQuitCut})
        for (bool connected : {false, true})
            EXPECT_EQ(NextSendState(from, E::Ended, connected), S::Idle) << static_cast<int>(from);
}

class SendStateTest : public AppTest {};

void ScriptMessage(ScriptedPeer& peer, const std::string& rcpt)
{
    peer.Expect("RSET").SendLine("250 OK").Expect("MAIL FROM:<taro@example.jp>").SendLine("250 OK");
    peer.Expect("RCPT TO:<" + rcpt + ">").SendLine("250 OK").Expect("DATA").SendLine("354 go");
    peer.ExpectUntil("\r\n.\r\n").SendLine("250 queued");
}

// A session of Sent messages that ends with QUIT or with a close without it.
void ScriptSession(ScriptedPeer& peer, int sent, bool quit)
{
    peer.SendLine("220 ready").Expect("HELO pc01").SendLine("250 hello");
    for (int i = 0; i < sent; ++i)
        ScriptMessage(peer, i == 0 ? "a@example.jp" : "b@example.jp");
    if (quit)
        peer.Expect("QUIT").SendLine("221 bye");
    peer.ExpectClose().Start();
}

void UsePeer(TNMSMTP& smtp, const ScriptedPeer& peer)
{
    smtp.Host = "127.0.0.1";
    smtp.Port = peer.Port();
    smtp.TimeOut = 10000;
    smtp.UserID = "pc01";
    smtp.PostMessage->FromAddress = "taro@example.jp";
}

// A pause after the first message, as pacing would take it: it runs its time
// unless the user stops the run, which it then ends at once.
TEST_F(SendStateTest, PauseRunsItsTimeOrEndsAtOnce)
{
    enum class Stop { None, Abort, WindowClosed };
    struct Case {
        const char* name;
        Stop stop;
        int pauseMs;
        bool waitedItsTime;
        S stateAfterPause;
        int sent;
        bool quitSaid;  // else the socket was closed without QUIT
    };
    const Case cases[] = {
        {"nothing stops it", Stop::None, 150, true, S::Sending, 2, true},
        // Far longer than the test may take: only the stop can end these.
        {"Abort", Stop::Abort, 3'600'000, false, S::Stopping, 1, true},
        {"the window closes", Stop::WindowClosed, 3'600'000, false, S::Closing, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer;
        ScriptSession(peer, c.sent, c.quitSaid);
        TNMSMTP smtp(nullptr);
        UsePeer(smtp, peer);
        TSendRun run(smtp);
        const testsupport::TempFolder journals;
        run.OnPrepare = [&] { return Prepared({"a@example.jp", "b@example.jp"}, journals.Path()); };
        int sent = 0;
        std::optional<bool> waited;
        int64_t pausedMs = -1;
        S stateAfterPause = S::Idle;
        run.OnProgress = [&](int Sent, int) {
            sent = Sent;
            if (Sent != 1)
                return;
            const int64_t start = NowMs();
            When stop([&] { return NowMs() - start > 50; }, [&] {
                if (c.stop == Stop::Abort)
                    run.Abort();
                else if (c.stop == Stop::WindowClosed)
                    run.WindowClosed();
            });
            waited = run.Pause(c.pauseMs);
            pausedMs = NowMs() - start;
            stateAfterPause = run.State();
        };
        EXPECT_NO_THROW(run.Send());

        ASSERT_TRUE(waited.has_value());
        EXPECT_EQ(*waited, c.waitedItsTime);
        if (c.waitedItsTime) {
            EXPECT_GE(pausedMs, c.pauseMs);
        }
        EXPECT_EQ(stateAfterPause, c.stateAfterPause);
        EXPECT_EQ(sent, c.sent);
        EXPECT_EQ(run.State(), S::Idle);
        EXPECT_FALSE(smtp.Connected);
        ASSERT_TRUE(peer.WaitDone());
        EXPECT_TRUE(peer.ScriptUsedUp()) << peer.Failure();
        EXPECT_EQ(peer.Received().find("QUIT") != std::string::npos, c.quitSaid);
    }
}

TEST_F(SendStateTest, PauseOutsideARunDoesNotWait)
{
    TNMSMTP smtp(nullptr);
    TSendRun run(smtp);
    // Pause waits by handling events; one queued before it must still be there.
    bool handled = false;
    QMetaObject::invokeMethod(QCoreApplication::instance(), [&] { handled = true; }, Qt::QueuedConnection);
    EXPECT_FALSE(run.Pause(2000));
    EXPECT_FALSE(handled);
    ASSERT_TRUE(WaitUntil([&] { return handled; }));
}

}  // namespace
