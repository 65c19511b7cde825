// Start-up: the application object, its title, the three windows in their
// order, and the message loop until the main window is closed.
#include <QApplication>

#include "app/Application.h"
#include "app/Main.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    Application().Initialize();
    Application().Title = "Veltrow";
    QApplication::setApplicationName(QStringLiteral("Veltrow"));
    QApplication::setFont(FormFont());

    int result = 1;
    try {
        CreateForms();
        Form1->show();
        result = QApplication::exec();
    } catch (const std::exception& e) {
        // Start-up failed (the socket library, say): say why, then end.
        Application().ShowException(e);
    }
    FreeForms();
    return result;
}
