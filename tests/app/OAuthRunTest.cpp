// Sends through the main window with an OAuth login: the sign-in through a
// browser script against the test authorization server, AUTH XOAUTH2 at
// aiosmtpd over STARTTLS, refreshes, a forged state, Abort, and where the
// tokens are (and are not) kept.

#include <filesystem>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>

#include "app/Main.h"
#include "engine/account/OAuth.h"
#include "engine/account/Passwords.h"
#include "app/Setting.h"
#include "smtp/NMsmtp.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/Certificates.h"
#include "tests/support/OAuthServer.h"
#include "tests/support/SecretService.h"

using namespace apptest;
using testsupport::OAuthServer;
using testsupport::SmtpSink;

namespace {

const std::string kLogin = "taro@example.jp";

class OAuthRunTest : public AppTest {
protected:
    static void SetUpTestSuite() { testsupport::TestCertificates::Get().TrustAuthority(); }

    // Servers for the method; every test signs in with a client ID of its
    // own, so no token of an earlier test is found.
    void Start(TLoginMethod Method, int ExpiresIn = 3600, const char* Browser = "")
    {
        static int clients = 0;
        OAuthServer::Options o;
        o.ClientID = "client-" + std::to_string(++clients);
        o.ClientSecret = Method == lmOAuthGoogle ? "GOCSPX-public-by-design" : "";
        clientID_ = o.ClientID;
        secret_ = o.ClientSecret;
        o.ExpiresIn = ExpiresIn;
        oauth_ = std::make_unique<OAuthServer>(o);
        SmtpSink::Options s = testsupport::TestCertificates::Get().StartTls("valid");
        s.XOAuth2TokenFile = oauth_->TokenFile();
        sink_ = std::make_unique<SmtpSink>(s);
        setenv("VELTROW_OAUTH_AUTHORIZE_URL", oauth_->AuthorizeUrl().c_str(), 1);
        setenv("VELTROW_OAUTH_TOKEN_URL", oauth_->TokenUrl().c_str(), 1);
        setenv("BROWSER", OAuthServer::Browser().c_str(), 1);
        setenv("VELTROW_TEST_BROWSER_LOG", oauth_->BrowserLog().c_str(), 1);
        setenv("VELTROW_TEST_BROWSER", Browser, 1);
        WriteFile(SettingsFileName, "localhost\r\n" + std::to_string(sink_->Port()) +
                                        "\r\npc01.example.jp\r\nTaro\r\ntaro@example.jp\r\nstarttls\r\n" + kLogin +
                                        "\r\nauto\r\n0\r\n" + LoginMethodName(Method) + "\r\n" + o.ClientID + "\r\n" +
                                        o.ClientSecret + "\r\n");
        Form1->Edit1->setText(QString::fromStdString(WriteRecipients("a@example.jp\r\n")));
        Form1->Edit2->setText("hello");
    }
    void TearDown() override
    {
        for (const char* name : {"VELTROW_OAUTH_AUTHORIZE_URL", "VELTROW_OAUTH_TOKEN_URL", "BROWSER"})
            unsetenv(name);
        AppTest::TearDown();
    }
    int BrowserOpened() const
    {
        const std::string log = std::filesystem::exists(oauth_->BrowserLog()) ? ReadFile(oauth_->BrowserLog()) : "";
        int n = 0;
        for (size_t at = log.find("open\n"); at != std::string::npos; at = log.find("open\n", at + 1))
            ++n;
        return n;
    }
    // Sends once; true when the sink then holds Messages messages, the
    // last one signed in as kLogin.
    bool Delivers(size_t Messages)
    {
        Click(Form1->Button4);
        return sink_->WaitForMessages(Messages) && sink_->MessageCount() == Messages &&
               sink_->Message(Messages - 1).AuthLogin == kLogin;
    }

    std::string clientID_, secret_;
    std::unique_ptr<OAuthServer> oauth_;
    std::unique_ptr<SmtpSink> sink_;
};

TEST_F(OAuthRunTest, SignsInAtSendThenRefreshesARefusedTokenAndKeepsNothingOnDisk)
{
    testsupport::PrivateSecretService service;
    Passwords().UseSystemStore(std::make_unique<TKeychainStore>());
    for (TLoginMethod method : {lmOAuthMicrosoft, lmOAuthGoogle}) {
        SCOPED_TRACE(LoginMethodName(method));
        Start(method);
        ASSERT_TRUE(Delivers(1)) << (Boxes.empty() ? "" : BoxTexts()[0]);
        EXPECT_EQ(BrowserOpened(), 1);
        EXPECT_NE(ReadFile(oauth_->BrowserLog()).find("redirect 200"), std::string::npos);
        EXPECT_NE(ReadFile(oauth_->BrowserLog()).find("サインインしました。このタブを閉じてください。"), std::string::npos);

        // The server no longer takes the token it issued: refreshed once,
        // tried again, without the browser.
        oauth_->Revoke();
        ASSERT_TRUE(Delivers(2));
        EXPECT_EQ(BrowserOpened(), 1);
        EXPECT_EQ(oauth_->Count("token refresh_token"), 1);
        EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];

        // The refresh token is in the secret store; no secret is in a file
        // of the profile folder or in a box.
        const auto secrets = oauth_->Secrets();
        ASSERT_GE(secrets.size(), 5u);  // code, verifier, two pairs of tokens
        const std::string key = std::string(LoginMethodName(method)) + ":" + clientID_ + ":" + kLogin;
        EXPECT_NE(service.Search("user", key).find(secrets.back()), std::string::npos);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(Scratch())) {
            if (!entry.is_regular_file())
                continue;
            const std::string bytes = ReadFile(entry.path().string());
            for (const auto& secret : secrets)
                EXPECT_EQ(bytes.find(secret), std::string::npos) << entry.path() << " holds a secret";
        }
        for (const auto& box : Summaries)
            for (const auto& secret : secrets)
                EXPECT_EQ(box.Text.find(secret), std::string::npos);
    }
}

TEST_F(OAuthRunTest, AnExpiringTokenIsRefreshedAndInvalidGrantSignsInAgain)
{
    Passwords().UseSystemStore(std::make_unique<TMemoryStore>());
    Start(lmOAuthGoogle, 60);  // within the margin: never used as it is
    ASSERT_TRUE(Delivers(1));
    ASSERT_TRUE(Delivers(2));
    EXPECT_EQ(BrowserOpened(), 1);
    EXPECT_EQ(oauth_->Count("token refresh_token"), 1);

    oauth_->RefuseRefresh();
    Watch watch;
    ASSERT_TRUE(Delivers(3));
    EXPECT_EQ(oauth_->Count("refused invalid_grant"), 1);
    EXPECT_EQ(BrowserOpened(), 2);
    ASSERT_FALSE(watch.status.empty());
    EXPECT_NE(watch.status.front().find("もう一度サインインしてください"), std::string::npos) << watch.status.front();
    EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
}

TEST_F(OAuthRunTest, AForgedStateIsTurnedAwayAndAbortEndsTheSignIn)
{
    Passwords().UseSystemStore(std::make_unique<TMemoryStore>());
    Start(lmOAuthMicrosoft, 3600, "forged-state");
    ASSERT_TRUE(Delivers(1));
    const std::string log = ReadFile(oauth_->BrowserLog());
    EXPECT_NE(log.find("forged 400"), std::string::npos) << log;
    EXPECT_NE(log.find("redirect 200"), std::string::npos) << log;
    EXPECT_EQ(oauth_->Count("token authorization_code"), 1);

    Start(lmOAuthMicrosoft, 3600, "stay");
    When abort([this] { return BrowserOpened() == 1; }, [] { Click(Form1->Button5); });
    Click(Form1->Button4);
    EXPECT_TRUE(abort.Done());
    EXPECT_FALSE(Form1->Sending());
    EXPECT_FALSE(OAuthKeeper().SigningIn());
    EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
    EXPECT_EQ(sink_->MessageCount(), 0u);
    EXPECT_EQ(oauth_->Count("token authorization_code"), 0);

    // Nobody signs in: the wait gives up by itself.
    OAuthKeeper().SignInTimeoutMs = 300;
    Click(Form1->Button4);
    OAuthKeeper().SignInTimeoutMs = 5 * 60 * 1000;
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_NE(Boxes[0].Text.find("1 分以内にサインインが終わらなかった"), std::string::npos) << Boxes[0].Text;
    EXPECT_FALSE(Form1->Sending());
}

TEST_F(OAuthRunTest, TheSettingsWindowSignsInAndSavesTheLines)
{
    Passwords().UseSystemStore(std::make_unique<TMemoryStore>());
    Start(lmOAuthGoogle);
    WriteSettings("localhost", std::to_string(sink_->Port()), "pc01", "Taro", kLogin);  // an older file
    Click(Form1->Button10);
    EXPECT_EQ(Form3->ComboBox3->currentIndex(), lmPassword);
    EXPECT_FALSE(Form3->Button4->isEnabled());
    Form3->ComboBox1->setCurrentIndex(csStartTls);
    Form3->Edit6->setText(QString::fromStdString(kLogin));
    Form3->ComboBox3->setCurrentIndex(lmOAuthGoogle);
    EXPECT_EQ(Form3->Label13->text(), "クライアントシークレット");
    EXPECT_TRUE(Form3->Button4->isEnabled());
    Form3->Edit8->setText(QString::fromStdString(clientID_));
    Form3->Edit9->setText("wrong-secret");
    Click(Form3->Button4);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_NE(Boxes[0].Text.find("クライアントIDかクライアントシークレットが正しくありません"), std::string::npos)
        << Boxes[0].Text;
    EXPECT_EQ(Form3->Label14->text(), "サインインしていません");

    Form3->Edit9->setText(QString::fromStdString(secret_));
    Click(Form3->Button4);
    EXPECT_EQ(Form3->Label14->text().toStdString(), kLogin + " でサインイン済み");
    EXPECT_EQ(Form3->Button4->text(), "サインイン");
    Click(Form3->Button2);
    EXPECT_EQ(ReadFile(SettingsFileName),
              "localhost\r\n" + std::to_string(sink_->Port()) + "\r\npc01\r\nTaro\r\n" + kLogin + "\r\nstarttls\r\n" +
                  kLogin + "\r\nauto\r\n0\r\noauth-google\r\n" + clientID_ + "\r\n" + secret_ + "\r\n" +
                  "\r\n\r\nno\r\n\r\n\r\n");
    ASSERT_TRUE(Delivers(1));
    EXPECT_EQ(BrowserOpened(), 2);
    EXPECT_EQ(Boxes.size(), 1u);
}

}  // namespace
