// TLS client sessions (OpenSSL) over the platform's non-blocking sockets.
//
// A session never blocks: every call does what the socket allows now and says
// which direction it waits for. The server's certificate is checked against
// the system's trust store (OpenSSL's default paths, so SSL_CERT_FILE and
// SSL_CERT_DIR apply) and the host name (subjectAltName only, never the
// subject's CN). A certificate the user chose to trust is accepted by its
// SHA-256 fingerprint, for the findings the user saw when trusting it.
#pragma once

#include <memory>
#include <string>

#include "rtl/Exception.h"

namespace tls {

// Why the server's certificate was refused; several may hold at once.
enum Problem : unsigned {
    Expired = 1,          // 期限切れ
    NameMismatch = 2,     // サーバー名と一致しません
    UntrustedIssuer = 4,  // 信頼されていない発行者 (self-signed included)
    OtherProblem = 8,     // anything else the check found
    NotYetValid = 16,     // まだ有効になっていません
    WeakSignature = 32,   // SHA-1 or weaker
    WeakKey = 64,         // RSA under 2048 bits and the like
    IssuerNotCa = 128,    // an issuer without CA:TRUE
};

// The only findings a user may accept for a certificate: the rest say the
// certificate proves nothing, whoever vouches for it.
constexpr unsigned Trustable = Expired | NameMismatch | UntrustedIssuer;

// A certificate the user trusts for one server, and the findings it covers.
struct TrustedCertificate {
    std::string Fingerprint;  // "AB:CD:...", empty for none
    unsigned Problems = 0;
    // The check found problems in the certificate with fingerprint.
    bool Covers(const std::string& fingerprint, unsigned problems) const
    {
        return !Fingerprint.empty() && Fingerprint == fingerprint && (problems & ~Trustable) == 0 &&
               (problems & ~Problems) == 0;
    }
};

// The handshake failed (no common protocol, the peer closed, not a TLS
// server); the connection no longer speaks the protocol it carried.
class ETlsError : public Exception {
public:
    using Exception::Exception;
};

// The certificate check failed. Message() names the reasons in Japanese
// (reasons, with their dates and sizes) and the fingerprint, so the user can
// decide whether to trust exactly it; Trustable() says whether they may.
class ECertificateError : public ETlsError {
public:
    ECertificateError(std::string server, unsigned problems, std::string fingerprint, std::string reasons = {});
    const std::string& Server() const { return server_; }
    unsigned Problems() const { return problems_; }
    const std::string& Fingerprint() const { return fingerprint_; }  // "AB:CD:...", 32 pairs
    bool Trustable() const { return (problems_ & ~tls::Trustable) == 0; }

private:
    std::string server_;
    unsigned problems_;
    std::string fingerprint_;
};

// The Japanese list of reasons in problems, e.g. "期限切れ、信頼されていない発行者".
std::string DescribeProblems(unsigned problems);

// The words for a server that closed the connection before the handshake.
std::string ClosedBeforeEncryption(const std::string& server);

// What a call waits for when it could not finish now.
enum class Want { Nothing, Read, Write };

struct SessionState;  // OpenSSL's objects and what the certificate check found

class Session {
public:
    // A client session on the connected socket fd for host (a name or a
    // dotted address, checked against the certificate). trusted, when not
    // empty, is a certificate the user trusts for this server.
    // Throws ETlsError when OpenSSL cannot be set up.
    Session(int fd, const std::string& host, const TrustedCertificate& trusted = {});
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Advances the handshake; Want::Nothing once it is complete. Throws
    // ECertificateError for a refused certificate, ETlsError otherwise.
    Want Handshake();
    bool Established() const;

    // Like recv and send: bytes moved (Write may move fewer than len), 0 from
    // Read at the peer's end, or -1 with errno set: EAGAIN when the session
    // waits (LastWant() says for what), ECONNRESET and the like from the
    // socket, EPROTO for a broken TLS stream.
    int Read(char* buf, int len);
    int Peek(char* buf, int len);  // as Read, leaving the bytes to be read again
    int Write(const char* buf, int len);
    Want LastWant() const { return lastWant_; }

    // Decrypted bytes the session holds: readable without the socket.
    bool Pending() const;

    // Sends the closing alert if the socket takes it now; never waits.
    void Shutdown();

    std::string Fingerprint() const;  // of the server's certificate, "" before the handshake
    std::string Protocol() const;     // e.g. "TLSv1.3"

private:
    int Outcome(int rc, bool writing);

    std::unique_ptr<SessionState> impl_;
    Want lastWant_ = Want::Nothing;
};

// Fingerprints the user chose to trust, one server ("host:port") each, in a
// text file of lines "host:port fingerprint findings", the findings as words
// ("expired,name,issuer"). A changed certificate no longer matches, and a new
// finding is not covered: both are asked about again. A line without
// findings (as older versions wrote them) covers none.
class TrustedCertificates {
public:
    explicit TrustedCertificates(std::string path) : path_(std::move(path)) {}
    // The certificate trusted for server, empty when none (also when the file
    // does not exist yet).
    TrustedCertificate Find(const std::string& server) const;
    // Trusts fingerprint with problems for server from now on, replacing an
    // older one; throws EFCreateError when the file cannot be written.
    void Trust(const std::string& server, const std::string& fingerprint, unsigned problems) const;

private:
    std::string path_;
};

}  // namespace tls
