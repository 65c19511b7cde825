// The window brings back its last recipient file, subject and body.

#include <ostream>

#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/LastInput.h"
#include "app/Main.h"
#include "engine/SettingsFile.h"
#include "tests/app/AppTestSupport.h"

using namespace apptest;

namespace {

using LastInputTest = AppTest;

struct Fields {
    QString recipients, subject, body;
    bool operator==(const Fields&) const = default;
};

void PrintTo(const Fields& F, std::ostream* Out)
{
    *Out << "{" << F.recipients.toStdString() << " | " << F.subject.toStdString() << " | " << F.body.toStdString()
         << "}";
}

Fields Shown()
{
    return {Form1->Edit1->text(), Form1->Edit2->text(), Form1->Memo1->toPlainText()};
}

void Restart()
{
    FreeForms();
    CreateForms();
    RestoreInput(*Form1);
}

TEST_F(LastInputTest, TheFieldsOfTheLastSendAndOfTheCloseComeBackAtTheNextStartFromTheProfileFolder)
{
    // The profile folder as start-up hands it over, apart from the working folder.
    const std::string profile = Scratch() + "/profile";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(profile)));
    Application().Profile.Folder = profile;
    struct Reset {
        ~Reset() { Application().Profile = {}; }
    } reset;
    // No file yet: the window starts empty.
    Restart();
    EXPECT_EQ(Shown(), Fields{});

    const Fields sent{QString::fromStdString(Scratch()) + "/名簿 1.txt", "12月の ご案内",
                      "各位\n\n  お知らせです。\n以上\n\n"};
    TypeText(Form1->Edit1, sent.recipients);
    TypeText(Form1->Edit2, sent.subject);
    Form1->Memo1->setPlainText(sent.body);
    // The Send stops at the empty server of the settings it made in the
    // profile folder, yet the fields are kept there.
    Click(Form1->Button4);
    ASSERT_FALSE(Boxes.empty());
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(profile + "/" + SettingsFileName)));
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(profile + "/" + LastInputFileName)));
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(Scratch() + "/" + LastInputFileName)));
    Restart();
    EXPECT_EQ(Shown(), sent);

    const Fields closed{"list.txt", "", "一行"};
    Form1->Edit1->setText(closed.recipients);
    Form1->Edit2->clear();
    Form1->Memo1->setPlainText(closed.body);
    Form1->close();
    Restart();
    EXPECT_EQ(Shown(), closed);
}

TEST(LastInputFile, ALineBreakInAFieldOrAFileFromWindowsKeepsTheFieldsApart)
{
    char pattern[] = "/tmp/veltrow-last-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string path = std::string(pattern) + "/" + LastInputFileName;
    ASSERT_TRUE(WriteLastInput(path, {"a\nb.txt", "件名\r\n", "本文\n"}));
    const std::optional<TLastInput> back = ReadLastInput(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->RecipientFile, "a b.txt");
    EXPECT_EQ(back->Subject, "件名  ");
    EXPECT_EQ(back->Body, "本文\n");

    WriteFile(path, "c:\\list.txt\r\nお知らせ\r\n1行目\r\n2行目");
    const std::optional<TLastInput> edited = ReadLastInput(path);
    ASSERT_TRUE(edited);
    EXPECT_EQ(edited->RecipientFile, "c:\\list.txt");
    EXPECT_EQ(edited->Subject, "お知らせ");
    EXPECT_EQ(edited->Body, "1行目\n2行目");
    std::remove(path.c_str());
    ::rmdir(pattern);
}

}  // namespace
