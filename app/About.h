// The About window: program name, version, author and a short notice.
// Modeless; closing only hides it, so it shows the same content next time.
#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

class TForm2 : public QWidget {
public:
    explicit TForm2(QWidget* Parent = nullptr);

    // Close button.
    void Button1Click();

    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    QLabel* Label6;
    QLabel* Label7;
    QLabel* Label8;
    QPushButton* Button1;
};

extern TForm2* Form2;
