// The SMTP conversation on the wire, against a scripted loopback server:
// greeting and HELO, the mail transaction, QUIT, VRFY and EXPN.

#include <netdb.h>
#include <unistd.h>

#include <algorithm>

#include "tests/smtp/SmtpTest.h"

using namespace smtptest;
using testsupport::ScriptedPeer;

namespace {

void FillMessage(TPostMessage& m)
{
    FillAddresses(m);
    m.Subject = "Greetings";
    m.SetLinesBody(TStringList{"first", ".", "", "last"});
}

const char* const kData =
    "From: Taro <taro@example.test>\r\n"
    "To: a@example.test, Hanako <hanako@example.test>\r\n"
    "CC: c@example.test\r\n"
    "Subject: Greetings\r\n"
    "Mime-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=us-ascii\r\n"
    "\r\n"
    "\r\n"
    "first\r\n"
    "..\r\n"
    "\r\n"
    "last\r\n"
    ".\r\n";

}  // namespace

TEST(SmtpSendMail, OneTransactionOnTheWire)
{
    std::string data;
    ScriptedPeer peer;
    AcceptMail(Greet(peer), {"a@example.test", "hanako@example.test", "c@example.test", "hidden@example.test"}, &data)
        .Expect("QUIT").SendLine("221 bye")
        .ExpectClose();
    peer.Start();

    Session session(peer);
    auto& [smtp, trace] = session;
    EXPECT_EQ(smtp.ReplyCode, 250);
    FillMessage(*smtp.PostMessage);
    // OnSuccess comes last: the busy flag is clear and the lists are emptied.
    smtp.OnSuccess = [&, recorded = smtp.OnSuccess](TObject* sender) {
        recorded(sender);
        EXPECT_FALSE(smtp.Busy);
        EXPECT_EQ(smtp.PostMessage->ToAddress->Count(), 0);
    };
    smtp.SendMail();
    EXPECT_EQ(data + "\r\n.\r\n", kData);
    EXPECT_EQ(smtp.LastReply, "250 queued\r\n");
    // Accepted: the recipient and attachment lists are emptied, the rest stays.
    const TPostMessage& m = *smtp.PostMessage;
    EXPECT_EQ(m.ToAddress->Count() + m.ToCarbonCopy->Count() + m.ToBlindCarbonCopy->Count(), 0);
    EXPECT_EQ(m.Body->Count(), 4);
    EXPECT_EQ(m.Subject, "Greetings");
    EXPECT_FALSE(smtp.Busy);
    smtp.Disconnect();
    EXPECT_FALSE(smtp.Connected);
    EXPECT_EQ(trace.events, Lines({"connect", "start", "success", "disconnect"}));
    ExpectScriptDone(peer);
}

TEST(SmtpSendMail, EmptyBodyAndKeptListsWithoutClearParams)
{
    std::string data;
    ScriptedPeer peer;
    AcceptMail(Greet(peer), {"a@example.test"}, &data);
    peer.Start();
    Session session(peer);
    TestSmtp& smtp = session.smtp;
    smtp.ClearParams = false;
    Address(*smtp.PostMessage);
    smtp.SendMail();
    EXPECT_EQ(data + "\r\n.\r\n",
              "From: <taro@example.test>\r\nTo: a@example.test\r\nMime-Version: 1.0\r\n"
              "Content-Type: text/plain; charset=us-ascii\r\n\r\n\r\n.\r\n");
    EXPECT_EQ(smtp.PostMessage->ToAddress->Count(), 1);
    ExpectScriptDone(peer);
}

TEST(SmtpConnect, ContinuationLinesAreReadCompletely)
{
    ScriptedPeer peer;
    peer.Accept()
        .Send("220-mail.test first\r\n220-second\r\n 220 indented\r\n220 last\r\n")
        .Expect("HELO client.test")
        .Send("250-mail.test\r\n250-PIPELINING\r\n250 8BITMIME\r\n")
        .Expect("QUIT").SendLine("221 bye");
    peer.Start();
    Session session(peer);
    auto& [smtp, trace] = session;
    EXPECT_EQ(smtp.ReplyCode, 250);
    EXPECT_EQ(trace.events, Lines({"connect"}));
    // Nothing of the replies is left over: QUIT gets its own answer.
    smtp.Disconnect();
    EXPECT_EQ(smtp.LastReply, "221 bye\r\n");
    ExpectScriptDone(peer);
}

TEST(SmtpConnect, RefusalsSayQuitAndClose)
{
    struct Case {
        const char* what;
        const char* greeting;
        const char* heloReply;  // nullptr: no HELO expected
        const char* error;
    } cases[] = {
        {"greeting refused", "554 no service here\r\n", nullptr, "554 no service here"},
        {"multi-line greeting refused", "421-busy\r\n421 try later\r\n", nullptr, "421-busy\n421 try later"},
        {"HELO refused", "220 ready\r\n", "501 bad name\r\n", "Authentication failed\n501 bad name"},
        {"HELO answered 300", "220 ready\r\n", "300 odd\r\n", "Authentication failed\n300 odd"},
        {"HELO refused in lines", "220 ready\r\n", "504-5.5.2 <client.test>:\r\n504 need fully-qualified hostname\r\n",
         "Authentication failed\n504-5.5.2 <client.test>:\n504 need fully-qualified hostname"},
        {"greeting without a code", "mail.test ready\r\n", nullptr, "Reply without a valid code: mail.test ready"},
        {"HELO answered without a code", "220 ready\r\n", "hello\r\n", "Reply without a valid code: hello"},
    };
    for (const auto& c : cases) {
        ScriptedPeer peer;
        peer.Accept().Send(c.greeting);
        if (c.heloReply)
            peer.Expect("HELO client.test").Send(c.heloReply);
        peer.Expect("QUIT").SendLine("221 bye").ExpectClose();
        peer.Start();
        TestSmtp smtp;
        Trace trace;
        trace.Attach(smtp);
        EXPECT_EQ(MessageOf<Exception>([&] { ConnectTo(smtp, peer); }), c.error) << c.what;
        EXPECT_FALSE(smtp.Connected) << c.what;
        EXPECT_FALSE(smtp.Busy) << c.what;
        EXPECT_EQ(trace.events, Lines({"disconnect"})) << c.what;
        ExpectScriptDone(peer);
    }
}

TEST(SmtpConnect, FailingQuitReplacesTheFirstFailure)
{
    ScriptedPeer peer;
    peer.Accept().SendLine("554 go away").Expect("QUIT").SendLine("500 what").ExpectClose();
    peer.Start();
    TestSmtp smtp;
    EXPECT_EQ(MessageOf<Exception>([&] { ConnectTo(smtp, peer); }), "500 what");
    EXPECT_FALSE(smtp.Connected);
    ExpectScriptDone(peer);
}

TEST(SmtpConnect, AuthenticationFailedGetsOneRetry)
{
    // The handler changes UserID; the retry sends the new one.
    {
        ScriptedPeer peer;
        peer.Accept().SendLine("220 ready")
            .Expect("HELO wrong.test").SendLine("550 who are you")
            .Expect("HELO right.test").SendLine("250 welcome");
        peer.Start();
        TestSmtp smtp;
        Trace trace;
        trace.Attach(smtp);
        int calls = 0;
        smtp.OnAuthenticationFailed = [&](bool& handled) {
            EXPECT_FALSE(handled);
            ++calls;
            smtp.UserID = "right.test";
            handled = true;
        };
        ConnectTo(smtp, peer, "wrong.test");
        EXPECT_EQ(calls, 1);
        EXPECT_TRUE(smtp.Connected);
        EXPECT_EQ(trace.events, Lines({"connect"}));
        ExpectScriptDone(peer);
    }
    // A second refusal is final, without a second call.
    {
        ScriptedPeer peer;
        peer.Accept().SendLine("220 ready")
            .Expect("HELO a.test").SendLine("550 no")
            .Expect("HELO b.test").SendLine("550 still no")
            .Expect("QUIT").SendLine("221 bye").ExpectClose();
        peer.Start();
        TestSmtp smtp;
        int calls = 0;
        smtp.OnAuthenticationFailed = [&](bool& handled) {
            ++calls;
            smtp.UserID = "b.test";
            handled = true;
        };
        EXPECT_EQ(MessageOf<Exception>([&] { ConnectTo(smtp, peer, "a.test"); }), "Authentication failed\n550 still no");
        EXPECT_EQ(calls, 1);
        ExpectScriptDone(peer);
    }
    // A handler that leaves Handled false: no retry.
    {
        ScriptedPeer peer;
        peer.Accept().SendLine("220 ready")
            .Expect("HELO a.test").SendLine("501 no")
            .Expect("QUIT").SendLine("221 bye").ExpectClose();
        peer.Start();
        TestSmtp smtp;
        int calls = 0;
        smtp.OnAuthenticationFailed = [&](bool&) { ++calls; };
        EXPECT_EQ(MessageOf<Exception>([&] { ConnectTo(smtp, peer, "a.test"); }), "Authentication failed\n501 no");
        EXPECT_EQ(calls, 1);
        ExpectScriptDone(peer);
    }
}

TEST(SmtpConnect, EmptyUserIdSaysHeloWithTheMachinesName)
{
    // The machine's full name, or the address literal when it has no domain.
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    const hostent* entry = ::gethostbyname(host);
    std::string own = entry && entry->h_name ? entry->h_name : host;
    if (own.find('.') == std::string::npos)
        own = "[127.0.0.1]";
    ScriptedPeer peer;
    Greet(peer, own);
    peer.Start();
    TestSmtp smtp;
    ConnectTo(smtp, peer, "");
    EXPECT_TRUE(smtp.Connected);
    ExpectScriptDone(peer);
}

TEST(SmtpConnect, ServerThatClosesInsteadOfGreetingIsAFailure)
{
    ScriptedPeer peer;
    // The pause lets the connect complete first: a close handled in the same
    // round of events as the connect leaves the socket layer's wait unended.
    peer.Accept().Wait(200).Close();
    peer.Start();
    TestSmtp smtp;
    Trace trace;
    trace.Attach(smtp);
    const std::string error = [&] {
        try {
            ConnectTo(smtp, peer);
        } catch (const Exception& e) {
            return e.Message();
        }
        return std::string();
    }();
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(smtp.Connected);
    EXPECT_EQ(std::count(trace.events.begin(), trace.events.end(), "connect"), 0);
    ExpectScriptDone(peer);
}

TEST(SmtpDisconnect, QuitReplyLimit)
{
    for (const char* reply : {"339 accepted\r\n", "340 refused\r\n"}) {
        ScriptedPeer peer;
        Greet(peer).Expect("QUIT").Send(reply).ExpectClose();
        peer.Start();
        Session session(peer);
        auto& [smtp, trace] = session;
        const bool refused = reply[2] == '0';
        EXPECT_EQ(MessageOf<Exception>([&] { smtp.Disconnect(); }), refused ? std::string(reply, 11) : "");
        EXPECT_FALSE(smtp.Connected);
        EXPECT_EQ(trace.events, Lines({"connect", "disconnect"}));
        ExpectScriptDone(peer);
    }
}

TEST(SmtpDisconnect, AfterAbortStillSaysQuit)
{
    ScriptedPeer peer;
    Greet(peer).Expect("QUIT").SendLine("221 bye").ExpectClose();
    peer.Start();
    TestSmtp smtp;
    ConnectTo(smtp, peer);
    smtp.Abort();
    EXPECT_TRUE(smtp.Canceled);
    smtp.Disconnect();
    EXPECT_EQ(smtp.LastReply, "221 bye\r\n");
    ExpectScriptDone(peer);
}

TEST(SmtpSendMail, HeaderIncomplete)
{
    // Sender and recipients missing; the handler fills the sender only: the
    // second check fails without a second call.
    {
        ScriptedPeer peer;
        Greet(peer);
        peer.Start();
        TestSmtp smtp;
        ConnectTo(smtp, peer);
        std::vector<int> types;
        smtp.OnHeaderIncomplete = [&](bool& handled, int hiType) {
            EXPECT_FALSE(handled);
            types.push_back(hiType);
            smtp.PostMessage->FromAddress = kSender;
            handled = true;
        };
        EXPECT_EQ(MessageOf<Exception>([&] { smtp.SendMail(); }), "Incomplete Header");
        EXPECT_EQ(types, std::vector<int>({1}));
        EXPECT_FALSE(smtp.Busy);
        ExpectScriptDone(peer);
        EXPECT_EQ(peer.Received(), "HELO client.test\r\n") << "nothing sent";
    }
    // Recipient missing; the handler adds one: the envelope gets it, the
    // header lines assembled before the handler ran do not.
    {
        std::string data;
        ScriptedPeer peer;
        AcceptMail(Greet(peer), {"late@example.test"}, &data);
        peer.Start();
        TestSmtp smtp;
        ConnectTo(smtp, peer);
        smtp.PostMessage->FromAddress = kSender;
        std::vector<int> types;
        smtp.OnHeaderIncomplete = [&](bool& handled, int hiType) {
            types.push_back(hiType);
            smtp.PostMessage->ToAddress->Add("late@example.test");
            handled = true;
        };
        smtp.SendMail();
        EXPECT_EQ(types, std::vector<int>({2}));
        EXPECT_EQ(data.find("To:"), std::string::npos) << data;
        ExpectScriptDone(peer);
    }
    // No handler, or one that leaves handled false.
    for (bool assigned : {false, true}) {
        TestSmtp smtp;
        smtp.PostMessage->ToAddress->Add("a@example.test");
        int calls = 0;
        if (assigned)
            smtp.OnHeaderIncomplete = [&](bool&, int) { ++calls; };
        // Seen as connected, so the check after the connection check runs;
        // it fails before anything would be sent.
        smtp.Connected = true;
        EXPECT_EQ(MessageOf<Exception>([&] { smtp.SendMail(); }), "Incomplete Header");
        smtp.Connected = false;
        EXPECT_EQ(calls, assigned ? 1 : 0);
    }
}

TEST(SmtpSendMail, RecipientsRefusedAndAccepted)
{
    ScriptedPeer peer;
    Greet(peer)
        .Expect("RSET").SendLine("250 ok")
        .Expect("MAIL FROM:<taro@example.test>").SendLine("250 ok")
        .Expect("RCPT TO:<a@example.test>").SendLine("300 odd but accepted")
        .Expect("RCPT TO:<bob@example.test>").SendLine("550 no such user")
        .Expect("RCPT TO:<c@example.test>").SendLine("301 refused")
        .Expect("DATA").SendLine("354 go")
        .ExpectUntil("\r\n.\r\n").SendLine("250 queued");
    peer.Start();
    Session session(peer);
    auto& [smtp, trace] = session;
    TPostMessage& m = *smtp.PostMessage;
    m.FromAddress = kSender;
    m.SetLinesTo(TStringList{"a@example.test", "Nobody <>", ""});  // the last two give no address
    m.SetLinesCC(TStringList{"Bob <bob@example.test>"});
    m.SetLinesBCC(TStringList{"c@example.test"});
    smtp.SendMail();
    EXPECT_EQ(trace.events, Lines({"connect", "start", "not found Bob <bob@example.test>",
                                   "not found c@example.test", "success"}));
    ExpectScriptDone(peer);
}

TEST(SmtpSendMail, RefusalsKeepTheListsAndTheConnection)
{
    std::string data;
    ScriptedPeer peer;
    Greet(peer)
        // Every recipient refused, then DATA refused.
        .Expect("RSET").SendLine("250 ok")
        .Expect("MAIL FROM:<taro@example.test>").SendLine("250 ok")
        .Expect("RCPT TO:<a@example.test>").SendLine("550 no")
        .Expect("RCPT TO:<b@example.test>").SendLine("550 no")
        .Expect("DATA").SendLine("554 no valid recipients");
    const Lines both = {"a@example.test", "b@example.test"};
    // The next send starts again with RSET; the message is refused after its text.
    AcceptEnvelope(peer, both).ExpectUntil("\r\n.\r\n").SendLine("552 too big")
        // RSET and MAIL FROM refusals.
        .Expect("RSET").SendLine("421 closing soon")
        .Expect("RSET").SendLine("250 ok")
        .Expect("MAIL FROM:<taro@example.test>").SendLine("553 bad sender");
    // Closed instead of answering the final dot.
    AcceptEnvelope(peer, both).ExpectUntil("\r\n.\r\n").Close();
    peer.Start();
    Session session(peer);
    auto& [smtp, trace] = session;
    trace.events.clear();
    TPostMessage& m = *smtp.PostMessage;
    m.FromAddress = kSender;
    m.SetLinesTo(TStringList{"a@example.test", "b@example.test"});

    EXPECT_EQ(MessageOf<Exception>([&] { smtp.SendMail(); }), "554 no valid recipients");
    EXPECT_EQ(trace.events, Lines({"start", "not found a@example.test", "not found b@example.test"}));
    trace.events.clear();
    EXPECT_EQ(MessageOf<Exception>([&] { smtp.SendMail(); }), "552 too big");
    EXPECT_EQ(trace.events, Lines({"start", "failure"}));
    EXPECT_EQ(MessageOf<Exception>([&] { smtp.SendMail(); }), "421 closing soon");
    EXPECT_EQ(MessageOf<Exception>([&] { smtp.SendMail(); }), "553 bad sender");
    EXPECT_TRUE(smtp.Connected);
    trace.events.clear();
    EXPECT_EQ(MessageOf<Exception>([&] { smtp.SendMail(); }), "Connection closed by server");
    // Neither success nor a refusal (the socket layer may report the close).
    EXPECT_EQ(std::count(trace.events.begin(), trace.events.end(), "success"), 0);
    EXPECT_EQ(std::count(trace.events.begin(), trace.events.end(), "failure"), 0);
    EXPECT_EQ(m.ToAddress->Count(), 2);
    EXPECT_FALSE(smtp.Busy);
    ExpectScriptDone(peer);
}

TEST(SmtpSendMail, ReenteredFromInsideARunningSendDoesNothing)
{
    ScriptedPeer peer;
    Greet(peer)
        .Expect("RSET").Wait(100).SendLine("250 ok")
        .Expect("MAIL FROM:<taro@example.test>").SendLine("250 ok")
        .Expect("RCPT TO:<a@example.test>").SendLine("250 ok")
        .Expect("DATA").SendLine("354 go")
        .ExpectUntil("\r\n.\r\n").SendLine("250 queued")
        .Expect("QUIT").SendLine("221 bye");
    peer.Start();
    Session session(peer);
    auto& [smtp, trace] = session;
    Address(*smtp.PostMessage);
    bool innerRan = false;
    bool expandResult = true;
    // Runs inside the wait for the RSET reply, as a user's command would.
    smtp.OnSendStart = [&](TObject*) {
        trace.events.push_back("start");
        QTimer::singleShot(0, [&] {
            smtp.SendMail();
            expandResult = smtp.ExpandList("staff");
            innerRan = true;
        });
    };
    smtp.SendMail();
    EXPECT_TRUE(innerRan);
    EXPECT_FALSE(expandResult);
    EXPECT_EQ(trace.events, Lines({"connect", "start", "success"}));
    smtp.Disconnect();
    ExpectScriptDone(peer);
}

TEST(SmtpSendMail, ConnectionRequiredGetsItsChance)
{
    ScriptedPeer peer;
    AcceptMail(Greet(peer));
    peer.Start();
    TestSmtp smtp;
    Trace trace;
    trace.Attach(smtp);
    Address(*smtp.PostMessage);

    EXPECT_EQ(MessageOf<Exception>([&] { smtp.SendMail(); }), "Not Connected");
    EXPECT_EQ(smtp.PostMessage->ToAddress->Count(), 1);

    // A nested Connect leaves the busy flag to the send that runs it.
    bool busyInside = false;
    smtp.OnConnectionRequired = [&](bool& handled) {
        ConnectTo(smtp, peer);
        busyInside = smtp.Busy;
        handled = true;
    };
    smtp.SendMail();
    EXPECT_TRUE(busyInside);
    EXPECT_FALSE(smtp.Busy);
    EXPECT_EQ(trace.events, Lines({"connect", "start", "success"}));
    ExpectScriptDone(peer);
}

TEST(SmtpSendMail, AbortEndsTheWaitAndQuitStillWorks)
{
    ScriptedPeer peer;
    Greet(peer)
        .Expect("RSET").WaitForRelease()
        .Expect("QUIT").SendLine("221 bye").ExpectClose();
    peer.Start();
    TestSmtp smtp;
    ConnectTo(smtp, peer);
    Address(*smtp.PostMessage);
    smtp.OnSendStart = [&](TObject*) { QTimer::singleShot(50, [&] { smtp.Abort(); }); };
    EXPECT_EQ(MessageOf<EAbortError>([&] { smtp.SendMail(); }), "Socket readln aborted");
    EXPECT_FALSE(smtp.Busy);
    peer.Release();
    smtp.Disconnect();
    EXPECT_FALSE(smtp.Connected);
    ExpectScriptDone(peer);
}

TEST(SmtpVerify, ReplyCodes)
{
    const struct {
        const char* address;
        const char* reply;
        bool verified;
    } cases[] = {
        {"a", "250 <a@example.test>", true},
        {"b", "251 forwarded", true},
        {"c", "252 cannot verify", false},
        {"d", "550 unknown", false},
        {"e", "OK without a code", false},  // a reply without a code confirms nothing
    };
    ScriptedPeer peer;
    Greet(peer);
    for (const auto& c : cases)
        peer.Expect(std::string("VRFY ") + c.address).SendLine(c.reply);
    peer.Expect("VRFY f").Close();
    peer.Start();
    TestSmtp smtp;
    ConnectTo(smtp, peer);
    smtp.Busy = true;  // VRFY does not take part in the busy flag
    for (const auto& c : cases)
        EXPECT_EQ(smtp.Verify(c.address), c.verified) << c.reply;
    EXPECT_FALSE(smtp.Verify("f")) << "no reply is no confirmation";
    smtp.Busy = false;
    ExpectScriptDone(peer);
}

TEST(SmtpExpandList, ReportsTheFirstLineAndReadsTheRest)
{
    ScriptedPeer peer;
    Greet(peer)
        .Expect("EXPN staff")
        .Send("250-Ann <ann@example.test>\r\n250-Ben <ben@example.test>\r\n250-Cy <cy@example.test>\r\n"
              "250 Di <di@example.test>\r\n")
        .Expect("EXPN nobody").SendLine("550 no such list");
    AcceptMail(peer);
    peer.Start();
    Session session(peer);
    auto& [smtp, trace] = session;
    trace.events.clear();
    EXPECT_TRUE(smtp.ExpandList("staff"));
    EXPECT_FALSE(smtp.ExpandList("nobody"));
    EXPECT_EQ(trace.events, Lines({"list 250-Ann <ann@example.test>\r\n"}));
    EXPECT_FALSE(smtp.Busy);
    Address(*smtp.PostMessage);
    smtp.SendMail();
    EXPECT_EQ(smtp.LastReply, "250 queued\r\n");
    ExpectScriptDone(peer);
}

// Each wait of the conversation runs under its own limit (the case makes that
// one short, the caller's TimeOut long): a silent server, or one that stops
// reading the message text, fails it as silence rather than as a cancel,
// closes the connection without QUIT and leaves the caller's TimeOut as it was.
TEST(SmtpTimeouts, EachWaitHasItsOwnLimit)
{
    enum Op { Connect, Send, Quit };
    const std::string kBodyLine(998, 'x');
    const struct {
        const char* name;
        int32_t TSmtpTimeouts::*limit;
        Op op;
        std::function<void(ScriptedPeer&)> script;
    } cases[] = {
        {"greeting", &TSmtpTimeouts::Greeting, Connect, [](ScriptedPeer& p) { p.Accept().WaitForRelease(); }},
        {"HELO", &TSmtpTimeouts::Command, Connect,
         [](ScriptedPeer& p) { p.Accept().SendLine("220 ready").Expect("HELO client.test").WaitForRelease(); }},
        {"MAIL", &TSmtpTimeouts::Command, Send,
         [](ScriptedPeer& p) { Greet(p).Expect("RSET").SendLine("250 ok").Expect("MAIL FROM:<" + kSender + ">").WaitForRelease(); }},
        {"RCPT", &TSmtpTimeouts::Command, Send,
         [](ScriptedPeer& p) {
             Greet(p).Expect("RSET").SendLine("250 ok").Expect("MAIL FROM:<" + kSender + ">").SendLine("250 ok");
             p.Expect("RCPT TO:<a@example.test>").WaitForRelease();
         }},
        {"DATA", &TSmtpTimeouts::DataStart, Send,
         [](ScriptedPeer& p) {
             Greet(p).Expect("RSET").SendLine("250 ok").Expect("MAIL FROM:<" + kSender + ">").SendLine("250 ok");
             p.Expect("RCPT TO:<a@example.test>").SendLine("250 ok").Expect("DATA").WaitForRelease();
         }},
        {"text not read", &TSmtpTimeouts::DataBlock, Send,
         [](ScriptedPeer& p) { AcceptEnvelope(Greet(p)).WaitForRelease(); }},
        {"final dot", &TSmtpTimeouts::DataEnd, Send,
         [](ScriptedPeer& p) { AcceptEnvelope(Greet(p)).ExpectUntil("\r\n.\r\n").WaitForRelease(); }},
        {"QUIT", &TSmtpTimeouts::Command, Quit, [](ScriptedPeer& p) { Greet(p).Expect("QUIT").WaitForRelease(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer;
        c.script(peer);
        peer.Start();
        TestSmtp smtp;
        smtp.TimeOut = 20000;
        smtp.ReplyTimeouts.*c.limit = 150;
        smtp.ReportLevel = 8;
        int32_t limitHit = 0;
        smtp.OnStatus = [&](TComponent*, const std::string& status) {
            if (status == "Timer Triggered")
                limitHit = smtp.TimeOut;
        };
        // Should a wait go on without its limit, the case still ends.
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [&] { smtp.Abort(); });
        guard.start(30000);
        Address(*smtp.PostMessage);
        // Far more text than the socket buffers of both ends hold.
        for (int i = 0; c.limit == &TSmtpTimeouts::DataBlock && i < 40000; ++i)
            smtp.PostMessage->Body->Add(kBodyLine);
        if (c.op != Connect)
            ConnectTo(smtp, peer);
        const std::string failure = MessageOf<ESockError>([&] {
            if (c.op == Connect)
                ConnectTo(smtp, peer);
            else if (c.op == Send)
                smtp.SendMail();
            else
                smtp.Disconnect();
        });
        EXPECT_EQ(failure, "Reply Timed out");
        EXPECT_EQ(limitHit, 150);
        EXPECT_EQ(smtp.TimeOut, 20000);
        EXPECT_FALSE(smtp.Connected);
        if (c.op != Quit) {
            EXPECT_EQ(peer.Received().find("QUIT"), std::string::npos);
        }
        peer.Release();
    }
}
