#include "platform/Winsock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/Internal.h"

namespace winsock {
namespace {

// Handles are stored in 16-bit fields whose all-ones value means "none".
constexpr int kMaxHandle = 0xFFFF;
// Winsock's own limit on addresses in a host entry.
constexpr size_t kMaxAddresses = 35;

thread_local int tLastError = 0;

int Fail(int wsaError)
{
    tLastError = wsaError;
    return SOCKET_ERROR;
}

int FailErrno() { return Fail(ErrnoToWsa(errno)); }

// What the notification machinery knows of one socket.
struct Sock {
    enum class State { Idle, Connecting, Connected, Listening, Failed };
    State state = State::Idle;
    uint64_t generation = 0;  // changes with every registration; queued notices of older ones are dropped
    win::HWND hwnd = 0;
    win::UINT msg = 0;
    long mask = 0;
    // Winsock's re-enabling: an event is posted once, then waits for its call.
    bool readArmed = true;
    bool oobArmed = true;
    bool acceptArmed = true;
    bool writeArmed = false;
    bool closeSent = false;
    bool endOfStream = false;  // nothing more will ever be read
    bool hungUp = false;       // the kernel reports hang-up or error for good
    bool wasReset = false;     // the peer reset the connection; Winsock's recv keeps saying so
};

// Process-wide socket state. Never destroyed, like the window registry: the
// poller and lookup threads may outlive main().
struct Table {
    std::mutex mutex;
    std::unordered_map<int, Sock> socks;
    uint64_t nextGeneration = 1;
    int users = 0;  // WSAStartup calls not yet matched by WSACleanup
    std::thread poller;
    bool pollerRunning = false;
    bool stopPoller = false;
    int wakeFd = -1;
};

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

// Caller holds the table mutex.
void Wake()
{
    if (T().wakeFd >= 0) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(T().wakeFd, &one, sizeof one);
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

// Caller holds the table mutex.
void Notify(int fd, const Sock& s, long event, int wsaError)
{
    const uint64_t generation = s.generation;
    platform_detail::PostChecked(s.hwnd, s.msg, static_cast<win::WPARAM>(fd),
                                 WSAMAKESELECTREPLY(static_cast<unsigned>(event), static_cast<unsigned>(wsaError)),
                                 [fd, generation] {
                                     std::lock_guard lock(T().mutex);
                                     auto it = T().socks.find(fd);
                                     return it != T().socks.end() && it->second.generation == generation;
                                 });
}

// The poll events that serve the socket's armed notifications; 0 leaves the
// socket out of the poll, which also keeps sockets that report hang-up for
// good (unconnected ones, closed ones) from waking the poller again and again.
short Interest(const Sock& s)
{
    if (s.hwnd == 0 || s.mask == 0)
        return 0;
    switch (s.state) {
    case Sock::State::Connecting:
        return POLLOUT;
    case Sock::State::Listening:
        return (s.mask & FD_ACCEPT) && s.acceptArmed && !s.hungUp ? POLLIN : 0;
    case Sock::State::Connected: {
        short ev = 0;
        if ((s.mask & FD_READ) && s.readArmed && !s.endOfStream)
            ev |= POLLIN;
        if (s.hungUp)
            return ev;
        if ((s.mask & FD_OOB) && s.oobArmed)
            ev |= POLLPRI;
        if ((s.mask & FD_WRITE) && s.writeArmed)
            ev |= POLLOUT;
        if ((s.mask & FD_CLOSE) && !s.closeSent)
            ev |= POLLRDHUP;
        return ev;
    }
    default:
        return 0;
    }
}

// Turns what poll found into notifications. Caller holds the table mutex.
void Handle(int fd, Sock& s, short revents)
{
    const bool broken = revents & (POLLHUP | POLLERR);
    // Read the pending error before a peek or another call takes it away.
    int err = broken ? SoError(fd) : 0;
    if (err == ECONNRESET)
        s.wasReset = true;
    if (s.state == Sock::State::Connecting) {
        if (!(revents & (POLLOUT | POLLHUP | POLLERR)))
            return;
        if (!broken)
            err = SoError(fd);
        if (err == ECONNRESET)
            s.wasReset = true;
        if (err == 0) {
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
                // Either a reset came just after the connect succeeded, or the
                // error was taken by someone else's call.
                err = SoError(fd);
                // A failed connect always leaves its error; none left means
                // the connection was made and lost, its reset taken before.
                if (err == 0)
                    err = ECONNRESET;
                if (err == ECONNRESET)
                    s.wasReset = true;
            }
        }
        // A reset can only follow an established connection: the connect
        // succeeded and the close is reported below.
        const bool connected = err == 0 || err == ECONNRESET || err == EPIPE;
        s.state = connected ? Sock::State::Connected : Sock::State::Failed;
        if (s.mask & FD_CONNECT)
            Notify(fd, s, FD_CONNECT, connected ? 0 : ErrnoToWsa(err));
        if (!connected)
            return;
        if ((s.mask & FD_WRITE) && !broken)
            Notify(fd, s, FD_WRITE, 0);
        if (err == 0 && !broken)
            return;  // whatever else is there shows in the next round
    }
    switch (s.state) {
    case Sock::State::Listening:
        if (revents & POLLIN) {
            s.acceptArmed = false;
            Notify(fd, s, FD_ACCEPT, 0);
        }
        if (broken)
            s.hungUp = true;
        return;
    case Sock::State::Connected: {
        if ((revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) && (s.mask & FD_READ) && s.readArmed &&
            !s.endOfStream) {
            char c;
            ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
            if (n > 0) {
                s.readArmed = false;
                Notify(fd, s, FD_READ, 0);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // The peek may be what takes a reset's error.
                if (n < 0 && errno == ECONNRESET)
                    s.wasReset = true;
                s.endOfStream = true;
            }
        }
        if ((revents & POLLPRI) && (s.mask & FD_OOB) && s.oobArmed) {
            s.oobArmed = false;
            Notify(fd, s, FD_OOB, 0);
        }
        if ((revents & POLLOUT) && (s.mask & FD_WRITE) && s.writeArmed && !broken) {
            s.writeArmed = false;
            Notify(fd, s, FD_WRITE, 0);
        }
        if ((revents & (POLLRDHUP | POLLHUP | POLLERR)) && (s.mask & FD_CLOSE) && !s.closeSent) {
            s.closeSent = true;
            // The reset's error may have been read already, while connecting.
            Notify(fd, s, FD_CLOSE, err != 0 ? ErrnoToWsa(err) : s.wasReset ? WSAECONNRESET : 0);
        }
        if (broken)
            s.hungUp = true;
        return;
    }
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
            auto it = T().socks.find(fds[i].fd);
            // A socket closed (and its number perhaps reused) while we polled.
            if (it == T().socks.end() || it->second.generation != generations[i])
                continue;
            Handle(fds[i].fd, it->second, fds[i].revents);
        }
    }
}

// Caller holds the table mutex.
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

bool IsNonBlocking(int fd)
{
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK);
}

bool ValidHandle(SOCKET s) { return s < static_cast<SOCKET>(kMaxHandle); }
int Fd(SOCKET s) { return static_cast<int>(s); }

// Takes a new descriptor into the table, or refuses one that does not fit a
// 16-bit handle.
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

// ---- host lookups -------------------------------------------------------

struct HostResult {
    int error = 0;
    std::string name;
    std::vector<uint32_t> addresses;  // network order
};

bool EndsWithLabel(std::string name, const std::string& label)
{
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    return name == label || (name.size() > label.size() && name.ends_with("." + label));
}

HostResult Resolve(const std::string& name)
{
    HostResult r;
    r.name = name;
    // RFC 6761: names under "invalid" never exist and "localhost" is always
    // the loopback address; answer both without asking any resolver.
    if (EndsWithLabel(name, "invalid")) {
        r.error = WSAHOST_NOT_FOUND;
        return r;
    }
    if (EndsWithLabel(name, "localhost")) {
        r.addresses.push_back(htonl(INADDR_LOOPBACK));
        return r;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    switch (rc) {
    case 0:
        break;
    case EAI_NONAME:
        r.error = WSAHOST_NOT_FOUND;
        return r;
    case EAI_AGAIN:
        r.error = WSATRY_AGAIN;
        return r;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
        r.error = WSANO_DATA;
        return r;
    case EAI_MEMORY:
        r.error = WSAENOBUFS;
        return r;
    default:
        r.error = WSANO_RECOVERY;
        return r;
    }
    if (list->ai_canonname && *list->ai_canonname)
        r.name = list->ai_canonname;
    for (addrinfo* a = list; a && r.addresses.size() < kMaxAddresses; a = a->ai_next) {
        uint32_t addr = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
        if (std::find(r.addresses.begin(), r.addresses.end(), addr) == r.addresses.end())
            r.addresses.push_back(addr);
    }
    ::freeaddrinfo(list);
    if (r.addresses.empty())
        r.error = WSANO_DATA;
    return r;
}

// Bytes a host entry for r takes in a buffer.
size_t EntrySize(const HostResult& r)
{
    return sizeof(hostent) + sizeof(char*) + (r.addresses.size() + 1) * sizeof(char*) + 4 * r.addresses.size() +
           r.name.size() + 1;
}

// Lays a hostent with its lists and strings into buf (at least EntrySize
// bytes). Written with memcpy: the caller's buffer need not be aligned for us.
void WriteEntry(const HostResult& r, char* buf)
{
    char* aliases = buf + sizeof(hostent);
    char* addrList = aliases + sizeof(char*);
    char* addrs = addrList + (r.addresses.size() + 1) * sizeof(char*);
    char* name = addrs + 4 * r.addresses.size();
    char* null = nullptr;
    std::memcpy(aliases, &null, sizeof null);
    for (size_t i = 0; i < r.addresses.size(); ++i) {
        std::memcpy(addrs + 4 * i, &r.addresses[i], 4);
        char* p = addrs + 4 * i;
        std::memcpy(addrList + i * sizeof(char*), &p, sizeof p);
    }
    std::memcpy(addrList + r.addresses.size() * sizeof(char*), &null, sizeof null);
    std::memcpy(name, r.name.c_str(), r.name.size() + 1);
    hostent h{};
    h.h_name = name;
    h.h_aliases = reinterpret_cast<char**>(aliases);
    h.h_addrtype = AF_INET;
    h.h_length = 4;
    h.h_addr_list = reinterpret_cast<char**>(addrList);
    std::memcpy(buf, &h, sizeof h);
}

struct Lookup {
    win::HWND hwnd;
    win::UINT msg;
    char* buf;
    int buflen;
};

struct Lookups {
    std::mutex mutex;
    std::unordered_map<HANDLE, Lookup> running;  // canceled ones are removed
    HANDLE next = 1;
};

Lookups& L()
{
    static Lookups* lookups = new Lookups;
    return *lookups;
}

void FinishLookup(HANDLE task, const HostResult& r)
{
    std::lock_guard lock(L().mutex);
    auto it = L().running.find(task);
    if (it == L().running.end())
        return;  // canceled, or its window was destroyed
    const Lookup lookup = it->second;
    L().running.erase(it);
    int error = r.error;
    size_t length = 0;
    if (error == 0) {
        length = EntrySize(r);
        if (length > static_cast<size_t>(lookup.buflen))
            error = WSAENOBUFS;  // length then tells the size needed, as in Winsock
        else
            WriteEntry(r, lookup.buf);
    }
    win::PostMessage(lookup.hwnd, lookup.msg, static_cast<win::WPARAM>(task),
                     WSAMAKEASYNCREPLY(static_cast<unsigned>(std::min<size_t>(length, 0xFFFF)),
                                       static_cast<unsigned>(error)));
}

}  // namespace

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
        if (--T().users > 0 || !T().pollerRunning)
            return 0;
        T().stopPoller = true;
        T().pollerRunning = false;
        Wake();
        poller = std::move(T().poller);
    }
    poller.join();
    return 0;
}

int WSAGetLastError() { return tLastError; }
void WSASetLastError(int error) { tLastError = error; }

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
    // Outside the lock: a lingering close may block. The number can be reused
    // from here on; the new socket's generation tells the two apart.
    const int rc = ::close(Fd(s));
    {
        std::lock_guard lock(T().mutex);
        Wake();
    }
    return rc == 0 || errno == EINTR ? 0 : FailErrno();
}

int connect(SOCKET s, const sockaddr* name, int namelen)
{
    if (!ValidHandle(s))
        return Fail(WSAENOTSOCK);
    const int fd = Fd(s);
    const bool nonBlocking = IsNonBlocking(fd);
    const int rc = ::connect(fd, name, static_cast<socklen_t>(namelen));
    const int err = rc == 0 ? 0 : errno;
    std::lock_guard lock(T().mutex);
    auto it = T().socks.find(fd);
    if (it == T().socks.end())
        return rc == 0 ? 0 : Fail(ErrnoToWsa(err));
    Sock& sock = it->second;
    if (!nonBlocking) {
        if (rc == 0)
            sock.state = Sock::State::Connected;
        return rc == 0 ? 0 : Fail(ErrnoToWsa(err));
    }
    switch (err) {
    case 0:            // finished at once: the poller sees it and notifies
    case EINPROGRESS:
        sock.state = Sock::State::Connecting;
        Wake();
        return Fail(WSAEWOULDBLOCK);
    case ECONNREFUSED:
    case ETIMEDOUT:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ECONNRESET:
        // Winsock reports these through FD_CONNECT, never from the call.
        sock.state = Sock::State::Failed;
        if (sock.hwnd && (sock.mask & FD_CONNECT))
            Notify(fd, sock, FD_CONNECT, ErrnoToWsa(err));
        return Fail(WSAEWOULDBLOCK);
    case EINVAL:
        return Fail(WSAEINVAL);
    case EALREADY:
        return Fail(WSAEALREADY);
    default:
        return Fail(ErrnoToWsa(err));
    }
}

int send(SOCKET s, const char* buf, int len, int flags)
{
    if (!ValidHandle(s))
        return Fail(WSAENOTSOCK);
    if (len < 0)
        return Fail(WSAEINVAL);
    const int fd = Fd(s);
    ssize_t n = ::send(fd, buf, static_cast<size_t>(len), (flags & MSG_OOB) | MSG_NOSIGNAL);
    if (n >= 0)
        return static_cast<int>(n);
    const int err = errno;
    std::lock_guard lock(T().mutex);
    auto it = T().socks.find(fd);
    if (err == EAGAIN) {
        if (it != T().socks.end() && !it->second.writeArmed) {
            it->second.writeArmed = true;
            Wake();
        }
        return Fail(WSAEWOULDBLOCK);
    }
    // Linux answers EPIPE also for a socket that never connected.
    if (err == EPIPE && (it == T().socks.end() || it->second.state != Sock::State::Connected))
        return Fail(WSAENOTCONN);
    return Fail(ErrnoToWsa(err));
}

int recv(SOCKET s, char* buf, int len, int flags)
{
    if (!ValidHandle(s))
        return Fail(WSAENOTSOCK);
    if (len < 0)
        return Fail(WSAEINVAL);
    const int fd = Fd(s);
    ssize_t n = ::recv(fd, buf, static_cast<size_t>(len), flags & (MSG_PEEK | MSG_OOB));
    const int err = n < 0 ? errno : 0;
    bool wasReset = false;
    {
        // Re-enable after the call, so data it took raises no extra notice.
        std::lock_guard lock(T().mutex);
        auto it = T().socks.find(fd);
        if (it != T().socks.end()) {
            bool& armed = (flags & MSG_OOB) ? it->second.oobArmed : it->second.readArmed;
            if (!armed) {
                armed = true;
                Wake();
            }
            if (err == ECONNRESET)
                it->second.wasReset = true;
            wasReset = it->second.wasReset;
        }
    }
    // Linux reports a reset once and then an orderly end; Winsock keeps
    // reporting the reset.
    if (n == 0 && len > 0 && wasReset)
        return Fail(WSAECONNRESET);
    if (n >= 0)
        return static_cast<int>(n);
    return Fail(ErrnoToWsa(err));
}

int bind(SOCKET s, const sockaddr* name, int namelen)
{
    if (!ValidHandle(s))
        return Fail(WSAENOTSOCK);
    return ::bind(Fd(s), name, static_cast<socklen_t>(namelen)) == 0 ? 0 : FailErrno();
}

int listen(SOCKET s, int backlog)
{
    if (!ValidHandle(s))
        return Fail(WSAENOTSOCK);
    if (::listen(Fd(s), backlog) != 0)
        return FailErrno();
    std::lock_guard lock(T().mutex);
    auto it = T().socks.find(Fd(s));
    if (it != T().socks.end()) {
        it->second.state = Sock::State::Listening;
        it->second.acceptArmed = true;
        Wake();
    }
    return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen)
{
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
        auto it = T().socks.find(lfd);
        if (it != T().socks.end()) {
            if (!it->second.acceptArmed) {
                it->second.acceptArmed = true;
                Wake();
            }
            listener = it->second;
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
    if (sock.hwnd && (sock.mask & FD_WRITE))
        Notify(fd, sock, FD_WRITE, 0);
    Wake();
    return ns;
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

int gethostname(char* name, int namelen)
{
    if (!Started())
        return Fail(WSANOTINITIALISED);
    if (!name || namelen <= 0)
        return Fail(WSAEFAULT);
    return ::gethostname(name, static_cast<size_t>(namelen)) == 0 ? 0 : Fail(WSAEFAULT);
}

hostent* gethostbyname(const char* name)
{
    if (!Started()) {
        Fail(WSANOTINITIALISED);
        return nullptr;
    }
    if (!name) {
        Fail(WSAEFAULT);
        return nullptr;
    }
    alignas(hostent) thread_local char entry[MAXGETHOSTSTRUCT];
    HostResult r = Resolve(name);
    if (r.error == 0 && EntrySize(r) > sizeof entry)
        r.error = WSAENOBUFS;
    if (r.error != 0) {
        Fail(r.error);
        return nullptr;
    }
    WriteEntry(r, entry);
    return reinterpret_cast<hostent*>(entry);
}

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

HANDLE WSAAsyncGetHostByName(win::HWND hWnd, win::UINT wMsg, const char* name, char* buf, int buflen)
{
    if (!Started()) {
        Fail(WSANOTINITIALISED);
        return 0;
    }
    if (!name || !buf || buflen < 0) {
        Fail(WSAEFAULT);
        return 0;
    }
    if (!win::IsWindow(hWnd)) {
        Fail(WSAEINVAL);
        return 0;
    }
    HANDLE task;
    {
        std::lock_guard lock(L().mutex);
        task = L().next++;
        L().running[task] = Lookup{hWnd, wMsg, buf, buflen};
    }
    try {
        std::thread([task, n = std::string(name)] { FinishLookup(task, Resolve(n)); }).detach();
    } catch (const std::system_error&) {
        std::lock_guard lock(L().mutex);
        L().running.erase(task);
        Fail(WSAENOBUFS);
        return 0;
    }
    return task;
}

int WSACancelAsyncRequest(HANDLE task)
{
    std::lock_guard lock(L().mutex);
    if (L().running.erase(task))
        return 0;
    return Fail(task != 0 && task < L().next ? WSAEALREADY : WSAEINVAL);
}

int WaitForSocketOrTimeout(SOCKET s, long events, int timeoutMs)
{
    short want = 0;
    if (events & (FD_READ | FD_OOB | FD_CLOSE))
        want |= POLLIN | POLLPRI | POLLRDHUP;
    if (events & FD_ACCEPT)
        want |= POLLIN;
    if (events & (FD_WRITE | FD_CONNECT))
        want |= POLLOUT;
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
        if (r == 0)
            return 0;
        int found = 0;
        const bool broken = p.revents & (POLLHUP | POLLERR);
        if ((events & (FD_READ | FD_OOB | FD_CLOSE)) && (broken || (p.revents & (POLLIN | POLLPRI | POLLRDHUP))))
            found |= events & (FD_READ | FD_OOB | FD_CLOSE);
        if ((events & FD_ACCEPT) && (p.revents & POLLIN))
            found |= FD_ACCEPT;
        if ((events & (FD_WRITE | FD_CONNECT)) && (broken || (p.revents & POLLOUT)))
            found |= events & (FD_WRITE | FD_CONNECT);
        return found;
    }
}

}  // namespace winsock

namespace platform_detail {

void CancelLookupsOfWindow(win::HWND hWnd)
{
    using namespace winsock;
    std::lock_guard lock(L().mutex);
    std::erase_if(L().running, [hWnd](const auto& entry) { return entry.second.hwnd == hWnd; });
}

}  // namespace platform_detail
