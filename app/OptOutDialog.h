// A small window over 配信停止.txt of the profile folder, opened from the
// Settings window: when someone asks by telephone or in a reply to stop the
// mail, the office types the address here and no later run sends to it; the
// list shows every entry, and one added by mistake (or a line that is no
// address, which stops every Send) is removed here too.
#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

class TOptOutDialog : public QWidget {
public:
    explicit TOptOutDialog(QWidget* Parent);

    // 追加 (or Return): the address of Edit1 onto the list; Label2 says
    // what became of it. A text that is no address goes to the error box.
    void Button1Click();
    // 削除: the selected entries off the list, after a question.
    void Button3Click();
    // List: the file's entries as they stand.
    void ShowList();

    QLabel* Label1;
    QLineEdit* Edit1;
    QLabel* Label2;
    QPushButton* Button1;
    QPushButton* Button2;
    QLabel* Label3;
    QListWidget* List;
    QPushButton* Button3;
};

// Shows Parent's dialog (one per window), emptied, with the list as it stands.
TOptOutDialog* OpenOptOutDialog(QWidget* Parent);
