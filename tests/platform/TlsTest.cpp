// TLS sessions against aiosmtpd with the test authority's certificates, over
// plain non-blocking POSIX sockets so only the session is under test.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/Tls.h"
#include "platform/Winsock.h"
#include "tests/platform/Recorder.h"
#include "tests/support/Certificates.h"

using testsupport::SmtpSink;
using testsupport::TestCertificates;

namespace {

// Every wait is bounded; a step that makes no progress in this time fails.
constexpr int kStepMs = 10000;
constexpr int kMaxSteps = 1000;

class Tls : public ::testing::Test {
protected:
    static void SetUpTestSuite() { TestCertificates::Get().TrustAuthority(); }
    void TearDown() override { Close(); }

    void Close()
    {
        session.reset();
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

    // A reply ends with a line whose fourth character is a space ("250 x").
    static bool EndsWithFinalLine(const std::string& got)
    {
        if (got.size() < 6 || !got.ends_with("\r\n"))
            return false;
        size_t start = got.rfind("\r\n", got.size() - 3);
        start = start == std::string::npos ? 0 : start + 2;
        return got[start + 3] == ' ';
    }

    static const TestCertificates& Certs() { return TestCertificates::Get(); }

    void Connect(uint16_t port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }

    bool WaitFor(tls::Want want)
    {
        pollfd p{fd, static_cast<short>(want == tls::Want::Write ? POLLOUT : POLLIN), 0};
        return ::poll(&p, 1, kStepMs) == 1;
    }

    // Connects to port, then handshakes as host would (throws as Handshake).
    void Handshake(const std::string& host, uint16_t port, const tls::TrustedCertificate& trusted = {},
                   bool connect = true)
    {
        if (connect)
            Connect(port);
        session = std::make_unique<tls::Session>(fd, host, trusted);
        for (int i = 0; i < kMaxSteps; ++i) {
            tls::Want w = session->Handshake();
            if (w == tls::Want::Nothing)
                return;
            ASSERT_TRUE(WaitFor(w)) << "handshake stalled";
        }
        FAIL() << "handshake did not finish";
    }

    // Reads through the session (or in clear without one) until a final
    // reply line ("250 ..." rather than "250-...") ended; bounded.
    std::string ReadReply(int chunk = 4096)
    {
        std::string got;
        for (int i = 0; i < kMaxSteps * 4; ++i) {
            if (EndsWithFinalLine(got))
                return got;
            char buf[4096];
            int n = session ? session->Read(buf, chunk) : static_cast<int>(::recv(fd, buf, chunk, 0));
            if (n > 0)
                got.append(buf, static_cast<size_t>(n));
            else if (n == 0 || errno != EAGAIN)
                return got + "<end>";
            else if (!WaitFor(session ? session->LastWant() : tls::Want::Read))
                return got + "<stalled>";
        }
        return got + "<too long>";
    }

    void WriteAll(const std::string& line)
    {
        size_t done = 0;
        for (int i = 0; i < kMaxSteps && done < line.size(); ++i) {
            int n = session ? session->Write(line.data() + done, static_cast<int>(line.size() - done))
                            : static_cast<int>(::send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL));
            if (n > 0)
                done += static_cast<size_t>(n);
            else {
                ASSERT_TRUE(n < 0 && errno == EAGAIN && WaitFor(session ? session->LastWant() : tls::Want::Write));
            }
        }
        ASSERT_EQ(done, line.size());
    }

    int fd = -1;
    std::unique_ptr<tls::Session> session;
};

TEST_F(Tls, ImplicitTlsCarriesTheSmtpDialogueByNameAndByAddress)
{
    for (const char* host : {"localhost", "127.0.0.1"}) {
        SCOPED_TRACE(host);
        SmtpSink sink(Certs().ImplicitTls("valid"));
        ASSERT_NO_THROW(Handshake(host, sink.Port()));
        EXPECT_TRUE(session->Established());
        EXPECT_EQ(session->Fingerprint(), Certs().Fingerprint("valid"));
        EXPECT_TRUE(session->Protocol() == "TLSv1.3" || session->Protocol() == "TLSv1.2") << session->Protocol();
        EXPECT_TRUE(ReadReply().starts_with("220 sink.veltrow.test"));
        WriteAll("EHLO client.veltrow.test\r\n");
        std::string ehlo = ReadReply();
        EXPECT_TRUE(ehlo.starts_with("250-sink.veltrow.test\r\n")) << ehlo;
        EXPECT_NE(ehlo.find("\r\n250 HELP\r\n"), std::string::npos) << ehlo;
        WriteAll("QUIT\r\n");
        EXPECT_TRUE(ReadReply().starts_with("221")) << "QUIT";
        Close();
    }
}

TEST_F(Tls, StartTlsUpgradesAPlainConnection)
{
    SmtpSink sink(Certs().StartTls("valid"));
    Connect(sink.Port());
    EXPECT_TRUE(ReadReply().starts_with("220 "));
    WriteAll("EHLO client.veltrow.test\r\n");
    EXPECT_NE(ReadReply().find("250-STARTTLS\r\n"), std::string::npos);
    WriteAll("STARTTLS\r\n");
    EXPECT_TRUE(ReadReply().starts_with("220 "));
    ASSERT_NO_THROW(Handshake("localhost", 0, {}, false));
    WriteAll("EHLO client.veltrow.test\r\n");
    std::string ehlo = ReadReply();
    EXPECT_TRUE(ehlo.starts_with("250-")) << ehlo;
    EXPECT_EQ(ehlo.find("STARTTLS"), std::string::npos) << "offered again inside TLS: " << ehlo;
}

// Data the session decrypted whole but the caller has not taken yet is in no
// socket buffer: only Pending() tells that more can be read without waiting.
TEST_F(Tls, DecryptedBytesNotYetReadArePending)
{
    SmtpSink sink(Certs().ImplicitTls("valid"));
    ASSERT_NO_THROW(Handshake("localhost", sink.Port()));
    ReadReply();
    EXPECT_FALSE(session->Pending());
    // One short reply: one record, which arrives whole on loopback.
    WriteAll("NOOP\r\n");
    ASSERT_TRUE(WaitFor(tls::Want::Read));
    char buf[4];
    int n = -1;
    for (int i = 0; i < kMaxSteps && n < 0; ++i) {
        n = session->Read(buf, sizeof buf);
        if (n < 0) {
            ASSERT_TRUE(errno == EAGAIN && WaitFor(session->LastWant()));
        }
    }
    ASSERT_EQ(n, 4);
    EXPECT_EQ(std::string(buf, 4), "250 ");
    char peeked[16];
    ASSERT_EQ(session->Peek(peeked, sizeof peeked), 4);  // what is left of the record
    EXPECT_EQ(std::string(peeked, 4), "OK\r\n");
    EXPECT_TRUE(session->Pending());
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0) << "the rest of the reply should be in the session, not the socket";
    std::string rest;  // small pieces, each served from what is pending
    while (session->Pending() && rest.size() < 100) {
        n = session->Read(buf, 3);
        ASSERT_GT(n, 0);
        rest.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(rest, "OK\r\n");
}

// What the check finds in each kind of certificate, in the words shown, and
// whether the user may trust it at all.
struct Verdict {
    const char* kind;
    const char* host;
    unsigned problems;
    const char* text;
};
const Verdict kVerdicts[] = {
    {"unknown", "localhost", tls::UntrustedIssuer, "（信頼されていない発行者）"},
    {"selfsigned", "localhost", tls::UntrustedIssuer, "（信頼されていない発行者）"},
    {"wronghost", "localhost", tls::NameMismatch, "（サーバー名と一致しません）"},
    {"valid", "127.0.0.2", tls::NameMismatch, "（サーバー名と一致しません）"},  // address not in the certificate
    {"cnonly", "localhost", tls::NameMismatch, "（サーバー名と一致しません）"},    // the CN names nothing
    {"expired", "localhost", tls::Expired, "（期限切れ（2020/12/31 00:00 UTC まで有効））"},
    {"expiredunknown", "localhost", tls::Expired | tls::UntrustedIssuer,
     "（期限切れ（2020/12/31 00:00 UTC まで有効）、信頼されていない発行者）"},
    {"notyet", "localhost", tls::NotYetValid, "（まだ有効になっていません（2099/01/01 00:00 UTC から有効））"},
    {"sha1", "localhost", tls::WeakSignature, "（安全でない署名方式（SHA1））"},
    {"rsa1024", "localhost", tls::WeakKey, "（短すぎる鍵（RSA 1024 ビット））"},
    {"notca", "localhost", tls::IssuerNotCa, "（発行者の証明書が認証局（CA:TRUE）ではありません）"},
};

TEST_F(Tls, RefusedCertificatesNameTheirReasonAndFingerprint)
{
    for (const auto& c : kVerdicts) {
        SCOPED_TRACE(c.kind);
        SmtpSink sink(Certs().ImplicitTls(c.kind));
        try {
            Handshake(c.host, sink.Port());
            ADD_FAILURE() << "accepted";
        } catch (const tls::ECertificateError& e) {
            EXPECT_EQ(e.Problems(), c.problems);
            EXPECT_EQ(e.Fingerprint(), Certs().Fingerprint(c.kind));
            EXPECT_EQ(e.Server(), c.host);
            EXPECT_NE(e.Message().find(c.text), std::string::npos) << e.Message();
            EXPECT_NE(e.Message().find(e.Fingerprint()), std::string::npos) << e.Message();
            EXPECT_EQ(e.Trustable(), (c.problems & ~tls::Trustable) == 0);
            EXPECT_EQ(e.Message().find("信頼することもできません") == std::string::npos, e.Trustable()) << e.Message();
        }
        EXPECT_EQ(sink.MessageCount(), 0u);
        Close();
    }
}

TEST_F(Tls, ATrustedFingerprintCoversExactlyTheFindingsItWasTrustedWith)
{
    for (const auto& c : kVerdicts) {
        SCOPED_TRACE(c.kind);
        const bool trustable = (c.problems & ~tls::Trustable) == 0;
        SmtpSink sink(Certs().ImplicitTls(c.kind));
        const std::string fingerprint = Certs().Fingerprint(c.kind);
        // Findings beyond those trusted, or another certificate, are asked about again.
        const tls::TrustedCertificate refused[] = {
            {fingerprint, 0},
            {fingerprint, c.problems & (c.problems - 1)},
            {Certs().Fingerprint(c.kind == std::string("unknown") ? "valid" : "unknown"), c.problems}};
        for (const auto& trusted : refused) {
            EXPECT_THROW(Handshake(c.host, sink.Port(), trusted), tls::ECertificateError) << trusted.Problems;
            Close();
        }
        if (trustable) {
            EXPECT_NO_THROW(Handshake(c.host, sink.Port(), {fingerprint, c.problems}));
            EXPECT_TRUE(ReadReply().starts_with("220 "));
        } else {
            // Not even with every finding trusted.
            EXPECT_THROW(Handshake(c.host, sink.Port(), {fingerprint, ~0u}), tls::ECertificateError);
        }
        Close();
    }
}

TEST_F(Tls, APlainServerFailsTheHandshakeWithoutACertificateError)
{
    SmtpSink sink;  // answers the ClientHello with a 500 line in clear
    try {
        Handshake("localhost", sink.Port());
        ADD_FAILURE() << "handshake passed";
    } catch (const tls::ECertificateError& e) {
        ADD_FAILURE() << e.Message();
    } catch (const tls::ETlsError& e) {
        EXPECT_NE(e.Message().find("ハンドシェイク"), std::string::npos) << e.Message();
    }
}

TEST(TlsText, ProblemsAreListedInOrder)
{
    const std::pair<unsigned, const char*> cases[] = {
        {0, ""},
        {tls::Expired, "期限切れ"},
        {tls::UntrustedIssuer | tls::Expired, "期限切れ、信頼されていない発行者"},
        {tls::Expired | tls::NameMismatch | tls::UntrustedIssuer,
         "期限切れ、サーバー名と一致しません、信頼されていない発行者"},
        {tls::NotYetValid | tls::WeakSignature | tls::WeakKey | tls::IssuerNotCa | tls::OtherProblem,
         "まだ有効になっていません、安全でない署名方式、短すぎる鍵、発行者の証明書が認証局（CA:TRUE）ではありません、"
         "その他の検証エラー"},
    };
    for (const auto& [problems, text] : cases)
        EXPECT_EQ(tls::DescribeProblems(problems), text) << problems;
}

TEST(TlsTrust, OneFingerprintPerServerKeptInTheFileWithItsFindings)
{
    testsupport::TempFolder dir;
    const std::string path = dir.Path() + "/trusted.txt";
    tls::TrustedCertificates trust(path);
    auto find = [&](const std::string& server) {
        const tls::TrustedCertificate t = tls::TrustedCertificates(path).Find(server);
        return t.Fingerprint + "/" + std::to_string(t.Problems);
    };
    EXPECT_EQ(find("mail.example.jp:465"), "/0");  // no file yet
    trust.Trust("mail.example.jp:465", "AA:01", tls::UntrustedIssuer);
    trust.Trust("smtp.example.com:587", "BB:02", tls::Expired | tls::NameMismatch | tls::UntrustedIssuer);
    trust.Trust("mail.example.jp:465", "CC:03", tls::NameMismatch);  // a changed certificate, trusted again
    EXPECT_EQ(find("mail.example.jp:465"), "CC:03/2");
    EXPECT_EQ(find("smtp.example.com:587"), "BB:02/7");
    EXPECT_EQ(find("mail.example.jp:587"), "/0");  // another port is another server
    EXPECT_EQ(testsupport::ReadWholeFile(path),
              "smtp.example.com:587 BB:02 expired,name,issuer\nmail.example.jp:465 CC:03 name\n");
    // Lines of older versions name no findings: read, kept, and covering none.
    std::ofstream(path) << "old.example.jp:465 DD:04\nmail.example.jp:465 CC:03 name,later\n";
    EXPECT_EQ(find("old.example.jp:465"), "DD:04/0");
    EXPECT_EQ(find("mail.example.jp:465"), "CC:03/2");  // words it does not know cover nothing
    trust.Trust("mail.example.jp:465", "CC:03", tls::NameMismatch | tls::Expired);
    EXPECT_EQ(testsupport::ReadWholeFile(path), "old.example.jp:465 DD:04\nmail.example.jp:465 CC:03 expired,name\n");
    EXPECT_THROW(tls::TrustedCertificates(dir.Path() + "/no/such/folder.txt").Trust("a:1", "x", 0), EFCreateError);
}

}  // namespace

namespace {

// The session inside the platform's socket: notifications and waits count
// what OpenSSL has already decrypted as readable.
TEST(TlsSocket, DecryptedDataIsReadableForNotificationsAndWaits)
{
    namespace ws = winsock;
    constexpr win::UINT kMsg = 1127;
    TestCertificates::Get().TrustAuthority();
    SmtpSink sink(TestCertificates::Get().ImplicitTls("valid"));
    ws::WSADATA data;
    ASSERT_EQ(ws::WSAStartup(ws::MAKEWORD(1, 1), &data), 0);
    {
        platformtest::Recorder r;
        ws::SOCKET s = ws::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ASSERT_EQ(ws::WSAAsyncSelect(s, r.hwnd, kMsg, ws::FD_READ | ws::FD_CONNECT | ws::FD_CLOSE), 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = ws::htons(sink.Port());
        a.sin_addr.s_addr = ws::inet_addr("127.0.0.1");
        ws::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ASSERT_TRUE(r.PumpUntil([&] { return r.Count(kMsg, ws::FD_CONNECT) == 1; }));
        EXPECT_EQ(ws::TlsEstablished(s), false);
        ASSERT_EQ(ws::StartTls(s, "localhost", ""), 0);
        EXPECT_EQ(ws::StartTls(s, "localhost", ""), ws::SOCKET_ERROR);  // one session per socket
        EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEALREADY);
        long waitFor = 0;
        int rounds = 0;
        while (ws::TlsHandshake(s, &waitFor) != 0 && rounds++ < kMaxSteps) {
            ASSERT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);
            ws::WaitForSocketOrTimeout(s, waitFor, 100);
        }
        ASSERT_TRUE(ws::TlsEstablished(s));

        // Read the greeting 4 bytes at a time: after each piece the rest is
        // in the session, not the socket, and still counts as readable.
        char buf[4];
        std::string got;
        for (int i = 0; i < kMaxSteps && !got.ends_with("\r\n"); ++i) {
            r.got.clear();
            const int n = ws::recv(s, buf, sizeof buf, 0);
            if (n < 0) {
                ASSERT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);
                ws::WaitForSocketOrTimeout(s, ws::FD_READ, 100);
                continue;
            }
            ASSERT_GT(n, 0);
            got.append(buf, static_cast<size_t>(n));
            if (got.ends_with("\r\n"))
                break;
            EXPECT_EQ(ws::WaitForSocketOrTimeout(s, ws::FD_READ, 0), ws::FD_READ) << got;
            EXPECT_TRUE(r.PumpUntil([&] { return r.Count(kMsg, ws::FD_READ) >= 1; }, 2000)) << got;
        }
        EXPECT_TRUE(got.starts_with("220 sink.veltrow.test")) << got;
        // Peeking sees what a read then takes, through the session.
        const std::string noop = "NOOP\r\n";
        ASSERT_EQ(ws::send(s, noop.data(), static_cast<int>(noop.size()), 0), static_cast<int>(noop.size()));
        char peeked[16] = {};
        int n = -1;
        for (int i = 0; i < kMaxSteps && n < 0; ++i)
            if ((n = ws::recv(s, peeked, sizeof peeked, MSG_PEEK)) < 0)
                ws::WaitForSocketOrTimeout(s, ws::FD_READ, 100);
        ASSERT_GT(n, 0);
        char taken[16] = {};
        EXPECT_EQ(ws::recv(s, taken, n, 0), n);
        EXPECT_EQ(std::string(taken, static_cast<size_t>(n)), std::string(peeked, static_cast<size_t>(n)));
        EXPECT_EQ(ws::recv(s, taken, 1, MSG_OOB), ws::SOCKET_ERROR);  // TLS has no urgent data
        EXPECT_EQ(ws::closesocket(s), 0);
    }
    EXPECT_EQ(ws::WSACleanup(), 0);
}

}  // namespace
