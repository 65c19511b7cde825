// Debian's Postfix on loopback with a configuration folder of its own: its
// master (for cleanup, the queue manager and the log) and, for every
// connection to a port the test keeps bound, one smtpd on that connection as
// the postfix user. Mail goes to the discard transport; every line of the
// log lands in Log().
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/SmtpSink.h"

namespace testsupport {

class PostfixServer {
public:
    // Why Postfix cannot run here (not installed, not root: its master
    // refuses anyone else), or empty.
    static std::string Unavailable();

    // Settings: extra main.cf lines. STARTTLS with CertFile and KeyFile.
    PostfixServer(const std::string& Settings, const std::string& CertFile, const std::string& KeyFile);
    // Stops the master and every smtpd, removes the folder.
    ~PostfixServer();
    PostfixServer(const PostfixServer&) = delete;
    PostfixServer& operator=(const PostfixServer&) = delete;

    uint16_t Port() const { return port_; }
    // The log so far.
    std::string Log() const;

private:
    void Serve();

    TempFolder folder_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    pid_t master_ = -1;
    std::atomic<bool> stop_{false};
    std::vector<pid_t> smtpds_;
    std::thread acceptor_;
};

}  // namespace testsupport
