// Library start-up, error texts, notification decoding, the timer and the
// address operations.

#include "tests/net/NetTest.h"

using namespace nettest;
using testsupport::ScriptedPeer;

TEST(Winsock, FirstUserFillsWinsockInfo)
{
    ASSERT_EQ(WinsockUsers, 0);
    const char* prefixes[] = {"Version= ",  "High Version= ", "Description= ",
                              "System= ",   "Max Sockets= ",  "Max Udp pack size= "};
    auto checkInfo = [&](const TStringList& info) {
        ASSERT_EQ(info.Count(), 6);
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(info[i].rfind(prefixes[i], 0), 0u) << info[i];
        EXPECT_EQ(info[0], "Version= 1.1");
    };
    {
        auto first = std::make_unique<TestSock>();
        auto second = std::make_unique<TestSock>();
        EXPECT_EQ(WinsockUsers, 2);
        checkInfo(*first->WinsockInfo);
        EXPECT_EQ(second->WinsockInfo->Count(), 0);
    }
    EXPECT_EQ(WinsockUsers, 0);
    // The library was released; the next component starts it again.
    TestSock again;
    checkInfo(*again.WinsockInfo);
}

TEST(Winsock, OwnedComponentsGoWithTheirOwner)
{
    {
        TComponent owner(nullptr);
        auto* sock = new TestSock(&owner);
        EXPECT_EQ(sock->Owner(), &owner);
        EXPECT_EQ(WinsockUsers, 1);
    }
    EXPECT_EQ(WinsockUsers, 0);
}

struct ErrorTextCase {
    uint16_t number;
    const char* text;
};

void PrintTo(const ErrorTextCase& c, std::ostream* os) { *os << c.number; }

class SocketErrorText : public ::testing::TestWithParam<ErrorTextCase> {};

TEST_P(SocketErrorText, NumberColonText)
{
    TestSock sock;
    EXPECT_EQ(sock.SocketErrorStr(GetParam().number), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Winsock, SocketErrorText,
                         ::testing::Values(ErrorTextCase{10054, "10054:Connection reset by peer"},
                                           ErrorTextCase{10061, "10061:Connection refused"},
                                           ErrorTextCase{10004, "10004:Interrupted system call"},
                                           ErrorTextCase{11001, "11001:Host not found"},
                                           ErrorTextCase{11004, "11004:Valid name, no data record of requested type"},
                                           ErrorTextCase{0, ""},
                                           ErrorTextCase{9999, "Unknown Error No. 9999"},
                                           ErrorTextCase{10000, "Unknown Error No. 10000"}));

TEST(Winsock, TableHasItsRowsInOrder)
{
    EXPECT_EQ(WinsockMessage[0].ErrorNumber, 10004);
    EXPECT_EQ(WinsockMessage[WinsockMessageCount - 1].ErrorNumber, 0);
    EXPECT_STREQ(WinsockMessage[WinsockMessageCount - 1].Text, "Unrecognized error code");
    for (int i = 1; i < WinsockMessageCount - 1; ++i) {
        EXPECT_LT(WinsockMessage[i - 1].ErrorNumber, WinsockMessage[i].ErrorNumber);
        EXPECT_LE(std::string(WinsockMessage[i].Text).size(), 51u);
    }
}

TEST(Winsock, SetWSAErrorRecordsWithoutRaising)
{
    TestSock sock;
    std::vector<std::string> reported;
    sock.OnSocketError = [&](TComponent* Sender, uint16_t Errno, const std::string& Errmsg) {
        EXPECT_EQ(Sender, &sock);
        reported.push_back(std::to_string(Errno) + "|" + Errmsg);
    };
    EXPECT_NO_THROW(sock.SetWSAError(10060, ""));
    EXPECT_EQ(sock.GetLastErrorNo(), 10060);
    EXPECT_EQ(winsock::WSAGetLastError(), 10060);
    sock.SetWSAError(10054, "my own text");
    EXPECT_EQ(reported, std::vector<std::string>({"10060|10060:Connection timed out", "10054|my own text"}));
    sock.SetLastErrorNo(7);
    EXPECT_EQ(sock.GetLastErrorNo(), 7);
}

TEST(Winsock, ErrorManagerRaisesOnlyRealErrors)
{
    TestSock sock;
    int reported = 0;
    sock.OnSocketError = [&](TComponent*, uint16_t, const std::string&) { ++reported; };
    for (int quiet : {0, 10000, 10035}) {
        winsock::WSASetLastError(quiet);
        EXPECT_EQ(sock.ErrorManager(10035), "") << quiet;
    }
    EXPECT_EQ(reported, 0);
    winsock::WSASetLastError(10061);
    EXPECT_EQ(MessageOf<ESockError>([&] { sock.ErrorManager(10035); }), "10061:Connection refused");
    EXPECT_EQ(sock.GetLastErrorNo(), 10061);
    EXPECT_EQ(reported, 1);
}

// ---------------------------------------------------------------------------
// Notification decoding

namespace {

TMessage Notification(uint32_t msg, uint16_t event, uint16_t error)
{
    TMessage m;
    m.Msg = msg;
    m.LParam = static_cast<uint32_t>(error) << 16 | event;
    return m;
}

}  // namespace

TEST(Wndproc, ReadWithAnErrorStillCallsOnReadReady)
{
    TestSock sock;
    int reads = 0;
    sock.OnReadReady = [&](TObject*) {
        ++reads;
        throw Exception("dropped");
    };
    TMessage m = Notification(1125, 1, 10054);
    sock.LastEventOk = true;
    EXPECT_NO_THROW(sock.Wndproc(m));
    EXPECT_EQ(reads, 1);
    EXPECT_FALSE(sock.LastEventOk);

    m = Notification(1125, 4, 0);  // out-of-band: only the flag
    sock.Wndproc(m);
    EXPECT_TRUE(sock.LastEventOk);
    EXPECT_EQ(reads, 1);
}

TEST(Wndproc, ConnectAcceptAndLookupNotifications)
{
    TestSock sock;
    int connects = 0, accepts = 0, disconnects = 0;
    sock.OnConnect = [&](TObject*) { ++connects; };
    sock.OnAcceptReady = [&](TObject*) { ++accepts; };
    sock.OnDisconnect = [&](TObject*) { ++disconnects; };

    TMessage m = Notification(1125, 16, 10061);  // a failed connect
    sock.Wndproc(m);
    EXPECT_FALSE(sock.Connected);
    EXPECT_EQ(connects, 0);

    m = Notification(1125, 16, 0);
    sock.Wndproc(m);
    EXPECT_TRUE(sock.Connected);
    EXPECT_EQ(connects, 1);

    sock.Connected = false;
    m = Notification(1125, 8, 0);
    sock.Wndproc(m);
    EXPECT_TRUE(sock.Connected);
    EXPECT_EQ(accepts, 1);

    sock.Connected = false;
    sock.EventArrived = false;
    m = Notification(1126, 20, 11001);  // a failed lookup
    sock.Wndproc(m);
    EXPECT_TRUE(sock.EventArrived);
    EXPECT_FALSE(sock.LastEventOk);
    EXPECT_FALSE(sock.Connected);

    m = Notification(1126, 8, 0);  // an accept on the alternate message
    sock.Wndproc(m);
    EXPECT_TRUE(sock.Connected);
    EXPECT_EQ(disconnects, 1);
}

TEST(Wndproc, NotificationsArriveThroughTheWindow)
{
    TestSock sock;
    int reads = 0;
    sock.OnReadReady = [&](TObject*) { ++reads; };
    win::PostMessage(sock.WindowHandle, 1125, 0, 1);
    win::PostMessage(sock.WindowHandle, 1024, 0, 1);  // below 1125: not for the component
    EXPECT_TRUE(WaitUntil([&] { return reads == 1; }));
}

// ---------------------------------------------------------------------------
// TThreadTimer

TEST(ThreadTimer, TicksOnlyWhenEnabledWithIntervalAndHandler)
{
    TThreadTimer timer(nullptr);
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);
    int ticks = 0;
    timer.SetInterval(0);
    timer.SetOnTimer([&](TObject* Sender) {
        EXPECT_EQ(Sender, &timer);
        ++ticks;
    });
    // A second timer's ticks show that the first one had its turns.
    TThreadTimer witness(nullptr);
    int witnessed = 0;
    witness.SetInterval(10);
    witness.SetOnTimer([&](TObject*) { ++witnessed; });
    EXPECT_TRUE(WaitUntil([&] { return witnessed >= 3; }));
    EXPECT_EQ(ticks, 0);  // interval 0 never ticks

    timer.SetInterval(10);
    EXPECT_TRUE(WaitUntil([&] { return ticks >= 3; }));  // periodic
    timer.SetEnabled(false);
    const int stopped = ticks, witnessedThen = witnessed;
    EXPECT_TRUE(WaitUntil([&] { return witnessed >= witnessedThen + 3; }));
    EXPECT_EQ(ticks, stopped);
}

TEST(ThreadTimer, ExceptionGoesToTheApplicationAndTheTimerGoesOn)
{
    std::vector<std::string> shown;
    win::SetExceptionHandler([&](const std::exception& e) { shown.push_back(e.what()); });
    {
        TThreadTimer timer(nullptr);
        int ticks = 0;
        timer.SetInterval(10);
        timer.SetOnTimer([&](TObject*) {
            ++ticks;
            throw Exception("tick failed");
        });
        EXPECT_TRUE(WaitUntil([&] { return ticks >= 2; }));
        timer.SetEnabled(false);
    }
    win::SetExceptionHandler(nullptr);
    ASSERT_GE(shown.size(), 2u);
    EXPECT_EQ(shown[0], "tick failed");
}

// ---------------------------------------------------------------------------
// Addresses

TEST(Addresses, LocalAddressAndPortString)
{
    ScriptedPeer peer;
    peer.Accept();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    EXPECT_EQ(sock.GetLocalAddress(), "127,0,0,1");

    sockaddr_in local{};
    int size = sizeof local;
    winsock::getsockname(sock.SocketHandle, reinterpret_cast<sockaddr*>(&local), &size);
    const uint16_t port = winsock::ntohs(local.sin_port);
    EXPECT_EQ(sock.GetPortString(), "," + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF));
}

TEST(Addresses, LocalIPIsDottedOrEmpty)
{
    TestSock sock;
    const std::string ip = sock.GetLocalIP();
    if (!ip.empty()) {
        EXPECT_NE(winsock::inet_addr(ip.c_str()), INADDR_NONE) << ip;
    }
}

TEST(Addresses, CloseRefusesANegativeHandle)
{
    TestSock sock;
    EXPECT_THROW(sock.Close(-1), ERangeError);
}
