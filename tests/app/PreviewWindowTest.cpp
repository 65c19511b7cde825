// The preview window as the user meets it: any row's message, the check's
// findings beside it, and the test send of the shown row.
#include <filesystem>

#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>

#include "app/Main.h"
#include "app/PreviewForm.h"
#include "tests/app/AppTestSupport.h"

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

}  // namespace
}  // namespace apptest
