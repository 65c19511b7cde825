// The command line of veltrow-send. Every refusal is a Japanese sentence
// that names the option, so that a cron mail says what to mend.
#pragma once

#include <string>
#include <vector>

#include "rtl/Exception.h"

// An unfinished run of the same list and message: what to do with it.
enum TResumeMode {
    rmAsk,      // neither option: stop before connecting and say which to pass
    rmResume,   // --resume
    rmRestart,  // --restart
};

struct TSendOptions {
    std::string To;       // the recipient file
    std::string Subject;  // UTF-8
    std::string Body;     // the body file
    std::string Profile;  // empty: none given (engine/account/ProfileFolder.h chooses, as for the window)
    TResumeMode Resume = rmAsk;
    std::string Trust;  // "AB:CD:...", 32 pairs in upper case; empty for none
    bool DryRun = false;
    bool StrictDomain = false;  // a missing SPF or DMARC record stops the run
    std::string OptOut;         // --opt-out: the address to add, nothing sent
    std::vector<std::string> Attach;  // --attach, any number: files every message carries
    bool AllowEmpty = false;  // send although fields the texts use are empty in some rows
    bool SkipMissingFiles = false;     // send the rows whose own files are there, keep the others for --resume
    bool AllowFilesOutsideList = false;  // rows may attach files outside the list's folder
    bool Unique = false;               // one message per address: later rows with it get 重複
    std::string TestTo;       // --test-to: the one row's message to this address
    int Row = 0;              // --row: the list's row (line) number; 0: the first that can be sent
    int PasswordFd = -1;  // -1: none given
    bool SignIn = false;
    bool Help = false;
    bool Version = false;
};

// A command line that cannot be run; the program exits 2.
class EUsageError : public Exception {
public:
    using Exception::Exception;
};

// Args without the program's name. "--name value" and "--name=value" both
// work. Raises EUsageError.
TSendOptions ParseSendOptions(const std::vector<std::string>& Args);

// A SHA-256 fingerprint as 64 hexadecimal digits, with or without colons
// between the pairs, as the trusted-certificates file writes it; empty when
// Text is none.
std::string NormalizeFingerprint(const std::string& Text);

std::string HelpText();
std::string VersionText();
