// Start-up: the application object, its title, the three windows in their
// order, and the message loop until the main window is closed.
#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include <QApplication>
#include <QLocale>

#include "app/Application.h"
#include "app/LastInput.h"
#include "app/Main.h"
#include "engine/account/DomainCheck.h"
#include "engine/account/ProfileFolder.h"
#include "rtl/Version.h"

namespace {

const char* const Usage =
    "使い方: veltrow [--profile フォルダー]\n"
    "\n"
    "  --profile フォルダー  設定.txt、信頼する証明書.txt と 送信記録 をこのフォルダーに置きます\n"
    "                        （ないときは作成します）。\n"
    "  --menu                メニューからの起動: 作業フォルダーを見ずに ~/Veltrow を使います。\n"
    "  --version             版を表示して終了します。\n"
    "  --help                この説明を表示して終了します。\n"
    "\n"
    "--profile がないとき、作業フォルダーに 設定.txt があればそのフォルダーを、\n"
    "なければ ~/Veltrow を使います。\n";

bool Has(const std::vector<std::string>& Args, const char* Option)
{
    for (const std::string& arg : Args)
        if (arg == Option)
            return true;
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    // A file grown to its limit (ulimit -f) is a write that fails and is
    // reported in a box, not the end of the window.
    std::signal(SIGXFSZ, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    // Answered before the application object exists: they need no display.
    if (Has(args, "--version")) {
        std::printf("Veltrow %s\n", VeltrowVersion);
        return 0;
    }
    if (Has(args, "--help")) {
        std::fputs(Usage, stdout);
        return 0;
    }
    TProfileRequest profile;
    try {
        profile = TakeProfileOptions(args);
    } catch (const Exception& e) {
        std::fprintf(stderr, "veltrow: %s\n", e.Message().c_str());
        return 2;
    }
    // Qt sees its own options (-platform, ...) and not ours.
    std::vector<char*> qtArgv{argv[0]};
    for (std::string& arg : args)
        qtArgv.push_back(arg.data());
    qtArgv.push_back(nullptr);
    int qtArgc = static_cast<int>(qtArgv.size()) - 1;

    QApplication app(qtArgc, qtArgv.data());
    Application().Initialize();
    Application().Title = "Veltrow";
    QApplication::setApplicationName(QStringLiteral("Veltrow"));
    QApplication::setFont(FormFont());
    // The file dialog and the standard buttons speak the user's language
    // (LANG=ja_JP.UTF-8: Japanese).
    InstallQtTranslations(QLocale::system());

    int result = 1;
    try {
        Application().Profile.Folder = OpenProfileFolder(profile);
        CreateForms();
        RestoreInput(*Form1);
        Form1->show();
        result = QApplication::exec();
    } catch (const std::exception& e) {
        // Start-up failed (the socket library, say): say why, then end.
        Application().ShowException(e);
    }
    FreeForms();
    // A lookup the domain check gave up on would hold the ordinary exit
    // until the resolver's own time-out; everything is saved by now.
    if (DnsLookupsLeftRunning()) {
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(result);
    }
    return result;
}
