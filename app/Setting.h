// The Settings window, the only writer of the settings file (app/SettingsFile.h);
// the main window reads the file afresh at every Send.
#pragma once

#include <QWidget>

#include "engine/account/SettingsFile.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

class TForm3 : public QWidget {
public:
    explicit TForm3(QWidget* Parent = nullptr);

    // OnShow: fills the fields from the file.
    void Open1();
    // Save: writes the fields to the file, then closes the window.
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
    // Below the first five: connection security, login name, password,
    // charset and the pause between messages.
    QLabel* Label4;
    QComboBox* ComboBox1;
    QLabel* Label5;
    QLineEdit* Edit6;
    // The password goes to the secret store on Save, never to the file;
    // 保存しない keeps it in memory only. Empty leaves a kept one as it is.
    QLabel* Label10;
    QLineEdit* Edit7;
    QCheckBox* CheckBox1;
    QFrame* Bevel4;
    QLabel* Label6;
    QComboBox* ComboBox2;
    QLabel* Label9;
    QSpinBox* SpinEdit1;
    QFrame* Bevel5;
    // Lines 10 to 12 and the sign-in: ログイン方式, クライアントID, the tenant
    // (Microsoft) or the client secret (Google), and サインイン with the
    // account it holds beside it.
    QLabel* Label11;
    QComboBox* ComboBox3;
    QLabel* Label12;
    QLineEdit* Edit8;
    QLabel* Label13;
    QLineEdit* Edit9;
    QPushButton* Button4;
    QLabel* Label14;
    QFrame* Bevel6;
    // Lines 13 to 17: 広告・宣伝メール, the unsubscribe address and URL
    // (on every message), the postal address and the enquiry contact (in the
    // footer of advertising mail), and the footer's editor.
    QCheckBox* CheckBox2;
    QLabel* Label15;
    QLineEdit* Edit10;
    QLabel* Label16;
    QLineEdit* Edit11;
    QLabel* Label17;
    QLineEdit* Edit12;
    QLabel* Label18;
    QLineEdit* Edit13;
    QPushButton* Button5;
    QPushButton* Button6;
    QFrame* Bevel7;
    QPushButton* Button3;
    QPushButton* Button2;
    QPushButton* Button1;

    // Choosing STARTTLS or SSL/TLS with port 25 offers 587 or 465.
    void ComboBox1Select();

    // The fields that apply to the login method chosen, and the label of line 12.
    void ComboBox3Select();
    // サインイン with the fields as they stand (saved or not); while the
    // browser is open the button reads 中止 and ends the sign-in.
    void Button4Click();
    // Label14: the account signed in, or that none is.
    void ShowSignedIn();
    // フッターを編集: the footer file of the profile folder in a small
    // editor, starting from the built-in template when there is none.
    void Button5Click();
    // 配信停止の一覧: a small window that lists, adds and removes the
    // addresses of 配信停止.txt.
    void Button6Click();

    // The fields as settings, and the settings shown in the fields.
    TSettings Fields() const;
    void ShowSettings(const TSettings& Settings);

protected:
    void showEvent(QShowEvent* Event) override;

private:
    void CreateLaterRows();
    void CreateSignInRows();
    void CreateComplianceRows();
    bool signingIn_ = false;
};

extern TForm3* Form3;
