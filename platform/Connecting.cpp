// A socket whose connect is under way: connect() and the FD_CONNECT outcome.
#include <sys/socket.h>

#include <cerrno>

#include "platform/SocketTable.h"

namespace winsock {
namespace detail {
namespace {

// The connect's outcome: 0, or the errno it failed with. A reset counts as
// success, since only an established connection can be reset.
int ConnectOutcome(int fd, Sock& s, bool broken, int err)
{
    if (!broken)
        err = TakePendingError(fd, s);
    if (err != 0)
        return err;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0)
        return 0;
    // Not connected after all: a reset came just after the connect
    // succeeded, or another call took the error.
    err = TakePendingError(fd, s);
    return err != 0 ? err : LostConnectError(s);
}

}  // namespace

short ConnectingInterest(const Sock&) { return POLLOUT; }

void OnConnecting(int fd, Sock& s, short revents, int err)
{
    if (!(revents & (POLLOUT | POLLHUP | POLLERR)))
        return;
    const bool broken = Broken(revents);
    err = ConnectOutcome(fd, s, broken, err);
    const bool connected = err == 0 || err == ECONNRESET || err == EPIPE;
    s.state = connected ? Sock::State::Connected : Sock::State::Failed;
    if (s.Wants(FD_CONNECT))
        Notify(fd, s, FD_CONNECT, connected ? 0 : ErrnoToWsa(err));
    if (!connected)
        return;
    if (s.Wants(FD_WRITE) && !broken)
        Notify(fd, s, FD_WRITE, 0);
    // A connection that is already over reports its close in this round;
    // whatever else is there shows in the next one.
    if (err != 0 || broken)
        OnConnected(fd, s, revents, err);
}

}  // namespace detail

int connect(SOCKET s, const sockaddr* name, int namelen)
{
    using namespace detail;
    if (!ValidHandle(s))
        return Fail(WSAENOTSOCK);
    const int fd = Fd(s);
    const bool nonBlocking = IsNonBlocking(fd);
    const int rc = ::connect(fd, name, static_cast<socklen_t>(namelen));
    const int err = rc == 0 ? 0 : errno;
    std::lock_guard lock(T().mutex);
    Sock* sock = Find(fd);
    if (!sock)
        return rc == 0 ? 0 : Fail(ErrnoToWsa(err));
    if (!nonBlocking) {
        if (rc == 0)
            sock->state = Sock::State::Connected;
        return rc == 0 ? 0 : Fail(ErrnoToWsa(err));
    }
    switch (err) {
    case 0:            // finished at once: the notifier sees it and notifies
    case EINPROGRESS:
        sock->state = Sock::State::Connecting;
        Wake();
        return Fail(WSAEWOULDBLOCK);
    case ECONNREFUSED:
    case ETIMEDOUT:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ECONNRESET:
        // Winsock reports these through FD_CONNECT, never from the call.
        sock->state = Sock::State::Failed;
        if (sock->Wants(FD_CONNECT))
            Notify(fd, *sock, FD_CONNECT, ErrnoToWsa(err));
        return Fail(WSAEWOULDBLOCK);
    case EINVAL:
        return Fail(WSAEINVAL);
    case EALREADY:
        return Fail(WSAEALREADY);
    default:
        return Fail(ErrnoToWsa(err));
    }
}

}  // namespace winsock
