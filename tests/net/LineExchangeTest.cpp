// Sending and receiving on an established connection.

#include <sys/socket.h>

#include <functional>

#include "rtl/Streams.h"
#include "tests/net/NetTest.h"

using namespace nettest;
using testsupport::ScriptedPeer;

TEST(ReadLn, ReturnsLinesWithTheirLineEnds)
{
    ScriptedPeer peer;
    peer.Accept().Send("first\r\nsecond\r\n").Send("lone lf\n").Send("ab").Wait(50).Send("cd").Wait(50).Send("ef\r\n");
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    EXPECT_EQ(sock.ReadLn(), "first\r\n");
    EXPECT_EQ(sock.ReadLn(), "second\r\n");
    EXPECT_EQ(sock.ReadLn(), "lone lf\n");
    EXPECT_EQ(sock.ReadLn(), "abcdef\r\n");
    ExpectScriptDone(peer);
}

TEST(ReadLn, CloseInTheMiddleOfALineDropsThePart)
{
    ScriptedPeer peer;
    peer.Accept().Send("25").Close();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    EXPECT_EQ(sock.ReadLn(), "");
    ExpectScriptDone(peer);
}

// One receive takes whatever waits: what follows the line stays for the next
// read of any kind, and a peer's close comes after it.
TEST(ReadLn, BytesAfterTheLineStayForEveryLaterRead)
{
    struct Case {
        const char* name;
        std::function<std::string(TestSock&)> next;
        std::string expected;
    } cases[] = {
        {"ReadLn", [](TestSock& s) { std::string a = s.ReadLn(); return a + "|" + s.ReadLn(); }, "two\r\n|"},
        {"Read with a count", [](TestSock& s) { std::string a = s.Read(3); return a + "|" + s.Read(2); }, "two|\r\n"},
        {"Read what waits", [](TestSock& s) { return s.Read(0); }, "two\r\nrest"},
        {"DataAvailable", [](TestSock& s) { return std::string(s.DataAvailable() ? "yes" : "no"); }, "yes"},
        {"CaptureString", [](TestSock& s) { std::string t; s.CaptureString(t, 9); return t; }, "two\r\nrest"},
        {"ClearInput", [](TestSock& s) { s.ClearInput(); return std::string(s.DataAvailable() ? "left" : "none"); }, "none"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer;
        peer.Accept().Send("one\r\ntwo\r\nrest").WaitForRelease().Close();
        peer.Start();
        TestSock sock;
        ConnectTo(sock, peer);
        // Everything has arrived before the first line is read.
        ASSERT_TRUE(WaitUntil([&] {
            char buf[32];
            return ::recv(sock.SocketHandle, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT) == 14;
        }));
        EXPECT_EQ(sock.ReadLn(), "one\r\n");
        peer.Release();  // the close follows what is left
        EXPECT_EQ(c.next(sock), c.expected);
        ExpectScriptDone(peer);
    }
}

TEST(ReadLn, LongLines)
{
    const std::string longest(MaxLineLength - 2, 'x');  // with CR LF exactly the limit
    ScriptedPeer peer;
    peer.Accept().Send(longest + "\r\n").Send(std::string(MaxLineLength, 'y') + "\r\n");
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    EXPECT_EQ(sock.ReadLn(), longest + "\r\n");
    const std::string error = MessageOf<ESockError>([&] { sock.ReadLn(); });
    EXPECT_NE(error.find("Line too long"), std::string::npos) << error;
    ExpectScriptDone(peer);
}

TEST(ReadLn, TimeOutEndsTheWait)
{
    ScriptedPeer peer;
    peer.Accept().WaitForRelease();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    sock.TimeOut = 150;
    EXPECT_EQ(MessageOf<EAbortError>([&] { sock.ReadLn(); }), "Socket readln aborted");
    EXPECT_TRUE(sock.TimedOut);
    EXPECT_FALSE(sock.Canceled);
    peer.Release();
}

TEST(ReadLn, CancelFromATimerEndsTheWait)
{
    ScriptedPeer peer;
    peer.Accept().WaitForRelease();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    TThreadTimer timer(nullptr);
    timer.SetInterval(50);
    timer.SetOnTimer([&](TObject*) {
        timer.SetEnabled(false);
        sock.Cancel();
    });
    EXPECT_EQ(MessageOf<EAbortError>([&] { sock.ReadLn(); }), "Socket readln aborted");
    EXPECT_FALSE(sock.Canceled);
    EXPECT_FALSE(sock.TimedOut);
    peer.Release();
}

TEST(ReadLn, CancelFromANestedHandlerDropsThePartialLine)
{
    ScriptedPeer peer;
    peer.Accept().Send("par").WaitForRelease().Send("tial\r\n");
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    auto later = Later(100, [&] { sock.Cancel(); });
    EXPECT_EQ(MessageOf<EAbortError>([&] { sock.ReadLn(); }), "Socket readln aborted");
    peer.Release();
    // What the canceled ReadLn had consumed is gone; the rest is still there.
    EXPECT_EQ(sock.ReadLn(), "tial\r\n");
    ExpectScriptDone(peer);
}

TEST(ReadLn, NestedDisconnectEndsTheOuterReadWithAnError)
{
    ScriptedPeer peer;
    peer.Accept().Send("half a li").ExpectClose();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    int disconnects = 0;
    sock.OnDisconnect = [&](TObject*) { ++disconnects; };
    auto later = Later(50, [&] { sock.Disconnect(); });
    EXPECT_EQ(MessageOf<ESockError>([&] { sock.ReadLn(); }), "10057:Socket is not connected");
    EXPECT_EQ(disconnects, 1);
    EXPECT_FALSE(sock.Connected);
    EXPECT_NE(sock.SocketHandle, INVALID_SOCKET_HANDLE);
    ExpectScriptDone(peer);

    // The fresh socket is unconnected: sending fails the same way.
    EXPECT_EQ(MessageOf<ESockError>([&] { sock.Writeln("x"); }), "10057:Socket is not connected");
    EXPECT_EQ(sock.GetLastErrorNo(), 10057);
}

TEST(ReadLn, NestedTransactionMayTakeTheOuterLine)
{
    ScriptedPeer peer;
    peer.Accept().Expect("NOOP").SendLine("250 nested").SendLine("250 outer");
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    std::string nested;
    auto later = Later(20, [&] { nested = sock.Transaction("NOOP"); });
    EXPECT_EQ(sock.ReadLn(), "250 outer\r\n");
    EXPECT_EQ(nested, "250 nested\r\n");
    ExpectScriptDone(peer);
}

// ---------------------------------------------------------------------------

struct ReplyCase {
    const char* name;
    const char* reply;  // nullptr: the peer closes instead of replying
    int16_t code;
    bool rangeError;
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class TransactionReply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(TransactionReply, SetsReplyCodeFromLeadingDigits)
{
    const ReplyCase& c = GetParam();
    ScriptedPeer peer;
    peer.Accept().Expect("CMD");
    if (c.reply != nullptr)
        peer.SendLine(c.reply);
    else
        peer.Close();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    sock.ReportLevel = 1;
    std::vector<std::string> statuses;
    sock.OnStatus = [&](TComponent*, const std::string& Status) { statuses.push_back(Status); };
    if (c.rangeError) {
        EXPECT_THROW(sock.Transaction("CMD"), ERangeError);
    } else {
        const std::string line = sock.Transaction("CMD");
        const std::string expected = c.reply != nullptr ? std::string(c.reply) + "\r\n" : "";
        EXPECT_EQ(line, expected);
        EXPECT_EQ(sock.LastReply, expected);
        EXPECT_EQ(sock.ReplyCode, c.code);
        if (c.reply != nullptr)
            EXPECT_EQ(statuses, std::vector<std::string>({expected}));
        else
            EXPECT_TRUE(statuses.empty());
    }
    ExpectScriptDone(peer);
}

INSTANTIATE_TEST_SUITE_P(
    Transaction, TransactionReply,
    ::testing::Values(ReplyCase{"Continuation", "250-first of several", 250, false},
                      ReplyCase{"Letter", "hello 250", 0, false},
                      ReplyCase{"Closed", nullptr, 0, false},
                      ReplyCase{"Largest", "32767 ok", 32767, false},
                      ReplyCase{"TooLarge", "32768 no", 0, true},
                      ReplyCase{"TenDigitsAtMost", "00000000012345", 1, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------

TEST(Write, SendsExactBytes)
{
    std::string got;
    ScriptedPeer peer;
    peer.Accept().ExpectBytes(6 + 2 + 4, &got);
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    sock.Writeln("QUIT");
    sock.Write(std::string("ab\0cd", 5));
    sock.SendBuffer("wxyz", 4);
    ExpectScriptDone(peer);
    EXPECT_EQ(got, "QUIT\r\nabwxyz");
}

TEST(Write, TooLongTextIsARangeErrorAndSendsNothing)
{
    ScriptedPeer peer;
    peer.Accept().Expect("after");
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    EXPECT_THROW(sock.Write(std::string(65536, 'a')), ERangeError);
    sock.Write("after\r\n");
    ExpectScriptDone(peer);
    EXPECT_EQ(peer.Received(), "after\r\n");
}

// A peer that stops reading fills the send buffers: the wait for room
// processes events, so a cancel from a timer (Abort's) or the time-out ends it.
TEST(SendBuffer, AFullSendBufferIsWaitedOutWithEvents)
{
    for (const bool byTimeOut : {false, true}) {
        SCOPED_TRACE(byTimeOut ? "time-out" : "cancel");
        ScriptedPeer peer;
        peer.Accept().WaitForRelease();
        peer.Start();
        TestSock sock;
        ConnectTo(sock, peer);
        TThreadTimer timer(nullptr);
        timer.SetInterval(100);
        timer.SetOnTimer([&](TObject*) {
            timer.SetEnabled(false);
            sock.Cancel();
        });
        timer.SetEnabled(!byTimeOut);
        sock.TimeOut = byTimeOut ? 200 : 0;
        const std::string piece(60000, 'x');
        std::string message;
        // 120 MB at most: far beyond what the buffers of both ends hold.
        for (int i = 0; i < 2000 && message.empty(); ++i)
            message = MessageOf<EAbortError>([&] { sock.SendBuffer(piece.data(), 60000); });
        EXPECT_EQ(message, "Socket send aborted");
        EXPECT_EQ(sock.TimedOut, byTimeOut);
        EXPECT_FALSE(sock.Canceled);
        peer.Release();
    }
}

TEST(Read, CountsAndWaiting)
{
    ScriptedPeer peer;
    peer.Accept().Expect("go").Send("abc").Wait(100).Send("de").Expect("more").Send("xyz");
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    EXPECT_EQ(sock.Read(0), "");  // nothing waiting yet
    sock.Writeln("go");
    EXPECT_EQ(sock.Read(5), "abcde");  // polls until the last two arrive
    sock.Writeln("more");
    ASSERT_TRUE(WaitUntil([&] { return sock.DataAvailable(); }));
    // Read(0) takes what is there: all three bytes, once they are.
    ASSERT_TRUE(WaitUntil([&] {
        char peek[3];
        return winsock::recv(sock.SocketHandle, peek, sizeof peek, MSG_PEEK) == 3;
    }));
    EXPECT_EQ(sock.Read(0), "xyz");
    ExpectScriptDone(peer);
}

TEST(Read, CancelEndsTheWaitAndTheReplacementSocketIsNotConnected)
{
    ScriptedPeer peer;
    peer.Accept().Send("abc").ExpectClose();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    auto later = Later(100, [&] { sock.Cancel(); });
    EXPECT_EQ(MessageOf<EAbortError>([&] { sock.Read(5); }), "Socket send aborted");
    EXPECT_FALSE(sock.Canceled);
    EXPECT_EQ(sock.Read(3), "abc");  // nothing was consumed by the canceled Read
    sock.Disconnect();
    EXPECT_EQ(MessageOf<ESockError>([&] { sock.Read(0); }), "10057:Socket is not connected");
    ExpectScriptDone(peer);
}

// ---------------------------------------------------------------------------

TEST(SendStream, LargeStreamToASlowReader)
{
    std::string data(3 * 1000 * 1000 + 17, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>('a' + i % 26);
    std::string got;
    ScriptedPeer peer;
    peer.Accept().Wait(300).ExpectBytes(data.size(), &got);
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    TStringStream stream(data);
    stream.Seek(0, soFromEnd);  // sent from the start all the same
    int packets = 0;
    int32_t lastSent = 0;
    sock.OnPacketSent = [&](TObject*) {
        ++packets;
        EXPECT_GT(sock.SentBytes, lastSent);
        lastSent = sock.SentBytes;
    };
    sock.SendStream(stream);
    ExpectScriptDone(peer);
    EXPECT_TRUE(got == data);
    EXPECT_EQ(sock.SentBytes, static_cast<int32_t>(data.size()));
    EXPECT_EQ(sock.SendTotalBytes, static_cast<int32_t>(data.size()));
    EXPECT_GE(packets, static_cast<int>(data.size() / IoBufferSize));
}

TEST(SendStream, EmptyStreamAndCancel)
{
    ScriptedPeer peer;
    peer.Accept().Expect("end");
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    int packets = 0;
    sock.OnPacketSent = [&](TObject*) { ++packets; };
    TStringStream empty;
    sock.SendStream(empty);
    EXPECT_EQ(packets, 0);

    TStringStream some("not sent\r\n");
    sock.Cancel();
    EXPECT_EQ(MessageOf<EAbortError>([&] { sock.SendStream(some); }), "Socket send aborted");
    EXPECT_FALSE(sock.Canceled);
    EXPECT_EQ(packets, 0);
    sock.Writeln("end");
    ExpectScriptDone(peer);
    EXPECT_EQ(peer.Received(), "end\r\n");
}

TEST(SendStream, CancelFromOnPacketSentEndsIt)
{
    const std::string data(8 * 1000 * 1000, 'z');
    ScriptedPeer peer;
    peer.Accept().WaitForRelease();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    TStringStream stream(data);
    sock.OnPacketSent = [&](TObject*) { sock.Cancel(); };
    EXPECT_EQ(MessageOf<EAbortError>([&] { sock.SendStream(stream); }), "Socket send aborted");
    EXPECT_LT(sock.SentBytes, static_cast<int32_t>(data.size()));
    peer.Release();
}

// ---------------------------------------------------------------------------

TEST(Status, LevelsAgainstReportLevel)
{
    ScriptedPeer peer;
    peer.Accept().Expect("a").Expect("b");
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    std::vector<std::string> seen;
    sock.OnStatus = [&](TComponent* Sender, const std::string& Status) {
        EXPECT_EQ(Sender, &sock);
        seen.push_back(Status);
    };

    sock.ReportLevel = 3;
    sock.Writeln("a");
    EXPECT_TRUE(seen.empty());

    sock.ReportLevel = 4;
    sock.Writeln("b");
    EXPECT_EQ(seen, std::vector<std::string>({"Sending Buffer"}));
    EXPECT_EQ(sock.LastStatus, "Sending Buffer");

    seen.clear();
    sock.ReportLevel = 8;
    sock.Disconnect();
    EXPECT_EQ(seen, std::vector<std::string>({"Disconnecting", "Request Close Socket"}));
    ExpectScriptDone(peer);
}

TEST(Status, HandlerExceptionsAreDropped)
{
    TestSock sock;
    sock.ReportLevel = 8;
    sock.OnStatus = [](TComponent*, const std::string&) { throw Exception("boom"); };
    EXPECT_NO_THROW(sock.Cancel());
    EXPECT_EQ(sock.LastStatus, "Canceling");
}
