// The parts of the sign-in that need no server: PKCE, the endpoints and
// their replacements from the environment, and the settings lines.

#include <gtest/gtest.h>

#include <cstdlib>

#include "app/OAuth.h"
#include "rtl/StringList.h"

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

TEST(OAuth, SettingsLinesTenToTwelve)
{
    const std::string five = "h\r\n25\r\nu\r\nn\r\na@b\r\n";
    struct Case {
        std::string extension;
        TLoginMethod method;
        const char* error;  // nullptr: accepted
    };
    const Case cases[] = {
        {"", lmPassword, nullptr},  // an older file
        {"starttls\r\na@b\r\nauto\r\n0\r\n\r\n", lmPassword, nullptr},
        {"starttls\r\na@b\r\nauto\r\n0\r\noauth-microsoft\r\nid\r\ncontoso\r\n", lmOAuthMicrosoft, nullptr},
        {"tls\r\na@b\r\nauto\r\n0\r\noauth-google\r\nid\r\nGOCSPX-x\r\n", lmOAuthGoogle, nullptr},
        {"tls\r\na@b\r\nauto\r\n0\r\noauth\r\n", lmPassword, "設定.txt の 10 行目 (ログイン方式) の「oauth」は使えません。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extension);
        TStringList lines;
        lines.SetText(five + c.extension);
        TSettings settings;
        if (c.error) {
            try {
                ParseSettings(lines, settings);
                ADD_FAILURE() << "accepted";
            } catch (const ESettingsError& e) {
                EXPECT_EQ(e.Message().rfind(c.error, 0), 0u) << e.Message();
            }
            continue;
        }
        ParseSettings(lines, settings);
        EXPECT_EQ(settings.LoginMethod, c.method);
        const auto account = TOAuthAccount::From(settings);
        EXPECT_EQ(account.has_value(), c.method != lmPassword);
        EXPECT_EQ(account ? account->ClientID : "id", "id");
    }
    TSettings noLogin;
    noLogin.LoginMethod = lmOAuthMicrosoft;
    noLogin.OAuthClientID = "id";
    EXPECT_THROW(TOAuthAccount::From(noLogin), EOAuthError);
}

}  // namespace
