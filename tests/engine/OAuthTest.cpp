// The parts of the sign-in that need no server: PKCE, the endpoints and
// their replacements from the environment, and the account of the settings.

#include <gtest/gtest.h>

#include <cstdlib>

#include "engine/OAuth.h"

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

}  // namespace
