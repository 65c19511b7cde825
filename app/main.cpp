// Start-up: the application object, its title, the three windows in their
// order, and the message loop until the main window is closed.
#include <QApplication>

#include "app/About.h"
#include "app/Application.h"
#include "app/Main.h"
#include "app/Setting.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    Application().Initialize();
    Application().Title = "Veltrow";
    QApplication::setApplicationName(QStringLiteral("Veltrow"));
    QApplication::setFont(FormFont());

    int result = 1;
    try {
        Form1 = new TForm1;
        Form2 = new TForm2;
        Form3 = new TForm3;
        Form1->show();
        result = QApplication::exec();
    } catch (const std::exception& e) {
        // Start-up failed (the socket library, say): say why, then end.
        Application().ShowException(e);
    }
    delete Form3;
    Form3 = nullptr;
    delete Form2;
    Form2 = nullptr;
    delete Form1;
    Form1 = nullptr;
    return result;
}
