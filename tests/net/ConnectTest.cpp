// Connecting: address forms, host lookup, the one retry, refusal, time-out,
// cancel, and closing.

#include "tests/net/NetTest.h"

using namespace nettest;
using testsupport::ScriptedPeer;

namespace {

struct Trace {
    std::vector<std::string> events;
    void Attach(TPowersock& s)
    {
        s.OnConnect = [this](TObject*) { events.push_back("connect"); };
        s.OnDisconnect = [this](TObject*) { events.push_back("disconnect"); };
        s.OnHostResolved = [this](TComponent*) { events.push_back("resolved"); };
        s.OnConnectionFailed = [this](TObject*) { events.push_back("failed"); };
    }
};

}  // namespace

TEST(Connect, DottedHostConnectsWithoutLookup)
{
    ScriptedPeer peer;
    peer.Accept().Expect("hello").Close();
    peer.Start();
    TestSock sock;
    Trace trace;
    trace.Attach(sock);
    ConnectTo(sock, peer);
    EXPECT_TRUE(sock.Connected);
    EXPECT_EQ(trace.events, std::vector<std::string>({"connect"}));
    EXPECT_EQ(sock.GetRemoteIP(), "127.0.0.1");
    sock.Writeln("hello");
    ExpectScriptDone(peer);
}

TEST(Connect, LocalhostIsLookedUpInTheBackground)
{
    ScriptedPeer peer;
    peer.Accept().SendLine("hi");
    peer.Start();
    TestSock sock;
    Trace trace;
    trace.Attach(sock);
    sock.Host = "localhost";
    sock.Port = peer.Port();
    sock.Connect();
    EXPECT_EQ(trace.events, std::vector<std::string>({"resolved", "connect"}));
    EXPECT_EQ(sock.GetRemoteIP(), "127.0.0.1");
    EXPECT_EQ(sock.ReadLn(), "hi\r\n");
    ExpectScriptDone(peer);
}

TEST(Connect, RelayHostAndPortTakePrecedence)
{
    ScriptedPeer peer;
    peer.Accept().SendLine("relay");
    peer.Start();
    TestSock sock;
    const testsupport::RefusedPort unused;
    sock.Host = "no-such-host.invalid";
    sock.Port = unused.Port();
    sock.RelayHost = "127.0.0.1";
    sock.RelayPort = peer.Port();
    sock.Connect();
    EXPECT_EQ(sock.ReadLn(), "relay\r\n");
    ExpectScriptDone(peer);
}

TEST(Connect, UnknownHostWithoutHandlerIsNullRemoteAddress)
{
    TestSock sock;
    sock.Host = "no-such-host.invalid";
    sock.Port = 25;
    EXPECT_EQ(MessageOf<ESockError>([&] { sock.Connect(); }), "Null Remote Address");
    EXPECT_FALSE(sock.Connected);
    EXPECT_EQ(sock.RemoteAddress.sin_addr.s_addr, 0u);
}

// How the OnInvalidHost handler answers, and what Connect then does.
struct InvalidHostCase {
    const char* name;
    bool fixHost;     // the handler puts a usable address into Host
    bool setHandled;  // the handler asks for the retry
    int calls;
    const char* error;  // "" when Connect succeeds
};

void PrintTo(const InvalidHostCase& c, std::ostream* os) { *os << c.name; }

class InvalidHostRetry : public ::testing::TestWithParam<InvalidHostCase> {};

TEST_P(InvalidHostRetry, HandlerHasExactlyOneChance)
{
    const InvalidHostCase& c = GetParam();
    ScriptedPeer peer;
    peer.Accept();
    peer.Start();
    TestSock sock;
    sock.Host = "no-such-host.invalid";
    sock.Port = peer.Port();
    int calls = 0;
    sock.OnInvalidHost = [&](bool& Handled) {
        EXPECT_FALSE(Handled);
        ++calls;
        if (c.fixHost)
            sock.Host = "127.0.0.1";
        Handled = c.setHandled;
    };
    EXPECT_EQ(MessageOf<ESockError>([&] { sock.Connect(); }), c.error);
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(sock.Connected, std::string(c.error).empty());
}

INSTANTIATE_TEST_SUITE_P(Connect, InvalidHostRetry,
                         ::testing::Values(InvalidHostCase{"Fixed", true, true, 1, ""},
                                           InvalidHostCase{"StillUnknown", false, true, 1, "Null Remote Address"},
                                           InvalidHostCase{"NotHandled", true, false, 1, "Null Remote Address"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Connect, RefusedPortFiresConnectionFailedThenRaises)
{
    TestSock sock;
    Trace trace;
    trace.Attach(sock);
    const testsupport::RefusedPort refused;
    sock.Host = "127.0.0.1";
    sock.Port = refused.Port();
    const std::string error = MessageOf<ESockError>([&] {
        try {
            sock.Connect();
        } catch (...) {
            trace.events.push_back("raised");
            throw;
        }
    });
    EXPECT_EQ(error, "Connection Failed");
    EXPECT_EQ(trace.events, std::vector<std::string>({"failed", "raised"}));
    EXPECT_FALSE(sock.Connected);
}

TEST(Connect, TimeOutEndsAConnectThatNeverCompletes)
{
    testsupport::StalledListener stalled;
    TestSock sock;
    Trace trace;
    trace.Attach(sock);
    sock.Host = "127.0.0.1";
    sock.Port = stalled.Port();
    sock.TimeOut = 200;
    EXPECT_EQ(MessageOf<ESockError>([&] { sock.Connect(); }), "Connection Timed out");
    EXPECT_EQ(trace.events, std::vector<std::string>({"failed"}));
    EXPECT_TRUE(sock.TimedOut);
    EXPECT_TRUE(sock.Canceled);  // a failed Connect leaves the cancel set
}

TEST(Connect, CancelFromATimerEndsTheWait)
{
    testsupport::StalledListener stalled;
    TestSock sock;
    Trace trace;
    trace.Attach(sock);
    sock.Host = "127.0.0.1";
    sock.Port = stalled.Port();
    TThreadTimer timer(nullptr);
    timer.SetInterval(50);
    timer.SetOnTimer([&](TObject*) {
        timer.SetEnabled(false);
        sock.Cancel();
    });
    EXPECT_EQ(MessageOf<ESockError>([&] { sock.Connect(); }), "Connection Canceled");
    EXPECT_EQ(trace.events, std::vector<std::string>({"failed"}));
    EXPECT_FALSE(sock.TimedOut);

    // The cancel stays set: the next send fails at once without sending.
    EXPECT_EQ(MessageOf<EAbortError>([&] { sock.Write("x"); }), "Socket send aborted");
    EXPECT_FALSE(sock.Canceled);
}

TEST(Connect, AbortFromANestedHandlerEndsTheWait)
{
    testsupport::StalledListener stalled;
    TestSock sock;
    sock.Host = "127.0.0.1";
    sock.Port = stalled.Port();
    auto later = Later(30, [&] { sock.Abort(); });
    EXPECT_EQ(MessageOf<ESockError>([&] { sock.Connect(); }), "Connection Canceled");
}

TEST(Connect, WhileConnectedRaisesAndClearsAPendingCancel)
{
    ScriptedPeer peer;
    peer.Accept().ExpectClose();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    sock.Cancel();
    EXPECT_EQ(MessageOf<ESockError>([&] { sock.Connect(); }), "Already connected");
    EXPECT_FALSE(sock.Canceled);
    EXPECT_TRUE(sock.Connected);
    sock.Disconnect();
    ExpectScriptDone(peer);
    EXPECT_EQ(peer.Received(), "");
}

TEST(Connect, DisconnectClosesAndOpensAFreshSocket)
{
    ScriptedPeer peer;
    peer.Accept().ExpectClose().Accept().Expect("again");
    peer.Start();
    TestSock sock;
    Trace trace;
    trace.Attach(sock);
    ConnectTo(sock, peer);
    sock.Disconnect();
    EXPECT_FALSE(sock.Connected);
    EXPECT_NE(sock.SocketHandle, INVALID_SOCKET_HANDLE);
    sock.Connect();
    sock.Writeln("again");
    ExpectScriptDone(peer);
    EXPECT_EQ(trace.events, std::vector<std::string>({"connect", "disconnect", "connect"}));
}

TEST(Connect, DisconnectWhileIdleStillReplacesTheSocket)
{
    TestSock sock;
    int disconnects = 0;
    sock.OnDisconnect = [&](TObject* Sender) {
        EXPECT_EQ(Sender, &sock);
        ++disconnects;
    };
    sock.Disconnect();
    EXPECT_EQ(disconnects, 1);
    EXPECT_FALSE(sock.Connected);
    EXPECT_NE(sock.SocketHandle, INVALID_SOCKET_HANDLE);
}

TEST(Connect, CertifyConnectGivesTheHandlerOneChance)
{
    ScriptedPeer peer;
    peer.Accept();
    peer.Start();
    TestSock sock;
    EXPECT_EQ(MessageOf<Exception>([&] { sock.CertifyConnect(); }), "Not Connected");

    int calls = 0;
    sock.OnConnectionRequired = [&](bool& Handled) {
        ++calls;
        Handled = true;  // claims success without connecting
    };
    EXPECT_EQ(MessageOf<Exception>([&] { sock.CertifyConnect(); }), "Not Connected");
    EXPECT_EQ(calls, 1);

    sock.OnConnectionRequired = [&](bool& Handled) {
        ++calls;
        ConnectTo(sock, peer);
        Handled = true;
    };
    sock.CertifyConnect();
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(sock.Connected);
}

TEST(Connect, PeerThatClosesAtOnceEndsTheWaitAndDisconnects)
{
    // The connect and close notifications often arrive in one round of
    // events; Connect must not go on waiting on the replacement socket.
    for (int round = 0; round < 5; ++round) {
        ScriptedPeer peer;
        peer.Accept().Close();
        peer.Start();
        TestSock sock;
        std::vector<std::string> events;
        sock.OnConnect = [&](TObject*) { events.push_back("connect"); };
        sock.OnDisconnect = [&](TObject*) { events.push_back("disconnect"); };
        ConnectTo(sock, peer);
        EXPECT_TRUE(WaitUntil([&] { return !sock.Connected; }));
        EXPECT_EQ(events, std::vector<std::string>({"connect", "disconnect"}));
        EXPECT_EQ(sock.ReadLn(), "");  // the peer's close, not an error
    }
}

TEST(Connect, PeerCloseWithUnreadDataKeepsTheConnection)
{
    ScriptedPeer peer;
    peer.Accept().Send("one\r\ntwo\r\n").Close();
    peer.Start();
    TestSock sock;
    int disconnects = 0;
    sock.OnDisconnect = [&](TObject*) { ++disconnects; };
    // The close notification is handled by asking whether data waits.
    int closeHandled = 0;
    sock.ReportLevel = 8;
    sock.OnStatus = [&](TComponent*, const std::string& Text) { closeHandled += Text == "Data Available"; };
    ConnectTo(sock, peer);
    ASSERT_TRUE(peer.WaitDone());
    ASSERT_TRUE(WaitUntil([&] { return closeHandled > 0; }));
    EXPECT_TRUE(sock.Connected);
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(sock.ReadLn(), "one\r\n");
    EXPECT_EQ(sock.ReadLn(), "two\r\n");
    EXPECT_EQ(sock.ReadLn(), "");
}

TEST(Connect, DestroyingAWaitingComponentLeavesNothingBehind)
{
    // A lookup still running when the component goes must neither write nor
    // post afterwards (checked by the sanitizers).
    for (int i = 0; i < 3; ++i) {
        const testsupport::RefusedPort refused;
        auto sock = std::make_unique<TestSock>();
        sock->Host = "localhost";
        sock->Port = refused.Port();
        auto later = Later(0, [s = sock.get()] { s->Cancel(); });
        EXPECT_NE(MessageOf<ESockError>([&] { sock->Connect(); }), "");
    }
    // Whatever a straggler would write or post, it has once its thread ended.
    EXPECT_TRUE(WaitUntil([] { return winsock::LookupThreadsRunning() == 0; }));
    EXPECT_EQ(WinsockUsers, 0);
}
