// What the machine allows: the component's exact exchange per message (RSET,
// MAIL FROM, RCPT TO, DATA, the text with its final ".") from a bare client
// on POSIX sockets, with nothing else around it. Its figures are the floor
// under any client that sends the same bytes in the same round trips.
//
//   bare sleep HOST PORT COUNT   sleeps in poll for every reply
//   bare look HOST PORT COUNT    looks at the socket for up to 60 µs first

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/BenchMessage.h"
#include "bench/Measure.h"

namespace {

int fd = -1;
bool looks = false;

bool Readable(int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

// One reply, whole: every reply of smtp-sink fits one read.
void Reply()
{
    if (looks) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(60);
        while (!Readable(0) && std::chrono::steady_clock::now() < until) {
        }
    }
    char buf[4096];
    for (;;) {
        if (!Readable(30000))
            std::exit(3);
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            std::exit(3);
        if (buf[n - 1] == '\n')
            return;
    }
}

void Say(const std::string& text)
{
    if (::send(fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()))
        std::exit(3);
    Reply();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: bare sleep|look HOST PORT COUNT\n");
        return 2;
    }
    looks = std::string(argv[1]) == "look";
    const long count = std::atol(argv[4]);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[3])));
    if (::inet_pton(AF_INET, argv[2], &a.sin_addr) != 1)
        return 2;
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return 3;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Reply();
    Say("HELO bench.example.com\r\n");
    std::string body;
    for (const std::string& line : bench::BodyLines())
        body += line + "\r\n";
    const auto from = bench::Now();
    for (long i = 0; i < count; ++i) {
        const std::string rcpt = "<rcpt" + std::to_string(i) + "@example.com>";
        Say("RSET\r\n");
        Say("MAIL FROM:<sender@example.com>\r\n");
        Say("RCPT TO:" + rcpt + "\r\n");
        Say("DATA\r\n");
        Say("From: <sender@example.com>\r\nTo: " + rcpt +
            "\r\nSubject: Benchmark\r\nX-Mailer: \r\nMime-Version: 1.0\r\n"
            "Content-Type: text/plain; charset=us-ascii\r\n\r\n\r\n" + body + ".\r\n");
    }
    const auto to = bench::Now();
    Say("QUIT\r\n");
    ::close(fd);
    bench::Report(looks ? "bare-look" : "bare-sleep", count, from, to);
    return 0;
}
