// A connected socket: send(), recv() and the FD_READ, FD_OOB, FD_WRITE and
// FD_CLOSE notifications. Every read and write of a connection passes through
// Receive and Transmit, and DataWaits alone decides whether a read
// notification is due, so a layer between the caller and the descriptor
// (one holding data it has already decoded, say) changes these three.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>

#include "platform/Internal.h"
#include "platform/SocketTable.h"
#include "platform/Tls.h"

namespace winsock {
namespace detail {
namespace {

// Through the TLS session when the socket has one: it has no urgent data.
ssize_t Receive(int fd, tls::Session* session, char* buf, size_t len, int flags)
{
    if (!session)
        return ::recv(fd, buf, len, flags);
    if (flags & MSG_OOB) {
        errno = EOPNOTSUPP;
        return -1;
    }
    const int n = static_cast<int>(std::min<size_t>(len, INT32_MAX));
    return (flags & MSG_PEEK) ? session->Peek(buf, n) : session->Read(buf, n);
}

ssize_t Transmit(int fd, tls::Session* session, const char* buf, size_t len, int flags)
{
    if (!session)
        return ::send(fd, buf, len, flags | MSG_NOSIGNAL);
    if (flags & MSG_OOB) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return session->Write(buf, static_cast<int>(std::min<size_t>(len, INT32_MAX)));
}

// Whether data waits to be read. Finding the end of the stream or an error
// instead ends reading for good, which also takes the socket out of the poll
// for reading.
bool DataWaits(int fd, Sock& s)
{
    // Decrypted bytes are in no socket buffer. Raw bytes under a session may
    // be only part of a record: a read notification that finds nothing is
    // allowed, as in Winsock.
    if (s.tlsPending)
        return true;
    char c;
    const ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0)
        return true;
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        if (n < 0)
            NoteError(s, errno);  // the peek may be what takes a reset's error
        s.endOfStream = true;
    }
    return false;
}

}  // namespace

short ConnectedInterest(const Sock& s)
{
    short ev = 0;
    if (s.Wants(FD_READ) && s.readArmed && !s.readHeld && !s.endOfStream)
        ev |= POLLIN;
    if (s.hungUp)
        return ev;
    // Held, not even POLLPRI: data wakes every poller that asks for it.
    if (s.Wants(FD_OOB) && s.oobArmed && !s.readHeld)
        ev |= POLLPRI;
    if (s.Wants(FD_WRITE) && s.writeArmed)
        ev |= POLLOUT;
    if (s.Wants(FD_CLOSE) && !s.closeSent)
        ev |= POLLRDHUP;
    return ev;
}

void OnConnected(int fd, Sock& s, short revents, int err)
{
    const bool broken = Broken(revents);
    const bool ended = revents & (POLLRDHUP | POLLHUP | POLLERR);
    if ((ended || (revents & POLLIN)) && s.Wants(FD_READ) && s.readArmed && !s.readHeld && !s.endOfStream &&
        DataWaits(fd, s))
        NotifyOnce(fd, s, s.readArmed, FD_READ);
    if ((revents & POLLPRI) && s.Wants(FD_OOB) && s.oobArmed && !s.readHeld)
        NotifyOnce(fd, s, s.oobArmed, FD_OOB);
    if ((revents & POLLOUT) && !broken && s.Wants(FD_WRITE) && s.writeArmed)
        NotifyOnce(fd, s, s.writeArmed, FD_WRITE);
    if (ended && s.Wants(FD_CLOSE) && !s.closeSent) {
        s.closeSent = true;
        Notify(fd, s, FD_CLOSE, CloseError(s, err));
    }
    if (broken)
        s.hungUp = true;
}

// What send and recv refuse before touching the socket: 0 when nothing.
int TransferError(SOCKET s, int len)
{
    if (!ValidHandle(s))
        return WSAENOTSOCK;
    return len < 0 ? WSAEINVAL : 0;
}

}  // namespace detail

int send(SOCKET s, const char* buf, int len, int flags)
{
    using namespace detail;
    if (const int error = TransferError(s, len))
        return Fail(error);
    const int fd = Fd(s);
    const auto session = SessionOf(fd);
    const ssize_t n = Transmit(fd, session.get(), buf, static_cast<size_t>(len), flags & MSG_OOB);
    if (n >= 0)
        return static_cast<int>(n);
    const int err = errno;
    std::lock_guard lock(T().mutex);
    Sock* sock = Find(fd);
    if (sock)
        NoteError(*sock, err);
    if (err == EAGAIN) {
        if (sock && !sock->writeArmed) {
            sock->writeArmed = true;
            Wake();
        }
        return Fail(WSAEWOULDBLOCK);
    }
    // Linux answers EPIPE also for a socket that never connected.
    if (err == EPIPE && (!sock || sock->state != Sock::State::Connected))
        return Fail(WSAENOTCONN);
    return Fail(ErrnoToWsa(err));
}

int recv(SOCKET s, char* buf, int len, int flags)
{
    using namespace detail;
    if (const int error = TransferError(s, len))
        return Fail(error);
    const int fd = Fd(s);
    const auto session = SessionOf(fd);
    const ssize_t n = Receive(fd, session.get(), buf, static_cast<size_t>(len), flags & (MSG_PEEK | MSG_OOB));
    const int err = n < 0 ? errno : 0;
    bool reset = false;
    {
        // Re-enable after the call, so data it took raises no extra notice.
        std::lock_guard lock(T().mutex);
        if (Sock* sock = Find(fd)) {
            bool& armed = (flags & MSG_OOB) ? sock->oobArmed : sock->readArmed;
            if (!armed) {
                armed = true;
                if (!sock->readHeld)
                    Wake();
            }
            NoteError(*sock, err);
            reset = EndIsReset(*sock);
        }
    }
    if (session)
        NotePending(fd, *session);
    if (n == 0 && len > 0 && reset)
        return Fail(WSAECONNRESET);
    if (n >= 0)
        return static_cast<int>(n);
    return Fail(ErrnoToWsa(err));
}

int HoldReadNotifications(SOCKET s, bool hold)
{
    using namespace detail;
    if (!ValidHandle(s))
        return Fail(WSAENOTSOCK);
    const bool deferred = !hold && platform_detail::ReleaseWhenIdle();
    std::lock_guard lock(T().mutex);
    Sock* sock = Find(Fd(s));
    if (!sock)
        return Fail(WSAENOTSOCK);
    if (hold) {
        sock->releasePending = false;
        // The notifier stops polling the socket for data at once: the kernel
        // wakes every poller that asks for POLLIN or POLLPRI when data comes.
        if (!std::exchange(sock->readHeld, true))
            Wake();
    } else if (deferred) {
        sock->releasePending = sock->readHeld;
    } else if (std::exchange(sock->readHeld, false)) {
        Wake();
    }
    return 0;
}

}  // namespace winsock

namespace platform_detail {

void ApplyPendingReleases()
{
    using namespace winsock::detail;
    std::lock_guard lock(T().mutex);
    bool released = false;
    for (auto& [fd, sock] : T().socks) {
        if (sock.releasePending) {
            sock.releasePending = false;
            sock.readHeld = false;
            released = true;
        }
    }
    if (released)
        Wake();
}

}  // namespace platform_detail
