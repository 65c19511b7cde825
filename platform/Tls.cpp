#include "platform/Tls.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <vector>

namespace tls {
namespace {

using CtxPtr = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;
using SslPtr = std::unique_ptr<SSL, decltype(&SSL_free)>;

// Anything older than TLS 1.2 is refused by every provider we talk to, and
// is broken besides.
constexpr int kMinProtocol = TLS1_2_VERSION;
constexpr int kMinSecurityLevel = 2;

unsigned ProblemOf(int verifyError)
{
    switch (verifyError) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return Expired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return NotYetValid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return NameMismatch;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
        return UntrustedIssuer;
    case X509_V_ERR_CA_MD_TOO_WEAK:
        return WeakSignature;
    case X509_V_ERR_EE_KEY_TOO_SMALL:
    case X509_V_ERR_CA_KEY_TOO_SMALL:
        return WeakKey;
    case X509_V_ERR_INVALID_CA:
        return IssuerNotCa;
    default:
        return OtherProblem;
    }
}

// In the fixed order the reasons are listed in.
const std::pair<unsigned, const char*> kProblemTexts[] = {
    {Expired, "期限切れ"},
    {NotYetValid, "まだ有効になっていません"},
    {NameMismatch, "サーバー名と一致しません"},
    {UntrustedIssuer, "信頼されていない発行者"},
    {WeakSignature, "安全でない署名方式"},
    {WeakKey, "短すぎる鍵"},
    {IssuerNotCa, "発行者の証明書が認証局（CA:TRUE）ではありません"},
    {OtherProblem, "その他の検証エラー"},
};

std::string DateOf(const ASN1_TIME* time)
{
    std::tm tm{};
    if (!time || ASN1_TIME_to_tm(time, &tm) != 1)
        return "?";
    char text[32];
    std::strftime(text, sizeof text, "%Y/%m/%d %H:%M UTC", &tm);
    return text;
}

// The reason with what makes it checkable: the date, the algorithm, the size.
std::string DetailOf(unsigned problem, int verifyError, X509* cert)
{
    std::string text = DescribeProblems(problem);
    if (!cert)
        return text;
    switch (problem) {
    case Expired:
        return text + "（" + DateOf(X509_get0_notAfter(cert)) + " まで有効）";
    case NotYetValid:
        return text + "（" + DateOf(X509_get0_notBefore(cert)) + " から有効）";
    case WeakSignature: {
        int md = NID_undef;
        if (X509_get_signature_info(cert, &md, nullptr, nullptr, nullptr) == 1 && md != NID_undef)
            return text + "（" + OBJ_nid2sn(md) + "）";
        return text;
    }
    case WeakKey: {
        const EVP_PKEY* key = X509_get0_pubkey(cert);
        if (!key)
            return text;
        const char* type = EVP_PKEY_get0_type_name(key);
        return text + "（" + (type ? type : "?") + " " + std::to_string(EVP_PKEY_get_bits(key)) + " ビット）";
    }
    case OtherProblem:
        return text + "（" + X509_verify_cert_error_string(verifyError) + "）";
    default:
        return text;
    }
}

std::string FingerprintOf(X509* cert)
{
    if (!cert)
        return std::string();
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (X509_digest(cert, EVP_sha256(), md, &len) != 1)
        return std::string();
    std::string out;
    char hex[4];
    for (unsigned i = 0; i < len; ++i) {
        std::snprintf(hex, sizeof hex, i ? ":%02X" : "%02X", md[i]);
        out += hex;
    }
    return out;
}

// OpenSSL's queued error texts, for a handshake failure that is no
// certificate problem.
std::string OpenSslErrors()
{
    std::string text;
    while (unsigned long e = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        if (!text.empty())
            text += "; ";
        text += buf;
    }
    return text;
}

bool IsAddress(const std::string& host)
{
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

int VerifyCallback(int ok, X509_STORE_CTX* store);
int VerifyChain(X509_STORE_CTX* store, void*);

// OpenSSL's socket BIO writes with write(), which raises SIGPIPE on a
// connection the peer has closed and ends the program: writes go out
// through send with MSG_NOSIGNAL instead.
int QuietWrite(BIO* bio, const char* data, int len)
{
    BIO_clear_retry_flags(bio);
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    const ssize_t sent = ::send(fd, data, static_cast<size_t>(len), MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_write(bio);
    return static_cast<int>(sent);
}

long QuietControl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int QuietCreate(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

const BIO_METHOD* QuietWriter()
{
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "veltrow socket writer");
        if (m) {
            BIO_meth_set_write(m, QuietWrite);
            BIO_meth_set_ctrl(m, QuietControl);
            BIO_meth_set_create(m, QuietCreate);
        }
        return m;
    }();
    return method;
}

// The handshake ended because the peer closed or reset the connection.
bool ClosedByPeer(int sslError, int syscallError)
{
    // With SSL_OP_IGNORE_UNEXPECTED_EOF a bare end reads as a closing alert.
    if (sslError == SSL_ERROR_ZERO_RETURN)
        return true;
    if (sslError == SSL_ERROR_SYSCALL)
        return ERR_peek_error() == 0 && (syscallError == 0 || syscallError == ECONNRESET || syscallError == EPIPE);
    const unsigned long e = ERR_peek_error();
    return sslError == SSL_ERROR_SSL && ERR_GET_LIB(e) == ERR_LIB_SSL &&
           ERR_GET_REASON(e) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

}  // namespace

struct SessionState {
    CtxPtr ctx{nullptr, SSL_CTX_free};
    SslPtr ssl{nullptr, SSL_free};
    std::string host;
    TrustedCertificate trusted;          // what the user trusts for this server
    unsigned problems = 0;               // what the check found, trusted or not
    std::map<unsigned, std::string> details;  // the first detail of each problem
    std::string leaf;                    // fingerprint of the server's certificate
    bool refused = false;                // the certificate, not the connection, failed
    bool established = false;

    std::string Reasons() const
    {
        std::string text;
        for (const auto& [bit, name] : kProblemTexts)
            if (problems & bit) {
                const auto detail = details.find(bit);
                text += (text.empty() ? "" : "、") + (detail != details.end() ? detail->second : std::string(name));
            }
        return text;
    }

    static int Index()
    {
        static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
        return index;
    }
};

namespace {

SessionState* StateOf(X509_STORE_CTX* store)
{
    SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    return ssl ? static_cast<SessionState*>(SSL_get_ex_data(ssl, SessionState::Index())) : nullptr;
}

// Notes every finding and lets the check go on, so that all of them are
// known: the user is shown (and trusts) the whole list, not its first entry.
int VerifyCallback(int ok, X509_STORE_CTX* store)
{
    SessionState* impl = StateOf(store);
    if (!impl || ok)
        return ok;
    const int error = X509_STORE_CTX_get_error(store);
    // Above the server's own certificate, an unsuitable purpose is the
    // issuer that may not issue: the same finding as INVALID_CA.
    const unsigned problem = error == X509_V_ERR_INVALID_PURPOSE && X509_STORE_CTX_get_error_depth(store) > 0
                                 ? IssuerNotCa
                                 : ProblemOf(error);
    impl->problems |= problem;
    impl->details.emplace(problem, DetailOf(problem, error, X509_STORE_CTX_get_current_cert(store)));
    return 1;
}

// The verdict on the whole chain, once every finding is in.
int VerifyChain(X509_STORE_CTX* store, void*)
{
    const int verified = X509_verify_cert(store);
    SessionState* impl = StateOf(store);
    if (!impl)
        return verified;
    // The target is the server's own certificate, whichever link failed.
    impl->leaf = FingerprintOf(X509_STORE_CTX_get0_cert(store));
    if (verified <= 0 && impl->problems == 0) {
        impl->problems = OtherProblem;
        impl->details.emplace(OtherProblem, DetailOf(OtherProblem, X509_STORE_CTX_get_error(store), nullptr));
    }
    if (impl->problems == 0 || impl->trusted.Covers(impl->leaf, impl->problems))
        return 1;
    impl->refused = true;
    if (X509_STORE_CTX_get_error(store) == X509_V_OK)
        X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
}

}  // namespace

ECertificateError::ECertificateError(std::string server, unsigned problems, std::string fingerprint,
                                     std::string reasons)
    : ETlsError(Format((problems & ~tls::Trustable) == 0
                           ? "サーバー %s の証明書を確認できません（%s）。\nSHA-256 フィンガープリント: %s"
                           : "サーバー %s の証明書は安全ではないため接続しません（%s）。"
                             "この証明書は信頼することもできません。サーバーの管理者に証明書の交換を依頼してください。"
                             "\nSHA-256 フィンガープリント: %s",
                       server.c_str(), (reasons.empty() ? DescribeProblems(problems) : reasons).c_str(),
                       fingerprint.c_str())),
      server_(std::move(server)),
      problems_(problems),
      fingerprint_(std::move(fingerprint))
{
}

std::string DescribeProblems(unsigned problems)
{
    std::string text;
    for (const auto& [bit, name] : kProblemTexts)
        if (problems & bit) {
            if (!text.empty())
                text += "、";
            text += name;
        }
    return text;
}

std::string ClosedBeforeEncryption(const std::string& server)
{
    return "サーバー " + server +
           " が暗号化を始める前に接続を閉じました。設定の暗号化（STARTTLS か SSL/TLS か）とポートを確認してください。";
}

Session::Session(int fd, const std::string& host, const TrustedCertificate& trusted) : impl_(new SessionState)
{
    impl_->host = host;
    impl_->trusted = trusted;
    ERR_clear_error();
    // A context per session: it reads the trust store afresh, so a changed
    // store (or SSL_CERT_FILE) applies to the next connection.
    impl_->ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (!impl_->ctx)
        throw ETlsError("TLS を初期化できません: " + OpenSslErrors());
    SSL_CTX* ctx = impl_->ctx.get();
    SSL_CTX_set_min_proto_version(ctx, kMinProtocol);
    // Level 2 at least, whatever the system's configuration says: the check
    // then refuses SHA-1 signatures and RSA keys under 2048 bits.
    SSL_CTX_set_security_level(ctx, std::max(kMinSecurityLevel, SSL_CTX_get_security_level(ctx)));
    // SMTP ends with QUIT and its reply; a server that then closes without the
    // closing alert truncates nothing.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Writes behave like send on a non-blocking socket: partial, and retried
    // from wherever the caller's buffer now is.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_default_verify_paths(ctx);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, VerifyCallback);
    SSL_CTX_set_cert_verify_callback(ctx, VerifyChain, nullptr);

    impl_->ssl.reset(SSL_new(ctx));
    SSL* ssl = impl_->ssl.get();
    BIO* reader = BIO_new_socket(fd, BIO_NOCLOSE);
    BIO* writer = QuietWriter() ? BIO_new(QuietWriter()) : nullptr;
    if (!ssl || !reader || !writer) {
        BIO_free(reader);
        BIO_free(writer);
        throw ETlsError("TLS を初期化できません: " + OpenSslErrors());
    }
    BIO_set_data(writer, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    SSL_set_bio(ssl, reader, writer);
    SSL_set_ex_data(ssl, SessionState::Index(), impl_.get());
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (IsAddress(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
        // The subject's CN names nothing: only subjectAltName does (RFC 6125).
        X509_VERIFY_PARAM_set_hostflags(param,
                                        X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
        X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
        SSL_set_tlsext_host_name(ssl, host.c_str());  // servers with several names pick by it
    }
    SSL_set_connect_state(ssl);
}

Session::~Session() = default;

Want Session::Handshake()
{
    if (impl_->established)
        return Want::Nothing;
    ERR_clear_error();
    errno = 0;
    const int rc = SSL_do_handshake(impl_->ssl.get());
    if (rc == 1) {
        impl_->established = true;
        return lastWant_ = Want::Nothing;
    }
    const int err = SSL_get_error(impl_->ssl.get(), rc);
    if (err == SSL_ERROR_WANT_READ)
        return lastWant_ = Want::Read;
    if (err == SSL_ERROR_WANT_WRITE)
        return lastWant_ = Want::Write;
    if (impl_->refused)
        throw ECertificateError(impl_->host, impl_->problems, impl_->leaf, impl_->Reasons());
    const int syscallError = errno;
    if (ClosedByPeer(err, syscallError))
        throw ETlsError(ClosedBeforeEncryption(impl_->host));
    std::string why = OpenSslErrors();
    if (why.empty())
        why = err == SSL_ERROR_SYSCALL && syscallError != 0 ? std::string(std::strerror(syscallError))
                                                            : "接続が閉じられました";
    throw ETlsError("TLS のハンドシェイクに失敗しました（" + impl_->host + "）: " + why);
}

bool Session::Established() const { return impl_->established; }

// Turns the outcome of SSL_read, SSL_peek or SSL_write into recv's and send's.
int Session::Outcome(int rc, bool writing)
{
    lastWant_ = Want::Nothing;
    if (rc > 0)
        return rc;
    switch (SSL_get_error(impl_->ssl.get(), rc)) {
    case SSL_ERROR_ZERO_RETURN:
        return 0;
    case SSL_ERROR_WANT_READ:
        lastWant_ = Want::Read;
        errno = EAGAIN;
        return -1;
    case SSL_ERROR_WANT_WRITE:
        lastWant_ = Want::Write;
        errno = EAGAIN;
        return -1;
    case SSL_ERROR_SYSCALL:
        if (errno != 0)
            return -1;
        if (!writing)
            return 0;  // the socket ended under the session
        errno = EPIPE;
        return -1;
    default:
        errno = EPROTO;
        return -1;
    }
}

int Session::Read(char* buf, int len)
{
    ERR_clear_error();
    errno = 0;
    return Outcome(SSL_read(impl_->ssl.get(), buf, len), false);
}

int Session::Peek(char* buf, int len)
{
    ERR_clear_error();
    errno = 0;
    return Outcome(SSL_peek(impl_->ssl.get(), buf, len), false);
}

int Session::Write(const char* buf, int len)
{
    if (len == 0)
        return 0;  // SSL_write makes nothing of an empty write but an error
    ERR_clear_error();
    errno = 0;
    return Outcome(SSL_write(impl_->ssl.get(), buf, len), true);
}

bool Session::Pending() const { return SSL_pending(impl_->ssl.get()) > 0; }

void Session::Shutdown()
{
    if (!impl_->established)
        return;
    ERR_clear_error();
    SSL_shutdown(impl_->ssl.get());
    ERR_clear_error();
}

std::string Session::Fingerprint() const
{
    X509* cert = SSL_get0_peer_certificate(impl_->ssl.get());
    return cert ? FingerprintOf(cert) : impl_->leaf;
}

std::string Session::Protocol() const { return impl_->established ? SSL_get_version(impl_->ssl.get()) : ""; }

}  // namespace tls
