#include "engine/account/SendSecurity.h"

#include "engine/account/Passwords.h"
#include "platform/Tls.h"
#include "smtp/NMsmtp.h"

const char* const TrustedCertificatesFileName = "信頼する証明書.txt";

namespace {

TSmtpSecurity SmtpSecurity(TConnectionSecurity Security)
{
    switch (Security) {
    case csStartTls:
        return ssStartTls;
    case csTls:
        return ssImplicitTls;
    default:
        return ssNone;
    }
}

}  // namespace

bool TSendSecurity::Prepare(const TSettings& Settings, TNMSMTP& Smtp)
{
    server_ = Settings.Host + ":" + Settings.Port;
    Smtp.Security = SmtpSecurity(Settings.Security);
    Smtp.Login = Settings.LoginName;
    Smtp.Password.clear();
    const tls::TrustedCertificate trusted = tls::TrustedCertificates(trustedFile_).Find(server_);
    Smtp.TrustedFingerprint = trusted.Fingerprint;
    Smtp.TrustedProblems = trusted.Problems;
    Smtp.AccessToken.clear();
    Smtp.CheckSecurity();
    passwordKey_.clear();
    // The token is fetched at each connect: it may sign in or expire in between.
    oauth_ = TOAuthAccount::From(Settings);
    if (Settings.LoginName.empty() || oauth_)
        return true;
    passwordKey_ = PasswordKey(Settings.Host, Settings.Port, Settings.LoginName);
    std::optional<std::string> password = Passwords().Find(passwordKey_);
    if (!password) {
        password = frontEnd_.AskPassword(Settings.LoginName, Settings.Host);
        if (!password)
            return false;
        Passwords().Save(passwordKey_, *password, true);
    }
    Smtp.Password = *password;
    return true;
}

bool TSendSecurity::TrustAfter(const tls::ECertificateError& E, TNMSMTP& Smtp)
{
    // Weak algorithms and broken chains are refused outright: no offer.
    if (!E.Trustable())
        throw E;
    const std::string question = E.Message() + "\n\nこのサーバー（" + server_ +
                                 "）のこの証明書を今後は信頼して接続しますか？\n証明書が変わったときはもう一度確認します。";
    if (!frontEnd_.TrustCertificate(E, server_, question))
        return false;
    // Exactly what the question showed: a later finding is asked about again.
    tls::TrustedCertificates(trustedFile_).Trust(server_, E.Fingerprint(), E.Problems());
    Smtp.TrustedFingerprint = E.Fingerprint();
    Smtp.TrustedProblems = E.Problems();
    return true;
}

void TSendSecurity::LoginRefused()
{
    if (oauth_)
        OAuthKeeper().Forget(*oauth_);
    else if (!passwordKey_.empty())
        Passwords().Refused(passwordKey_);
}

void TSendSecurity::BeforeConnect(TNMSMTP& Smtp, bool MaySignIn,
                                  const std::function<void(const std::string&)>& Status)
{
    if (oauth_)
        Smtp.AccessToken = OAuthKeeper().AccessToken(*oauth_, MaySignIn, Status);
}

bool TSendSecurity::TokenRefused(TNMSMTP& Smtp)
{
    if (!oauth_)
        return false;
    Smtp.AccessToken = OAuthKeeper().Refresh(*oauth_);
    return true;
}

void TSendSecurity::Check(const TSettings& Settings, TNMSMTP& Smtp)
{
    Smtp.Security = SmtpSecurity(Settings.Security);
    Smtp.Login = Settings.LoginName;
    Smtp.CheckSecurity();
}
