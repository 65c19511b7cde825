// Refusals carry the server's reply: the message stays the reply line (or
// the fixed text), and the code and lines travel with it.

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
         true, "421 try later\r\n", 421, {"421-busy\r\n", "421 try later\r\n"}, false},
        {"HELO refused",
         [](ScriptedPeer& p) {
             p.SendLine("220 ready").Expect("HELO client.test").Send("550-no\r\n550 not you\r\n");
             p.Expect("QUIT").SendLine("221 bye");
         },
         true, "Authentication failed", 550, {"550-no\r\n", "550 not you\r\n"}, false},
        {"sender refused",
         [](ScriptedPeer& p) {
             Greet(p).Expect("RSET").SendLine("250 ok").Expect("MAIL FROM:<" + kSender + ">");
             p.SendLine("451 try again later");
         },
         false, "451 try again later\r\n", 451, {"451 try again later\r\n"}, false},
        {"message refused",
         [](ScriptedPeer& p) { AcceptEnvelope(Greet(p)).ExpectUntil("\r\n.\r\n").SendLine("552 too big"); },
         false, "552 too big\r\n", 552, {"552 too big\r\n"}, false},
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
        EXPECT_EQ(std::string(e.what()), "500 what\r\n");
        EXPECT_EQ(e.Code(), 500);
        EXPECT_EQ(e.Lines(), Lines({"500 what\r\n"}));
    }
    EXPECT_FALSE(smtp.Connected);
    ExpectScriptDone(peer);
}
