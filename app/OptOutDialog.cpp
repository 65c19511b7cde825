#include "app/OptOutDialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/Application.h"
#include "engine/OptOut.h"

TOptOutDialog::TOptOutDialog(QWidget* Parent) : QWidget(Parent, Qt::Window)
{
    setObjectName(QStringLiteral("OptOutDialog"));
    setWindowTitle(QStringLiteral("配信停止の追加"));
    ApplyFormLook(this);
    setFixedSize(400, 120);
    Label1 = MakeLabel(this, "Label1", QStringLiteral("配信停止を求めたメールアドレス（今後この宛先には送りません）"), 8, 8);
    Edit1 = new QLineEdit(this);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setGeometry(8, 28, 384, 20);
    QObject::connect(Edit1, &QLineEdit::returnPressed, this,
                     [this] { Application().HandleCommand([this] { Button1Click(); }); });
    Label2 = MakeLabel(this, "Label2", QString(), 8, 56);
    Label2->setFixedWidth(384);
    Button1 = MakeButton(this, "Button1", QStringLiteral("追  加"), [this] { Button1Click(); });
    Button1->setGeometry(240, 84, 67, 25);
    Button2 = MakeButton(this, "Button2", QStringLiteral("閉じる"), [this] { close(); });
    Button2->setGeometry(320, 84, 72, 25);
    CenterOnScreen(this);
}

void TOptOutDialog::Button1Click()
{
    const std::string address = Edit1->text().trimmed().toStdString();
    const bool added = AddOptOut(Application().Profile.Folder, address);
    Label2->setText(QString::fromStdString("「" + address + "」" +
                                           (added ? "を配信停止に加えました。" : "はすでに配信停止にあります。")));
    Edit1->clear();
}

TOptOutDialog* OpenOptOutDialog(QWidget* Parent)
{
    auto* dialog = dynamic_cast<TOptOutDialog*>(
        Parent->findChild<QWidget*>(QStringLiteral("OptOutDialog"), Qt::FindDirectChildrenOnly));
    if (!dialog)
        dialog = new TOptOutDialog(Parent);
    dialog->Edit1->clear();
    dialog->Label2->clear();
    dialog->show();
    dialog->raise();
    return dialog;
}
