// Replies: every one read to its last line, refusals carry the server's
// whole reply, a reply without a proper code is never an acceptance, and a
// failure inside the data closes the connection.

#include <algorithm>

#include "tests/smtp/SmtpTest.h"

using namespace smtptest;
using testsupport::ScriptedPeer;

namespace {

// What the failing call raised: its message and the reply it carries.
struct Raised {
    std::string message;
    TReply reply;
    bool smtpError = false;
};

template <typename F>
Raised Catch(F&& f)
{
    try {
        f();
    } catch (const ESmtpError& e) {
        return {e.Message(), e.Reply(), true};
    } catch (const Exception& e) {
        return {e.Message(), TReply{}, false};
    }
    return {};
}

}  // namespace

TEST(SmtpError, CarriesTheRefusingReply)
{
    struct Case {
        const char* what;
        // Scripts the server after the TCP connection; the test's own steps
        // run on a connected component unless connect is the failing step.
        std::function<void(ScriptedPeer&)> script;
        bool failsInConnect;
        const char* message;
        int16_t code;
        Lines lines;
        bool closed;
    } cases[] = {
        {"multi-line greeting refused",
         [](ScriptedPeer& p) { p.Send("421-busy\r\n421 try later\r\n").Expect("QUIT").SendLine("221 bye"); },
         true, "421-busy\n421 try later", 421, {"421-busy\r\n", "421 try later\r\n"}, false},
        {"HELO refused",
         [](ScriptedPeer& p) {
             p.SendLine("220 ready").Expect("HELO client.test").Send("550-no\r\n550 not you\r\n");
             p.Expect("QUIT").SendLine("221 bye");
         },
         true, "Authentication failed\n550-no\n550 not you", 550, {"550-no\r\n", "550 not you\r\n"}, false},
        {"sender refused",
         [](ScriptedPeer& p) {
             Greet(p).Expect("RSET").SendLine("250 ok").Expect("MAIL FROM:<" + kSender + ">");
             p.SendLine("451 try again later");
         },
         false, "451 try again later", 451, {"451 try again later\r\n"}, false},
        {"message refused",
         [](ScriptedPeer& p) { AcceptEnvelope(Greet(p)).ExpectUntil("\r\n.\r\n").SendLine("552 too big"); },
         false, "552 too big", 552, {"552 too big\r\n"}, false},
        {"closed instead of answering",
         [](ScriptedPeer& p) { AcceptEnvelope(Greet(p)).ExpectUntil("\r\n.\r\n").Close(); },
         false, "Connection closed by server", 0, {}, true},
    };
    for (const auto& c : cases) {
        ScriptedPeer peer;  // its first step accepts the client
        c.script(peer);
        peer.Start();
        TestSmtp smtp;
        smtp.TimeOut = 5000;  // a broken script fails instead of hanging
        Address(*smtp.PostMessage);
        const Raised raised = Catch([&] {
            ConnectTo(smtp, peer);
            ASSERT_FALSE(c.failsInConnect) << c.what;
            smtp.SendMail();
        });
        EXPECT_TRUE(raised.smtpError) << c.what;
        EXPECT_EQ(raised.message, c.message) << c.what;
        EXPECT_EQ(raised.reply.Code, c.code) << c.what;
        EXPECT_EQ(raised.reply.Lines, c.lines) << c.what;
        EXPECT_EQ(raised.reply.Closed, c.closed) << c.what;
        ExpectScriptDone(peer);
    }
}

TEST(SmtpError, QuitRefusalAndTheAccessors)
{
    ScriptedPeer peer;
    Greet(peer).Expect("QUIT").SendLine("500 what").ExpectClose();
    peer.Start();
    TestSmtp smtp;
    ConnectTo(smtp, peer);
    try {
        smtp.Disconnect();
        ADD_FAILURE() << "QUIT refusal not raised";
    } catch (const ESmtpError& e) {
        EXPECT_EQ(std::string(e.what()), "500 what");
        EXPECT_EQ(e.Code(), 500);
        EXPECT_EQ(e.Lines(), Lines({"500 what\r\n"}));
    }
    EXPECT_FALSE(smtp.Connected);
    ExpectScriptDone(peer);
}

TEST(SmtpReplies, EveryReplyIsReadToItsLastLine)
{
    ScriptedPeer peer;
    peer.Accept().Send("220-mail.test\r\n220-Postfix\r\n220 ready\r\n");
    peer.Expect("HELO client.test").Send("250-mail.test\r\n250 PIPELINING\r\n");
    peer.Expect("RSET").Send("250-2.0.0\r\n250 Ok\r\n");
    peer.Expect("MAIL FROM:<" + kSender + ">").Send("250-2.1.0\r\n250 Ok\r\n");
    peer.Expect("RCPT TO:<nobody@example.test>").Send("550-5.1.1 <nobody@example.test>:\r\n550 5.1.1 unknown\r\n");
    peer.Expect("RCPT TO:<a@example.test>").Send("250-2.1.5\r\n250 Ok\r\n");
    peer.Expect("DATA").Send("354-End data with\r\n354 <CR><LF>.<CR><LF>\r\n");
    peer.ExpectUntil("\r\n.\r\n").Send("250-2.0.0 Ok\r\n250 queued as 1234\r\n");
    peer.Expect("VRFY a").Send("252-2.0.0\r\n252 cannot verify\r\n");
    peer.Expect("EXPN list").Send("250-a@example.test\r\n250 b@example.test\r\n");
    peer.Expect("QUIT").Send("221-2.0.0\r\n221 Bye\r\n").ExpectClose();
    peer.Start();

    Session session(peer);
    auto& [smtp, trace] = session;
    std::string reason;
    smtp.OnRecipientNotFound = [&](const std::string&) { reason = ReplyText(smtp.LastRecipientReply); };
    TPostMessage& m = *smtp.PostMessage;
    m.FromAddress = kSender;
    m.SetLinesTo(TStringList{"nobody@example.test", "a@example.test"});
    smtp.SendMail();
    EXPECT_EQ(reason, "550-5.1.1 <nobody@example.test>:\n550 5.1.1 unknown");
    EXPECT_FALSE(smtp.Verify("a"));
    EXPECT_TRUE(smtp.ExpandList("list"));
    smtp.Disconnect();
    EXPECT_EQ(smtp.LastReply, "221-2.0.0\r\n");
    ExpectScriptDone(peer);
}

TEST(SmtpReplies, RepliesWithoutAProperCodeAreFailures)
{
    struct Case {
        const char* command;  // the one answered badly
        const char* reply;
        const char* message;
    } cases[] = {
        {"RSET", "ok", "Reply without a valid code: ok"},
        {"MAIL", "2500 ok", "Reply without a valid code: 2500 ok"},
        {"DATA", "go ahead", "Reply without a valid code: go ahead"},
        {"DATA", "250 ok", "250 ok"},  // only 354 opens the data
        {".", "message not queued", "Reply without a valid code: message not queued"},
        {".", "600 out of range", "Reply without a valid code: 600 out of range"},
        {".", "161 odd", "Reply without a valid code: 161 odd"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.command) + " answered " + c.reply);
        const std::string cmd = c.command;
        ScriptedPeer peer;
        Greet(peer).Expect("RSET").SendLine(cmd == "RSET" ? c.reply : "250 ok");
        if (cmd != "RSET") {
            peer.Expect("MAIL FROM:<" + kSender + ">").SendLine(cmd == "MAIL" ? c.reply : "250 ok");
            if (cmd != "MAIL") {
                peer.Expect("RCPT TO:<a@example.test>").SendLine("250 ok");
                peer.Expect("DATA").SendLine(cmd == "DATA" ? c.reply : "354 go");
                if (cmd == ".")
                    peer.ExpectUntil("\r\n.\r\n").SendLine(c.reply);
            }
        }
        // Nothing of the text follows a DATA that was not answered 354.
        peer.Expect("QUIT").SendLine("221 bye").ExpectClose();
        peer.Start();
        Session session(peer);
        auto& [smtp, trace] = session;
        Address(*smtp.PostMessage);
        EXPECT_EQ(Catch([&] { smtp.SendMail(); }).message, c.message);
        EXPECT_EQ(std::count(trace.events.begin(), trace.events.end(), "success"), 0);
        EXPECT_EQ(smtp.PostMessage->ToAddress->Count(), 1) << "the lists stay for a message not sent";
        smtp.Disconnect();
        ExpectScriptDone(peer);
    }
}

TEST(SmtpReplies, AFailureInsideTheDataClosesTheConnection)
{
    ScriptedPeer peer;
    AcceptEnvelope(Greet(peer)).ExpectUntil("\r\n.\r\n").SendLine("250 queued");
    // The second message: a large text that the client gives up in the middle.
    AcceptEnvelope(peer).ExpectUntil("Subject: ").WaitForRelease();
    peer.Start();
    Session session(peer);
    auto& [smtp, trace] = session;
    TPostMessage& m = *smtp.PostMessage;
    Address(m);
    // A header block over 64 KiB goes out whole (folded at its blanks).
    for (int i = 0; i < 10000; ++i)
        m.Subject += "sssssssss ";
    smtp.ClearParams = false;
    smtp.SendMail();
    EXPECT_TRUE(smtp.Connected);
    m.SetLinesBody(TStringList{std::string(900, 'b')});
    for (int i = 0; i < 12; ++i)
        m.Body->AddStrings(TStringList(*m.Body));  // 4096 lines of 900 octets
    smtp.OnPacketSent = [&](TObject*) { smtp.Abort(); };
    EXPECT_THROW(smtp.SendMail(), EAbortError);
    EXPECT_FALSE(smtp.Connected) << "the server would read the next commands as message text";
    EXPECT_EQ(peer.Failure(), "");
}
