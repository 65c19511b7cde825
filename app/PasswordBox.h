// The box that asks for the SMTP password where no secret store keeps it:
// one field with its characters hidden, focused, and OK as the default
// button.
#pragma once

#include <optional>
#include <string>

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

class TPasswordBox : public QDialog {
public:
    TPasswordBox(const std::string& Login, const std::string& Server, QWidget* Parent = nullptr);

    QLabel* Label1;
    QLineEdit* Edit1;
    QPushButton* OKButton;
    QPushButton* CancelButton;
};

// Shows the box modally; the password typed, or nullopt when cancelled.
std::optional<std::string> AskPassword(const std::string& Login, const std::string& Server);
