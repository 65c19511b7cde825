// The window brings back its last recipient file, subject and body.

#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/AttachmentArea.h"
#include "app/LastInput.h"
#include "app/Main.h"
#include "engine/account/SettingsFile.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/SmtpSink.h"

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

using Files = std::vector<std::string>;

TEST_F(LastInputTest, TheFileKeepsTheAttachmentsAndAnOlderFileReadsAsBefore)
{
    const std::string path = Scratch() + "/" + LastInputFileName;
    const std::string head = std::string(LastInputSignature) + "\n";
    struct Case {
        std::string bytes;
        Fields fields;
        Files files;
    };
    const Case cases[] = {
        // Older files: whatever follows the subject is the body, a number too.
        {"list.txt\r\n件名\r\n2\r\n/a.pdf\r\n/b.pdf\r\n", {"list.txt", "件名", "2\n/a.pdf\n/b.pdf\n"}, {}},
        {"list.txt\n件名", {"list.txt", "件名", ""}, {}},
        {head + "list.txt\n件名\n2\n/d/会社 案内.pdf\n/d/b.pdf\n本文\n", {"list.txt", "件名", "本文\n"},
         {"/d/会社 案内.pdf", "/d/b.pdf"}},
        {head + "list.txt\r\n件名\r\n0\r\n本文\r\n", {"list.txt", "件名", "本文\n"}, {}},
        // Spoilt by hand: a count that is none takes no line of the body,
        // one beyond the lines takes what there is.
        {head + "list.txt\n件名\nzwei\n本文", {"list.txt", "件名", "本文"}, {}},
        {head + "list.txt\n件名\n3\n/a.pdf\n", {"list.txt", "件名", ""}, {"/a.pdf"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        WriteFile(path, c.bytes);
        const std::optional<TLastInput> read = ReadLastInput(path);
        ASSERT_TRUE(read);
        EXPECT_EQ(Fields({read->RecipientFile, read->Subject, read->Body}), c.fields);
        EXPECT_EQ(read->Attachments, c.files);
        // Written again, it reads the same, its files included.
        ASSERT_TRUE(WriteLastInput(path, *read));
        const std::optional<TLastInput> again = ReadLastInput(path);
        ASSERT_TRUE(again);
        EXPECT_EQ(Fields({again->RecipientFile, again->Subject, again->Body}), c.fields);
        EXPECT_EQ(again->Attachments, c.files);
    }
}

// A run stopped before a restart is offered again with the files it had;
// with other files the question says so and Enter cancels.
TEST_F(LastInputTest, AfterARestartTheFilesComeBackAndTheStoppedRunIsOfferedWithAWordOnOtherFiles)
{
    const std::string profile = Scratch() + "/profile";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(profile)));
    Application().Profile.Folder = profile;
    struct Reset {
        ~Reset() { Application().Profile = {}; }
    } reset;
    testsupport::SmtpSink sink;
    // One second between messages: the run is stopped in the first pause.
    WriteFile(profile + "/" + SettingsFileName, "127.0.0.1\r\n" + std::to_string(sink.Port())
                                                    + "\r\npc01\r\nTaro\r\ntaro@example.jp\r\nnone\r\n\r\nauto\r\n1\r\n");
    const std::string pdf = Scratch() + "/会社案内.pdf";
    WriteFile(pdf, "%PDF-1.4\n" + std::string(3000, 'p'));
    const std::string list = WriteRecipients("a@example.jp\r\nb@example.jp\r\nc@example.jp\r\n");

    auto sendAndStop = [&](size_t after) {
        When stop([&] { return sink.MessageCount() >= after; }, [] { Click(Form1->Button5); });
        Click(Form1->Button4);
        ASSERT_TRUE(stop.Done());
        ASSERT_TRUE(WaitUntil([] { return !Form1->Sending(); }));
    };
    Restart();
    Form1->Edit1->setText(QString::fromStdString(list));
    Form1->Edit2->setText(QStringLiteral("会社案内"));
    Form1->Memo1->setPlainText(QStringLiteral("資料をお送りします。\n"));
    Form1->Attachments->AddFiles({QString::fromStdString(pdf)});
    sendAndStop(1);
    ASSERT_EQ(sink.MessageCount(), 1u);

    Restart();
    EXPECT_EQ(Form1->Attachments->Files(), Files{pdf});
    Boxes.clear();
    Click(Form1->Button4);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "前回の送信は 3 件中 1 件で止まっています。続きから送信しますか？");
    EXPECT_EQ(Boxes[0].Default, 0);  // 続きから
    ASSERT_TRUE(sink.WaitForMessages(3));
    ASSERT_TRUE(WaitUntil([] { return !Form1->Sending(); }));

    // Again (sent before, so 送信する is pressed), stopped after its first;
    // then restarted without the file.
    sendAndStop(4);
    Restart();
    Form1->Attachments->List->selectAll();
    Click(Form1->Attachments->RemoveButton);
    Boxes.clear();
    Click(Form1->Button4);  // Enter: キャンセル
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Default, 2);
    EXPECT_NE(Boxes[0].Text.find("3 件中 1 件で止まっています。ただし、添付ファイルが前回と違います"), std::string::npos)
        << Boxes[0].Text;
    EXPECT_EQ(sink.MessageCount(), 4u);
    Choice = 0;  // 続きから, with no file now
    Click(Form1->Button4);
    ASSERT_TRUE(sink.WaitForMessages(6));
    ASSERT_TRUE(WaitUntil([] { return !Form1->Sending(); }));

    std::vector<std::string> to;
    for (const auto& m : sink.Messages())
        to.push_back(m.RcptTos.at(0));
    EXPECT_EQ(to, Files({"a@example.jp", "b@example.jp", "c@example.jp", "a@example.jp", "b@example.jp",
                         "c@example.jp"}));
    const QJsonArray parts = ReadAttachments(sink.Messages());
    ASSERT_EQ(parts.size(), 6);
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(parts[i].toArray().size(), i < 4 ? 1 : 0);
        if (i < 4) {
            EXPECT_EQ(parts[i].toArray()[0].toObject()["sha256"].toString(), FileSha256(pdf));
        }
    }
}

}  // namespace
