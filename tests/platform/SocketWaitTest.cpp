// Read holds and the wait that blocks until the socket or an event.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/ShortLook.h"
#include "platform/Winsock.h"
#include "tests/platform/Recorder.h"
#include "tests/support/ScriptedPeer.h"

using platformtest::Recorder;
using testsupport::ScriptedPeer;
namespace ws = winsock;

namespace {

constexpr win::UINT kSocketMsg = 1125;
constexpr long kMask = ws::FD_READ | ws::FD_OOB | ws::FD_ACCEPT | ws::FD_CONNECT | ws::FD_CLOSE;

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

long VoluntarySwitches()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_nvcsw;
}

// A client socket registered with mask 61 and connected to the peer, whose
// connect notification has been handled.
class Connection {
public:
    Connection(Recorder& r, ScriptedPeer& peer) : r_(r)
    {
        EXPECT_EQ(ws::WSAStartup(ws::MAKEWORD(1, 1), &data_), 0);
        s = ws::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        EXPECT_EQ(ws::WSAAsyncSelect(s, r.hwnd, kSocketMsg, kMask), 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = ws::htons(peer.Port());
        a.sin_addr.s_addr = ws::inet_addr("127.0.0.1");
        ws::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        EXPECT_TRUE(r.PumpUntil([&] { return r.Count(kSocketMsg, ws::FD_CONNECT) == 1; }));
    }
    ~Connection()
    {
        ws::closesocket(s);
        ws::WSACleanup();
    }
    // The blocking wait, as the recorder's own processing.
    void Wait(long events = ws::FD_READ)
    {
        r_.processing = true;
        ws::WaitForSocketOrEvent(s, events, 2);
        r_.processing = false;
    }
    std::string Recv()
    {
        char buf[256];
        const int n = ws::recv(s, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }

    ws::SOCKET s = ws::INVALID_SOCKET;

private:
    Recorder& r_;
    ws::WSADATA data_{};
};

}  // namespace

// While held, data raises no FD_READ (and a recv re-arms silently); the
// release brings the notice for what still waits, and only for that. Close
// notices are never held.
TEST(ReadHold, NoticesWaitForTheRelease)
{
    struct Case {
        const char* name;
        bool readWhileHeld;   // the owner reads everything before it releases
        bool closeWhileHeld;  // the peer closes during the hold
        size_t readsAfterRelease;
        size_t closes;
    } cases[] = {
        {"data left unread", false, false, 1, 0},
        {"data read by the owner", true, false, 0, 0},
        {"peer closes", true, true, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recorder r;
        ScriptedPeer peer;
        peer.Accept().WaitForRelease().Send("one\r\n").WaitForRelease();
        if (c.closeWhileHeld)
            peer.Close();
        else
            peer.WaitForRelease();
        peer.Start();
        Connection conn(r, peer);
        ASSERT_EQ(ws::HoldReadNotifications(conn.s, true), 0);
        peer.Release();
        ASSERT_TRUE(r.PumpUntil([&] {
            char c;
            return ::recv(static_cast<int>(conn.s), &c, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
        }));
        if (c.readWhileHeld) {
            EXPECT_EQ(conn.Recv(), "one\r\n");
        }
        peer.Release();
        if (c.closeWhileHeld) {
            EXPECT_TRUE(r.PumpUntil([&] { return r.Count(kSocketMsg, ws::FD_CLOSE) == 1; }));
        }
        ASSERT_TRUE(r.SettleSockets());
        EXPECT_EQ(r.Count(kSocketMsg, ws::FD_READ), 0u);

        ASSERT_EQ(ws::HoldReadNotifications(conn.s, false), 0);
        if (c.readsAfterRelease > 0) {
            EXPECT_TRUE(r.PumpUntil([&] { return r.Count(kSocketMsg, ws::FD_READ) == c.readsAfterRelease; }));
        }
        ASSERT_TRUE(r.SettleSockets());
        EXPECT_EQ(r.Count(kSocketMsg, ws::FD_READ), c.readsAfterRelease);
        EXPECT_EQ(r.Count(kSocketMsg, ws::FD_CLOSE), c.closes);
        peer.Release();
    }
}

TEST(ReadHold, UnknownSockets)
{
    ws::WSADATA data{};
    ASSERT_EQ(ws::WSAStartup(ws::MAKEWORD(1, 1), &data), 0);
    for (ws::SOCKET s : {ws::SOCKET(0xFFFF), ws::SOCKET(4000), ws::INVALID_SOCKET}) {
        EXPECT_EQ(ws::HoldReadNotifications(s, true), ws::SOCKET_ERROR);
        EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTSOCK);
    }
    EXPECT_EQ(ws::WSACleanup(), 0);
}

// The wait ends for the socket, a posted message or a timer tick, whichever
// comes first, and sleeps until then.
TEST(WaitForSocketOrEvent, EndsForTheSocketOrAnEventAndSleepsMeanwhile)
{
    struct Case {
        const char* name;
        bool peerSends;
        bool posted;
        bool timer;
    } cases[] = {
        {"data arrives", true, false, false},
        {"a message is posted", false, true, false},
        {"a timer ticks", false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recorder r;
        ScriptedPeer peer;
        peer.Accept().WaitForRelease();
        if (c.peerSends)
            peer.Send("late\r\n");
        peer.WaitForRelease();
        peer.Start();
        Connection conn(r, peer);
        ASSERT_EQ(ws::HoldReadNotifications(conn.s, true), 0);  // only the wait's own wake-up
        r.got.clear();
        const int64_t start = NowMs();
        std::thread actor([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (c.peerSends)
                peer.Release();
            if (c.posted)
                win::PostMessage(r.hwnd, win::WM_USER, 7, 0);
        });
        if (c.timer)
            win::SetTimer(r.hwnd, 5, 300);

        const long switches = VoluntarySwitches();
        // Every return is for something that happened: none before 300 ms.
        int waits = 0;
        auto happened = [&] { return !r.got.empty() || (c.peerSends && ws::WaitForSocketOrTimeout(conn.s, ws::FD_READ, 0)); };
        while (!happened() && NowMs() - start < 10000) {
            conn.Wait();
            ++waits;
        }
        const int64_t elapsed = NowMs() - start;
        EXPECT_TRUE(happened());
        EXPECT_GE(elapsed, 250);
        EXPECT_LT(elapsed, 10000);
        // A wait in 2 ms cycles would have slept well over a hundred times.
        EXPECT_LE(waits, 10);
        EXPECT_LT(VoluntarySwitches() - switches, 20);
        if (c.peerSends) {
            EXPECT_EQ(conn.Recv(), "late\r\n");
        }
        if (c.posted) {
            EXPECT_EQ(r.Count(win::WM_USER, 0), 1u);
        }
        if (c.timer) {
            EXPECT_EQ(r.got.at(0).msg, win::WM_TIMER);
            win::KillTimer(r.hwnd, 5);
        }
        actor.join();
        peer.Release();
        peer.Release();
    }
}

// On a thread without the application's event loop the wait falls back to
// waiting on the socket for at most the given time.
TEST(WaitForSocketOrEvent, ElsewhereWaitsOnTheSocketAtMostTheFallback)
{
    Recorder r;
    ScriptedPeer peer;
    peer.Accept().WaitForRelease();
    peer.Start();
    Connection conn(r, peer);
    int64_t elapsed = -1;
    std::thread([&] {
        const int64_t start = NowMs();
        ws::WaitForSocketOrEvent(conn.s, ws::FD_READ, 100);
        elapsed = NowMs() - start;
    }).join();
    EXPECT_GE(elapsed, 100);
    EXPECT_LT(elapsed, 5000);
    peer.Release();
}

// Which waits look at the socket before sleeping, given whether each look
// finds the reply: a quick peer is looked for every time, a slow one ever
// more rarely, down to one wait in 64, and one quick reply starts over.
TEST(ShortLookPolicy, LooksWhileLooksPayAndBacksOffWhileTheyDoNot)
{
    struct Case {
        const char* name;
        bool (*quick)(int wait);  // whether a look at this wait finds the reply
        const char* looks;        // L: looked first, s: slept at once
    } cases[] = {
        {"a quick peer", [](int) { return true; }, "LLLLLLLLLLLL"},
        {"a slow peer", [](int) { return false; }, "LsLsssLsssssssL"},
        {"slow for a while, quick again", [](int w) { return w < 3 || w >= 8; }, "LLLLsLsssLLL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform_detail::TShortLookPolicy policy;
        std::string got;
        for (int w = 0; got.size() < std::strlen(c.looks); ++w) {
            const bool look = policy.ShouldLook();
            got += look ? 'L' : 's';
            if (look)
                policy.Looked(c.quick(w));
        }
        EXPECT_EQ(got, c.looks);
    }
    // A far server, for a long run: 6 looks to back off, then one in 64.
    platform_detail::TShortLookPolicy far;
    int looks = 0;
    for (int w = 0; w < 6 + 64 * 100; ++w)
        if (far.ShouldLook()) {
            ++looks;
            far.Looked(false);
        }
    EXPECT_LE(looks, 6 + 100);
}
