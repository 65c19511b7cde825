// Replies of command/reply protocols: the code and continuation rules, the
// reader in both extents, and the command/reply step that returns the reply.

#include "tests/net/NetTest.h"

using namespace nettest;
using testsupport::ScriptedPeer;
using Lines = std::vector<std::string>;

TEST(ReplyLine, CodeAndContinuationRules)
{
    struct Case {
        const char* line;
        int16_t code;
        bool continues;
    } cases[] = {
        {"250 ok\r\n", 250, false},
        {"250-first\r\n", 250, true},
        {" indented\r\n", 0, true},
        {"abc-\r\n", 0, true},  // the hyphen's place counts, not the digits before it
        {"25-x\r\n", 25, false},
        {"250", 250, false},
        {"", 0, false},
        {"hello 250\r\n", 0, false},
        {"32767 ok", 32767, false},
        {"00000000012345", 1, false},  // ten digits at most
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReplyCodeOf(c.line), c.code) << c.line;
        EXPECT_EQ(ContinuesReply(c.line), c.continues) << c.line;
    }
    EXPECT_THROW(ReplyCodeOf("32768 no"), ERangeError);
}

namespace {

struct ReadCase {
    const char* name;
    const char* sent;  // then the peer closes
    TReplyExtent extent;
    Lines lines;
    int16_t code;
    bool closed;
    const char* rest;  // what the next ReadLn returns
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class ReadReplyCase : public ::testing::TestWithParam<ReadCase> {};

}  // namespace

TEST_P(ReadReplyCase, ReadsTheLinesOfOneReply)
{
    const ReadCase& c = GetParam();
    ScriptedPeer peer;
    peer.Accept().Send(c.sent).Close();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    const TReply reply = sock.ReadReply(c.extent);
    EXPECT_EQ(reply.Lines, c.lines);
    EXPECT_EQ(reply.Code, c.code);
    EXPECT_EQ(reply.Closed, c.closed);
    EXPECT_EQ(reply.First(), c.lines.empty() ? "" : c.lines.front());
    EXPECT_EQ(reply.Text(), c.lines.empty() ? "" : c.lines.back());
    EXPECT_EQ(sock.ReadLn(), c.rest);
    ExpectScriptDone(peer);
}

INSTANTIATE_TEST_SUITE_P(
    ReadReply, ReadReplyCase,
    ::testing::Values(
        ReadCase{"FirstLineLeavesTheRest", "250-a\r\n250 b\r\nX\r\n", reFirstLine, {"250-a\r\n"}, 250, false,
                 "250 b\r\n"},
        ReadCase{"WholeReadsEveryContinuation", "250-a\r\n 250 b\r\n250 c\r\nX\r\n", reWhole,
                 {"250-a\r\n", " 250 b\r\n", "250 c\r\n"}, 250, false, "X\r\n"},
        ReadCase{"WholeOfASingleLine", "221 bye\r\nX\r\n", reWhole, {"221 bye\r\n"}, 221, false, "X\r\n"},
        ReadCase{"CodeOfTheFirstLine", "220-a\r\n554 b\r\n", reWhole, {"220-a\r\n", "554 b\r\n"}, 220, false, ""},
        ReadCase{"ClosedBeforeAnyLine", "", reWhole, {}, 0, true, ""},
        ReadCase{"ClosedInTheMiddle", "250-a\r\n250-b\r\n25", reWhole, {"250-a\r\n", "250-b\r\n"}, 250, true,
                 ""},
        ReadCase{"NoDigits", "hello\r\n", reWhole, {"hello\r\n"}, 0, false, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadReply, ContinuationLinesAreLimited)
{
    auto replyWith = [](size_t continuations) {
        std::string text = "250-first\r\n";
        for (size_t i = 1; i < continuations; ++i)
            text += "250-more\r\n";
        return text + "250 last\r\n";
    };
    ScriptedPeer peer;
    peer.Accept().Send(replyWith(MaxContinuationLines)).Send(replyWith(MaxContinuationLines + 1)).Close();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    const TReply reply = sock.ReadReply(reWhole);
    EXPECT_EQ(reply.Lines.size(), MaxContinuationLines + 1);
    EXPECT_EQ(reply.Text(), "250 last\r\n");
    EXPECT_EQ(MessageOf<ESockError>([&] { sock.ReadReply(reWhole); }),
              "Reply too long: more than 1000 continuation lines");
    ExpectScriptDone(peer);
}

TEST(Exchange, ReturnsTheReplyAndSetsLastReplyAndReplyCode)
{
    ScriptedPeer peer;
    peer.Accept()
        .Expect("EHLO x").Send("250-mail.test\r\n250-SIZE 100\r\n250 HELP\r\n")
        .Expect("NOOP").Send("451-first\r\n451 second\r\n")
        .Expect("QUIT").Close();
    peer.Start();
    TestSock sock;
    ConnectTo(sock, peer);
    sock.ReportLevel = 1;
    Lines statuses;
    sock.OnStatus = [&](TComponent*, const std::string& Status) { statuses.push_back(Status); };

    TReply reply = sock.Exchange("EHLO x", reWhole);
    EXPECT_EQ(reply.Lines, Lines({"250-mail.test\r\n", "250-SIZE 100\r\n", "250 HELP\r\n"}));
    EXPECT_EQ(sock.LastReply, "250-mail.test\r\n");
    EXPECT_EQ(sock.ReplyCode, 250);

    // One line only: the second stays for the caller.
    reply = sock.Exchange("NOOP", reFirstLine);
    EXPECT_EQ(reply.Lines, Lines({"451-first\r\n"}));
    EXPECT_EQ(sock.ReplyCode, 451);
    EXPECT_EQ(sock.ReadLn(), "451 second\r\n");

    reply = sock.Exchange("QUIT", reWhole);
    EXPECT_TRUE(reply.Closed);
    EXPECT_EQ(sock.LastReply, "");
    EXPECT_EQ(sock.ReplyCode, 0);
    // Only first lines are reported.
    EXPECT_EQ(statuses, Lines({"250-mail.test\r\n", "451-first\r\n"}));
    ExpectScriptDone(peer);
}
