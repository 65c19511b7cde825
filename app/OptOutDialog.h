// A small window that adds addresses to 配信停止.txt of the profile folder,
// opened from the Settings window: when someone asks by telephone or in a
// reply to stop the mail, the office types the address here and no later
// run sends to it.
#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

class TOptOutDialog : public QWidget {
public:
    explicit TOptOutDialog(QWidget* Parent);

    // 追加 (or Return): the address of Edit1 onto the list; Label2 says
    // what became of it. A text that is no address goes to the error box.
    void Button1Click();

    QLabel* Label1;
    QLineEdit* Edit1;
    QLabel* Label2;
    QPushButton* Button1;
    QPushButton* Button2;
};

// Shows Parent's dialog (one per window), emptied.
TOptOutDialog* OpenOptOutDialog(QWidget* Parent);
