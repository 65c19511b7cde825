#include "app/About.h"

#include <QLabel>
#include <QPushButton>
#include <QShortcut>

#include "app/Application.h"

TForm2* Form2 = nullptr;

namespace {

// The blue bold lines at the top.
void MakeTitleLook(QLabel* label, int pixelSize)
{
    QFont font = FormFont(pixelSize);
    font.setBold(true);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::blue);
    label->setPalette(palette);
    label->adjustSize();
}

}  // namespace

TForm2::TForm2(QWidget* Parent) : QWidget(Parent, Qt::Window)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("このソフトに関して"));
    ApplyFormLook(this);
    setFixedSize(400, 280);

    Label1 = MakeLabel(this, "Label1", QStringLiteral("Veltrow"), 24, 16);
    MakeTitleLook(Label1, 16);
    Label2 = MakeLabel(this, "Label2", QStringLiteral(" V1.0 2000.08.13"), 24, 44);
    MakeTitleLook(Label2, 11);
    Label3 = MakeLabel(this, "Label3", QStringLiteral("Presented by Quorvane"), 24, 66);
    MakeTitleLook(Label3, 13);

    Label4 = MakeLabel(this, "Label4", QStringLiteral("このソフトはフリーソフトです。"), 24, 108);
    Label5 = MakeLabel(this, "Label5", QStringLiteral("著作権は作者が保有しています。"), 24, 128);
    Label6 = MakeLabel(this, "Label6", QStringLiteral("このソフトを使用したことによる損害について、"), 24, 148);
    Label7 = MakeLabel(this, "Label7", QStringLiteral("作者は一切の責任を負いません。"), 24, 168);
    Label8 = MakeLabel(this, "Label8", QStringLiteral("ご意見・ご要望は作者までお寄せください。"), 24, 188);

    Button1 = MakeButton(this, "Button1", QStringLiteral("閉じる"), [this] { Button1Click(); });
    Button1->setGeometry(304, 240, 75, 25);
    // Esc closes it like the button.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    QObject::connect(escape, &QShortcut::activated, this, [this] { Button1Click(); });

    CenterOnScreen(this);
}

void TForm2::Button1Click()
{
    close();
}
