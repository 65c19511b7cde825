#include "app/FooterEditor.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/Application.h"
#include "engine/compose/Footer.h"
#include "rtl/StringList.h"

TFooterEditor::TFooterEditor(QWidget* Parent) : QWidget(Parent, Qt::Window)
{
    setObjectName(QStringLiteral("FooterEditor"));
    setWindowTitle(QStringLiteral("フッター（広告・宣伝メール）"));
    ApplyFormLook(this);
    setFixedSize(480, 300);
    Label1 = MakeLabel(this, "Label1",
                       QStringLiteral("{{送信者名}} {{住所}} {{問い合わせ先}} {{配信停止先}} と宛先リストの列名を使えます。"),
                       8, 8);
    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setGeometry(8, 28, 464, 224);
    Button2 = MakeButton(this, "Button2", QStringLiteral("標準に戻す"), [this] { Button2Click(); });
    Button2->setGeometry(8, 264, 89, 25);
    Button1 = MakeButton(this, "Button1", QStringLiteral("保  存"), [this] { Button1Click(); });
    Button1->setGeometry(320, 264, 67, 25);
    Button3 = MakeButton(this, "Button3", QStringLiteral("閉じる"), [this] { close(); });
    Button3->setGeometry(400, 264, 72, 25);
    CenterOnScreen(this);
}

void TFooterEditor::Load()
{
    const std::string& folder = Application().Profile.Folder;
    Memo1->setPlainText(QString::fromStdString(ReadFooterTemplate(folder.empty() ? "." : folder)));
}

void TFooterEditor::Button1Click()
{
    TStringList lines;
    lines.SetText(Memo1->toPlainText().toStdString());
    lines.SaveToFile(Application().Profile.File(FooterFileName));
    close();
}

void TFooterEditor::Button2Click()
{
    Memo1->setPlainText(QString::fromStdString(BuiltInFooter()));
}

TFooterEditor* OpenFooterEditor(QWidget* Parent)
{
    auto* editor = dynamic_cast<TFooterEditor*>(
        Parent->findChild<QWidget*>(QStringLiteral("FooterEditor"), Qt::FindDirectChildrenOnly));
    if (!editor)
        editor = new TFooterEditor(Parent);
    // A file that cannot be read is reported and the editor stays closed,
    // so it never overwrites what it did not show.
    editor->Load();
    editor->show();
    editor->raise();
    return editor;
}
