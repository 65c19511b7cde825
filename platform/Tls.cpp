#include "platform/Tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace tls {
namespace {

using CtxPtr = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;
using SslPtr = std::unique_ptr<SSL, decltype(&SSL_free)>;

// Anything older than TLS 1.2 is refused by every provider we talk to, and
// is broken besides.
constexpr int kMinProtocol = TLS1_2_VERSION;

unsigned ProblemOf(int verifyError)
{
    switch (verifyError) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return Expired;
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
    default:
        return OtherProblem;
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

}  // namespace

struct SessionState {
    CtxPtr ctx{nullptr, SSL_CTX_free};
    SslPtr ssl{nullptr, SSL_free};
    std::string host;
    std::string trusted;     // fingerprint the user trusts for this server
    unsigned problems = 0;   // what the check found, trusted or not
    std::string leaf;        // fingerprint of the server's certificate
    bool established = false;

    static int Index()
    {
        static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
        return index;
    }
};

namespace {

int VerifyCallback(int ok, X509_STORE_CTX* store)
{
    SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* impl = static_cast<SessionState*>(SSL_get_ex_data(ssl, SessionState::Index()));
    if (!impl)
        return ok;
    // The target is the server's own certificate, whichever link failed.
    if (impl->leaf.empty())
        impl->leaf = FingerprintOf(X509_STORE_CTX_get0_cert(store));
    if (ok)
        return 1;
    impl->problems |= ProblemOf(X509_STORE_CTX_get_error(store));
    // The user trusts exactly this certificate for this server: any finding goes.
    return !impl->trusted.empty() && impl->trusted == impl->leaf ? 1 : 0;
}

}  // namespace

ECertificateError::ECertificateError(std::string server, unsigned problems, std::string fingerprint)
    : ETlsError(Format("サーバー %s の証明書を確認できません（%s）。\nSHA-256 フィンガープリント: %s", server.c_str(),
                       DescribeProblems(problems).c_str(), fingerprint.c_str())),
      server_(std::move(server)),
      problems_(problems),
      fingerprint_(std::move(fingerprint))
{
}

std::string DescribeProblems(unsigned problems)
{
    static const std::pair<unsigned, const char*> kTexts[] = {
        {Expired, "期限切れ"},
        {NameMismatch, "サーバー名と一致しません"},
        {UntrustedIssuer, "信頼されていない発行者"},
        {OtherProblem, "その他の検証エラー"},
    };
    std::string text;
    for (const auto& [bit, name] : kTexts)
        if (problems & bit) {
            if (!text.empty())
                text += "、";
            text += name;
        }
    return text;
}

Session::Session(int fd, const std::string& host, const std::string& trustedFingerprint) : impl_(new SessionState)
{
    impl_->host = host;
    impl_->trusted = trustedFingerprint;
    ERR_clear_error();
    // A context per session: it reads the trust store afresh, so a changed
    // store (or SSL_CERT_FILE) applies to the next connection.
    impl_->ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (!impl_->ctx)
        throw ETlsError("TLS を初期化できません: " + OpenSslErrors());
    SSL_CTX* ctx = impl_->ctx.get();
    SSL_CTX_set_min_proto_version(ctx, kMinProtocol);
    // SMTP ends with QUIT and its reply; a server that then closes without the
    // closing alert truncates nothing.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Writes behave like send on a non-blocking socket: partial, and retried
    // from wherever the caller's buffer now is.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_default_verify_paths(ctx);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, VerifyCallback);

    impl_->ssl.reset(SSL_new(ctx));
    SSL* ssl = impl_->ssl.get();
    if (!ssl || SSL_set_fd(ssl, fd) != 1)
        throw ETlsError("TLS を初期化できません: " + OpenSslErrors());
    SSL_set_ex_data(ssl, SessionState::Index(), impl_.get());
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (IsAddress(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
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
    const long verify = SSL_get_verify_result(impl_->ssl.get());
    if (verify != X509_V_OK || impl_->problems != 0)
        throw ECertificateError(impl_->host, impl_->problems ? impl_->problems : ProblemOf(static_cast<int>(verify)),
                                impl_->leaf);
    std::string why = OpenSslErrors();
    if (why.empty())
        why = err == SSL_ERROR_SYSCALL && errno != 0 ? std::string(std::strerror(errno)) : "接続が閉じられました";
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

std::string TrustedCertificates::Find(const std::string& server) const
{
    std::ifstream in(path_);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name, fingerprint;
        if (fields >> name >> fingerprint && name == server)
            return fingerprint;
    }
    return std::string();
}

void TrustedCertificates::Trust(const std::string& server, const std::string& fingerprint) const
{
    std::vector<std::string> kept;
    {
        std::ifstream in(path_);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string name;
            if (fields >> name && name != server)
                kept.push_back(line);
        }
    }
    kept.push_back(server + " " + fingerprint);
    std::ofstream out(path_, std::ios::trunc);
    for (const auto& line : kept)
        out << line << '\n';
    out.flush();
    if (!out)
        throw EFCreateError(path_);
}

}  // namespace tls
