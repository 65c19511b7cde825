#include "app/Setting.h"

#include <cerrno>
#include <sys/stat.h>

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>

#include "app/Application.h"
#include "charset/CodePage.h"
#include "rtl/StringList.h"

const char* const SettingsFileName = "設定.txt";
TForm3* Form3 = nullptr;

void EnsureSettingsFile()
{
    struct stat st {};
    // Only a file that is truly absent is created; anything else that stands
    // under the name (unreadable, a folder) is left for the reader to report
    // rather than overwritten with the defaults.
    if (::stat(SettingsFileName, &st) == 0 || errno != ENOENT)
        return;
    const TStringList defaults{"", "25", "", "", ""};
    defaults.SaveToFile(SettingsFileName);
}

void ReadSettingsFile(TStringList& Lines)
{
    EnsureSettingsFile();
    Lines.LoadFromFile(SettingsFileName);
    LinesToUtf8(Lines);
}

namespace {

QLineEdit* MakeEdit(QWidget* parent, const char* name, int x, int y, int w, int h)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setGeometry(x, y, w, h);
    return edit;
}

QFrame* MakeBevel(QWidget* parent, const char* name, int x, int y, int w, int h)
{
    auto* bevel = new QFrame(parent);
    bevel->setObjectName(QString::fromLatin1(name));
    bevel->setFrameShape(QFrame::HLine);
    bevel->setFrameShadow(QFrame::Sunken);
    bevel->setGeometry(x, y, w, h);
    return bevel;
}

QString Text(const std::string& utf8) { return QString::fromStdString(utf8); }
std::string Text(const QLineEdit* edit) { return edit->text().toStdString(); }

}  // namespace

TForm3::TForm3(QWidget* Parent) : QWidget(Parent, Qt::Window)
{
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("設定"));
    ApplyFormLook(this);
    setFixedSize(400, 240);

    Label1 = MakeLabel(this, "Label1", QStringLiteral("SMTPサーバ"), 8, 12);
    Edit1 = MakeEdit(this, "Edit1", 96, 8, 289, 20);
    Label8 = MakeLabel(this, "Label8", QStringLiteral("ポート"), 8, 36);
    Edit2 = MakeEdit(this, "Edit2", 96, 32, 65, 20);
    Edit2->setText(QStringLiteral("25"));
    Label2 = MakeLabel(this, "Label2", QStringLiteral("ユーザーID"), 8, 60);
    Edit3 = MakeEdit(this, "Edit3", 96, 56, 289, 20);
    Bevel1 = MakeBevel(this, "Bevel1", 0, 80, 385, 3);
    Label7 = MakeLabel(this, "Label7", QStringLiteral("送信者名"), 8, 92);
    Edit4 = MakeEdit(this, "Edit4", 96, 88, 289, 20);
    Label3 = MakeLabel(this, "Label3", QStringLiteral("メールアドレス"), 8, 116);
    Edit5 = MakeEdit(this, "Edit5", 96, 112, 289, 20);
    Bevel3 = MakeBevel(this, "Bevel3", 2, 136, 382, 3);

    Button3 = MakeButton(this, "Button3", QStringLiteral("クリア"), [this] { Button3Click(); });
    Button3->setGeometry(160, 176, 67, 25);
    Button2 = MakeButton(this, "Button2", QStringLiteral("設  定"), [this] { Button2Click(); });
    Button2->setGeometry(240, 176, 67, 25);
    Button1 = MakeButton(this, "Button1", QStringLiteral("閉じる"), [this] { Button1Click(); });
    Button1->setGeometry(320, 176, 65, 25);

    // Server, port, sender name, mail address, Close, Save, Clear, user ID.
    setTabOrder(Edit1, Edit2);
    setTabOrder(Edit2, Edit4);
    setTabOrder(Edit4, Edit5);
    setTabOrder(Edit5, Button1);
    setTabOrder(Button1, Button2);
    setTabOrder(Button2, Button3);
    setTabOrder(Button3, Edit3);

    CenterOnScreen(this);
}

void TForm3::showEvent(QShowEvent* Event)
{
    QWidget::showEvent(Event);
    // A window restored by the window manager is not shown anew.
    if (!Event->spontaneous())
        Application().HandleCommand([this] { Open1(); });
}

void TForm3::Open1()
{
    TStringList lines;
    ReadSettingsFile(lines);
    Edit1->setText(Text(lines[0]));
    Edit2->setText(Text(lines[1]));
    Edit3->setText(Text(lines[2]));
    Edit4->setText(Text(lines[3]));
    Edit5->setText(Text(lines[4]));
}

void TForm3::Button2Click()
{
    const TStringList lines{Text(Edit1), Text(Edit2), Text(Edit3), Text(Edit4), Text(Edit5)};
    lines.SaveToFile(SettingsFileName);
    close();
}

void TForm3::Button3Click()
{
    Edit1->clear();
    Edit2->setText(QStringLiteral("25"));
    Edit3->clear();
    Edit4->clear();
    Edit5->clear();
}

void TForm3::Button1Click()
{
    close();
}
