// Measures how many small messages per second TNMSMTP submits over one
// loopback connection to a minimal in-process responder.
//
//   smtp_throughput [count] [--nagle]     (count default 2000, at most 100000)
//
// --nagle clears TCP_NODELAY on the component's socket after it connects, to
// show what the option buys; use a small count, each message may stall.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "bench/Loopback.h"
#include "smtp/NMsmtp.h"

namespace {

// Answers one client: greeting, 250 to every command, 354 to DATA and 250
// after the data's final dot, 221 to QUIT. Blocking reads on its own thread.
class Responder {
public:
    Responder()
    {
        fd_ = ListenOnLoopback(port_);
        thread_ = std::thread([this] { Serve(); });
    }
    ~Responder()
    {
        thread_.join();
        ::close(fd_);
    }
    uint16_t Port() const { return port_; }
    long Accepted() const { return accepted_; }

private:
    // Reads until buf_ holds the terminator; false when the peer is gone.
    bool ReadUntil(int c, const char* end, std::string& out)
    {
        for (;;) {
            const auto at = buf_.find(end);
            if (at != std::string::npos) {
                out.assign(buf_, 0, at);
                buf_.erase(0, at + std::strlen(end));
                return true;
            }
            char chunk[16384];
            const ssize_t n = ::recv(c, chunk, sizeof chunk, 0);
            if (n <= 0)
                return false;
            buf_.append(chunk, static_cast<size_t>(n));
        }
    }
    static void Reply(int c, const char* text) { ::send(c, text, std::strlen(text), MSG_NOSIGNAL); }

    void Serve()
    {
        const int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0)
            return;
        Reply(c, "220 bench ready\r\n");
        std::string line, data;
        while (ReadUntil(c, "\r\n", line)) {
            const std::string verb = line.substr(0, 4);
            if (verb == "DATA") {
                Reply(c, "354 go ahead\r\n");
                // The dot line follows a line end; put back the one that ended DATA.
                buf_.insert(0, "\r\n");
                if (!ReadUntil(c, "\r\n.\r\n", data))
                    break;
                ++accepted_;
                Reply(c, "250 accepted\r\n");
            } else if (verb == "QUIT") {
                Reply(c, "221 bye\r\n");
                break;
            } else {
                Reply(c, "250 ok\r\n");
            }
        }
        ::close(c);
    }

    int fd_ = -1;
    uint16_t port_ = 0;
    std::string buf_;
    std::atomic<long> accepted_{0};
    std::thread thread_;
};

// Reaches the socket handle, which is the descriptor on this platform.
class BenchSmtp : public TNMSMTP {
public:
    using TNMSMTP::TNMSMTP;
    void UseNagle()
    {
        int off = 0;
        ::setsockopt(SocketHandle, IPPROTO_TCP, TCP_NODELAY, &off, sizeof off);
    }
};

}  // namespace

int main(int argc, char** argv)
{
    int count = 2000;
    bool nagle = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--nagle") == 0)
            nagle = true;
        else
            count = std::clamp(std::atoi(argv[i]), 1, 100000);
    }

    Responder peer;
    BenchSmtp smtp(nullptr);
    smtp.Host = "127.0.0.1";
    smtp.Port = peer.Port();
    smtp.TimeOut = 10000;
    smtp.UserID = "bench";
    smtp.PostMessage->FromAddress = "sender@example.com";
    smtp.PostMessage->Subject = "Throughput";
    for (const char* l : {"Hello,", "this is a short benchmark message.", "Regards"})
        smtp.PostMessage->Body->Add(l);

    smtp.Connect();
    if (nagle)
        smtp.UseNagle();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        smtp.PostMessage->ToAddress->Add("rcpt" + std::to_string(i) + "@example.com");
        smtp.SendMail();
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    smtp.Disconnect();

    std::printf("%d messages over one loopback connection (%s): %.3f s wall, %.0f messages/s\n", count,
                nagle ? "Nagle on" : "TCP_NODELAY", wall, count / wall);
    if (peer.Accepted() != count) {
        std::printf("FAIL: the responder accepted %ld messages\n", peer.Accepted());
        return 1;
    }
    return 0;
}
