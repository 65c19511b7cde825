// The protected session against aiosmtpd serving STARTTLS, TLS from the first
// byte and AUTH with certificates made at run time, and against the scripted
// peer where the exact bytes matter: nothing is ever sent with less
// protection than asked for.

#include <chrono>
#include <optional>

#include "platform/Tls.h"
#include "smtp/Sasl.h"
#include "tests/smtp/SmtpTest.h"
#include "tests/support/Certificates.h"
#include "tests/support/SmtpSink.h"
#include "tests/support/TlsRelay.h"

using namespace smtptest;
using testsupport::ScriptedPeer;
using testsupport::SmtpSink;
using testsupport::TempFolder;
using testsupport::TestCertificates;

namespace {

const std::string kLogin = "taro@example.jp";
const std::string kPassword = "ひみつ-pass";

// The size a message whose text arrived as Data (all before "\r\n.\r\n")
// has by RFC 1870: the line end before the dot is the message's, the dots
// that transparency doubled are not.
int64_t DeclarableSize(const std::string& Data)
{
    int64_t dots = Data.starts_with('.') ? 1 : 0;
    for (size_t at = Data.find("\r\n."); at != std::string::npos; at = Data.find("\r\n.", at + 1))
        ++dots;
    return static_cast<int64_t>(Data.size()) + 2 - dots;
}

class SecureSession : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Certs().TrustAuthority(); }
    static const TestCertificates& Certs() { return TestCertificates::Get(); }

    // Server options: kind's certificate, STARTTLS or TLS at once, AUTH for
    // kLogin / kPassword with the given mechanisms.
    static SmtpSink::Options Server(TSmtpSecurity security, const std::string& kind = "valid",
                                    std::vector<std::string> mechanisms = {})
    {
        SmtpSink::Options o = security == ssImplicitTls ? Certs().ImplicitTls(kind) : Certs().StartTls(kind);
        o.Login = kLogin;
        o.Password = kPassword;
        o.AuthMechanisms = std::move(mechanisms);
        return o;
    }

    // The component for localhost (the name the certificates carry).
    static void Prepare(TestSmtp& smtp, uint16_t port, TSmtpSecurity security, const std::string& login = kLogin,
                        const std::string& password = kPassword)
    {
        smtp.Host = "localhost";
        smtp.Port = port;
        smtp.UserID = "client.test";
        smtp.Security = security;
        smtp.Login = login;
        smtp.Password = password;
        Address(*smtp.PostMessage);
    }
};

TEST_F(SecureSession, DeliversWithEachProtectionAndMechanism)
{
    struct Case {
        const char* name;
        TSmtpSecurity security;
        std::vector<std::string> mechanisms;
        std::string login;
    };
    const Case cases[] = {
        {"STARTTLS, PLAIN", ssStartTls, {}, kLogin},
        {"STARTTLS, only LOGIN", ssStartTls, {"LOGIN"}, kLogin},
        {"STARTTLS, only PLAIN", ssStartTls, {"PLAIN"}, kLogin},
        {"STARTTLS, no login", ssStartTls, {}, ""},
        {"TLS at once, PLAIN", ssImplicitTls, {}, kLogin},
        {"TLS at once, only LOGIN", ssImplicitTls, {"LOGIN"}, kLogin},
        {"TLS at once, no login", ssImplicitTls, {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SmtpSink sink(Server(c.security, "valid", c.mechanisms));
        TestSmtp smtp;
        Prepare(smtp, sink.Port(), c.security, c.login);
        ASSERT_NO_THROW(smtp.Connect());
        EXPECT_TRUE(smtp.Encrypted());
        smtp.SendMail();
        smtp.Disconnect();
        ASSERT_TRUE(sink.WaitForMessages(1));
        const auto m = sink.Message(0);
        EXPECT_TRUE(m.Tls);
        EXPECT_EQ(m.AuthLogin, c.login);
        EXPECT_EQ(m.Helo, "client.test");
        EXPECT_EQ(m.RcptTos, Lines{"a@example.test"});
    }
}

TEST_F(SecureSession, EhloNamesTheUserIdOrTheMachine)
{
    SmtpSink sink(Server(ssStartTls));
    for (const std::string& userId : {std::string("pc01.example.jp"), std::string()}) {
        TestSmtp smtp;
        Prepare(smtp, sink.Port(), ssStartTls);
        smtp.UserID = userId;
        smtp.Connect();
        smtp.SendMail();
        smtp.Disconnect();
    }
    ASSERT_TRUE(sink.WaitForMessages(2));
    EXPECT_EQ(sink.Message(0).Helo, "pc01.example.jp");
    // Empty: a full domain name, or the address literal when the machine has none.
    const std::string own = sink.Message(1).Helo;
    EXPECT_TRUE(own == "[127.0.0.1]" || (own.find('.') != std::string::npos && own.find(' ') == std::string::npos))
        << own;
}

TEST_F(SecureSession, AWrongPasswordShowsTheReplyAndSendsNothing)
{
    for (TSmtpSecurity security : {ssStartTls, ssImplicitTls}) {
        SmtpSink sink(Server(security));
        TestSmtp smtp;
        Prepare(smtp, sink.Port(), security, kLogin, "wrong");
        try {
            smtp.Connect();
            ADD_FAILURE() << "logged in";
        } catch (const sasl::EAuthError& e) {
            EXPECT_EQ(e.Code(), 535);
            EXPECT_NE(e.Message().find("535 5.7.8 Authentication credentials invalid"), std::string::npos)
                << e.Message();
            EXPECT_NE(e.Message().find("ログイン名かパスワードが正しくありません"), std::string::npos);
        }
        EXPECT_FALSE(smtp.Connected);
        EXPECT_EQ(sink.MessageCount(), 0u);
    }
}

TEST_F(SecureSession, RefusedCertificatesStopBeforeAuthUntilTrusted)
{
    struct Case {
        const char* kind;
        unsigned problem;
    };
    const Case cases[] = {{"unknown", tls::UntrustedIssuer}, {"wronghost", tls::NameMismatch}, {"expired", tls::Expired}};
    for (TSmtpSecurity security : {ssStartTls, ssImplicitTls})
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.kind) + (security == ssStartTls ? " STARTTLS" : " TLS"));
            SmtpSink sink(Server(security, c.kind));
            TestSmtp smtp;
            Prepare(smtp, sink.Port(), security);
            std::string fingerprint;
            unsigned problems = 0;
            try {
                smtp.Connect();
                ADD_FAILURE() << "accepted";
            } catch (const tls::ECertificateError& e) {
                EXPECT_EQ(e.Problems(), c.problem);
                fingerprint = e.Fingerprint();
                problems = e.Problems();
            }
            EXPECT_FALSE(smtp.Connected);
            EXPECT_EQ(fingerprint, Certs().Fingerprint(c.kind));
            // Trusting exactly that certificate lets the session go on.
            smtp.TrustedFingerprint = fingerprint;
            smtp.TrustedProblems = problems;
            ASSERT_NO_THROW(smtp.Connect());
            smtp.SendMail();
            smtp.Disconnect();
            ASSERT_TRUE(sink.WaitForMessages(1));
            EXPECT_EQ(sink.MessageCount(), 1u);
            EXPECT_EQ(sink.Message(0).AuthLogin, kLogin);
        }
}

// The peer sees exactly what the component sends: the session ends with QUIT
// where it would otherwise go on with less protection.
TEST_F(SecureSession, NeverFallsBackToLessProtection)
{
    struct Case {
        const char* name;
        std::string ehlo;       // the EHLO reply
        std::string starttls;   // the reply to STARTTLS; empty: not sent
        const char* expected;   // a text of the failure
    };
    const Case cases[] = {
        {"no STARTTLS offered", "250-mail.test\r\n250 AUTH PLAIN LOGIN", "", "STARTTLS に対応していません"},
        {"STARTTLS refused", "250-mail.test\r\n250 STARTTLS", "454 4.7.0 TLS not available", "454 4.7.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer;
        peer.Accept().SendLine("220 mail.test").Expect("EHLO client.test").SendLine(c.ehlo);
        if (!c.starttls.empty())
            peer.Expect("STARTTLS").SendLine(c.starttls);
        peer.Expect("QUIT").SendLine("221 bye").ExpectClose();
        peer.Start();
        TestSmtp smtp;
        Prepare(smtp, peer.Port(), ssStartTls);
        smtp.Host = "127.0.0.1";
        EXPECT_NE(MessageOf<Exception>([&] { smtp.Connect(); }).find(c.expected), std::string::npos);
        ExpectScriptDone(peer);
        EXPECT_EQ(peer.Received().find("AUTH"), std::string::npos);
        EXPECT_FALSE(smtp.Connected);
    }
    // A login without encryption is refused before any connection.
    ScriptedPeer peer;
    peer.Start();
    TestSmtp smtp;
    Prepare(smtp, peer.Port(), ssNone);
    EXPECT_THROW(smtp.Connect(), ESecurityError);
    EXPECT_EQ(peer.Connections(), 0);
    // A server that offers AUTH only before STARTTLS gets no password.
    SmtpSink::Options clearOnly = Server(ssStartTls);
    clearOnly.AuthOnlyInClear = true;
    SmtpSink sink(clearOnly);
    TestSmtp smtp2;
    Prepare(smtp2, sink.Port(), ssStartTls);
    EXPECT_NE(MessageOf<ESecurityError>([&] { smtp2.Connect(); }).find("AUTH"), std::string::npos);
    EXPECT_FALSE(smtp2.Connected);
}

// Lines that follow "220" to STARTTLS in clear would be read as the
// encrypted session's replies: the session ends there, and not one more byte
// goes out (no TLS hello, no QUIT, no AUTH).
TEST_F(SecureSession, LinesInjectedAfterTheStartTlsReplyEndTheSession)
{
    const std::string tails[] = {"250-injected\r\n250 AUTH PLAIN\r\n", "250 ok\r\n250 ok\r\n354 go\r\n", "\r\n"};
    for (const auto& tail : tails) {
        SCOPED_TRACE(tail);
        ScriptedPeer peer;
        peer.Accept().SendLine("220 mail.test").Expect("EHLO client.test");
        peer.SendLine("250-mail.test\r\n250-AUTH PLAIN\r\n250 STARTTLS").Expect("STARTTLS");
        peer.Send("220 ready\r\n" + tail).ExpectClose();
        peer.Start();
        TestSmtp smtp;
        Prepare(smtp, peer.Port(), ssStartTls);
        smtp.Host = "127.0.0.1";
        smtp.TimeOut = 15000;  // a handshake that went ahead fails instead of hanging
        const std::string text = MessageOf<tls::ETlsError>([&] { smtp.Connect(); });
        EXPECT_NE(text.find("暗号化を始める前に暗号化されていないデータが届きました"), std::string::npos) << text;
        ExpectScriptDone(peer);
        EXPECT_TRUE(peer.Received().ends_with("EHLO client.test\r\nSTARTTLS\r\n")) << peer.Received();
        EXPECT_FALSE(smtp.Connected);
    }
}

TEST_F(SecureSession, WithoutSecurityOrLoginTheSessionIsTodaysByteForByte)
{
    ScriptedPeer peer;
    Greet(peer);
    AcceptMail(peer);
    peer.Expect("QUIT").SendLine("221 bye").ExpectClose();
    peer.Start();
    TestSmtp smtp;
    smtp.Password = kPassword;         // no login: never used
    smtp.TrustedFingerprint = "AA:BB";  // no TLS: never used
    ConnectTo(smtp, peer);
    EXPECT_FALSE(smtp.Encrypted());
    Address(*smtp.PostMessage);
    smtp.SendMail();
    smtp.Disconnect();
    ExpectScriptDone(peer);
    const std::string sent = peer.Received();
    EXPECT_TRUE(sent.starts_with("HELO client.test\r\nRSET\r\nMAIL FROM:<" + kSender + ">\r\n")) << sent;
    EXPECT_TRUE(sent.ends_with("\r\n.\r\nQUIT\r\n")) << sent;
}

TEST_F(SecureSession, FiveHundredMessagesOverStartTls)
{
    constexpr size_t kCount = 500;
    SmtpSink sink(Server(ssStartTls));
    TestSmtp smtp;
    Prepare(smtp, sink.Port(), ssStartTls);
    smtp.Connect();
    for (size_t i = 0; i < kCount; ++i) {
        smtp.PostMessage->ToAddress->Clear();
        smtp.PostMessage->ToAddress->Add("rcpt" + std::to_string(i) + "@example.test");
        smtp.SendMail();
    }
    smtp.Disconnect();
    ASSERT_TRUE(sink.WaitForMessages(kCount, 30000));
    const auto messages = sink.Messages();
    ASSERT_EQ(messages.size(), kCount);
    for (size_t i = 0; i < kCount; ++i) {
        EXPECT_TRUE(messages[i].Tls) << i;
        EXPECT_EQ(messages[i].RcptTos, Lines{"rcpt" + std::to_string(i) + "@example.test"}) << i;
    }
}

// Abort as the send run gives it: once, then again and again (an operation
// started after a cut clears it), until the component gives up.
TEST_F(SecureSession, AbortEndsHandshakeEhloAndAuthWithinTwoSeconds)
{
    using Clock = std::chrono::steady_clock;
    struct Case {
        const char* name;
        TSmtpSecurity security;
        bool stallAuth;  // aiosmtpd never answers AUTH; else a silent scripted peer
        bool stallEhlo;  // the peer never answers EHLO
    };
    const Case cases[] = {
        {"handshake of TLS at once", ssImplicitTls, false, false},
        {"EHLO", ssStartTls, false, true},
        {"handshake after STARTTLS", ssStartTls, false, false},
        {"AUTH", ssStartTls, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer;
        if (c.stallEhlo)
            peer.Accept().SendLine("220 mail.test").Expect("EHLO client.test");
        else if (c.security == ssStartTls)
            peer.Accept()
                .SendLine("220 mail.test")
                .Expect("EHLO client.test")
                .SendLine("250-mail.test\r\n250 STARTTLS")
                .Expect("STARTTLS")
                .SendLine("220 go ahead");
        peer.WaitForRelease();  // silent from here on
        peer.Start();
        SmtpSink::Options stalling = Server(ssStartTls);
        stalling.StallAuth = true;
        std::unique_ptr<SmtpSink> sink = c.stallAuth ? std::make_unique<SmtpSink>(stalling) : nullptr;

        TestSmtp smtp;
        Prepare(smtp, c.stallAuth ? sink->Port() : peer.Port(), c.security);
        Clock::time_point aborted{};
        QTimer again;
        QObject::connect(&again, &QTimer::timeout, [&] { smtp.Abort(); });
        auto first = testsupport::Later(500, [&] {
            aborted = Clock::now();
            smtp.Abort();
            again.start(50);
        });
        EXPECT_THROW(smtp.Connect(), EAbortError);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - aborted).count();
        again.stop();
        EXPECT_NE(aborted, Clock::time_point{}) << "ended before the Abort";
        EXPECT_LT(took, 2000);
        EXPECT_FALSE(smtp.Connected);
        peer.Release();
    }
}

}  // namespace

TEST_F(SecureSession, MailFromDeclaresTheSizeSentOnlyWhenEhloOfferedIt)
{
    TempFolder dir;
    const std::string file = dir.Write("a.bin", std::string(1000, '\xa5') + "tail");
    const struct {
        const char* name;
        TSmtpSecurity security;
        std::string extensions;  // the greeting reply's lines after the first
        bool sized;
    } cases[] = {
        {"EHLO, SIZE with a limit", ssImplicitTls, "250-SIZE 1000000\r\n250 8BITMIME\r\n", true},
        {"EHLO, SIZE without one, pipelined", ssImplicitTls, "250-PIPELINING\r\n250 SIZE\r\n", true},
        {"EHLO, a SIZE we cannot read", ssImplicitTls, "250 SIZE lots\r\n", true},
        {"EHLO without SIZE, pipelined", ssImplicitTls, "250 PIPELINING\r\n", false},
        {"HELO, its reply naming SIZE", ssNone, "250 SIZE 1000000\r\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string mail[2], data[2];
        ScriptedPeer peer;
        peer.Accept()
            .SendLine("220 mail.test ready")
            .Expect(c.security == ssNone ? "HELO client.test" : "EHLO client.test")
            .Send("250-mail.test\r\n" + c.extensions);
        if (c.extensions.find("PIPELINING") != std::string::npos) {
            // The second message's commands come with the first one's text.
            const std::string replies = "250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n";
            peer.ExpectUntil("DATA\r\n", &mail[0]).Send(replies).ExpectUntil("\r\n.\r\n", &data[0]);
            peer.ExpectUntil("DATA\r\n", &mail[1]).Send("250 queued\r\n" + replies);
        } else {
            for (std::string* line : {&mail[0], &mail[1]}) {
                peer.Expect("RSET").SendLine("250 ok").ExpectUntil("\r\n", line).SendLine("250 ok");
                peer.Expect("RCPT TO:<a@example.test>").SendLine("250 ok").Expect("DATA").SendLine("354 go");
                if (line == &mail[0])
                    peer.ExpectUntil("\r\n.\r\n", &data[0]).SendLine("250 queued");
            }
        }
        peer.ExpectUntil("\r\n.\r\n", &data[1]).SendLine("250 queued").Expect("QUIT").SendLine("221 bye");
        peer.Start();
        std::optional<testsupport::TlsRelay> relay;
        if (c.security != ssNone)
            relay.emplace(peer.Port(), Certs().Cert("valid"), Certs().Key("valid"));

        TestSmtp smtp;
        Prepare(smtp, relay ? relay->Port() : peer.Port(), c.security, "");
        TPostMessage& m = *smtp.PostMessage;
        m.SetLinesBody(TStringList{".a line with a dot", "本文", "..two"});
        m.Attachments->Add(file);
        // Another body and no file: a size of its own, known before it is assembled.
        auto second = [&m] {
            m.ToAddress->Clear();
            m.ToAddress->Add("a@example.test");
            m.Attachments->Clear();
            m.SetLinesBody(TStringList{"second", ".", "end"});
        };
        int asked = 0;
        smtp.OnNextMessage = [&] {
            if (asked++ > 0)
                return false;
            second();
            return true;
        };
        smtp.Connect();
        smtp.SendMail();
        if (!smtp.Pipelined())
            second();
        smtp.SendMail();
        smtp.Disconnect();
        ExpectScriptDone(peer);
        EXPECT_NE(data[0].size(), data[1].size());
        for (int i = 0; i < 2; ++i) {
            const size_t at = mail[i].find("MAIL FROM:");
            ASSERT_NE(at, std::string::npos) << mail[i];
            EXPECT_EQ(mail[i].substr(at, mail[i].find("\r\n", at) - at),
                      "MAIL FROM:<" + kSender + ">" + (c.sized ? " SIZE=" + std::to_string(DeclarableSize(data[i])) : ""))
                << i;
        }
    }
}

// In a pipelined group the go-ahead is waited for as long as DATA's own
// limit, not as long as the other commands' replies.
TEST_F(SecureSession, PipelinedGoAheadWaitsAsLongAsDataAlone)
{
    ScriptedPeer peer;
    peer.Accept().SendLine("220 mail.test ready").Expect("EHLO client.test").Send("250-mail.test\r\n250 PIPELINING\r\n");
    peer.ExpectGroup("RSET\r\nMAIL FROM:<" + kSender + ">\r\nRCPT TO:<a@example.test>\r\nDATA\r\n");
    peer.Send("250 ok\r\n250 ok\r\n250 ok\r\n").WaitForRelease();
    peer.Start();
    testsupport::TlsRelay relay(peer.Port(), Certs().Cert("valid"), Certs().Key("valid"));
    TestSmtp smtp;
    Prepare(smtp, relay.Port(), ssImplicitTls, "");
    constexpr int32_t Long = 20000, Short = 300;
    smtp.ReplyTimeouts = {Long, Long, Short, Long, Long};
    smtp.Connect();
    ASSERT_TRUE(smtp.Pipelined());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(MessageOf<EPipeliningError>([&] { smtp.SendMail(); }),
              "The server did not handle pipelining: no reply to DATA");
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(took, Long / 2);
    EXPECT_FALSE(smtp.Connected);
    EXPECT_FALSE(smtp.Pipelining);
    peer.Release();
}
