// The window brings back its last recipient file, subject and body.

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
using Fields = std::vector<std::string>;  // recipient file, subject, body

Fields Shown()
{
    return {Form1->Edit1->text().toStdString(), Form1->Edit2->text().toStdString(),
            Form1->Memo1->toPlainText().toStdString()};
}

void Restart()
{
    FreeForms();
    CreateForms();
    RestoreInput(*Form1);
}

bool Exists(const std::string& Path) { return QFileInfo::exists(QString::fromStdString(Path)); }

TEST_F(LastInputTest, TheFieldsOfTheLastSendAndOfTheCloseComeBackAtTheNextStartFromTheProfileFolder)
{
    // The profile folder as start-up hands it over, apart from the working folder.
    const std::string profile = Scratch() + "/profile";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(profile)));
    Application().Profile.Folder = profile;
    struct Reset {
        ~Reset() { Application().Profile = {}; }
    } reset;
    Restart();
    EXPECT_EQ(Shown(), Fields({"", "", ""}));

    const Fields sent{Scratch() + "/名簿 1.txt", "12月の ご案内", "各位\n\n  お知らせです。\n以上\n\n"};
    TypeText(Form1->Edit1, QString::fromStdString(sent[0]));
    TypeText(Form1->Edit2, QString::fromStdString(sent[1]));
    Form1->Memo1->setPlainText(QString::fromStdString(sent[2]));
    // The Send stops at the empty server of the settings it made in the
    // profile folder, yet the fields are kept there.
    Click(Form1->Button4);
    ASSERT_FALSE(Boxes.empty());
    EXPECT_TRUE(Exists(profile + "/" + SettingsFileName));
    EXPECT_TRUE(Exists(profile + "/" + LastInputFileName));
    EXPECT_FALSE(Exists(Scratch() + "/" + LastInputFileName));
    Restart();
    EXPECT_EQ(Shown(), sent);

    Form1->Edit1->setText("list.txt");
    Form1->Edit2->clear();
    Form1->Memo1->setPlainText("一行");
    Form1->close();
    Restart();
    EXPECT_EQ(Shown(), Fields({"list.txt", "", "一行"}));

    // A line break in a one-line field, and the file saved again on Windows.
    ASSERT_TRUE(WriteLastInput(profile + "/" + LastInputFileName, {"a\nb.txt", "件名\r\n", "本文\n", {}}));
    Restart();
    EXPECT_EQ(Shown(), Fields({"a b.txt", "件名  ", "本文\n"}));
    WriteFile(profile + "/" + LastInputFileName, "c:\\list.txt\r\nお知らせ\r\n1行目\r\n2行目");
    Restart();
    EXPECT_EQ(Shown(), Fields({"c:\\list.txt", "お知らせ", "1行目\n2行目"}));
}

}  // namespace
