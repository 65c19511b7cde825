// The login's password on the command line: read from a descriptor the
// caller opened (--password-fd, as gpg's --passphrase-fd), or typed at the
// terminal without echo. Never an argument or an environment value, which
// other users of the machine could read.
#pragma once

#include <optional>
#include <string>

#include "rtl/Exception.h"

class EPasswordError : public Exception {
public:
    using Exception::Exception;
};

// One line from Fd: up to the first LF (not beyond, so the rest of the
// descriptor stays for the caller), a CR before it dropped. Raises
// EPasswordError when Fd cannot be read or ends before any byte.
std::string ReadPasswordLine(int Fd);

// Shows Prompt on the terminal Fd and reads one line with echo off,
// restoring the terminal however the read ends. Nothing when a signal
// interrupted the typing (the caller's stop then follows).
std::optional<std::string> AskPasswordOnTerminal(int Fd, const std::string& Prompt);
