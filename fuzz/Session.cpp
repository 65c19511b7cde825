// A session fed fuzzed replies: a loopback server answers with the input's
// bytes (whatever the client says), then ends its side; the client runs
// Connect, a mail transaction, VRFY, EXPN and QUIT on them. Every operation
// must end, with success or an Exception, never hang or touch bad memory.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include "rtl/Exception.h"
#include "smtp/NMsmtp.h"

namespace {

// How long the server waits for the client at most; the client always ends
// long before (the server's side is closed after the input).
constexpr int ServerWaitMs = 5000;

int listener = -1;
uint16_t port = 0;

void Listen()
{
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        std::abort();
    port = ntohs(addr.sin_port);
}

// Accepts one client, sends Replies, ends its sending side, then reads until
// the client closes; a reset of the first byte chooses an abortive close.
void Serve(const std::string& Replies, bool Reset)
{
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, ServerWaitMs) <= 0)
        return;  // the client never connected (a failure before it)
    const int conn = ::accept(listener, nullptr, nullptr);
    if (conn < 0)
        return;
    for (size_t sent = 0; sent < Replies.size();) {
        const ssize_t n = ::send(conn, Replies.data() + sent, Replies.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    if (Reset) {
        linger l{1, 0};
        ::setsockopt(conn, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    } else {
        ::shutdown(conn, SHUT_WR);
        char buf[4096];
        pollfd c{conn, POLLIN, 0};
        while (::poll(&c, 1, ServerWaitMs) > 0 && ::recv(conn, buf, sizeof buf, 0) > 0) {
        }
    }
    ::close(conn);
}

template <typename F>
void Try(F&& Step)
{
    try {
        Step();
    } catch (const Exception&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    if (listener < 0)
        Listen();
    const uint8_t flags = Size > 0 ? Data[0] : 0;
    const std::string replies(reinterpret_cast<const char*>(Data) + (Size > 0 ? 1 : 0), Size > 0 ? Size - 1 : 0);
    std::thread server(Serve, replies, (flags & 0x80) != 0);
    {
        TNMSMTP smtp(nullptr);
        smtp.Host = "127.0.0.1";
        smtp.Port = port;
        smtp.UserID = "fuzz.test";
        TPostMessage& m = *smtp.PostMessage;
        m.FromAddress = "a@example.test";
        m.ToAddress->Add("b@example.test");
        m.ToCarbonCopy->Add("Ken <c@example.test>");
        m.Body->Add("line");
        m.Body->Add(".");
        smtp.OnRecipientNotFound = [](const std::string&) {};
        smtp.OnMailListReturn = [](const std::string&) {};
        Try([&] { smtp.Connect(); });
        if (smtp.Connected) {
            Try([&] { smtp.SendMail(); });
            if (flags & 1)
                Try([&] { smtp.Verify("b@example.test"); });
            if (flags & 2)
                Try([&] { smtp.ExpandList("list"); });
            Try([&] { smtp.Disconnect(); });
        }
        Try([&] { smtp.TPowersock::Disconnect(); });
    }
    server.join();
    return 0;
}
