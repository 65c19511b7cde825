// The protection of a Send: the connection security and login of the
// settings, the login's password (kept, or asked for in the password box)
// and the certificates the user chose to trust.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "engine/account/OAuth.h"
#include "engine/account/SettingsFile.h"
#include "engine/account/SignInQuestions.h"

class TNMSMTP;
namespace tls {
class ECertificateError;
}

// Beside the settings file: one line "host:port fingerprint findings" per server.
extern const char* const TrustedCertificatesFileName;

class TSendSecurity {
public:
    // Questions go to FrontEnd; TrustedFile is where the trusted
    // certificates are kept.
    TSendSecurity(TSignInQuestions& FrontEnd, std::string TrustedFile)
        : frontEnd_(FrontEnd), trustedFile_(std::move(TrustedFile))
    {
    }

    // Sets Smtp's Security, Login, Password and TrustedFingerprint from
    // Settings. Without a kept password it asks for one (kept in memory until
    // the program ends). False when the user cancelled that box: no Send.
    // A login without encryption is refused here, before any question.
    bool Prepare(const TSettings& Settings, TNMSMTP& Smtp);
    // Prepare's refusal alone, without any question: sets Smtp's Security
    // and Login and raises ESecurityError for a login without encryption.
    void Check(const TSettings& Settings, TNMSMTP& Smtp);
    // After a run ended with E: asks whether to trust exactly that
    // certificate, with exactly its findings, for the server. Yes keeps it in
    // the file and sets Smtp to it (the caller sends again); no returns
    // false. A certificate that cannot be trusted rethrows E, unasked.
    bool TrustAfter(const tls::ECertificateError& E, TNMSMTP& Smtp);
    // The server refused the login: the next Send asks for the password
    // again, or signs in again.
    void LoginRefused();

    // With an OAuth login method: the access token for the connect about to
    // start, set on Smtp. MaySignIn opens the browser when no token is of
    // use; Status tells why first.
    void BeforeConnect(TNMSMTP& Smtp, bool MaySignIn, const std::function<void(const std::string&)>& Status);
    // The server refused the access token: true with a fresh one set on
    // Smtp, false without OAuth. Raises EOAuthError when none comes.
    bool TokenRefused(TNMSMTP& Smtp);
    const std::optional<TOAuthAccount>& OAuth() const { return oauth_; }

private:
    TSignInQuestions& frontEnd_;
    std::string trustedFile_;
    std::optional<TOAuthAccount> oauth_;
    std::string passwordKey_;
    std::string server_;  // "host:port", as the trusted certificates name it
};
