#include "tests/support/TlsRelay.h"
#include "tests/support/ScriptedPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <stdexcept>

namespace testsupport {

namespace {

// Every blocking step looks at the stop flag this often.
constexpr int PollMs = 20;

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

bool SendAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

TlsRelay::TlsRelay(uint16_t TargetPort, const std::string& CertFile, const std::string& KeyFile)
    : target_(TargetPort), cert_(CertFile), key_(KeyFile)
{
    // OpenSSL writes with plain write(): a client gone first must not end
    // the test program.
    ::signal(SIGPIPE, SIG_IGN);
    listenFd_ = ListenLoopback(8, port_);
    acceptor_ = std::thread([this] { Serve(); });
}

TlsRelay::~TlsRelay()
{
    stop_ = true;
    acceptor_.join();
    for (std::thread& t : relays_)
        t.join();
    ::close(listenFd_);
}

void TlsRelay::Serve()
{
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, PollMs) <= 0)
            continue;
        const int client = ::accept(listenFd_, nullptr, nullptr);
        if (client >= 0)
            relays_.emplace_back([this, client] { Relay(client); });
    }
}

void TlsRelay::Relay(int Client)
{
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    SSL* ssl = nullptr;
    const int server = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in target = Loopback(target_);
    if (SSL_CTX_use_certificate_chain_file(ctx, cert_.c_str()) == 1 &&
        SSL_CTX_use_PrivateKey_file(ctx, key_.c_str(), SSL_FILETYPE_PEM) == 1 &&
        ::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
        ssl = SSL_new(ctx);
        SSL_set_fd(ssl, Client);
        if (SSL_accept(ssl) == 1) {
            char buffer[16384];
            bool open = true;
            while (open && !stop_) {
                pollfd p[2] = {{Client, POLLIN, 0}, {server, POLLIN, 0}};
                if (SSL_pending(ssl) == 0 && ::poll(p, 2, PollMs) <= 0)
                    continue;
                if (SSL_pending(ssl) > 0 || (p[0].revents & (POLLIN | POLLHUP | POLLERR))) {
                    const int n = SSL_read(ssl, buffer, sizeof buffer);
                    open = n > 0 && SendAll(server, buffer, static_cast<size_t>(n));
                }
                if (open && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
                    const ssize_t n = ::recv(server, buffer, sizeof buffer, 0);
                    open = n > 0 && SSL_write(ssl, buffer, static_cast<int>(n)) == n;
                }
            }
            SSL_shutdown(ssl);
        }
        SSL_free(ssl);
    }
    SSL_CTX_free(ctx);
    ::close(server);
    ::close(Client);
}

}  // namespace testsupport
