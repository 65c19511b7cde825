// The preview window as the user meets it: any row's message, the check's
// findings beside it, and the test send of the shown row.
#include <filesystem>
#include <regex>

#include <QPointer>
#include <QTest>

#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>

#include "app/AttachmentArea.h"
#include "app/Main.h"
#include "app/PreviewForm.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ScriptedPeer.h"

namespace apptest {
namespace {

using PreviewWindowTest = AppTest;

bool Shows(const TPreviewForm* Form, const std::string& Text)
{
    return Form->MessageView->toPlainText().toStdString().find(Text) != std::string::npos;
}

TEST_F(PreviewWindowTest, EveryRowsMessageWithTheFindingsAndATestSendOfTheShownRow)
{
    testsupport::SmtpSink sink;
    WriteSettings("127.0.0.1", std::to_string(sink.Port()), "pc01", "Taro", "taro@example.jp");
    Form1->Edit1->setText(QString::fromStdString(
        WriteRecipients("メールアドレス,氏名,会社名\r\na@example.jp,山田,①商事\r\n,欠番,\r\nb@example.jp,佐藤,\r\n", "list.csv")));
    Form1->Edit2->setText(QStringLiteral("{{会社名}} {{氏名}}様"));
    Form1->Memo1->setPlainText(QStringLiteral("{{氏名}}様\n"));
    Click(Form1->Button11);
    auto* preview = dynamic_cast<TPreviewForm*>(Form1->findChild<QWidget*>(QStringLiteral("PreviewForm")));
    ASSERT_NE(preview, nullptr) << (BoxTexts().empty() ? "" : BoxTexts().back());
    EXPECT_TRUE(preview->isVisible());

    for (const char* text : {"From: Taro <taro@example.jp>", "To: 山田 <a@example.jp>", "Subject: ①商事 山田様",
                             "文字コード: UTF-8", "ISO-2022-JP で送れない文字: ①", "山田様"})
        EXPECT_TRUE(Shows(preview, text)) << text << "\n" << preview->MessageView->toPlainText().toStdString();
    std::vector<std::string> findings;
    for (int i = 0; i < preview->FindingsList->count(); ++i)
        findings.push_back(preview->FindingsList->item(i)->text().toStdString());
    EXPECT_EQ(findings, (std::vector<std::string>{"宛先不正 3 行目: アドレスがありません", "{{会社名}} が空: 1 行（4 行目）",
                                                  "ISO-2022-JP で送れない文字があるため UTF-8 で送るメッセージ: 1 通"}));
    EXPECT_FALSE(preview->PreviousButton->isEnabled());

    Click(preview->NextButton);
    EXPECT_EQ(preview->RowEdit->text(), QStringLiteral("3"));
    EXPECT_TRUE(Shows(preview, "宛先不正: アドレスがありません"));
    preview->RowEdit->setText(QStringLiteral("4"));
    TypeText(preview->RowEdit, QStringLiteral("\n"));
    EXPECT_TRUE(Shows(preview, "To: 佐藤 <b@example.jp>"));
    EXPECT_TRUE(Shows(preview, "文字コード: ISO-2022-JP"));
    EXPECT_FALSE(preview->NextButton->isEnabled());

    // The shown row, to the sender's own address.
    Click(preview->TestSendButton);
    ASSERT_TRUE(sink.WaitForMessages(1));
    const std::vector<QJsonObject> mails = ReadMails(sink.Messages());
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(sink.Message(0).RcptTos, std::vector<std::string>{"taro@example.jp"});
    EXPECT_EQ(mails[0]["subject"].toString(), QStringLiteral("[テスト]  佐藤様"));
    const std::string status = preview->StatusBar->currentMessage().toStdString();
    EXPECT_NE(status.find("taro@example.jp"), std::string::npos) << status;
    EXPECT_NE(status.find("250"), std::string::npos) << status;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(Scratch()) / "送信記録"));
    EXPECT_TRUE(Form1->Edit3->text().isEmpty());
    EXPECT_EQ(sink.MessageCount(), 1u);
}

TPreviewForm* OpenPreview()
{
    Click(Form1->Button11);
    return dynamic_cast<TPreviewForm*>(Form1->findChild<QWidget*>(QStringLiteral("PreviewForm")));
}

// The window's own files go with the preview and the test send as with the
// run; the findings wrap; the window closes by 閉じる and by Esc.
TEST_F(PreviewWindowTest, TheWindowsFilesAreShownAndTestSentAndTheWindowClosesByButtonAndEsc)
{
    testsupport::SmtpSink sink;
    WriteSettings("127.0.0.1", std::to_string(sink.Port()), "pc01", "Taro", "taro@example.jp");
    const std::string pdf = Scratch() + "/会社案内.pdf";
    WriteFile(pdf, "%PDF-1.4\n" + std::string(20 * 1000, 'p'));
    WriteFile(Scratch() + "/見積.txt", "見積書");
    // A field of a long name, empty in forty rows: a long finding.
    std::string field;
    for (int i = 0; i < 40; ++i)
        field += "部署名";
    std::string list = "メールアドレス," + field + ",添付ファイル\r\na@example.jp,①商事,見積.txt\r\n";
    for (int i = 0; i < 40; ++i)
        list += "b" + std::to_string(i) + "@example.jp,,\r\n";
    Form1->Edit1->setText(QString::fromStdString(WriteRecipients(list, "list.csv")));
    Form1->Edit2->setText(QStringLiteral("ご案内"));
    Form1->Memo1->setPlainText(QString::fromStdString("{{" + field + "}} 御中\n"));
    Form1->Attachments->ChooseFiles = [&] { return QStringList{QString::fromStdString(pdf)}; };
    Click(Form1->Attachments->AddButton);

    QPointer<TPreviewForm> preview = OpenPreview();
    ASSERT_NE(preview, nullptr) << (BoxTexts().empty() ? "" : BoxTexts().back());
    const std::string shown = preview->MessageView->toPlainText().toStdString();
    // Every file as the run sends it, small sizes in KB.
    for (const char* file : {R"(添付ファイル: 会社案内\.pdf（application/pdf、[1-9][0-9] KB）)",
                             R"(添付ファイル: 見積\.txt（text/plain[^、]*、1 KB）)"})
        EXPECT_TRUE(std::regex_search(shown, std::regex(file))) << file << "\n" << shown;
    EXPECT_EQ(shown.find("MB"), std::string::npos) << shown;

    // The long finding wraps within the list instead of running off its side.
    QListWidget* findings = preview->FindingsList;
    QListWidgetItem* longest = nullptr;
    for (int i = 0; i < findings->count(); ++i)
        if (!longest || findings->item(i)->text().size() > longest->text().size())
            longest = findings->item(i);
    ASSERT_NE(longest, nullptr);
    ASSERT_GT(longest->text().size(), 120);
    const int line = findings->fontMetrics().height();
    EXPECT_TRUE(WaitUntil([&] { return findings->visualItemRect(longest).height() > 2 * line; }, 5000))
        << findings->visualItemRect(longest).height();
    EXPECT_LE(findings->visualItemRect(longest).right(), findings->viewport()->width());

    // The test send carries both files, decoded by a mail reader of its own.
    Click(preview->TestSendButton);
    ASSERT_TRUE(sink.WaitForMessages(1)) << sink.ServerLog();
    const QJsonArray mails = ReadAttachments(sink.Messages());
    ASSERT_EQ(mails.size(), 1);
    const QJsonArray parts = mails[0].toArray();
    ASSERT_EQ(parts.size(), 2);
    EXPECT_EQ(parts[0].toObject()["filename"].toString(), QStringLiteral("会社案内.pdf"));
    EXPECT_EQ(parts[0].toObject()["type"].toString(), QStringLiteral("application/pdf"));
    EXPECT_EQ(parts[0].toObject()["sha256"].toString(), FileSha256(pdf));
    EXPECT_EQ(parts[1].toObject()["filename"].toString(), QStringLiteral("見積.txt"));
    EXPECT_EQ(parts[1].toObject()["sha256"].toString(), FileSha256(Scratch() + "/見積.txt"));

    // A test send that cannot connect leaves no 「テスト送信しています…」 behind,
    // and its box names the server first.
    {
        const testsupport::RefusedPort refused;
        WriteSettings("127.0.0.1", std::to_string(refused.Port()), "pc01", "Taro", "taro@example.jp");
        Boxes.clear();
        Click(preview->TestSendButton);
        EXPECT_EQ(preview->StatusBar->currentMessage(), QStringLiteral("テスト送信できませんでした"));
        ASSERT_EQ(Boxes.size(), 1u);
        EXPECT_EQ(Boxes[0].Explanation.rfind("サーバー 127.0.0.1:" + std::to_string(refused.Port())
                                                 + " に接続できませんでした。", 0), 0u) << Boxes[0].Explanation;
    }

    Click(preview->CloseButton);
    EXPECT_TRUE(WaitUntil([&] { return preview.isNull(); }, 5000));
    preview = OpenPreview();
    ASSERT_NE(preview, nullptr);
    preview->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(preview));
    QTest::keyClick(preview->RowEdit, Qt::Key_Escape);
    EXPECT_TRUE(WaitUntil([&] { return preview.isNull(); }, 5000));
    EXPECT_EQ(sink.MessageCount(), 1u);
}

}  // namespace
}  // namespace apptest
