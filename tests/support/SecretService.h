// A Secret Service of the test's own: gnome-keyring-daemon on a private
// session bus, its keyring unlocked, never the user's.
//
// The bus is one per test process and lives as long as the process: the
// secret store's library (libsecret through GLib) keeps the process's first
// session-bus connection for good, so a bus that ended with its test would
// leave every later test's store on a closed connection. Each service, on
// the other hand, is the test's own: a fresh keyring, and gone at its end.
#pragma once

#include <string>

#include "tests/support/SmtpSink.h"

namespace testsupport {

class PrivateSecretService {
public:
    // Starts the process's bus when none runs yet, and a daemon on it
    // (bounded); points this process's DBUS_SESSION_BUS_ADDRESS at the bus.
    // Throws std::runtime_error on failure. One at a time in a process; the
    // first before anything in the process talks to a session bus, whose
    // connection would be the one kept.
    PrivateSecretService();
    // Ends the daemon (bounded); between tests no Secret Service runs, so a
    // test without one finds none. Removes the keyring folder.
    ~PrivateSecretService();
    PrivateSecretService(const PrivateSecretService&) = delete;
    PrivateSecretService& operator=(const PrivateSecretService&) = delete;

    const std::string& Address() const { return address_; }
    // Every secret stored under attribute name=value, as secret-tool finds it
    // (an independent client): the output of "secret-tool search --all".
    std::string Search(const std::string& name, const std::string& value) const;

private:
    TempFolder home_;
    std::string address_;
};

}  // namespace testsupport
