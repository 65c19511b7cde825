#include "app/OptOutDialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "app/Application.h"
#include "engine/list/OptOut.h"

TOptOutDialog::TOptOutDialog(QWidget* Parent) : QWidget(Parent, Qt::Window)
{
    setObjectName(QStringLiteral("OptOutDialog"));
    setWindowTitle(QStringLiteral("配信停止"));
    ApplyFormLook(this);
    setFixedSize(400, 340);
    Label1 = MakeLabel(this, "Label1", QStringLiteral("配信停止を求めたメールアドレス（今後この宛先には送りません）"), 8, 8);
    Edit1 = new QLineEdit(this);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setGeometry(8, 28, 309, 20);
    QObject::connect(Edit1, &QLineEdit::returnPressed, this,
                     [this] { Application().HandleCommand([this] { Button1Click(); }); });
    Button1 = MakeButton(this, "Button1", QStringLiteral("追  加"), [this] { Button1Click(); });
    Button1->setGeometry(325, 26, 67, 25);
    Label2 = MakeLabel(this, "Label2", QString(), 8, 56);
    Label2->setFixedWidth(384);
    Label3 = MakeLabel(this, "Label3", QStringLiteral("配信停止.txt の宛先"), 8, 80);
    List = new QListWidget(this);
    List->setObjectName(QStringLiteral("List"));
    List->setGeometry(8, 98, 309, 234);
    List->setSelectionMode(QAbstractItemView::ExtendedSelection);
    Button3 = MakeButton(this, "Button3", QStringLiteral("削  除"), [this] { Button3Click(); });
    Button3->setGeometry(325, 98, 67, 25);
    Button2 = MakeButton(this, "Button2", QStringLiteral("閉じる"), [this] { close(); });
    Button2->setGeometry(325, 307, 67, 25);
    QObject::connect(List, &QListWidget::itemSelectionChanged, this,
                     [this] { Button3->setEnabled(!List->selectedItems().isEmpty()); });
    CenterOnScreen(this);
}

void TOptOutDialog::Button1Click()
{
    const std::string address = Edit1->text().trimmed().toStdString();
    const bool added = AddOptOut(Application().Profile.Folder, address);
    Label2->setText(QString::fromStdString("「" + address + "」" +
                                           (added ? "を配信停止に加えました。" : "はすでに配信停止にあります。")));
    Edit1->clear();
    ShowList();
}

void TOptOutDialog::Button3Click()
{
    const QList<QListWidgetItem*> chosen = List->selectedItems();
    if (chosen.isEmpty())
        return;
    std::string names;
    for (const QListWidgetItem* item : chosen)
        names.append("\n").append(item->text().toStdString());
    // Taken off the list, the address gets mail again: the law's risk.
    if (!Application().Ask("次の宛先を配信停止から外します。今後の送信ではこの宛先にも送ります。よろしいですか？\n"
                           + names))
        return;
    int removed = 0;
    for (const QListWidgetItem* item : chosen)
        removed += RemoveOptOut(Application().Profile.Folder, item->text().toStdString()) ? 1 : 0;
    Label2->setText(QString::fromStdString(std::to_string(removed) + " 件を配信停止から外しました。"));
    ShowList();
}

void TOptOutDialog::ShowList()
{
    List->clear();
    for (const std::string& entry : ListOptOut(Application().Profile.Folder))
        List->addItem(QString::fromStdString(entry));
    Button3->setEnabled(false);
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
    // A file that cannot be read still lets an address be added.
    Application().HandleCommand([dialog] { dialog->ShowList(); });
    return dialog;
}
