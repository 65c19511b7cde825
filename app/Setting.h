// The Settings window and the settings file "設定.txt".
//
// The file lies in the working folder and holds five positional lines: SMTP
// server, port, HELO identity, sender name, sender address. It is written as
// UTF-8 with CR LF after every line; a file that is not valid UTF-8 (one
// from a Shift_JIS system) is read as CP932. The Settings window is its only
// writer; the main window reads it afresh at every Send.
#pragma once

#include <QWidget>

class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class TStringList;

extern const char* const SettingsFileName;

// Creates the default file (an empty line, "25", three empty lines) when
// there is none. A file that exists is never replaced, even when it cannot
// be read: the reader then reports it.
void EnsureSettingsFile();
// Ensures the file and loads its lines, converted to UTF-8. Raises the file
// errors "ファイル %s は開けません" / "ファイル %s を作成できません".
void ReadSettingsFile(TStringList& Lines);

class TForm3 : public QWidget {
public:
    explicit TForm3(QWidget* Parent = nullptr);

    // OnShow: fills the five fields from the file.
    void Open1();
    // Save: writes the five fields to the file, then closes the window.
    void Button2Click();
    // Clear: resets the fields; writes nothing.
    void Button3Click();
    // Close: hides the window; writes nothing.
    void Button1Click();

    QLabel* Label1;
    QLineEdit* Edit1;
    QLabel* Label8;
    QLineEdit* Edit2;
    QLabel* Label2;
    QLineEdit* Edit3;
    QFrame* Bevel1;
    QLabel* Label7;
    QLineEdit* Edit4;
    QLabel* Label3;
    QLineEdit* Edit5;
    QFrame* Bevel3;
    QPushButton* Button3;
    QPushButton* Button2;
    QPushButton* Button1;

protected:
    void showEvent(QShowEvent* Event) override;
};

extern TForm3* Form3;
