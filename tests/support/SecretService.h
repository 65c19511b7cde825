// A Secret Service of the test's own: gnome-keyring-daemon on a private
// session bus (dbus-run-session), its keyring unlocked, never the user's.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "tests/support/SmtpSink.h"

namespace testsupport {

class PrivateSecretService {
public:
    // Starts the bus and the daemon (bounded) and points this process's
    // DBUS_SESSION_BUS_ADDRESS at it; throws std::runtime_error on failure.
    // Make it before anything in the process talks to D-Bus.
    PrivateSecretService();
    // Ends both (bounded) and removes the keyring folder.
    ~PrivateSecretService();
    PrivateSecretService(const PrivateSecretService&) = delete;
    PrivateSecretService& operator=(const PrivateSecretService&) = delete;

    const std::string& Address() const { return address_; }
    // Every secret stored under attribute name=value, as secret-tool finds it
    // (an independent client): the output of "secret-tool search --all".
    std::string Search(const std::string& name, const std::string& value) const;

private:
    void Stop();

    TempFolder home_;
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
    std::string address_;
};

}  // namespace testsupport
