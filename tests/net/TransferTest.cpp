// File, stream and text transfers, and the unit's free text functions.

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "net/Transfer.h"
#include "rtl/Streams.h"
#include "tests/net/NetTest.h"

using namespace nettest;
using testsupport::ScriptedPeer;

namespace {

// A folder of its own for each test's files, removed with it.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = testing::TempDir() + "veltrow-xfer-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string ReadFile(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& name, const std::string& content)
{
    std::ofstream(name, std::ios::binary) << content;
}

// Bytes that differ from one position to the next, so a lost or doubled piece shows.
std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return s;
}

// Cancels sock once, after ms, unless it goes out of scope first (so it
// never outlives the test's component).
class CancelLater {
public:
    CancelLater(TPowersock& sock, uint32_t ms) : timer_(nullptr)
    {
        timer_.SetInterval(ms);
        timer_.SetOnTimer([this, &sock](TObject*) {
            timer_.SetEnabled(false);
            sock.Cancel();
        });
    }

private:
    TThreadTimer timer_;
};

}  // namespace

// ---------------------------------------------------------------------------
// Free text functions

struct NthCase {
    std::string text;
    char delimiter;
    int32_t n;
    std::string word;
    int32_t pos;
};

void PrintTo(const NthCase& c, std::ostream* os)
{
    *os << '"' << c.text << "\" at '" << c.delimiter << "' #" << c.n;
}

class NthWordAndPos : public testing::TestWithParam<NthCase> {};

TEST_P(NthWordAndPos, SplitAtTheDelimiter)
{
    const NthCase& c = GetParam();
    EXPECT_EQ(NthWord(c.text, c.delimiter, c.n), c.word);
    EXPECT_EQ(NthPos(c.text, c.delimiter, c.n), c.pos);
}

INSTANTIATE_TEST_SUITE_P(
    Text, NthWordAndPos,
    testing::Values(NthCase{"a b c", ' ', 1, "a", 2},
                    NthCase{"a b c", ' ', 2, "b", 4},
                    // Fewer delimiters than N: the empty field, length plus 1.
                    NthCase{"a b c", ' ', 3, "c", 6},
                    NthCase{"a b c", ' ', 4, "", 6},
                    NthCase{"a,,c", ',', 2, "", 3},
                    NthCase{"a,,c", ',', 3, "c", 5},
                    // The N-th delimiter as last character also answers length plus 1.
                    NthCase{"ab ", ' ', 1, "ab", 4},
                    NthCase{"", ' ', 1, "", 1},
                    NthCase{"abc", ' ', 1, "abc", 4},
                    NthCase{"a b", ' ', 0, "", 0},
                    NthCase{"a b", ' ', -1, "", 0}));

TEST(Text, StreamLnWritesTheTextAndCrLf)
{
    TStringStream stream;
    StreamLn(stream, "");
    EXPECT_EQ(stream.DataString(), "\r\n");
    StreamLn(stream, "HELO x");
    EXPECT_EQ(stream.DataString(), "\r\nHELO x\r\n");
}

// ---------------------------------------------------------------------------
// SendFile

TEST(SendFile, EmptyFileSendsNothingAndTwoFilesAddUp)
{
    TempDir dir;
    const std::string small = Pattern(3000);
    const std::string large = Pattern(70000);  // more than one 65,536-byte piece
    WriteFile(dir.File("empty"), "");
    WriteFile(dir.File("small"), small);
    WriteFile(dir.File("large"), large);

    std::string got;
    ScriptedPeer peer;
    peer.Accept().ExpectBytes(small.size() + large.size(), &got);
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    int packets = 0;
    sock.OnPacketSent = [&](TObject*) { ++packets; };

    sock.SentBytes = 7;  // not reset by SendFile
    sock.SendFile(dir.File("empty"));
    EXPECT_EQ(sock.SentBytes, 7);
    EXPECT_EQ(packets, 0);

    sock.SentBytes = 0;
    sock.SendFile(dir.File("small"));
    sock.SendFile(dir.File("large"));
    EXPECT_EQ(sock.SentBytes, static_cast<int32_t>(small.size() + large.size()));
    EXPECT_GE(packets, 2);
    ExpectScriptDone(peer);
    EXPECT_EQ(got, small + large);
}

TEST(SendFile, MissingFileAndCancel)
{
    TempDir dir;
    WriteFile(dir.File("data"), "abc");
    ScriptedPeer peer;
    peer.Accept().ExpectClose();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    EXPECT_THROW(sock.SendFile(dir.File("missing")), EFOpenError);

    sock.Cancel();
    EXPECT_EQ(MessageOf<EAbortError>([&] { sock.SendFile(dir.File("data")); }), "Socket send aborted");
    EXPECT_FALSE(sock.Canceled);
    sock.Disconnect();
    ExpectScriptDone(peer);
    EXPECT_EQ(peer.Received(), "");
}

// ---------------------------------------------------------------------------
// Captures

TEST(CaptureFile, HundredThousandBytesUntilThePeerCloses)
{
    TempDir dir;
    const std::string data = Pattern(100000);
    WriteFile(dir.File("capture"), "old content that is replaced");
    ScriptedPeer peer;
    peer.Accept().Send(data).Close();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    int pieces = 0;
    sock.OnDataReceived = [&](TObject*) { ++pieces; };
    sock.CaptureFile(dir.File("capture"));
    EXPECT_EQ(sock.ReceivedBytes, 100000);
    EXPECT_GE(pieces, 1);
    EXPECT_EQ(ReadFile(dir.File("capture")), data);
    ExpectScriptDone(peer);
}

TEST(CaptureFile, TimeOutEndsItWithItsAbortAndKeepsWhatCame)
{
    TempDir dir;
    ScriptedPeer peer;
    peer.Accept().Send("partial").WaitForRelease();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    sock.TimeOut = 150;
    EXPECT_EQ(MessageOf<EAbortError>([&] { sock.CaptureFile(dir.File("capture")); }), "Socket send aborted");
    EXPECT_TRUE(sock.TimedOut);
    EXPECT_FALSE(sock.Canceled);
    EXPECT_EQ(ReadFile(dir.File("capture")), "partial");
    peer.Release();
}

TEST(CaptureStream, SizeTenOverPiecesOfFourAndTwenty)
{
    ScriptedPeer peer;
    peer.Accept().Send("1234").WaitForRelease().Send(std::string(20, 'x')).WaitForRelease();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    std::vector<int32_t> sizes;
    TMemoryStream stream;
    // The second piece is sent only once the first has been written.
    sock.OnDataReceived = [&](TObject*) {
        sizes.push_back(stream.Size());
        peer.Release();
    };
    sock.CaptureStream(stream, 10);
    EXPECT_EQ(sizes, (std::vector<int32_t>{4, 24}));
    EXPECT_EQ(stream.Size(), 24);
    EXPECT_EQ(sock.ReceivedBytes, 24);
    EXPECT_EQ(std::string(stream.Memory(), 24), "1234" + std::string(20, 'x'));
    ExpectScriptDone(peer);
}

TEST(CaptureStream, SizeMinusOneTakesExactlyOneReceive)
{
    ScriptedPeer peer;
    peer.Accept().WaitForRelease().Send("abc").WaitForRelease();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    TMemoryStream stream;
    sock.CaptureStream(stream, -1);  // nothing waits: returns at once
    EXPECT_EQ(stream.Size(), 0);
    EXPECT_EQ(sock.ReceivedBytes, 0);

    peer.Release();
    ASSERT_TRUE(WaitUntil([&] { return sock.DataAvailable(); }));
    stream.WriteBuffer("old", 3);  // a capture appends at the stream's position
    sock.CaptureStream(stream, -1);
    EXPECT_EQ(std::string(stream.Memory(), stream.Size()), "oldabc");
    EXPECT_EQ(sock.ReceivedBytes, 3);
    peer.Release();
    ExpectScriptDone(peer);
}

TEST(CaptureStream, EndsWhenTheSocketIsNoLongerConnected)
{
    ScriptedPeer peer;
    peer.Accept().ExpectClose();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    sock.Disconnect();
    TMemoryStream stream;
    sock.CaptureStream(stream, 10);  // 10057 on the fresh socket is no error here
    EXPECT_EQ(sock.GetLastErrorNo(), 10057);
    EXPECT_EQ(stream.Size(), 0);
    ExpectScriptDone(peer);
}

TEST(CaptureString, MinusOneCollectsEverythingUntilTheClose)
{
    ScriptedPeer peer;
    peer.Accept().Send("abc").WaitForRelease().Send("d").Close();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    std::vector<size_t> lengths;
    std::string text = "stale";
    sock.OnDataReceived = [&](TObject*) {
        lengths.push_back(text.size());
        peer.Release();
    };
    sock.CaptureString(text, -1);
    EXPECT_EQ(text, "abcd");
    EXPECT_EQ(lengths, (std::vector<size_t>{3, 4}));  // the single byte came as a piece of its own
    EXPECT_EQ(sock.ReceivedBytes, 4);
    ExpectScriptDone(peer);
}

TEST(CaptureString, SizeStopsOnceReachedAndCancelAborts)
{
    ScriptedPeer peer;
    peer.Accept().Send("0123456789").WaitForRelease();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    std::string text;
    sock.CaptureString(text, 4);  // one receive took all that waited
    EXPECT_EQ(text, "0123456789");

    sock.OnDataReceived = nullptr;
    CancelLater cancel(sock, 50);
    EXPECT_EQ(MessageOf<EAbortError>([&] { sock.CaptureString(text, 100); }), "Socket capture aborted");
    EXPECT_FALSE(sock.Canceled);
    EXPECT_EQ(text, "");
    peer.Release();
}

// ---------------------------------------------------------------------------
// FilterHeader, AppendFile, ClearInput

TEST(FilterHeader, CopiesTheHeaderAndItsBlankLine)
{
    TempDir dir;
    ScriptedPeer peer;
    peer.Accept().Send("A: 1\r\nB: 2\r\n").Wait(30).Send("C: 3\r\n\r\nbody\r\n").WaitForRelease();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    {
        TFileStream header(dir.File("header"), fmCreate);
        sock.FilterHeader(header);
    }
    EXPECT_EQ(ReadFile(dir.File("header")), "A: 1\r\nB: 2\r\nC: 3\r\n\r\n");
    EXPECT_EQ(sock.ReadLn(), "body\r\n");  // the body stays in the socket
    peer.Release();
}

TEST(FilterHeader, PeerClosingBeforeTheBlankLine)
{
    TempDir dir;
    ScriptedPeer peer;
    peer.Accept().Send("A: 1\nB: 2\r\n").Close();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    {
        TFileStream header(dir.File("header"), fmCreate);
        sock.FilterHeader(header);
    }
    EXPECT_EQ(ReadFile(dir.File("header")), "A: 1\nB: 2\r\n");
    ExpectScriptDone(peer);
}

TEST(AppendFile, TenBytesGrowToFifteenUntilThePeerCloses)
{
    TempDir dir;
    WriteFile(dir.File("log"), "0123456789");
    ScriptedPeer peer;
    peer.Accept().Wait(30).Send("abcde").Close();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    int disconnects = 0;
    sock.OnDisconnect = [&](TObject*) { ++disconnects; };
    CancelLater cancel(sock, 5000);  // a hang shows as an abort
    sock.AppendFile(dir.File("log"));
    EXPECT_EQ(ReadFile(dir.File("log")), "0123456789abcde");
    EXPECT_EQ(sock.ReceivedBytes, 5);
    EXPECT_FALSE(sock.Connected);
    EXPECT_EQ(disconnects, 1);
    ExpectScriptDone(peer);
}

// The close notice comes once; handled while data still waited it did
// nothing, so the receive that finds the close must end the append.
TEST(AppendFile, EndsAlsoWhenTheCloseNoticeWasSpentEarlier)
{
    TempDir dir;
    WriteFile(dir.File("log"), "");
    ScriptedPeer peer;
    peer.Accept().Send("late data").Close();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    ASSERT_TRUE(peer.WaitDone());
    // Let the read and close notices be handled while the data waits.
    bool readNotice = false;
    sock.OnReadReady = [&](TObject*) { readNotice = true; };
    ASSERT_TRUE(WaitUntil([&] { return readNotice; }));
    const int64_t until = TickCount() + 100;
    WaitUntil([&] { return TickCount() > until; });
    ASSERT_TRUE(sock.Connected);  // unread data kept the connection

    CancelLater cancel(sock, 5000);
    sock.AppendFile(dir.File("log"));
    EXPECT_EQ(ReadFile(dir.File("log")), "late data");
    EXPECT_FALSE(sock.Connected);
}

TEST(ClearInput, DiscardsWhatOneReceiveReturns)
{
    ScriptedPeer peer;
    peer.Accept().Send("junk\r\n").WaitForRelease().Send("next\r\n").WaitForRelease();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    ASSERT_TRUE(WaitUntil([&] { return sock.DataAvailable(); }));
    sock.ClearInput();
    EXPECT_FALSE(sock.DataAvailable());
    sock.ClearInput();  // nothing waiting: the would-block is ignored
    peer.Release();
    EXPECT_EQ(sock.ReadLn(), "next\r\n");
    peer.Release();

    sock.Disconnect();
    EXPECT_NO_THROW(sock.ClearInput());  // not connected: ignored as well
}
