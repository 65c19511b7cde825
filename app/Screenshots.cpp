// Renders the three windows, filled with example content, to PNG files for
// the README: main.png, about.png, settings.png in the folder given as the
// only argument. Run it under a display (scripts/screenshots.sh uses
// xvfb-run), so the real fonts are used.
#include <cstdio>
#include <filesystem>
#include <string>

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTemporaryDir>

#include "app/About.h"
#include "app/Application.h"
#include "app/Main.h"
#include "app/Setting.h"
#include "rtl/StringList.h"

namespace {

bool Save(QWidget* form, const QString& path)
{
    form->show();
    form->raise();
    for (int i = 0; i < 20; ++i)
        QApplication::processEvents();
    const bool ok = form->grab().save(path, "PNG");
    std::printf("%s %s\n", ok ? "wrote" : "could not write", path.toLocal8Bit().constData());
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT-FOLDER\n", argv[0]);
        return 2;
    }
    const QString out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    Application().Title = "Veltrow";
    QApplication::setApplicationName(QStringLiteral("Veltrow"));
    QApplication::setFont(FormFont());

    // The Settings window reads its fields from the working folder's file.
    QTemporaryDir work;
    if (!work.isValid())
        return 1;
    std::filesystem::current_path(work.path().toStdString());
    // A provider's submission port with STARTTLS and a login.
    const TStringList settings{"smtp.example.jp", "587",      "pc01.example.jp", "山田 太郎",
                               "taro@example.jp", "starttls", "taro@example.jp"};
    settings.SaveToFile(SettingsFileName);

    CreateForms();
    Form1->Edit1->setText(QStringLiteral("/home/taro/宛先リスト.txt"));
    Form1->Edit2->setText(QStringLiteral("会議のご案内（第3回）"));
    Form1->Memo1->setPlainText(QStringLiteral(
        "各位\n\nお疲れさまです。山田です。\n第3回の定例会議を下記のとおり開催します。\n\n"
        "日時：12月12日（木）14:00〜15:30\n場所：本社 3階 会議室A\n\nご出席のほど、よろしくお願いいたします。"));
    Form1->Edit3->setText(QStringLiteral("3/120"));
    Form1->StatusBar1->showMessage(QStringLiteral("メッセージを送り終わりました"));

    bool ok = Save(Form1, out + QStringLiteral("/main.png"));
    ok = Save(Form2, out + QStringLiteral("/about.png")) && ok;
    // Shown first, so the password typed afterwards is not cleared by the show.
    Form3->show();
    QApplication::processEvents();
    Form3->Edit7->setText(QStringLiteral("password"));
    ok = Save(Form3, out + QStringLiteral("/settings.png")) && ok;

    FreeForms();
    return ok ? 0 : 1;
}
