// The sign-in tests' authorization server (oauth_server.py, Python's
// http.server) on 127.0.0.1 with a port of its own choosing, and the browser
// script that signs in through it when set as $BROWSER.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/SmtpSink.h"

namespace testsupport {

class OAuthServer {
public:
    struct Options {
        std::string ClientID = "veltrow-test-client";
        std::string ClientSecret;  // required of every token request when set
        int ExpiresIn = 3600;      // lifetime given with each access token
    };

    // Starts the server and waits (bounded) for its port; throws
    // std::runtime_error when it cannot be started.
    explicit OAuthServer(const Options& options);
    ~OAuthServer();
    OAuthServer(const OAuthServer&) = delete;
    OAuthServer& operator=(const OAuthServer&) = delete;

    std::string AuthorizeUrl() const;
    std::string TokenUrl() const;
    // The current access token, for SmtpSink::Options::XOAuth2TokenFile.
    std::string TokenFile() const { return folder_.Path() + "/token"; }

    // From now on refreshes are answered invalid_grant.
    void RefuseRefresh() { Command("refuse-refresh"); }
    // The access token issued last is no longer accepted by the SMTP server.
    void Revoke() { Command("revoke"); }
    // From now on token requests are answered Status, pointing at another
    // address of the server, where every request is reported "elsewhere
    // METHOD".
    void RedirectTokens(int Status) { Command("redirect-token " + std::to_string(Status)); }

    // How often the server reported Report ("authorize", "token
    // refresh_token", "refused invalid_grant", ...) so far.
    int Count(const std::string& report);
    // Every code, verifier and token that passed through the server.
    std::vector<std::string> Secrets();

    // The browser script, and the file where it notes each step ("open",
    // "forged 400", "redirect 200 <page>").
    static std::string Browser();
    std::string BrowserLog() const { return folder_.Path() + "/browser.log"; }

private:
    void Command(const std::string& line);
    // Reads what the server reported, waiting up to timeoutMs for more.
    void Drain(int timeoutMs);

    TempFolder folder_;
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
    uint16_t port_ = 0;
    std::string output_;
};

}  // namespace testsupport
