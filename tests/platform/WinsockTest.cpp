#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <QEventLoop>

#include "platform/Winsock.h"
#include "tests/platform/Recorder.h"
#include "tests/support/ScriptedPeer.h"

using platformtest::Recorder;
using testsupport::ScriptedPeer;
namespace ws = winsock;

namespace {

constexpr win::UINT kSocketMsg = 1125;
constexpr win::UINT kLookupMsg = 1126;
constexpr long kMask = ws::FD_READ | ws::FD_OOB | ws::FD_ACCEPT | ws::FD_CONNECT | ws::FD_CLOSE;  // 61

class Winsock : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ws::WSAStartup(ws::MAKEWORD(1, 1), &data), 0); }
    void TearDown() override
    {
        for (ws::SOCKET s : sockets)
            ws::closesocket(s);
        EXPECT_EQ(ws::WSACleanup(), 0);
    }

    ws::SOCKET NewSocket()
    {
        ws::SOCKET s = ws::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        EXPECT_NE(s, ws::INVALID_SOCKET);
        sockets.push_back(s);
        return s;
    }

    static sockaddr_in Loopback(uint16_t port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = ws::htons(port);
        a.sin_addr.s_addr = ws::inet_addr("127.0.0.1");
        return a;
    }

    // A non-blocking client registered with mask 61 whose connect is under way.
    ws::SOCKET StartConnect(Recorder& r, uint16_t port)
    {
        ws::SOCKET s = NewSocket();
        EXPECT_EQ(ws::WSAAsyncSelect(s, r.hwnd, kSocketMsg, kMask), 0);
        sockaddr_in a = Loopback(port);
        EXPECT_EQ(ws::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), ws::SOCKET_ERROR);
        EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);
        return s;
    }

    static int Unread(ws::SOCKET s)
    {
        int n = 0;
        ::ioctl(static_cast<int>(s), FIONREAD, &n);
        return n;
    }

    ws::WSADATA data{};
    std::vector<ws::SOCKET> sockets;
};

std::string Recv(ws::SOCKET s, int len, int flags = 0)
{
    std::string buf(len, '\0');
    int n = ws::recv(s, buf.data(), len, flags);
    return n < 0 ? "<error " + std::to_string(ws::WSAGetLastError()) + ">" : buf.substr(0, n);
}

}  // namespace

TEST(WinsockBasics, StartupRecordAndVersionRules)
{
    ws::WSADATA d{};
    EXPECT_EQ(ws::WSAStartup(ws::MAKEWORD(1, 0), &d), ws::WSAVERNOTSUPPORTED);
    EXPECT_EQ(ws::WSAStartup(ws::MAKEWORD(1, 1), nullptr), ws::WSAEFAULT);
    ASSERT_EQ(ws::WSAStartup(ws::MAKEWORD(2, 2), &d), 0);
    EXPECT_EQ(d.wVersion, 0x0101);
    EXPECT_EQ(d.wHighVersion, 0x0101);
    EXPECT_GT(std::strlen(d.szDescription), 0u);
    EXPECT_EQ(std::string(d.szSystemStatus).rfind("Running on ", 0), 0u);
    EXPECT_GT(d.iMaxSockets, 0);
    EXPECT_EQ(d.iMaxUdpDg, 65507);
    EXPECT_EQ(ws::WSACleanup(), 0);
    // Nobody left who started it.
    EXPECT_EQ(ws::WSACleanup(), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSANOTINITIALISED);
    EXPECT_EQ(ws::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), ws::INVALID_SOCKET);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSANOTINITIALISED);
    EXPECT_EQ(ws::gethostbyname("localhost"), nullptr);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSANOTINITIALISED);
}

TEST(WinsockBasics, ErrnoTranslation)
{
    const struct {
        int err, wsa;
    } cases[] = {
        {0, 0},
        {EWOULDBLOCK, ws::WSAEWOULDBLOCK},
        {EAGAIN, 10035},
        {ENOTCONN, 10057},
        {ECONNREFUSED, 10061},
        {ECONNRESET, 10054},
        {EPIPE, 10054},
        {ETIMEDOUT, 10060},
        {EADDRINUSE, 10048},
        {EINPROGRESS, 10036},
        {EBADF, 10038},
        {ENOTSOCK, 10038},
        {EINVAL, 10022},
        {EHOSTUNREACH, 10065},
        {ENETUNREACH, 10051},
        {EMFILE, 10024},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ws::ErrnoToWsa(c.err), c.wsa) << std::strerror(c.err);
}

TEST(WinsockBasics, LastErrorIsPerThread)
{
    ws::WSASetLastError(10061);
    std::thread([] {
        EXPECT_EQ(ws::WSAGetLastError(), 0);
        ws::WSASetLastError(10054);
    }).join();
    EXPECT_EQ(ws::WSAGetLastError(), 10061);
}

TEST(WinsockBasics, ReplyPackingAndAddressHelpers)
{
    const win::LPARAM l = ws::WSAMAKESELECTREPLY(ws::FD_CONNECT, ws::WSAECONNREFUSED);
    EXPECT_EQ(l, (10061 << 16) | 16);
    EXPECT_EQ(ws::WSAGETSELECTEVENT(l), 16u);
    EXPECT_EQ(ws::WSAGETSELECTERROR(l), 10061u);
    EXPECT_EQ(ws::WSAGETASYNCBUFLEN(ws::WSAMAKEASYNCREPLY(72, 11001)), 72u);
    EXPECT_EQ(ws::WSAGETASYNCERROR(ws::WSAMAKEASYNCREPLY(72, 11001)), 11001u);

    const uint32_t a = ws::inet_addr("10.1.2.3");
    EXPECT_EQ(std::memcmp(&a, "\x0a\x01\x02\x03", 4), 0);
    EXPECT_STREQ(ws::inet_ntoa(in_addr{a}), "10.1.2.3");
    for (const char* bad : {"255.255.255.255", "localhost", "1.2.3.4.5", ""})
        EXPECT_EQ(ws::inet_addr(bad), INADDR_NONE) << bad;
    const uint16_t port = ws::htons(0x1234);
    EXPECT_EQ(std::memcmp(&port, "\x12\x34", 2), 0);
    EXPECT_EQ(ws::ntohs(port), 0x1234);
    EXPECT_EQ(ws::ntohl(ws::htonl(0x01020304u)), 0x01020304u);
}

TEST_F(Winsock, StreamSocketsGetNoDelayAndSmallHandles)
{
    ws::SOCKET s = NewSocket();
    EXPECT_LT(s, 65535u);
    int nodelay = 0;
    socklen_t len = sizeof nodelay;
    ASSERT_EQ(::getsockopt(static_cast<int>(s), IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
    EXPECT_EQ(nodelay, 1);
    linger l{1, 0};
    EXPECT_EQ(ws::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l), 0);
}

TEST_F(Winsock, CallsOnUnconnectedOrClosedSocketsGiveWinsockErrors)
{
    ws::SOCKET s = NewSocket();
    char c;
    EXPECT_EQ(ws::recv(s, &c, 1, 0), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTCONN);
    EXPECT_EQ(ws::recv(s, &c, 1, MSG_PEEK), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTCONN);
    EXPECT_EQ(ws::send(s, "x", 1, 0), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTCONN);

    ws::SOCKET t = ws::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(ws::closesocket(t), 0);
    EXPECT_EQ(ws::closesocket(t), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTSOCK);
    EXPECT_EQ(ws::closesocket(ws::INVALID_SOCKET), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTSOCK);
}

TEST_F(Winsock, RefusedConnectIsReportedOnceThroughTheConnectNotification)
{
    const testsupport::RefusedPort refused;
    Recorder r;
    ws::SOCKET s = StartConnect(r, refused.Port());
    ASSERT_TRUE(r.PumpUntil([&] { return !r.got.empty(); }));
    ASSERT_TRUE(r.SettleSockets());
    ASSERT_EQ(r.got.size(), 1u);
    EXPECT_EQ(r.got[0].msg, kSocketMsg);
    EXPECT_EQ(r.got[0].wParam, s);
    EXPECT_EQ(ws::WSAGETSELECTEVENT(r.got[0].lParam), unsigned(ws::FD_CONNECT));
    EXPECT_EQ(ws::WSAGETSELECTERROR(r.got[0].lParam), unsigned(ws::WSAECONNREFUSED));
}

TEST_F(Winsock, ConnectThatNeverCompletesStaysSilent)
{
    testsupport::StalledListener stalled;
    Recorder r;
    StartConnect(r, stalled.Port());
    ASSERT_TRUE(r.SettleSockets());
    EXPECT_TRUE(r.got.empty());
}

TEST_F(Winsock, ReadIsNotifiedOnceUntilRecvAndCloseOnce)
{
    ScriptedPeer peer;
    peer.Send("abc").WaitForRelease().Send("def").WaitForRelease().Close();
    peer.Start();
    Recorder r;
    ws::SOCKET s = StartConnect(r, peer.Port());
    ASSERT_TRUE(r.PumpUntil([&] { return r.Count(kSocketMsg, ws::FD_READ) == 1; }));
    ASSERT_EQ(r.Count(kSocketMsg, ws::FD_CONNECT), 1u);
    EXPECT_EQ(ws::WSAGETSELECTERROR(r.got[0].lParam), 0u);
    EXPECT_EQ(ws::WSAGETSELECTEVENT(r.got[0].lParam), unsigned(ws::FD_CONNECT));

    // More data arrives, but without a recv no second read notification comes.
    peer.Release();
    ASSERT_TRUE(r.PumpUntil([&] { return Unread(s) == 6; }));
    ASSERT_TRUE(r.SettleSockets());
    EXPECT_EQ(r.Count(kSocketMsg, ws::FD_READ), 1u);

    // recv re-enables it; data is still waiting, so it comes again.
    EXPECT_EQ(Recv(s, 3), "abc");
    ASSERT_TRUE(r.PumpUntil([&] { return r.Count(kSocketMsg, ws::FD_READ) == 2; }));
    EXPECT_EQ(Recv(s, 3), "def");
    ASSERT_TRUE(r.SettleSockets());
    EXPECT_EQ(r.Count(kSocketMsg, ws::FD_READ), 2u);
    EXPECT_EQ(Recv(s, 3), "<error 10035>");

    peer.Release();
    ASSERT_TRUE(r.PumpUntil([&] { return r.Count(kSocketMsg, ws::FD_CLOSE) == 1; }));
    EXPECT_EQ(ws::WSAGETSELECTERROR(r.got.back().lParam), 0u);
    EXPECT_EQ(Recv(s, 3), "");
    EXPECT_EQ(Recv(s, 3, MSG_PEEK), "");
    ASSERT_TRUE(r.SettleSockets());
    EXPECT_EQ(r.Count(kSocketMsg, ws::FD_CLOSE), 1u);
    EXPECT_EQ(r.Count(kSocketMsg, ws::FD_READ), 2u);
    for (const auto& m : r.got)
        EXPECT_EQ(m.wParam, s);
    EXPECT_TRUE(peer.WaitDone());
    EXPECT_TRUE(peer.ScriptUsedUp()) << peer.Failure();
}

TEST_F(Winsock, CloseIsNotifiedWhileUnreadDataWaits)
{
    ScriptedPeer peer;
    peer.Send("tail\r\n").Close();
    peer.Start();
    Recorder r;
    ws::SOCKET s = StartConnect(r, peer.Port());
    ASSERT_TRUE(r.PumpUntil([&] { return r.Count(kSocketMsg, ws::FD_CLOSE) == 1; }));
    EXPECT_EQ(r.Count(kSocketMsg, ws::FD_READ), 1u);
    // Read comes before close, as the data came before the peer's shutdown.
    size_t read = 0, close = 0;
    for (size_t i = 0; i < r.got.size(); ++i) {
        if (ws::WSAGETSELECTEVENT(r.got[i].lParam) == unsigned(ws::FD_READ))
            read = i;
        if (ws::WSAGETSELECTEVENT(r.got[i].lParam) == unsigned(ws::FD_CLOSE))
            close = i;
    }
    EXPECT_LT(read, close);
    EXPECT_EQ(Recv(s, 2, MSG_PEEK), "ta");
    EXPECT_EQ(Recv(s, 2), "ta");
    EXPECT_EQ(Recv(s, 100), "il\r\n");
    EXPECT_EQ(Recv(s, 100), "");
    ASSERT_TRUE(r.SettleSockets());
    EXPECT_EQ(r.Count(kSocketMsg, ws::FD_CLOSE), 1u);
}

TEST_F(Winsock, ResetPeerGivesCloseWithResetError)
{
    ScriptedPeer peer;
    peer.Reset();
    peer.Start();
    Recorder r;
    ws::SOCKET s = StartConnect(r, peer.Port());
    ASSERT_TRUE(r.PumpUntil([&] { return r.Count(kSocketMsg, ws::FD_CLOSE) == 1; }));
    EXPECT_EQ(ws::WSAGETSELECTERROR(r.got.back().lParam), unsigned(ws::WSAECONNRESET));
    EXPECT_EQ(Recv(s, 1), "<error 10054>");
    EXPECT_EQ(Recv(s, 1), "<error 10054>");  // not an orderly end the second time
    EXPECT_EQ(ws::send(s, "x", 1, 0), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAECONNRESET);
    ASSERT_TRUE(r.SettleSockets());
    EXPECT_EQ(r.Count(kSocketMsg, ws::FD_CLOSE), 1u);
}

TEST_F(Winsock, ResetRightAfterConnectIsAConnectAndAResetWhoeverTookTheError)
{
    // The peer resets at once, and a call of ours takes the kernel's one
    // report of it before the notifier looks at the connect: the notifier
    // must still report a connect and a reset, never a refused connect.
    struct Case {
        const char* taker;
        std::function<int(ws::SOCKET)> takeError;  // the call's Winsock error
    };
    const Case cases[] = {
        {"recv", [](ws::SOCKET s) { char c; return ws::recv(s, &c, 1, 0) < 0 ? ws::WSAGetLastError() : 0; }},
        {"send", [](ws::SOCKET s) { return ws::send(s, "x", 1, 0) < 0 ? ws::WSAGetLastError() : 0; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.taker);
        ScriptedPeer peer;
        peer.Reset();
        peer.Start();
        Recorder r;
        ws::SOCKET s = NewSocket();
        // Non-blocking, but nobody notified yet: the notifier leaves it alone.
        ASSERT_EQ(ws::WSAAsyncSelect(s, r.hwnd, kSocketMsg, 0), 0);
        sockaddr_in a = Loopback(peer.Port());
        ASSERT_EQ(ws::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), ws::SOCKET_ERROR);
        ASSERT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);
        ASSERT_NE(ws::WaitForSocketOrTimeout(s, ws::FD_CLOSE, 5000), 0) << "no reset arrived";
        ASSERT_TRUE(peer.WaitDone());
        EXPECT_EQ(c.takeError(s), ws::WSAECONNRESET);

        ASSERT_EQ(ws::WSAAsyncSelect(s, r.hwnd, kSocketMsg, kMask), 0);
        ASSERT_TRUE(r.PumpUntil([&] { return r.Count(kSocketMsg, ws::FD_CLOSE) == 1; }));
        ASSERT_EQ(r.Count(kSocketMsg, ws::FD_CONNECT), 1u);
        EXPECT_EQ(ws::WSAGETSELECTEVENT(r.got[0].lParam), unsigned(ws::FD_CONNECT));
        EXPECT_EQ(ws::WSAGETSELECTERROR(r.got[0].lParam), 0u);
        EXPECT_EQ(ws::WSAGETSELECTERROR(r.got.back().lParam), unsigned(ws::WSAECONNRESET));
        EXPECT_EQ(Recv(s, 1), "<error 10054>");
    }
}

TEST_F(Winsock, AcceptIsNotifiedOnceUntilAcceptAndTheNewSocketInheritsTheRegistration)
{
    Recorder r;
    ws::SOCKET listener = NewSocket();
    sockaddr_in a = Loopback(0);
    ASSERT_EQ(ws::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    int len = sizeof a;
    ASSERT_EQ(ws::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);
    ASSERT_EQ(ws::WSAAsyncSelect(listener, r.hwnd, kLookupMsg, ws::FD_ACCEPT | ws::FD_READ), 0);
    ASSERT_EQ(ws::listen(listener, 5), 0);

    ws::SOCKET c1 = NewSocket(), c2 = NewSocket();
    ASSERT_EQ(ws::connect(c1, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);  // blocking socket
    ASSERT_EQ(ws::connect(c2, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_TRUE(r.PumpUntil([&] { return r.Count(kLookupMsg, ws::FD_ACCEPT) == 1; }));
    ASSERT_TRUE(r.SettleSockets());
    EXPECT_EQ(r.Count(kLookupMsg, ws::FD_ACCEPT), 1u);

    sockaddr_in peer{};
    int peerLen = sizeof peer;
    ws::SOCKET a1 = ws::accept(listener, reinterpret_cast<sockaddr*>(&peer), &peerLen);
    ASSERT_NE(a1, ws::INVALID_SOCKET);
    sockets.push_back(a1);
    EXPECT_STREQ(ws::inet_ntoa(peer.sin_addr), "127.0.0.1");
    ASSERT_TRUE(r.PumpUntil([&] { return r.Count(kLookupMsg, ws::FD_ACCEPT) == 2; }));
    ws::SOCKET a2 = ws::accept(listener, nullptr, nullptr);
    ASSERT_NE(a2, ws::INVALID_SOCKET);
    sockets.push_back(a2);
    ASSERT_TRUE(r.SettleSockets());
    EXPECT_EQ(r.Count(kLookupMsg, ws::FD_ACCEPT), 2u);
    // Nothing pending: accept would block.
    EXPECT_EQ(ws::accept(listener, nullptr, nullptr), ws::INVALID_SOCKET);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);

    ASSERT_EQ(ws::send(c2, "x", 1, 0), 1);
    ASSERT_TRUE(r.PumpUntil([&] { return r.Count(kLookupMsg, ws::FD_READ) == 1; }));
    EXPECT_EQ(r.got.back().wParam, a2);
    EXPECT_EQ(Recv(a2, 1), "x");
}

TEST_F(Winsock, ClosedSocketsQueuedNotificationsAreDropped)
{
    ScriptedPeer peer, marker;
    peer.WaitForRelease().Send("x").Close();
    marker.WaitForRelease().Send("m");
    peer.Start();
    marker.Start();
    Recorder r;
    ws::SOCKET s = StartConnect(r, peer.Port());
    ASSERT_TRUE(r.PumpUntil([&] { return r.Count(kSocketMsg, ws::FD_CONNECT) == 1; }));
    ASSERT_EQ(r.got.size(), 1u);
    peer.Release();
    ASSERT_TRUE(peer.WaitDone());
    ASSERT_EQ(ws::WaitForSocketOrTimeout(s, ws::FD_READ, 1000), ws::FD_READ);

    // Whether the notice for s is queued cannot be seen without handling it.
    // So data comes on a second socket, reported to a window of another
    // thread: the notifier round that reports it finds s readable too and
    // posts both under the lock closesocket takes.
    ws::SOCKET m = NewSocket();
    sockaddr_in ma = Loopback(marker.Port());
    ASSERT_EQ(ws::connect(m, reinterpret_cast<sockaddr*>(&ma), sizeof ma), 0);
    std::promise<win::HWND> window;
    bool marked = false;
    std::thread watcher([&] {
        QEventLoop loop;  // gives this thread an event dispatcher
        Recorder w;
        window.set_value(w.hwnd);
        marked = w.PumpUntil([&] { return w.Count(kSocketMsg, ws::FD_READ) == 1; });
    });
    EXPECT_EQ(ws::WSAAsyncSelect(m, window.get_future().get(), kSocketMsg, ws::FD_READ), 0);
    marker.Release();
    watcher.join();
    ASSERT_TRUE(marked);
    ASSERT_EQ(ws::closesocket(s), 0);
    sockets = {m};
    // A new socket likely reuses the number; the old notices must not reach it.
    ws::SOCKET fresh = NewSocket();
    ASSERT_EQ(ws::WSAAsyncSelect(fresh, r.hwnd, kSocketMsg, kMask), 0);
    ASSERT_TRUE(r.SettleSockets());
    EXPECT_EQ(r.got.size(), 1u);
}

TEST_F(Winsock, WaitForSocketOrTimeoutReportsDataAndTimesOut)
{
    ScriptedPeer peer;
    peer.WaitForRelease().Send("hi");
    peer.Start();
    Recorder r;
    ws::SOCKET s = StartConnect(r, peer.Port());
    ASSERT_TRUE(r.PumpUntil([&] { return r.Count(kSocketMsg, ws::FD_CONNECT) == 1; }));
    EXPECT_EQ(ws::WaitForSocketOrTimeout(s, ws::FD_READ, 5), 0);
    EXPECT_EQ(ws::WaitForSocketOrTimeout(s, ws::FD_WRITE, 1000), ws::FD_WRITE);
    peer.Release();
    EXPECT_EQ(ws::WaitForSocketOrTimeout(s, ws::FD_READ, 5000), ws::FD_READ);
    EXPECT_EQ(Recv(s, 2), "hi");

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ws::WaitForSocketOrTimeout(ws::INVALID_SOCKET, ws::FD_READ, 20), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTSOCK);
    // It sleeps instead of returning at once, so a loop over it cannot spin.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

TEST_F(Winsock, AsyncLookupOfLocalhostFillsTheCallersBuffer)
{
    Recorder r;
    alignas(hostent) char buf[ws::MAXGETHOSTSTRUCT];
    std::memset(buf, 0x55, sizeof buf);
    ws::HANDLE task = ws::WSAAsyncGetHostByName(r.hwnd, kLookupMsg, "localhost", buf, sizeof buf);
    ASSERT_NE(task, 0u);
    ASSERT_TRUE(r.PumpUntil([&] { return !r.got.empty(); }));
    ASSERT_EQ(r.got.size(), 1u);
    EXPECT_EQ(r.got[0].msg, kLookupMsg);
    EXPECT_EQ(r.got[0].wParam, task);
    EXPECT_EQ(ws::WSAGETASYNCERROR(r.got[0].lParam), 0u);
    const unsigned used = ws::WSAGETASYNCBUFLEN(r.got[0].lParam);
    EXPECT_GT(used, sizeof(hostent));
    EXPECT_LE(used, sizeof buf);
    const auto* h = reinterpret_cast<const hostent*>(buf);
    EXPECT_EQ(h->h_addrtype, AF_INET);
    EXPECT_EQ(h->h_length, 4);
    EXPECT_STREQ(h->h_name, "localhost");
    EXPECT_EQ(h->h_aliases[0], nullptr);
    ASSERT_NE(h->h_addr_list[0], nullptr);
    EXPECT_EQ(std::memcmp(h->h_addr_list[0], "\x7f\x00\x00\x01", 4), 0);
    // Everything lies inside the caller's buffer.
    for (const char* p : {h->h_name, h->h_addr_list[0]})
        EXPECT_TRUE(p >= buf && p < buf + used);
    EXPECT_EQ(ws::WSACancelAsyncRequest(task), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEALREADY);
}

TEST_F(Winsock, UnknownNameFailsWithHostNotFound)
{
    Recorder r;
    char buf[ws::MAXGETHOSTSTRUCT];
    std::memset(buf, 0x55, sizeof buf);
    ws::HANDLE task = ws::WSAAsyncGetHostByName(r.hwnd, kLookupMsg, "no-such-host.invalid", buf, sizeof buf);
    ASSERT_NE(task, 0u);
    ASSERT_TRUE(r.PumpUntil([&] { return !r.got.empty(); }));
    EXPECT_EQ(ws::WSAGETASYNCERROR(r.got[0].lParam), unsigned(ws::WSAHOST_NOT_FOUND));
    EXPECT_EQ(ws::WSAGETASYNCBUFLEN(r.got[0].lParam), 0u);
    EXPECT_EQ(buf[0], 0x55);

    EXPECT_EQ(ws::gethostbyname("x.INVALID."), nullptr);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAHOST_NOT_FOUND);
    hostent* h = ws::gethostbyname("localhost");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(std::memcmp(h->h_addr_list[0], "\x7f\x00\x00\x01", 4), 0);
}

TEST_F(Winsock, TooSmallBufferGetsNoBuffersAndTheSizeNeeded)
{
    Recorder r;
    char buf[16];
    std::memset(buf, 0x55, sizeof buf);
    ASSERT_NE(ws::WSAAsyncGetHostByName(r.hwnd, kLookupMsg, "localhost", buf, sizeof buf), 0u);
    ASSERT_TRUE(r.PumpUntil([&] { return !r.got.empty(); }));
    EXPECT_EQ(ws::WSAGETASYNCERROR(r.got[0].lParam), unsigned(ws::WSAENOBUFS));
    EXPECT_GT(ws::WSAGETASYNCBUFLEN(r.got[0].lParam), sizeof buf);
    for (char c : buf)
        EXPECT_EQ(c, 0x55);
}

TEST_F(Winsock, LookupOutlivedByNeitherWindowNorBufferWritesNothing)
{
    // Under AddressSanitizer a write into a freed buffer would abort the test.
    for (int i = 0; i < 30; ++i) {
        Recorder r;
        auto buf = std::make_unique<char[]>(ws::MAXGETHOSTSTRUCT);
        ws::HANDLE task = ws::WSAAsyncGetHostByName(r.hwnd, kLookupMsg, "localhost", buf.get(), ws::MAXGETHOSTSTRUCT);
        ASSERT_NE(task, 0u);
        if (i % 2) {
            ASSERT_TRUE(win::DestroyWindow(r.hwnd));
            r.hwnd = 0;
        } else if (ws::WSACancelAsyncRequest(task) != 0) {
            EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEALREADY);  // it had finished already
            r.Process();
            r.got.clear();
        }
        buf.reset();
        // Whatever a straggler would write or post, it has once its thread ended.
        ASSERT_TRUE(r.PumpUntil([] { return ws::LookupThreadsRunning() == 0; }));
        r.Process();
        EXPECT_TRUE(r.got.empty());
    }
}

TEST_F(Winsock, LookupNeedsALiveWindow)
{
    char buf[ws::MAXGETHOSTSTRUCT];
    EXPECT_EQ(ws::WSAAsyncGetHostByName(0, kLookupMsg, "localhost", buf, sizeof buf), 0u);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
    EXPECT_EQ(ws::WSACancelAsyncRequest(0), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
}

namespace {
double CpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}
}  // namespace

TEST_F(Winsock, NotifierStaysIdleWhateverStateItsSocketsAreIn)
{
    // Sockets whose kernel state keeps reporting "ready" (hung up, reset, at
    // end of stream, unconnected, with a notice not yet re-enabled) must not
    // keep the notifier thread busy.
    Recorder r;
    ScriptedPeer silent, closed, reset, ended;
    silent.WaitForRelease();
    closed.Send("unread").Close();
    reset.Reset();
    ended.Send("x").Close();
    for (ScriptedPeer* p : {&silent, &closed, &reset, &ended})
        p->Start();
    StartConnect(r, silent.Port());
    StartConnect(r, closed.Port());
    StartConnect(r, reset.Port());
    ws::SOCKET e = StartConnect(r, ended.Port());
    const testsupport::RefusedPort refused;
    StartConnect(r, refused.Port());
    ws::SOCKET fresh = NewSocket();
    ASSERT_EQ(ws::WSAAsyncSelect(fresh, r.hwnd, kSocketMsg, kMask), 0);
    ws::SOCKET listener = NewSocket();
    sockaddr_in a = Loopback(0);
    int len = sizeof a;
    ASSERT_EQ(ws::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(ws::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);
    ASSERT_EQ(ws::WSAAsyncSelect(listener, r.hwnd, kSocketMsg, ws::FD_ACCEPT), 0);
    ASSERT_EQ(ws::listen(listener, 5), 0);
    ws::SOCKET client = NewSocket();
    ASSERT_EQ(ws::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

    ASSERT_TRUE(r.PumpUntil([&] {
        return r.Count(kSocketMsg, ws::FD_CLOSE) == 3 && r.Count(kSocketMsg, ws::FD_ACCEPT) == 1 &&
               r.Count(kSocketMsg, ws::FD_CONNECT) == 5;
    }));
    EXPECT_EQ(Recv(e, 10), "x");
    EXPECT_EQ(Recv(e, 10), "");

    const double before = CpuSeconds();
    // Three ticks of a 100 ms timer: about 0.3 s of events handled.
    ASSERT_TRUE(r.PumpUntilWitnessed(100));
    const double used = CpuSeconds() - before;
    // A spinning notifier would use about the whole 0.3 s.
    EXPECT_LT(used, 0.1);
    silent.Release();
}

TEST_F(Winsock, WriteIsNotifiedAfterConnectAndAgainAfterWouldBlock)
{
    ScriptedPeer peer;
    std::string drained;
    peer.WaitForRelease().ExpectUntil("END", &drained);
    peer.Start();
    Recorder r;
    ws::SOCKET s = NewSocket();
    ASSERT_EQ(ws::WSAAsyncSelect(s, r.hwnd, kSocketMsg, ws::FD_CONNECT | ws::FD_WRITE), 0);
    sockaddr_in a = Loopback(peer.Port());
    ASSERT_EQ(ws::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), ws::SOCKET_ERROR);
    ASSERT_TRUE(r.PumpUntil([&] { return r.Count(kSocketMsg, ws::FD_WRITE) == 1; }));
    EXPECT_EQ(r.Count(kSocketMsg, ws::FD_CONNECT), 1u);

    // Fill the connection while the peer does not read.
    const std::string chunk(65536, 'x');
    size_t sent = 0;
    for (int i = 0; i < 10000; ++i) {
        int n = ws::send(s, chunk.data(), static_cast<int>(chunk.size()), 0);
        if (n < 0)
            break;
        sent += static_cast<size_t>(n);
    }
    ASSERT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);
    ASSERT_TRUE(r.SettleSockets());
    EXPECT_EQ(r.Count(kSocketMsg, ws::FD_WRITE), 1u);

    peer.Release();
    ASSERT_TRUE(r.PumpUntil([&] { return r.Count(kSocketMsg, ws::FD_WRITE) == 2; }));
    ASSERT_EQ(ws::send(s, "END", 3, 0), 3);
    ASSERT_TRUE(peer.WaitDone());
    EXPECT_TRUE(peer.ScriptUsedUp()) << peer.Failure();
    EXPECT_EQ(drained.size(), sent);
}
