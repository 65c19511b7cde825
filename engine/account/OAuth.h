// Signing in to Microsoft 365 and Google with OAuth 2.0: the authorization
// code with PKCE (RFC 7636) through the user's browser and a loopback
// redirect (RFC 8252), the token requests, and the tokens kept for the
// account. Needs no widgets, so a command line front end can sign in too;
// every wait runs a local event loop on the calling thread.
//
// Tokens, codes and verifiers never appear in an exception's text.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/account/SettingsFile.h"
#include "rtl/Exception.h"

class QTcpServer;
class QUrl;

class EOAuthError : public Exception {
public:
    // SignInAgain: no token of the account is of use any more (a refresh
    // answered invalid_grant, or the server refused a fresh token).
    explicit EOAuthError(const std::string& Msg, bool SignInAgain = false)
        : Exception(Msg), signInAgain_(SignInAgain)
    {
    }
    bool SignInAgain() const { return signInAgain_; }

private:
    bool signInAgain_;
};

// The user ended the sign-in (Abort, the window's close).
class EOAuthAborted : public EOAuthError {
public:
    EOAuthAborted() : EOAuthError("サインインを中止しました。") {}
};

// Who signs in where: settings lines 7 and 10 to 12.
struct TOAuthAccount {
    TLoginMethod Method = lmPassword;
    std::string ClientID;
    std::string TenantOrSecret;
    std::string Login;  // the mail address signed in as

    // From the settings; nullopt for the password method. Raises
    // EOAuthError when the login name or the client ID is missing.
    static std::optional<TOAuthAccount> From(const TSettings& Settings);
    std::string ProviderName() const;  // "Microsoft 365" or "Google"
    // Where the refresh token is kept in the secret store.
    std::string Key() const;
};

struct TOAuthEndpoints {
    std::string AuthorizeUrl;
    std::string TokenUrl;
    std::string Scope;
    // Microsoft matches a registered "http://localhost" with any port; Google
    // takes the address itself. The listener serves both loopback addresses,
    // so whichever "localhost" names reaches it.
    std::string RedirectHost;
};

// The provider's endpoints, or VELTROW_OAUTH_AUTHORIZE_URL and
// VELTROW_OAUTH_TOKEN_URL in their place; those must be https, or http on a
// loopback address (EOAuthError naming the variable).
TOAuthEndpoints OAuthEndpoints(const TOAuthAccount& Account);

// PKCE: 32 random bytes as base64url, and its S256 challenge.
std::string NewCodeVerifier();
std::string CodeChallenge(const std::string& Verifier);

struct TOAuthTokens {
    std::string Access;
    std::string Refresh;  // empty when the answer carried none
    int64_t ExpiresAtMs = 0;  // on the monotonic clock of TickCount
};

// The token endpoint's JSON error in Japanese, the provider's own text after it.
std::string OAuthErrorText(const std::string& Error, const std::string& Description);

// Opens Url in the user's browser: DesktopBrowser when set and it succeeds,
// else $BROWSER or xdg-open.
bool OpenInBrowser(const QUrl& Url);
// The desktop's own handler, which a windowed front end sets: the engine
// links no GUI library. False where it opened nothing.
std::function<bool(const QUrl&)>& DesktopBrowser();

// One sign-in: a listener on 127.0.0.1 and ::1 at one port from the kernel
// (127.0.0.1 alone where the machine has no IPv6), the provider's page in
// the browser, exactly one redirect with the right state, then the code
// exchanged for tokens at the token endpoint itself: a redirect there is
// refused, never followed.
class TOAuthSignIn {
public:
    explicit TOAuthSignIn(const TOAuthAccount& Account) : account_(Account) {}

    std::function<bool(const QUrl&)> OpenBrowser = OpenInBrowser;
    // The user gets this long to finish in the browser.
    int TimeoutMs = 5 * 60 * 1000;

    // Raises EOAuthError (EOAuthAborted after Abort).
    TOAuthTokens Run();
    void Abort();

private:
    // Opens the page and waits for the redirect on Servers; its code.
    std::string WaitForCode(const std::vector<QTcpServer*>& Servers, const QUrl& Page, const std::string& State);

    TOAuthAccount account_;
    bool aborted_ = false;
    std::function<void()> stop_;  // ends the wait in hand
};

// A refresh: new tokens, or EOAuthError (SignInAgain for invalid_grant).
TOAuthTokens RefreshTokens(const TOAuthAccount& Account, const std::string& RefreshToken);

// The tokens of the accounts: access tokens in memory only, refresh tokens
// in the system's secret store (in memory where none runs).
class TOAuthKeeper {
public:
    // An access token that stays valid for at least the margin, refreshed
    // when needed. Without a refresh token, or after invalid_grant, signs in
    // when MaySignIn, else raises EOAuthError with SignInAgain. BeforeSignIn
    // is told why the browser opens.
    std::string AccessToken(const TOAuthAccount& Account, bool MaySignIn,
                            const std::function<void(const std::string&)>& BeforeSignIn = nullptr);
    // The sign-in in the browser, whatever is kept.
    void SignIn(const TOAuthAccount& Account);
    // The server refused the access token: a new one by refresh, or
    // EOAuthError with SignInAgain.
    std::string Refresh(const TOAuthAccount& Account);
    // Nothing kept for the account is used again.
    void Forget(const TOAuthAccount& Account);
    bool SignedIn(const TOAuthAccount& Account);

    bool SigningIn() const { return signIn_ != nullptr; }
    void AbortSignIn();
    // Tests: the browser and the sign-in's give-up time.
    std::function<bool(const QUrl&)> OpenBrowser = OpenInBrowser;
    int SignInTimeoutMs = 5 * 60 * 1000;

private:
    void Keep(const TOAuthAccount& Account, const TOAuthTokens& Tokens);

    std::map<std::string, TOAuthTokens> access_;  // by Key(), refresh token not kept here
    TOAuthSignIn* signIn_ = nullptr;
};

TOAuthKeeper& OAuthKeeper();
