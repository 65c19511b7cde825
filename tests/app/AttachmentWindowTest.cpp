// The main window's 添付ファイル area: files dropped and chosen, removed,
// counted, and carried by every message of the run it starts.
#include <filesystem>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QUrl>

#include "app/AttachmentArea.h"
#include "app/Main.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/SmtpSink.h"

using namespace apptest;
using testsupport::SmtpSink;

namespace {

class AttachmentWindowTest : public AppTest {
protected:
    void Drop(const QStringList& Paths)
    {
        QMimeData data;
        QList<QUrl> urls;
        for (const QString& p : Paths)
            urls << QUrl::fromLocalFile(p);
        data.setUrls(urls);
        TAttachmentArea* area = Form1->Attachments;
        const QPoint at = area->List->geometry().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(area, &enter);
        ASSERT_TRUE(enter.isAccepted());
        QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(area, &drop);
    }
};

TEST_F(AttachmentWindowTest, TheListedFilesGoWithEveryMessageOfTheRun)
{
    SmtpSink sink;
    WriteSettings("127.0.0.1", std::to_string(sink.Port()), "pc01.example.jp", "Taro", "taro@example.jp");
    const std::string scratch = Scratch();
    const std::string pdf = scratch + "/会議資料.pdf";
    WriteFile(pdf, "%PDF-1.4\n" + std::string(1500 * 1000, 'x'));
    const std::string dropped = scratch + "/消す.txt";
    WriteFile(dropped, "remove me");
    TAttachmentArea* area = Form1->Attachments;

    Drop({QString::fromStdString(dropped), QString::fromStdString(scratch)});  // a folder is no file
    area->ChooseFiles = [&] { return QStringList{QString::fromStdString(pdf), QString::fromStdString(dropped)}; };
    Click(area->AddButton);
    ASSERT_EQ(area->Files(), (std::vector<std::string>{dropped, pdf}));
    EXPECT_EQ(area->TotalLabel->text(), QStringLiteral("2 ファイル\n合計 1.5 MB"));
    area->List->item(0)->setSelected(true);
    Click(area->RemoveButton);
    EXPECT_EQ(area->Files(), std::vector<std::string>{pdf});

    Form1->Edit1->setText(QString::fromStdString(WriteRecipients("a@example.jp\r\nb@example.jp\r\n")));
    Form1->Edit2->setText(QStringLiteral("資料"));
    Click(Form1->Button4);
    ASSERT_TRUE(sink.WaitForMessages(2)) << sink.ServerLog();

    std::vector<std::string> args{std::string(VELTROW_SOURCE_DIR) + "/tests/engine/read_attachments.py"};
    for (const auto& m : sink.Messages())
        args.push_back(m.Path);
    const auto result = testsupport::RunPython(
        "import runpy, sys; sys.argv = sys.argv[1:]; runpy.run_path(sys.argv[0], run_name='__main__')", args);
    ASSERT_EQ(result.ExitCode, 0) << result.Output;
    const QJsonArray mails = QJsonDocument::fromJson(QByteArray::fromStdString(result.Output)).array();
    ASSERT_EQ(mails.size(), 2);
    const std::string sha = QCryptographicHash::hash(QByteArray::fromStdString(ReadFile(pdf)),
                                                     QCryptographicHash::Sha256).toHex().toStdString();
    for (const QJsonValue& mail : mails) {
        ASSERT_EQ(mail.toArray().size(), 1);
        const QJsonObject part = mail.toArray()[0].toObject();
        EXPECT_EQ(part["filename"].toString(), QStringLiteral("会議資料.pdf"));
        EXPECT_EQ(part["type"].toString(), QStringLiteral("application/pdf"));
        EXPECT_EQ(part["sha256"].toString().toStdString(), sha);
    }
}

TEST_F(AttachmentWindowTest, TheAreaTakesNoPlaceOfTheOtherControls)
{
    TAttachmentArea* area = Form1->Attachments;
    for (const QSize size : {Form1->size(), Form1->minimumSize()}) {
        Form1->resize(size);
        QWidget* const controls[] = {Form1->Edit1, Form1->Button1, Form1->Edit2, Form1->Memo1, Form1->Button3,
                                     Form1->Button4, Form1->Button5, Form1->Button10, Form1->Edit3,
                                     Form1->Button7, Form1->Button6, Form1->Button2, Form1->Button8,
                                     Form1->StatusBar1};
        for (QWidget* w : controls)
            EXPECT_FALSE(w->geometry().intersects(area->geometry())) << w->objectName().toStdString();
        EXPECT_GE(Form1->Memo1->height(), 100);
        // Its own caption is whole, left of its list.
        EXPECT_LE(area->Label->geometry().right(), area->List->geometry().left());
    }
}

}  // namespace
