// The parts of the sign-in that need no server: PKCE, the endpoints and
// their replacements from the environment, and the account of the settings;
// then against the test authorization server: the redirect's listener and
// the token endpoint's redirects.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include <QUrl>
#include <QUrlQuery>

#include "engine/account/OAuth.h"
#include "tests/support/OAuthServer.h"

namespace {

TEST(OAuth, CodeChallengeIsS256OfTheVerifier)
{
    // RFC 7636, appendix B.
    EXPECT_EQ(CodeChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
    const std::string a = NewCodeVerifier(), b = NewCodeVerifier();
    EXPECT_EQ(a.size(), 43u);  // 32 bytes, no padding
    EXPECT_EQ(a.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"), std::string::npos);
    EXPECT_NE(a, b);
}

TEST(OAuth, EndpointsOfTheProvidersAndFromTheEnvironment)
{
    TOAuthAccount microsoft{lmOAuthMicrosoft, "id", "", "a@example.jp"};
    TOAuthAccount google{lmOAuthGoogle, "id", "secret", "a@example.jp"};
    EXPECT_EQ(OAuthEndpoints(microsoft).AuthorizeUrl,
              "https://login.microsoftonline.com/organizations/oauth2/v2.0/authorize");
    microsoft.TenantOrSecret = "contoso.onmicrosoft.com";
    EXPECT_EQ(OAuthEndpoints(microsoft).TokenUrl, "https://login.microsoftonline.com/contoso.onmicrosoft.com/oauth2/v2.0/token");
    EXPECT_EQ(OAuthEndpoints(microsoft).Scope, "https://outlook.office.com/SMTP.Send offline_access");
    EXPECT_EQ(OAuthEndpoints(google).TokenUrl, "https://oauth2.googleapis.com/token");
    EXPECT_EQ(OAuthEndpoints(google).Scope, "https://mail.google.com/");

    const std::pair<const char*, bool> urls[] = {
        {"https://login.microsoftonline.us/common/oauth2/v2.0/token", true},
        {"http://127.0.0.1:8080/token", true},
        {"http://[::1]:8080/token", true},
        {"http://login.example.jp/token", false},  // plain http off the machine
        {"http://localhost:8080/token", false},     // a name may resolve elsewhere
        {"ftp://127.0.0.1/token", false},
        {"not a url", false},
    };
    for (const auto& [url, allowed] : urls) {
        SCOPED_TRACE(url);
        setenv("VELTROW_OAUTH_TOKEN_URL", url, 1);
        if (allowed) {
            EXPECT_EQ(OAuthEndpoints(google).TokenUrl, url);
        } else {
            try {
                OAuthEndpoints(google);
                ADD_FAILURE() << "accepted";
            } catch (const EOAuthError& e) {
                EXPECT_NE(e.Message().find("VELTROW_OAUTH_TOKEN_URL"), std::string::npos) << e.Message();
            }
        }
    }
    unsetenv("VELTROW_OAUTH_TOKEN_URL");
}

TEST(OAuth, AnAccountNeedsTheAddressAndTheClientID)
{
    TSettings settings;
    EXPECT_EQ(TOAuthAccount::From(settings), std::nullopt);  // the password method
    settings.LoginMethod = lmOAuthMicrosoft;
    const std::pair<const char*, const char*> cases[] = {{"", "id"}, {"a@example.jp", ""}};
    for (const auto& [login, id] : cases) {
        settings.LoginName = login;
        settings.OAuthClientID = id;
        EXPECT_THROW(TOAuthAccount::From(settings), EOAuthError) << login << id;
    }
    settings.OAuthClientID = "id";
    EXPECT_EQ(TOAuthAccount::From(settings)->Key(), "oauth-microsoft:id:a@example.jp");
}

// The errno of binding a fresh socket to Address:Port (0 when it bound).
int BindError(int Family, const char* Address, uint16_t Port)
{
    const int fd = socket(Family, SOCK_STREAM, 0);
    if (fd < 0)
        return errno;
    int rc = 0;
    if (Family == AF_INET6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(Port);
        inet_pton(AF_INET6, Address, &a.sin6_addr);
        rc = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(Port);
        inet_pton(AF_INET, Address, &a.sin_addr);
        rc = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    const int error = rc == 0 ? 0 : errno;
    close(fd);
    return error;
}

// The test authorization server in place of the provider's, its browser
// script as the user's browser.
class OAuthServerTest : public ::testing::Test {
protected:
    TOAuthAccount Start(TLoginMethod Method, const char* Browser = "")
    {
        testsupport::OAuthServer::Options o;
        o.ClientSecret = Method == lmOAuthGoogle ? "GOCSPX-public-by-design" : "";
        server_ = std::make_unique<testsupport::OAuthServer>(o);
        setenv("VELTROW_OAUTH_AUTHORIZE_URL", server_->AuthorizeUrl().c_str(), 1);
        setenv("VELTROW_OAUTH_TOKEN_URL", server_->TokenUrl().c_str(), 1);
        setenv("BROWSER", testsupport::OAuthServer::Browser().c_str(), 1);
        setenv("VELTROW_TEST_BROWSER_LOG", server_->BrowserLog().c_str(), 1);
        setenv("VELTROW_TEST_BROWSER", Browser, 1);
        return {Method, o.ClientID, o.ClientSecret, "taro@example.jp"};
    }
    void TearDown() override
    {
        for (const char* name : {"VELTROW_OAUTH_AUTHORIZE_URL", "VELTROW_OAUTH_TOKEN_URL", "BROWSER",
                                 "VELTROW_TEST_BROWSER_LOG", "VELTROW_TEST_BROWSER"})
            unsetenv(name);
    }
    std::unique_ptr<testsupport::OAuthServer> server_;
};

// A redirect from the token endpoint is refused, not followed: the code, the
// verifier, the refresh token and the client secret reach no other address.
TEST_F(OAuthServerTest, TheTokenEndpointsRedirectIsRefused)
{
    for (const int status : {301, 302, 307, 308}) {
        for (const bool signIn : {true, false}) {
            SCOPED_TRACE(std::to_string(status) + (signIn ? " sign-in" : " refresh"));
            const TOAuthAccount account = Start(lmOAuthGoogle);
            server_->RedirectTokens(status);
            std::string message;
            try {
                if (signIn)
                    TOAuthSignIn(account).Run();
                else
                    RefreshTokens(account, "1//kept-refresh-token");
                ADD_FAILURE() << "tokens taken from the redirect";
            } catch (const EOAuthError& e) {
                message = e.Message();
                EXPECT_FALSE(e.SignInAgain());
            }
            EXPECT_NE(message.find("別のアドレス"), std::string::npos) << message;
            EXPECT_NE(message.find("HTTP " + std::to_string(status)), std::string::npos) << message;
            EXPECT_NE(message.find("/elsewhere"), std::string::npos) << message;
            EXPECT_EQ(server_->Count("token redirected"), 1);
            EXPECT_EQ(server_->Count("elsewhere POST") + server_->Count("elsewhere GET"), 0);
            for (const std::string& secret : server_->Secrets())
                EXPECT_EQ(message.find(secret), std::string::npos);
        }
    }
}

// The redirect's port is held on both loopback addresses before the browser
// opens, so no other program can take the code at [::1]; the code arrives
// at either address.
TEST_F(OAuthServerTest, TheRedirectPortIsHeldOnBothLoopbackAddresses)
{
    if (BindError(AF_INET6, "::1", 0) != 0)
        GTEST_SKIP() << "no IPv6 loopback address on this machine";
    for (const char* browser : {"", "ipv6"}) {
        SCOPED_TRACE(*browser ? browser : "127.0.0.1");
        TOAuthSignIn flow(Start(lmOAuthMicrosoft, browser));
        flow.TimeoutMs = 30000;  // a code that never arrives fails in time
        std::vector<int> squatters;
        flow.OpenBrowser = [&](const QUrl& page) {
            const QUrl redirect(QUrlQuery(page).queryItemValue("redirect_uri", QUrl::FullyDecoded));
            EXPECT_EQ(redirect.host(), "localhost");
            const auto port = static_cast<uint16_t>(redirect.port());
            squatters = {BindError(AF_INET, "127.0.0.1", port), BindError(AF_INET6, "::1", port)};
            return OpenInBrowser(page);
        };
        const TOAuthTokens tokens = flow.Run();
        EXPECT_EQ(squatters, (std::vector<int>{EADDRINUSE, EADDRINUSE}));
        EXPECT_FALSE(tokens.Access.empty());
        EXPECT_EQ(server_->Count("token authorization_code"), 1);
    }
}

}  // namespace
