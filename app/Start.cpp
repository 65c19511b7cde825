// Start-up: the application object, its title, the three windows in their
// order, and the message loop until the main window is closed.
#include <QApplication>
#include <QLocale>

#include "app/Application.h"
#include "app/Main.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    Application().Initialize();
    Application().Title = "Veltrow";
    QApplication::setApplicationName(QStringLiteral("Veltrow"));
    QApplication::setFont(FormFont());
    // The file dialog and the standard buttons speak the user's language
    // (LANG=ja_JP.UTF-8: Japanese).
    InstallQtTranslations(QLocale::system());

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
