// The real main window under QT_QPA_PLATFORM=offscreen: Send with a
// recipient file of COUNT lines to the server at HOST:PORT, timed from the
// click to the final "送信終了" in the progress field.
//
//   window HOST PORT COUNT [LOGIN PASSWORD]
//
// With a login the session is STARTTLS (the password is kept in memory);
// the time from the click to the first message accepted is printed too.
//
// The settings file, and with it the journal, go in a new folder under
// VELTROW_BENCH_DIR (default /tmp), so that the journal's disk can be chosen.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <QApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include "app/Application.h"
#include "app/Main.h"
#include "engine/account/Passwords.h"
#include "engine/account/SecretStore.h"
#include "app/Setting.h"
#include "bench/BenchMessage.h"
#include "bench/Measure.h"

namespace {

void WriteFile(const std::string& Path, const std::string& Bytes)
{
    std::ofstream(Path, std::ios::binary | std::ios::trunc) << Bytes;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 6) {
        std::fprintf(stderr, "usage: window HOST PORT COUNT [LOGIN PASSWORD]\n");
        return 2;
    }
    const long count = std::atol(argv[3]);
    const char* under = std::getenv("VELTROW_BENCH_DIR");
    std::string pattern = std::string(under && *under ? under : "/tmp") + "/veltrow-bench-XXXXXX";
    char* folder = ::mkdtemp(pattern.data());
    if (!folder)
        return 2;
    std::filesystem::current_path(folder);
    WriteFile(SettingsFileName, std::string(argv[1]) + "\r\n" + argv[2] +
                                    "\r\nbench.example.com\r\nBench\r\nsender@example.com\r\n" +
                                    (argc == 6 ? std::string("starttls\r\n") + argv[4] + "\r\n" : ""));
    std::string recipients;
    for (long i = 0; i < count; ++i)
        recipients += "rcpt" + std::to_string(i) + "@example.com\r\n";
    WriteFile("rcpt.txt", recipients);

    QApplication app(argc, argv);
    Application().Initialize();
    Application().Title = "Veltrow";
    std::string box;
    Application().MessageBoxHook = [&box](const TMessageBoxRequest& r) { box = r.Text; };
    if (argc == 6) {
        Passwords().UseSystemStore(std::make_unique<TMemoryStore>());
        Passwords().Save(PasswordKey(argv[1], argv[2], argv[4]), argv[5], true);
    }
    CreateForms();
    Form1->show();
    Form1->Edit1->setText(QString::fromStdString(std::string(folder) + "/rcpt.txt"));
    Form1->Edit2->setText(QStringLiteral("Benchmark"));
    QString body;
    for (const std::string& line : bench::BodyLines())
        body += QString::fromStdString(line) + QLatin1Char('\n');
    Form1->Memo1->setPlainText(body);

    QEventLoop done;
    const QString finished = QString::fromUtf8("送信終了");
    const QString firstDone = QString::fromStdString("1/" + std::to_string(count));
    double first = 0;
    bench::Sample a;
    QObject::connect(Form1->Edit3, &QLineEdit::textChanged, [&](const QString& t) {
        if (t == firstDone)
            first = bench::Now().wall - a.wall;
        if (t == finished)
            done.quit();
    });
    QTimer::singleShot(600000, &done, &QEventLoop::quit);
    a = bench::Now();
    Form1->Button4->click();
    if (Form1->Edit3->text() != finished)
        done.exec();
    const auto b = bench::Now();
    const std::string progress = Form1->Edit3->text().toStdString();
    FreeForms();
    std::filesystem::current_path("/");
    std::filesystem::remove_all(folder);
    // The run's closing summary is the one box a clean run shows.
    const std::string summary = "送信済み " + std::to_string(count) + " 件";
    if ((!box.empty() && box.rfind(summary, 0) != 0) || progress != "送信終了") {
        std::fprintf(stderr, "window: the run did not finish cleanly: %s (%s)\n", box.c_str(), progress.c_str());
        return 1;
    }
    if (argc == 6)
        std::printf("first ms=%.3f\n", first * 1000);
    bench::Report("window", count, a, b);
    return 0;
}
