// Ends TLS from the first byte and passes the plain bytes on to a loopback
// port and back, so that the scripted peer can play the server of a
// protected session. Every accepted connection opens one to the target.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class TlsRelay {
public:
    TlsRelay(uint16_t TargetPort, const std::string& CertFile, const std::string& KeyFile);
    // Stops accepting, ends every relayed connection and joins the threads.
    ~TlsRelay();
    TlsRelay(const TlsRelay&) = delete;
    TlsRelay& operator=(const TlsRelay&) = delete;

    uint16_t Port() const { return port_; }

private:
    void Serve();
    void Relay(int Client);

    uint16_t target_;
    std::string cert_, key_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::vector<std::thread> relays_;
};

}  // namespace testsupport
