// A small editor for フッター.txt of the working folder, opened from the
// Settings window. It starts from the file, or from the built-in template
// when there is none, so the office words its own footer from a complete one.
#pragma once

#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QPushButton;

class TFooterEditor : public QWidget {
public:
    explicit TFooterEditor(QWidget* Parent);

    // Fills the text from the file (or the built-in template).
    void Load();
    // 保存: writes the text to the file (UTF-8, CR LF) and closes.
    void Button1Click();
    // 標準に戻す: the built-in template in the text; writes nothing.
    void Button2Click();

    QLabel* Label1;
    QPlainTextEdit* Memo1;
    QPushButton* Button1;
    QPushButton* Button2;
    QPushButton* Button3;
};

// Shows Parent's editor (one per window), loaded afresh.
TFooterEditor* OpenFooterEditor(QWidget* Parent);
