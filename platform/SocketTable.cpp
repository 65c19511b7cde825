#include "platform/SocketTable.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/Internal.h"

namespace winsock {
namespace detail {
namespace {

thread_local int tLastError = 0;

// The poll events that serve the socket's armed notifications.
short Interest(const Sock& s)
{
    if (s.hwnd == 0 || s.mask == 0)
        return 0;
    switch (s.state) {
    case Sock::State::Connecting:
        return ConnectingInterest(s);
    case Sock::State::Listening:
        return ListeningInterest(s);
    case Sock::State::Connected:
        return ConnectedInterest(s);
    default:
        return 0;
    }
}

// Turns what poll found into notifications.
void Handle(int fd, Sock& s, short revents)
{
    // Read the pending error before a peek or another call takes it away.
    const int err = Broken(revents) ? TakePendingError(fd, s) : 0;
    switch (s.state) {
    case Sock::State::Connecting:
        OnConnecting(fd, s, revents, err);
        return;
    case Sock::State::Listening:
        OnListening(fd, s, revents);
        return;
    case Sock::State::Connected:
        OnConnected(fd, s, revents, err);
        return;
    default:
        return;
    }
}

void PollerLoop()
{
    std::vector<pollfd> fds;
    std::vector<uint64_t> generations;
    std::unique_lock lock(T().mutex);
    while (!T().stopPoller) {
        fds.assign(1, pollfd{T().wakeFd, POLLIN, 0});
        generations.assign(1, 0);
        for (auto& [fd, s] : T().socks)
            if (short ev = Interest(s)) {
                fds.push_back({fd, ev, 0});
                generations.push_back(s.generation);
            }
        lock.unlock();
        int r = ::poll(fds.data(), fds.size(), -1);
        lock.lock();
        if (r <= 0)
            continue;
        if (fds[0].revents) {
            uint64_t count;
            [[maybe_unused]] ssize_t n = ::read(T().wakeFd, &count, sizeof count);
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            Sock* s = Find(fds[i].fd);
            // A socket closed (and its number perhaps reused) while we polled.
            if (!s || s->generation != generations[i])
                continue;
            Handle(fds[i].fd, *s, fds[i].revents);
        }
    }
}

int SoError(int fd)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return errno;
    return err;
}

}  // namespace

Table& T()
{
    static Table* table = new Table;
    return *table;
}

bool Started()
{
    std::lock_guard lock(T().mutex);
    return T().users > 0;
}

Sock* Find(int fd)
{
    auto it = T().socks.find(fd);
    return it == T().socks.end() ? nullptr : &it->second;
}

int Fail(int wsaError)
{
    tLastError = wsaError;
    return SOCKET_ERROR;
}

int FailErrno() { return Fail(ErrnoToWsa(errno)); }

bool ValidHandle(SOCKET s) { return s < static_cast<SOCKET>(kMaxHandle); }

bool IsNonBlocking(int fd)
{
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK);
}

SOCKET Adopt(int fd, bool stream)
{
    if (fd >= kMaxHandle) {
        ::close(fd);
        Fail(WSAEMFILE);
        return INVALID_SOCKET;
    }
    if (stream) {
        // The caller sends small pieces without waiting for replies in between;
        // Nagle's algorithm with delayed acknowledgements would stall each one.
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    std::lock_guard lock(T().mutex);
    Sock& s = T().socks[fd];
    s = Sock{};
    s.generation = T().nextGeneration++;
    return static_cast<SOCKET>(fd);
}

void NoteError(Sock& s, int err)
{
    if (err == ECONNRESET)
        s.wasReset = true;
}

int TakePendingError(int fd, Sock& s)
{
    const int err = SoError(fd);
    NoteError(s, err);
    return err;
}

int LostConnectError(const Sock& s) { return s.wasReset ? ECONNRESET : ECONNREFUSED; }

int CloseError(const Sock& s, int err)
{
    if (err != 0)
        return ErrnoToWsa(err);
    // The reset's error may have been taken earlier: while connecting, or by a call.
    return s.wasReset ? WSAECONNRESET : 0;
}

bool EndIsReset(const Sock& s) { return s.wasReset; }

void Wake()
{
    if (T().wakeFd >= 0) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(T().wakeFd, &one, sizeof one);
    }
}

void StartPollerLocked()
{
    if (T().pollerRunning)
        return;
    if (T().wakeFd < 0)
        T().wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    T().stopPoller = false;
    T().pollerRunning = true;
    T().poller = std::thread(PollerLoop);
}

std::thread StopPollerLocked()
{
    if (!T().pollerRunning)
        return {};
    T().stopPoller = true;
    T().pollerRunning = false;
    Wake();
    return std::move(T().poller);
}

void Notify(int fd, const Sock& s, long event, int wsaError)
{
    const uint64_t generation = s.generation;
    platform_detail::PostChecked(s.hwnd, s.msg, static_cast<win::WPARAM>(fd),
                                 WSAMAKESELECTREPLY(static_cast<unsigned>(event), static_cast<unsigned>(wsaError)),
                                 [fd, generation] {
                                     std::lock_guard lock(T().mutex);
                                     const Sock* s = Find(fd);
                                     return s && s->generation == generation;
                                 });
}

void NotifyOnce(int fd, Sock& s, bool& armed, long event)
{
    armed = false;
    Notify(fd, s, event, 0);
}

}  // namespace detail

int WSAGetLastError() { return detail::tLastError; }
void WSASetLastError(int error) { detail::tLastError = error; }

}  // namespace winsock
