// Sends through the main window to aiosmtpd serving STARTTLS and AUTH: the
// password from the secret store or the password box, a refused login, the
// certificate question and the status bar's word for an encrypted connection.

#include <filesystem>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "app/Main.h"
#include "engine/run/ErrorWords.h"
#include "app/PasswordBox.h"
#include "engine/account/Passwords.h"
#include "engine/account/SendSecurity.h"
#include "smtp/NMsmtp.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/Certificates.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/SecretService.h"
#include "tests/support/SmtpSink.h"

using namespace apptest;
using testsupport::SmtpSink;
using testsupport::TestCertificates;

namespace {

const std::string kLogin = "taro@example.jp";
const std::string kPassword = "kagi-0123";

// Answers password boxes as they appear, from inside the run's waits: each
// with the next of answers (nullopt cancels). A box beyond them is cancelled
// and fails the test.
class PasswordBoxes {
public:
    explicit PasswordBoxes(std::vector<std::optional<std::string>> answers) : answers_(std::move(answers))
    {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Answer(); });
        timer_.start();
    }
    int Shown() const { return shown_; }

private:
    void Answer()
    {
        auto* box = dynamic_cast<TPasswordBox*>(QApplication::activeModalWidget());
        if (!box || box->property("answered").toBool())
            return;
        box->setProperty("answered", true);
        if (shown_ >= static_cast<int>(answers_.size())) {
            ADD_FAILURE() << "an unexpected password box";
            box->CancelButton->click();
            return;
        }
        const auto& answer = answers_[static_cast<size_t>(shown_++)];
        if (!answer) {
            box->CancelButton->click();
            return;
        }
        box->Edit1->setText(QString::fromStdString(*answer));
        box->OKButton->click();
    }

    std::vector<std::optional<std::string>> answers_;
    int shown_ = 0;
    QTimer timer_;
};

class SecureRunTest : public AppTest {
protected:
    static void SetUpTestSuite() { TestCertificates::Get().TrustAuthority(); }

    void UseServer(const SmtpSink& sink, const char* security = "starttls")
    {
        WriteFile(SettingsFileName, "localhost\r\n" + std::to_string(sink.Port()) +
                                        "\r\npc01.example.jp\r\nTaro\r\ntaro@example.jp\r\n" + security + "\r\n" +
                                        kLogin + "\r\n");
        Form1->Edit1->setText(QString::fromStdString(WriteRecipients("a@example.jp\r\n")));
        Form1->Edit2->setText("hello");
    }
    static std::string Key(const SmtpSink& sink) { return PasswordKey("localhost", std::to_string(sink.Port()), kLogin); }
    static SmtpSink::Options Server(const std::string& kind = "valid")
    {
        SmtpSink::Options o = TestCertificates::Get().StartTls(kind);
        o.Login = kLogin;
        o.Password = kPassword;
        return o;
    }
};

TEST_F(SecureRunTest, PasswordFromTheSecretStoreOverStartTls)
{
    testsupport::PrivateSecretService service;
    Passwords().UseSystemStore(std::make_unique<TKeychainStore>());
    SmtpSink sink(Server());
    Passwords().Save(Key(sink), kPassword, false);
    UseServer(sink);
    PasswordBoxes boxes({});
    Watch watch;
    Click(Form1->Button4);
    ASSERT_TRUE(sink.WaitForMessages(1));
    EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
    EXPECT_EQ(boxes.Shown(), 0);
    const auto m = sink.Message(0);
    EXPECT_TRUE(m.Tls);
    EXPECT_EQ(m.AuthLogin, kLogin);
    ASSERT_FALSE(watch.status.empty());
    EXPECT_EQ(watch.status.front(), "暗号化して接続しました");
    EXPECT_EQ(ReadFile(SettingsFileName).find(kPassword), std::string::npos);
}

TEST_F(SecureRunTest, WithoutAStoreTheBoxAsksAndAWrongPasswordAsksAgain)
{
    testsupport::TempFolder nowhere;
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + nowhere.Path() + "/no-bus").c_str(), 1);
    Passwords().UseSystemStore(std::make_unique<TKeychainStore>());
    SmtpSink sink(Server());
    UseServer(sink);
    PasswordBoxes boxes({"wrong", kPassword});

    Click(Form1->Button4);  // asked, refused
    EXPECT_EQ(boxes.Shown(), 1);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_NE(Boxes[0].Text.find("535 5.7.8 Authentication credentials invalid"), std::string::npos)
        << Boxes[0].Text;
    EXPECT_NE(Boxes[0].Text.find("ログイン名かパスワードが正しくありません"), std::string::npos);
    // The box says where to mend it, after the reply it quotes.
    const std::string shown = ErrorBoxText(Boxes[0].Text);
    EXPECT_EQ(shown.rfind("ログインできませんでした。", 0), 0u) << shown;
    EXPECT_TRUE(shown.ends_with("「設定」の「ログイン名」と「パスワード」を確かめて「設  定」で保存し、もう一度送信してください。"))
        << shown;
    EXPECT_EQ(sink.MessageCount(), 0u);
    EXPECT_FALSE(Form1->NMSMTP1->Connected);

    Click(Form1->Button4);  // asked once more, accepted
    EXPECT_EQ(boxes.Shown(), 2);
    ASSERT_TRUE(sink.WaitForMessages(1));
    Click(Form1->Button4);  // kept in memory: not asked
    ASSERT_TRUE(sink.WaitForMessages(2));
    EXPECT_EQ(boxes.Shown(), 2);
    EXPECT_EQ(Boxes.size(), 1u);
}

TEST_F(SecureRunTest, AnUntrustedCertificateIsAskedAboutThenTrustedExactly)
{
    Passwords().UseSystemStore(std::make_unique<TMemoryStore>());
    SmtpSink sink(Server("unknown"));
    Passwords().Save(Key(sink), kPassword, false);
    UseServer(sink);
    const std::string fingerprint = TestCertificates::Get().Fingerprint("unknown");

    QuestionAnswer = false;
    Click(Form1->Button4);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Type, mtConfirmation);
    EXPECT_NE(Boxes[0].Text.find("信頼されていない発行者"), std::string::npos) << Boxes[0].Text;
    EXPECT_NE(Boxes[0].Text.find(fingerprint), std::string::npos) << Boxes[0].Text;
    EXPECT_EQ(sink.MessageCount(), 0u);
    EXPECT_FALSE(std::filesystem::exists(TrustedCertificatesFileName));

    QuestionAnswer = true;
    Click(Form1->Button4);
    ASSERT_TRUE(sink.WaitForMessages(1));
    EXPECT_EQ(Boxes.size(), 2u);
    const std::string line = "localhost:" + std::to_string(sink.Port()) + " " + fingerprint;
    EXPECT_EQ(ReadFile(TrustedCertificatesFileName), line + " issuer\n");
    Click(Form1->Button4);  // trusted from now on: no question
    ASSERT_TRUE(sink.WaitForMessages(2));
    EXPECT_EQ(Boxes.size(), 2u);

    // A line as older versions wrote it names no findings: asked once more,
    // then kept with what was shown.
    WriteFile(TrustedCertificatesFileName, line + "\n");
    Click(Form1->Button4);
    ASSERT_TRUE(sink.WaitForMessages(3));
    ASSERT_EQ(Boxes.size(), 3u);
    EXPECT_EQ(Boxes[2].Type, mtConfirmation);
    EXPECT_EQ(ReadFile(TrustedCertificatesFileName), line + " issuer\n");
}

TEST_F(SecureRunTest, CertificatesThatCannotBeTrustedAreRefusedWithoutAQuestion)
{
    Passwords().UseSystemStore(std::make_unique<TMemoryStore>());
    const std::pair<const char*, const char*> cases[] = {
        {"sha1", "安全でない署名方式（SHA1）"},
        {"rsa1024", "短すぎる鍵（RSA 1024 ビット）"},
        {"notca", "発行者の証明書が認証局（CA:TRUE）ではありません"},
        {"notyet", "まだ有効になっていません（2099/01/01 00:00 UTC から有効）"},
    };
    QuestionAnswer = true;
    for (const auto& [kind, reason] : cases) {
        SCOPED_TRACE(kind);
        SmtpSink sink(Server(kind));
        Passwords().Save(Key(sink), kPassword, false);
        UseServer(sink);
        Boxes.clear();
        Click(Form1->Button4);
        ASSERT_EQ(Boxes.size(), 1u);
        EXPECT_EQ(Boxes[0].Type, mtError);
        EXPECT_NE(Boxes[0].Text.find(reason), std::string::npos) << Boxes[0].Text;
        EXPECT_NE(Boxes[0].Text.find(TestCertificates::Get().Fingerprint(kind)), std::string::npos);
        EXPECT_EQ(sink.MessageCount(), 0u);
        EXPECT_FALSE(std::filesystem::exists(TrustedCertificatesFileName));
        EXPECT_FALSE(Form1->NMSMTP1->Connected);
    }
}

// Abort through the window in the new phases: the same bound as everywhere.
TEST_F(SecureRunTest, AbortEndsTheHandshakeAndTheLogin)
{
    Passwords().UseSystemStore(std::make_unique<TMemoryStore>());
    for (bool duringAuth : {false, true}) {
        SCOPED_TRACE(duringAuth ? "AUTH" : "handshake");
        SmtpSink::Options stalling = Server();
        stalling.StallAuth = true;
        SmtpSink sink(stalling);
        testsupport::ScriptedPeer silent;  // accepts and never answers the handshake
        silent.Accept().WaitForRelease();
        silent.Start();
        const uint16_t port = duringAuth ? sink.Port() : silent.Port();
        WriteFile(SettingsFileName, "localhost\r\n" + std::to_string(port) +
                                        "\r\npc01\r\nTaro\r\ntaro@example.jp\r\n" +
                                        (duringAuth ? "starttls" : "tls") + "\r\n" + kLogin + "\r\n");
        Form1->Edit1->setText(QString::fromStdString(WriteRecipients("a@example.jp\r\n")));
        Passwords().Save(PasswordKey("localhost", std::to_string(port), kLogin), kPassword, true);
        Boxes.clear();
        const int64_t sent = NowMs();
        int64_t pressed = -1;
        When abort([&] { return NowMs() - sent > 500; }, [&] {
            pressed = NowMs();
            Click(Form1->Button5);
        });
        Click(Form1->Button4);
        EXPECT_GE(pressed, 0) << "ended before the Abort";
        EXPECT_FALSE(Form1->NMSMTP1->Connected);
        EXPECT_FALSE(Form1->Sending());
        EXPECT_EQ(sink.MessageCount(), 0u);
        silent.Release();
    }
}

}  // namespace
