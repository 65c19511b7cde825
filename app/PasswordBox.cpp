#include "app/PasswordBox.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/Application.h"

TPasswordBox::TPasswordBox(const std::string& Login, const std::string& Server, QWidget* Parent)
    : QDialog(Parent)
{
    setObjectName(QStringLiteral("PasswordBox"));
    setWindowTitle(QString::fromStdString(Application().Title));
    ApplyFormLook(this);
    setFixedSize(320, 100);
    Label1 = MakeLabel(this, "Label1",
                       QStringLiteral("%1 のパスワード（%2）").arg(QString::fromStdString(Login),
                                                                QString::fromStdString(Server)),
                       8, 12);
    Edit1 = new QLineEdit(this);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setEchoMode(QLineEdit::Password);
    Edit1->setGeometry(8, 36, 304, 20);
    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setGeometry(160, 66, 72, 25);
    OKButton->setDefault(true);
    CancelButton = new QPushButton(QStringLiteral("キャンセル"), this);
    CancelButton->setObjectName(QStringLiteral("CancelButton"));
    CancelButton->setGeometry(240, 66, 72, 25);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    Edit1->setFocus();
}

std::optional<std::string> AskPassword(const std::string& Login, const std::string& Server)
{
    TPasswordBox box(Login, Server, QApplication::activeWindow());
    if (box.exec() != QDialog::Accepted)
        return std::nullopt;
    return box.Edit1->text().toStdString();
}
