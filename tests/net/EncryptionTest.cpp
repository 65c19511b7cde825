// Starting TLS on the component's connection: what arrived in clear before
// the handshake, and a server gone before it, end it before any TLS byte.

#include <sys/socket.h>

#include "platform/Tls.h"
#include "tests/net/NetTest.h"

using namespace nettest;
using testsupport::ScriptedPeer;

namespace {

int Waiting(TestSock& sock)
{
    char buf[256];
    return static_cast<int>(::recv(sock.SocketHandle, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT));
}

}  // namespace

// After "220" to STARTTLS, or before anything with TLS at once, the server
// waits for our hello: whatever came in clear was injected, whether the line
// reader holds it or the socket does.
TEST(StartTls, BytesBeforeTheHandshakeEndItAndNothingIsSent)
{
    struct Case {
        bool starttls;  // "220 ready" is read first as STARTTLS's reply
        bool apart;     // the tail arrives after that line was read
        std::string tail;
    };
    const Case cases[] = {
        {true, false, "250-injected\r\n250 AUTH PLAIN\r\n"},
        {true, false, "250 ok\r\n250 ok\r\n354 go\r\n"},
        {true, false, "2"},
        {true, true, "250 AUTH PLAIN\r\n"},
        {true, true, "\x16\x03\x03"},
        {false, false, "220 mail.test ESMTP\r\n"},
        {false, false, std::string("\x16\x03\x03\x00\x02\x02\x28", 7)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((c.starttls ? "STARTTLS " : "TLS ") + c.tail);
        ScriptedPeer peer;
        peer.Accept();
        if (c.starttls && c.apart)
            peer.Send("220 ready\r\n").WaitForRelease().Send(c.tail);
        else
            peer.Send((c.starttls ? "220 ready\r\n" : "") + c.tail);
        peer.ExpectClose();
        peer.Start();
        TestSock sock;
        ConnectTo(sock, peer);
        const int arrived = static_cast<int>(c.tail.size()) + (c.starttls && !c.apart ? 11 : 0);
        if (c.starttls && c.apart) {
            EXPECT_EQ(sock.ReadLn(), "220 ready\r\n");
            peer.Release();
            ASSERT_TRUE(WaitUntil([&] { return Waiting(sock) == static_cast<int>(c.tail.size()); }));
        } else {
            ASSERT_TRUE(WaitUntil([&] { return Waiting(sock) == arrived; }));
            if (c.starttls) {
                EXPECT_EQ(sock.ReadLn(), "220 ready\r\n");
            }
        }
        const std::string text = MessageOf<tls::ETlsError>([&] { sock.StartTls("mail.test", ""); });
        EXPECT_NE(text.find("サーバー mail.test から、暗号化を始める前に暗号化されていないデータが届きました"),
                  std::string::npos)
            << text;
        EXPECT_FALSE(sock.Encrypted());
        sock.Disconnect();
        ExpectScriptDone(peer);  // closed with not a byte sent: no TLS hello
        EXPECT_EQ(peer.Received(), "");
    }
}

TEST(StartTls, AServerThatClosesBeforeTheHandshakeIsNamedSo)
{
    struct Case {
        bool starttls;
        bool reset;
    };
    for (const Case c : {Case{true, false}, Case{true, true}, Case{false, false}, Case{false, true}}) {
        SCOPED_TRACE(std::string(c.starttls ? "STARTTLS" : "TLS") + (c.reset ? " reset" : " close"));
        ScriptedPeer peer;
        peer.Accept();
        if (c.starttls) {
            peer.Send("220 ready\r\n");
        }
        if (c.reset)
            peer.Reset();
        else
            peer.Close();
        peer.Start();
        TestSock sock;
        ConnectTo(sock, peer);
        if (c.starttls) {
            EXPECT_EQ(sock.ReadLn(), "220 ready\r\n");
        }
        ASSERT_TRUE(peer.WaitDone());
        const std::string text = MessageOf<tls::ETlsError>([&] { sock.StartTls("mail.test", ""); });
        EXPECT_EQ(text, tls::ClosedBeforeEncryption("mail.test"));
        EXPECT_NE(text.find("暗号化を始める前に接続を閉じました"), std::string::npos);
        sock.Disconnect();
    }
}
