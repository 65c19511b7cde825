// The scripted peer is what every socket test trusts; check that it notices
// what it is there to notice.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>

#include "tests/support/ScriptedPeer.h"

using testsupport::ScriptedPeer;

namespace {

class Client {
public:
    explicit Client(uint16_t port)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~Client() { Close(); }
    void Send(const std::string& s) { EXPECT_EQ(::send(fd_, s.data(), s.size(), MSG_NOSIGNAL), ssize_t(s.size())); }
    std::string Recv(size_t n)
    {
        std::string r;
        char buf[256];
        while (r.size() < n) {
            ssize_t k = ::recv(fd_, buf, std::min(sizeof buf, n - r.size()), 0);
            if (k <= 0)
                break;
            r.append(buf, k);
        }
        return r;
    }
    void Close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

}  // namespace

TEST(ScriptedPeer, PlaysAMatchingScriptToTheEnd)
{
    ScriptedPeer peer;
    std::string body;
    peer.SendLine("220 ready").Expect("HELO me").SendLine("250 ok").ExpectUntil("\r\n.\r\n", &body)
        .ExpectBytes(3).Close();
    peer.Start();
    Client c(peer.Port());
    EXPECT_EQ(c.Recv(11), "220 ready\r\n");
    c.Send("HELO me\r\n");
    EXPECT_EQ(c.Recv(8), "250 ok\r\n");
    c.Send("line 1\r\nline");
    c.Send(" 2\r\n.\r\nxyz");
    EXPECT_EQ(c.Recv(1), "");  // closed by the script
    ASSERT_TRUE(peer.WaitDone());
    EXPECT_TRUE(peer.ScriptUsedUp()) << peer.Failure();
    EXPECT_EQ(peer.Failure(), "");
    EXPECT_EQ(body, "line 1\r\nline 2");
    EXPECT_EQ(peer.Received(), "HELO me\r\nline 1\r\nline 2\r\n.\r\nxyz");
}

TEST(ScriptedPeer, ReportsMismatchesAndStops)
{
    const struct {
        std::string sent;
        std::string failure;
    } cases[] = {
        {"QUIT\r\n", "step 2 Expect(\"HELO me\"): got \"QUIT\""},
        {"HELO me\n", "step 2 Expect(\"HELO me\"): line \"HELO me\\n\" not ended by CR LF"},
    };
    for (const auto& t : cases) {
        ScriptedPeer peer;
        peer.Expect("HELO me").SendLine("250 ok");
        peer.Start();
        Client c(peer.Port());
        c.Send(t.sent);
        ASSERT_TRUE(peer.WaitDone());
        EXPECT_FALSE(peer.ScriptUsedUp());
        EXPECT_EQ(peer.Failure(), t.failure);
    }
}

TEST(ScriptedPeer, ClientCloseAndTimeOutAreNoticed)
{
    {
        ScriptedPeer peer;
        peer.ExpectClose();
        peer.Start();
        Client c(peer.Port());
        c.Close();
        ASSERT_TRUE(peer.WaitDone());
        EXPECT_TRUE(peer.ScriptUsedUp()) << peer.Failure();
    }
    {
        ScriptedPeer peer;
        peer.SetStepTimeout(50);
        peer.Expect("never sent");
        peer.Start();
        Client c(peer.Port());
        ASSERT_TRUE(peer.WaitDone());
        EXPECT_FALSE(peer.ScriptUsedUp());
        EXPECT_NE(peer.Failure().find("timed out"), std::string::npos) << peer.Failure();
    }
    {
        // Destroyed while stalled: the destructor ends the script promptly.
        auto peer = std::make_unique<ScriptedPeer>();
        peer->WaitForRelease().SendLine("late");
        peer->Start();
        Client c(peer->Port());
        EXPECT_FALSE(peer->WaitDone(20));
        peer.reset();
    }
}
