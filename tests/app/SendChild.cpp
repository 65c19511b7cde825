// The main window in a process of its own, so that a test can kill it in the
// middle of a run and look at what the run left behind. Arguments: the
// working folder (holding 設定.txt), the recipient file, the subject, the
// body. Types them in, presses Send, writes every box's text to stdout
// ("BOX " and the text with its line ends escaped), and ends with the run.
#include <cstdio>
#include <filesystem>
#include <string>

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>

#include "app/Application.h"
#include "app/Main.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s FOLDER RECIPIENTS SUBJECT BODY\n", argv[0]);
        return 2;
    }
    std::filesystem::current_path(argv[1]);
    Application().Title = "Veltrow";
    Application().MessageBoxHook = [](const TMessageBoxRequest& Box) {
        std::string text;
        for (char c : Box.Text)
            text += c == '\n' ? std::string("\\n") : std::string(1, c);
        std::printf("BOX %s\n", text.c_str());
        std::fflush(stdout);
    };
    CreateForms();
    Form1->Edit1->setText(QString::fromUtf8(argv[2]));
    Form1->Edit2->setText(QString::fromUtf8(argv[3]));
    Form1->Memo1->setPlainText(QString::fromUtf8(argv[4]));
    QTimer::singleShot(0, [] {
        Application().HandleCommand([] { Form1->Button4Click(); });
        QApplication::quit();
    });
    const int result = QApplication::exec();
    FreeForms();
    return result;
}
