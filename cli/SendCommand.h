// One veltrow-send command from its parsed options to its exit code: a
// Send, a dry run or a sign-in, on the same engine, profile folder and
// files as the window.
#pragma once

#include "cli/Options.h"

// The exit codes cron and scripts act on.
enum TExitCode {
    ecAllSent = 0,     // every entry of the list is 送信済み
    ecOtherOutcomes = 1,  // the run finished, some entries not 送信済み
    ecNotStarted = 2,  // options, settings, files, connection, TLS, login, an unfinished run
    ecStopped = 3,     // SIGINT or SIGTERM: the journal is complete and resumable
};

// Needs the Qt application object; prints to standard output and error.
int RunSendCommand(const TSendOptions& Options);
