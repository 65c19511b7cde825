// The Settings window's security rows: the password kept in the secret store
// (a private Secret Service) or in memory, never in the file; the port offer;
// and the password box used where no store runs.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/Main.h"
#include "app/PasswordBox.h"
#include "engine/account/Passwords.h"
#include "app/Setting.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/SecretService.h"

using namespace apptest;

namespace {

using SecurityWindowTest = AppTest;

const std::string kKey = "taro@example.jp@smtp.example.jp:587";

// Opens the Settings window and fills server, port 587, STARTTLS, login and
// password as a user would.
void FillLogin(const char* password, bool memoryOnly)
{
    Click(Form1->Button10);
    Form3->Edit1->setText("smtp.example.jp");
    Form3->Edit2->setText("587");
    Form3->ComboBox1->setCurrentIndex(csStartTls);
    Form3->Edit6->clear();
    QTest::keyClicks(Form3->Edit6, "taro@example.jp");
    QTest::keyClicks(Form3->Edit7, password);
    Form3->CheckBox1->setChecked(memoryOnly);
}

TEST_F(SecurityWindowTest, PasswordGoesToTheSecretStoreAndNeverToTheFile)
{
    testsupport::PrivateSecretService service;
    Passwords().UseSystemStore(std::make_unique<TKeychainStore>());
    FillLogin("kagi-no-himitsu", false);
    EXPECT_EQ(Form3->Edit7->echoMode(), QLineEdit::Password);
    Click(Form3->Button2);
    EXPECT_TRUE(Boxes.empty()) << BoxTexts()[0];
    EXPECT_EQ(ReadFile(SettingsFileName),
              "smtp.example.jp\r\n587\r\n\r\n\r\n\r\nstarttls\r\ntaro@example.jp\r\nauto\r\n0\r\npassword\r\n\r\n\r\n"
              "\r\n\r\nno\r\n\r\n\r\n");
    EXPECT_NE(service.Search("user", kKey).find("kagi-no-himitsu"), std::string::npos) << service.Search("user", kKey);
    EXPECT_EQ(Passwords().Find(kKey), "kagi-no-himitsu");

    // Reopened, the window does not show it; saved with the field empty, it stays.
    Click(Form1->Button10);
    EXPECT_EQ(Form3->Edit7->text(), "");
    Click(Form3->Button2);
    EXPECT_EQ(Passwords().Find(kKey), "kagi-no-himitsu");

    // 保存しない: in memory only, and out of the store.
    FillLogin("only-in-memory", true);
    Click(Form3->Button2);
    EXPECT_EQ(Passwords().Find(kKey), "only-in-memory");
    EXPECT_EQ(service.Search("user", kKey).find("himitsu"), std::string::npos) << service.Search("user", kKey);
    EXPECT_EQ(service.Search("user", kKey).find("only-in-memory"), std::string::npos);
    EXPECT_EQ(ReadFile(SettingsFileName).find("memory"), std::string::npos);
}

TEST_F(SecurityWindowTest, WithoutASecretStoreThePasswordStaysInMemoryAndTheWindowSaysSo)
{
    testsupport::TempFolder nowhere;
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + nowhere.Path() + "/no-bus").c_str(), 1);
    Passwords().UseSystemStore(std::make_unique<TKeychainStore>());
    EXPECT_FALSE(Passwords().SystemStoreRuns());
    FillLogin("kept-for-this-run", false);
    Click(Form3->Button2);
    // Saying so: the password is asked for again after each start.
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_NE(Boxes[0].Text.find("起動するたびに、最初の送信でパスワードを尋ねます"), std::string::npos) << Boxes[0].Text;
    // Not kept anyway: nothing to say.
    FillLogin("only-in-memory", true);
    Click(Form3->Button2);
    EXPECT_EQ(Boxes.size(), 1u);
    FillLogin("kept-for-this-run", false);
    Click(Form3->Button2);
    EXPECT_EQ(Passwords().Find(kKey), "kept-for-this-run");
    // A refused password is asked for again.
    Passwords().Refused(kKey);
    EXPECT_EQ(Passwords().Find(kKey), std::nullopt);
    EXPECT_EQ(ReadFile(SettingsFileName).find("kept"), std::string::npos);
}

TEST_F(SecurityWindowTest, ChoosingEncryptionOnPort25OffersTheSubmissionPort)
{
    struct Case {
        int choice;
        const char* port;
        bool answer;
        bool asked;
        const char* portAfter;
    };
    const Case cases[] = {
        {csStartTls, "25", true, true, "587"},   {csTls, "25", true, true, "465"},
        {csStartTls, "25", false, true, "25"},   {csTls, "2525", true, false, "2525"},
        {csNone, "25", true, false, "25"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.choice) + " " + c.port);
        Boxes.clear();
        QuestionAnswer = c.answer;
        Click(Form1->Button10);
        Form3->Edit2->setText(c.port);
        // The user's choice, one step from the entry above it (or below).
        Form3->ComboBox1->setCurrentIndex(c.choice == csNone ? csStartTls : c.choice - 1);
        QTest::keyClick(Form3->ComboBox1, c.choice == csNone ? Qt::Key_Up : Qt::Key_Down);
        ASSERT_EQ(Form3->ComboBox1->currentIndex(), c.choice);
        EXPECT_EQ(Form3->Edit2->text().toStdString(), c.portAfter);
        ASSERT_EQ(Boxes.size(), c.asked ? 1u : 0u);
        if (c.asked) {
            EXPECT_EQ(Boxes[0].Type, mtConfirmation);
            EXPECT_NE(Boxes[0].Text.find(c.choice == csTls ? "465" : "587"), std::string::npos) << Boxes[0].Text;
        }
        Click(Form3->Button1);
    }
    // Showing a file's value offers nothing.
    Boxes.clear();
    WriteFile(SettingsFileName, "h\r\n25\r\n\r\n\r\n\r\ntls\r\n");
    Click(Form1->Button10);
    EXPECT_EQ(Form3->ComboBox1->currentIndex(), csTls);
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(SecurityWindowTest, PasswordBoxHasOneHiddenFocusedFieldAndOkAsDefault)
{
    struct Case {
        const char* typed;
        bool cancel;
        std::optional<std::string> result;
    };
    const Case cases[] = {{"pässword 1", false, "pässword 1"}, {"never used", true, std::nullopt}};
    for (const auto& c : cases) {
        bool seen = false;
        QTimer::singleShot(0, [&] {
            auto* box = dynamic_cast<TPasswordBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            seen = true;
            EXPECT_EQ(box->Edit1->echoMode(), QLineEdit::Password);
            EXPECT_EQ(box->focusWidget(), box->Edit1);  // gets the keys once the box is active
            EXPECT_TRUE(box->OKButton->isDefault());
            EXPECT_EQ(box->findChildren<QLineEdit*>().size(), 1);
            TypeText(box->Edit1, QString::fromUtf8(c.typed));
            if (c.cancel)
                Click(box->CancelButton);
            else
                QTest::keyClick(box->Edit1, Qt::Key_Return);  // the default button
        });
        EXPECT_EQ(AskPassword("taro", "smtp.example.jp"), c.result);
        EXPECT_TRUE(seen);
    }
}

}  // namespace
