// A listening socket: bind(), listen(), accept() and FD_ACCEPT.
#include <sys/socket.h>

#include <cerrno>

#include "platform/SocketTable.h"

namespace winsock {
namespace detail {

short ListeningInterest(const Sock& s) { return s.Wants(FD_ACCEPT) && s.acceptArmed && !s.hungUp ? POLLIN : 0; }

void OnListening(int fd, Sock& s, short revents)
{
    if (revents & POLLIN)
        NotifyOnce(fd, s, s.acceptArmed, FD_ACCEPT);
    if (Broken(revents))
        s.hungUp = true;
}

}  // namespace detail

int bind(SOCKET s, const sockaddr* name, int namelen)
{
    using namespace detail;
    if (!ValidHandle(s))
        return Fail(WSAENOTSOCK);
    return ::bind(Fd(s), name, static_cast<socklen_t>(namelen)) == 0 ? 0 : FailErrno();
}

int listen(SOCKET s, int backlog)
{
    using namespace detail;
    if (!ValidHandle(s))
        return Fail(WSAENOTSOCK);
    if (::listen(Fd(s), backlog) != 0)
        return FailErrno();
    std::lock_guard lock(T().mutex);
    if (Sock* sock = Find(Fd(s))) {
        sock->state = Sock::State::Listening;
        sock->acceptArmed = true;
        Wake();
    }
    return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen)
{
    using namespace detail;
    if (!ValidHandle(s)) {
        Fail(WSAENOTSOCK);
        return INVALID_SOCKET;
    }
    const int lfd = Fd(s);
    socklen_t len = addrlen ? static_cast<socklen_t>(*addrlen) : 0;
    int fd = ::accept4(lfd, addr, addrlen ? &len : nullptr, SOCK_CLOEXEC | (IsNonBlocking(lfd) ? SOCK_NONBLOCK : 0));
    const int err = errno;
    Sock listener;
    {
        std::lock_guard lock(T().mutex);
        if (Sock* l = Find(lfd)) {
            if (!l->acceptArmed) {
                l->acceptArmed = true;
                Wake();
            }
            listener = *l;
        }
    }
    if (fd < 0) {
        Fail(ErrnoToWsa(err));
        return INVALID_SOCKET;
    }
    if (addrlen)
        *addrlen = static_cast<int>(len);
    SOCKET ns = Adopt(fd, true);
    if (ns == INVALID_SOCKET)
        return INVALID_SOCKET;
    // The accepted socket carries the listener's registration, as in Winsock.
    std::lock_guard lock(T().mutex);
    Sock& sock = T().socks[fd];
    sock.state = Sock::State::Connected;
    sock.hwnd = listener.hwnd;
    sock.msg = listener.msg;
    sock.mask = listener.mask;
    if (sock.Wants(FD_WRITE))
        Notify(fd, sock, FD_WRITE, 0);
    Wake();
    return ns;
}

}  // namespace winsock
