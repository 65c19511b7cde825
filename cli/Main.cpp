// veltrow-send: the bulk run for cron and scripts. Only QtCore's event
// loop, never widgets, so it runs where no display is.
#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include <QCoreApplication>

#include "cli/Options.h"
#include "cli/SendCommand.h"
#include "engine/account/DomainCheck.h"
#include "engine/account/ProfileFolder.h"

int main(int argc, char** argv)
{
    // A file grown to its limit (ulimit -f) is a write that fails and is
    // reported, not the end of the process.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Veltrow"));
    // The arguments as bytes: Qt would decode them by the locale, and cron
    // runs under C.
    const std::vector<std::string> args(argv + 1, argv + argc);
    TSendOptions options;
    try {
        options = ParseSendOptions(args);
    } catch (const EUsageError& e) {
        std::fprintf(stderr, "veltrow-send: %s\n", e.Message().c_str());
        return ecNotStarted;
    }
    if (options.Help || options.Version) {
        std::fputs((options.Help ? HelpText() : VersionText()).c_str(), stdout);
        return ecAllSent;
    }
    // The window's rule: --profile, else a working folder holding 設定.txt,
    // else ~/Veltrow; so a cron line and the menu's window share one folder.
    try {
        TProfileRequest profile;
        if (!options.Profile.empty())
            profile.Profile = options.Profile;
        options.Profile = OpenProfileFolder(profile);
    } catch (const EProfileError& e) {
        std::fprintf(stderr, "veltrow-send: %s\n", e.Message().c_str());
        return ecNotStarted;
    }
    const int code = RunSendCommand(options);
    // A lookup the domain check gave up on goes on in Qt's resolver thread
    // until the resolver's own time-out, which the ordinary exit would wait
    // for. Everything of the run is closed and on the disk by now.
    if (DnsLookupsLeftRunning()) {
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(code);
    }
    return code;
}
