// What signing in may have to ask the user: the login's password and whether
// to trust a server's certificate. The run's front end answers them; the
// account's code knows no more of it than this.
#pragma once

#include <optional>
#include <string>

namespace tls {
class ECertificateError;
}

class TSignInQuestions {
public:
    virtual ~TSignInQuestions() = default;

    // The login's password where the secret store keeps none; nullopt cancels.
    virtual std::optional<std::string> AskPassword(const std::string& Login, const std::string& Server) = 0;
    // The server's certificate is not trusted but could be: true to trust
    // exactly this one (Question names its findings and the server).
    virtual bool TrustCertificate(const tls::ECertificateError& E, const std::string& Server,
                                  const std::string& Question) = 0;
};
