// The protected session: EHLO, STARTTLS or TLS from the first byte, and SMTP
// AUTH. It never falls back to less: a missing STARTTLS, a failed handshake
// or AUTH offered only in clear ends the session before a password or a
// message is sent.

#include <algorithm>
#include <cstdlib>

#include "smtp/Extensions.h"
#include "smtp/NMsmtp.h"
#include "smtp/Sasl.h"
#include "rtl/SysUtils.h"

namespace {

// RFC 1035's longest domain name, with room for the terminating zero.
constexpr int LocalNameSize = 256;


void ThrowIfClosed(const TReply& reply)
{
    if (reply.Closed)
        throw ESmtpError("Connection closed by server", reply);
}

}  // namespace

void TNMSMTP::CheckSecurity() const
{
    if (!Login.empty() && Security == ssNone)
        throw ESecurityError("ログインするには暗号化（STARTTLS または SSL/TLS）を設定してください。"
                             "暗号化していない接続でパスワードは送りません。");
}

void TNMSMTP::OpenSecure()
{
    if (Security == ssImplicitTls) {
        tlsStarted_ = true;
        StartTls(Host, TrustedFingerprint, TrustedProblems);
    }
    ReadGreeting();
    TReply ehlo = Ehlo();
    if (Security == ssStartTls) {
        if (!TEhloExtensions::Parse(ehlo.Lines).Has("STARTTLS"))
            throw ESecurityError("サーバー " + Host + " は STARTTLS に対応していません。暗号化せずには送信しません。");
        const TReply reply = Exchange("STARTTLS", reWhole);
        ThrowIfClosed(reply);
        if (reply.Code != 220)
            throw ESmtpError(WithoutLineEnd(reply.Text()), reply);
        tlsStarted_ = true;
        StartTls(Host, TrustedFingerprint, TrustedProblems);
        // What the server said before the handshake no longer counts (RFC 3207 4.2).
        ehlo = Ehlo();
    }
    const TEhloExtensions offered = TEhloExtensions::Parse(ehlo.Lines);
    sizeOffered_ = offered.Has("SIZE");
    if (sizeOffered_) {
        // No number: no fixed limit (RFC 1870 4). A number we cannot read
        // tells nothing.
        const std::vector<std::string> size = offered.Parameters("SIZE");
        if (size.empty())
            sizeLimit_ = 0;
        else if (size[0].size() <= 18 && size[0].find_first_not_of("0123456789") == std::string::npos)
            sizeLimit_ = std::strtoll(size[0].c_str(), nullptr, 10);
    }
    if (!Login.empty())
        Authenticate(offered);
    // Groups begin only after AUTH: nothing may follow it in one.
    pipelined_ = Pipelining && offered.Has("PIPELINING");
}

TReply TNMSMTP::Ehlo()
{
    const TReply reply = Exchange("EHLO " + EhloIdentity(), reWhole);
    ThrowIfClosed(reply);
    if (reply.Code != 250)
        throw ESmtpError(WithoutLineEnd(reply.Text()), reply);
    return reply;
}

std::string TNMSMTP::EhloIdentity()
{
    if (!UserID.empty())
        return UserID;
    char name[LocalNameSize] = {};
    if (winsock::gethostname(name, sizeof name - 1) == 0) {
        const hostent* entry = winsock::gethostbyname(name);
        const std::string full = entry && entry->h_name ? entry->h_name : name;
        if (full.find('.') != std::string::npos)
            return full;
    }
    // No domain name to give: the address literal (RFC 5321 4.1.4).
    sockaddr_in local{};
    int size = sizeof local;
    winsock::getsockname(SocketHandle, reinterpret_cast<sockaddr*>(&local), &size);
    return std::string("[") + winsock::inet_ntoa(local.sin_addr) + "]";
}

void TNMSMTP::Authenticate(const TEhloExtensions& Offered)
{
    // The password goes only through a session already encrypted.
    if (!Encrypted())
        throw ESecurityError("暗号化していない接続ではパスワードを送りません。");
    if (!Offered.Has("AUTH"))
        throw ESecurityError("サーバー " + Host + " は暗号化した接続でログイン（AUTH）を受け付けていません。");
    const std::vector<std::string> offered = Offered.Parameters("AUTH");
    const auto mechanism = sasl::Choose(offered, {Login, Password, AccessToken});
    if (!mechanism) {
        std::string names;
        for (const auto& n : offered)
            names += (names.empty() ? "" : " ") + n;
        throw ESecurityError("サーバーのログイン方式（" + names + "）には対応していません。");
    }
    sasl::Authenticate(*mechanism, [this](const std::string& line) {
        const TReply reply = Exchange(line, reWhole);
        ThrowIfClosed(reply);
        sasl::Step step;
        step.Code = reply.Code;
        step.Line = WithoutLineEnd(reply.Text());
        step.Text = step.Line.size() > 4 ? step.Line.substr(4) : std::string();
        return step;
    });
}
