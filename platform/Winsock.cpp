// The socket calls that belong to no one state: start-up, creating, closing
// and registering sockets, options, names, address helpers and the wait.
// The states have their own files (Connecting.cpp, Listening.cpp,
// Connected.cpp), the notifier and the error bookkeeping SocketTable.cpp,
// host names HostLookup.cpp.
#include "platform/Winsock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/Internal.h"
#include "platform/SocketTable.h"

namespace winsock {

using namespace detail;


int ErrnoToWsa(int err)
{
    switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES: case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: case EPIPE: return WSAECONNRESET;
    case ENOBUFS: case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    default: return WSANO_RECOVERY;
    }
}

int WSAStartup(uint16_t wVersionRequested, WSADATA* data)
{
    const uint8_t major = wVersionRequested & 0xFF, minor = wVersionRequested >> 8;
    if (!data)
        return WSAEFAULT;
    *data = WSADATA{};
    data->wVersion = MAKEWORD(1, 1);
    data->wHighVersion = MAKEWORD(1, 1);
    utsname u{};
    ::uname(&u);
    std::snprintf(data->szDescription, sizeof data->szDescription, "Veltrow Sockets 1.1 over POSIX sockets");
    const std::string status = std::string("Running on ") + u.sysname + " " + u.release;
    std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "%s", status.c_str());
    rlimit lim{};
    rlim_t maxSockets = ::getrlimit(RLIMIT_NOFILE, &lim) == 0 ? lim.rlim_cur : kMaxHandle;
    data->iMaxSockets = static_cast<uint16_t>(std::min<rlim_t>(maxSockets, kMaxHandle));
    data->iMaxUdpDg = 65507;  // 65,535 less the IPv4 and UDP headers
    if (major < 1 || (major == 1 && minor < 1))
        return WSAVERNOTSUPPORTED;
    std::lock_guard lock(T().mutex);
    ++T().users;
    return 0;
}

int WSACleanup()
{
    std::thread poller;
    {
        std::lock_guard lock(T().mutex);
        if (T().users == 0)
            return Fail(WSANOTINITIALISED);
        if (--T().users > 0)
            return 0;
        poller = StopPollerLocked();
    }
    if (poller.joinable())
        poller.join();
    return 0;
}

SOCKET socket(int af, int type, int protocol)
{
    if (!Started()) {
        Fail(WSANOTINITIALISED);
        return INVALID_SOCKET;
    }
    int fd = ::socket(af, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        FailErrno();
        return INVALID_SOCKET;
    }
    return Adopt(fd, type == SOCK_STREAM);
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen)
{
    if (!ValidHandle(s))
        return Fail(WSAENOTSOCK);
    if (optlen < 0)
        return Fail(WSAEFAULT);
    return ::setsockopt(Fd(s), level, optname, optval, static_cast<socklen_t>(optlen)) == 0 ? 0 : FailErrno();
}

int closesocket(SOCKET s)
{
    {
        std::lock_guard lock(T().mutex);
        if (!ValidHandle(s) || T().socks.erase(Fd(s)) == 0)
            return Fail(WSAENOTSOCK);
    }
    // The event loop must not watch a closed number.
    platform_detail::ForgetSocket(Fd(s));
    // Outside the lock: a lingering close may block. The number can be reused
    // from here on; the new socket's generation tells the two apart.
    const int rc = ::close(Fd(s));
    {
        std::lock_guard lock(T().mutex);
        Wake();
    }
    return rc == 0 || errno == EINTR ? 0 : FailErrno();
}

int getsockname(SOCKET s, sockaddr* name, int* namelen)
{
    if (!ValidHandle(s))
        return Fail(WSAENOTSOCK);
    if (!name || !namelen)
        return Fail(WSAEFAULT);
    socklen_t len = static_cast<socklen_t>(*namelen);
    if (::getsockname(Fd(s), name, &len) != 0)
        return FailErrno();
    *namelen = static_cast<int>(len);
    return 0;
}

int getpeername(SOCKET s, sockaddr* name, int* namelen)
{
    if (!ValidHandle(s))
        return Fail(WSAENOTSOCK);
    if (!name || !namelen)
        return Fail(WSAEFAULT);
    socklen_t len = static_cast<socklen_t>(*namelen);
    if (::getpeername(Fd(s), name, &len) != 0)
        return FailErrno();
    *namelen = static_cast<int>(len);
    return 0;
}

uint32_t inet_addr(const char* cp) { return cp ? ::inet_addr(cp) : INADDR_NONE; }

char* inet_ntoa(in_addr in)
{
    thread_local char text[16];
    const auto* b = reinterpret_cast<const unsigned char*>(&in.s_addr);
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

uint16_t htons(uint16_t v) { return std::endian::native == std::endian::little ? __builtin_bswap16(v) : v; }
uint16_t ntohs(uint16_t v) { return htons(v); }
uint32_t htonl(uint32_t v) { return std::endian::native == std::endian::little ? __builtin_bswap32(v) : v; }
uint32_t ntohl(uint32_t v) { return htonl(v); }

int WSAAsyncSelect(SOCKET s, win::HWND hWnd, win::UINT wMsg, long lEvent)
{
    if (!ValidHandle(s))
        return Fail(WSAENOTSOCK);
    if (lEvent != 0 && !win::IsWindow(hWnd))
        return Fail(WSAEINVAL);
    std::lock_guard lock(T().mutex);
    if (T().users == 0)
        return Fail(WSANOTINITIALISED);
    auto it = T().socks.find(Fd(s));
    if (it == T().socks.end())
        return Fail(WSAENOTSOCK);
    int flags = ::fcntl(Fd(s), F_GETFL);
    if (flags < 0 || ::fcntl(Fd(s), F_SETFL, flags | O_NONBLOCK) != 0)
        return FailErrno();
    Sock& sock = it->second;
    sock.generation = T().nextGeneration++;
    sock.hwnd = lEvent ? hWnd : 0;
    sock.msg = wMsg;
    sock.mask = lEvent;
    sock.readArmed = sock.oobArmed = sock.acceptArmed = true;
    sock.writeArmed = sock.state == Sock::State::Connected;
    sock.closeSent = sock.endOfStream = sock.hungUp = false;
    StartPollerLocked();
    Wake();
    return 0;
}

namespace {

// The poll events that show the FD_* events a wait asks for.
short PollEventsFor(long events)
{
    short want = 0;
    if (events & (FD_READ | FD_OOB | FD_CLOSE))
        want |= POLLIN | POLLPRI | POLLRDHUP;
    if (events & FD_ACCEPT)
        want |= POLLIN;
    if (events & (FD_WRITE | FD_CONNECT))
        want |= POLLOUT;
    return want;
}

// Which of the asked-for events what poll found shows; hang-up and error
// end a wait for reading or writing too.
int EventsFound(long events, short revents)
{
    int found = 0;
    const bool broken = Broken(revents);
    if ((events & (FD_READ | FD_OOB | FD_CLOSE)) && (broken || (revents & (POLLIN | POLLPRI | POLLRDHUP))))
        found |= events & (FD_READ | FD_OOB | FD_CLOSE);
    if ((events & FD_ACCEPT) && (revents & POLLIN))
        found |= FD_ACCEPT;
    if ((events & (FD_WRITE | FD_CONNECT)) && (broken || (revents & POLLOUT)))
        found |= events & (FD_WRITE | FD_CONNECT);
    return found;
}

}  // namespace

int WaitForSocketOrTimeout(SOCKET s, long events, int timeoutMs)
{
    if ((events & FD_READ) && ValidHandle(s)) {
        // What a TLS session has decrypted already is readable now, though
        // the descriptor has nothing.
        std::lock_guard lock(T().mutex);
        if (const Sock* sock = Find(Fd(s)); sock && sock->tlsPending)
            return FD_READ;
    }
    const short want = PollEventsFor(events);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    while (true) {
        // Rounded up, so a wait never ends before its time.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{ValidHandle(s) ? Fd(s) : -1, want, 0};
        int r = ValidHandle(s) ? ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0))) : 0;
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 || !ValidHandle(s) || (p.revents & POLLNVAL)) {
            std::this_thread::sleep_until(deadline);
            return Fail(WSAENOTSOCK);
        }
        return r == 0 ? 0 : EventsFound(events, p.revents);
    }
}

}  // namespace winsock
