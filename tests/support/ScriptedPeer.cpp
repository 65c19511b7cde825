#include "tests/support/ScriptedPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace testsupport {
namespace {

// Blocking steps wake this often to notice that the peer is being destroyed.
constexpr int kSliceMs = 20;

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}


std::string Printable(const std::string& s)
{
    std::string r;
    for (unsigned char c : s) {
        if (c == '\r')
            r += "\\r";
        else if (c == '\n')
            r += "\\n";
        else if (c < 32 || c == 127) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            r += buf;
        } else
            r += static_cast<char>(c);
    }
    return r;
}

}  // namespace

int ListenLoopback(int backlog, uint16_t& port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot listen on loopback");
    }
    port = ntohs(a.sin_port);
    return fd;
}

ScriptedPeer::ScriptedPeer(int backlog) { listenFd_ = ListenLoopback(backlog, port_); }

ScriptedPeer::~ScriptedPeer()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable())
        thread_.join();
    if (conn_ >= 0)
        ::close(conn_);
    for (int fd : oldConns_)
        ::close(fd);
    if (listenFd_ >= 0)
        ::close(listenFd_);
}

ScriptedPeer& ScriptedPeer::Accept() { steps_.push_back({Kind::Accept, {}}); return *this; }
ScriptedPeer& ScriptedPeer::Send(std::string bytes) { steps_.push_back({Kind::Send, std::move(bytes)}); return *this; }
ScriptedPeer& ScriptedPeer::SendLine(std::string line) { return Send(std::move(line) + "\r\n"); }
ScriptedPeer& ScriptedPeer::Expect(std::string line) { steps_.push_back({Kind::Expect, std::move(line)}); return *this; }

ScriptedPeer& ScriptedPeer::ExpectUntil(std::string terminator, std::string* out)
{
    steps_.push_back({Kind::ExpectUntil, std::move(terminator), 0, out});
    return *this;
}

ScriptedPeer& ScriptedPeer::ExpectBytes(size_t n, std::string* out)
{
    steps_.push_back({Kind::ExpectBytes, {}, n, out});
    return *this;
}

ScriptedPeer& ScriptedPeer::ExpectGroup(std::string bytes)
{
    steps_.push_back({Kind::ExpectGroup, std::move(bytes)});
    return *this;
}

ScriptedPeer& ScriptedPeer::Wait(int ms) { steps_.push_back({Kind::Wait, {}, static_cast<size_t>(ms)}); return *this; }
ScriptedPeer& ScriptedPeer::WaitForRelease() { steps_.push_back({Kind::WaitForRelease, {}}); return *this; }
ScriptedPeer& ScriptedPeer::ExpectClose() { steps_.push_back({Kind::ExpectClose, {}}); return *this; }
ScriptedPeer& ScriptedPeer::Close() { steps_.push_back({Kind::Close, {}}); return *this; }
ScriptedPeer& ScriptedPeer::Reset() { steps_.push_back({Kind::Reset, {}}); return *this; }

void ScriptedPeer::Release()
{
    {
        std::lock_guard lock(mutex_);
        ++releases_;
    }
    cv_.notify_all();
}

void ScriptedPeer::Start()
{
    if (steps_.empty() || steps_.front().kind != Kind::Accept)
        steps_.insert(steps_.begin(), Step{Kind::Accept, {}});
    thread_ = std::thread([this] { Run(); });
}

bool ScriptedPeer::WaitDone(int timeoutMs)
{
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return done_; });
}

bool ScriptedPeer::ScriptUsedUp() const
{
    std::lock_guard lock(mutex_);
    return usedUp_;
}

std::string ScriptedPeer::Failure() const
{
    std::lock_guard lock(mutex_);
    return failure_;
}

std::string ScriptedPeer::Received() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

void ScriptedPeer::SetStepTimeout(int ms) { stepTimeoutMs_ = ms; }

int ScriptedPeer::Connections() const
{
    std::lock_guard lock(mutex_);
    return connections_;
}

bool ScriptedPeer::Stopping() const
{
    std::lock_guard lock(mutex_);
    return stop_;
}

void ScriptedPeer::Run()
{
    std::string failure;
    size_t i = 0;
    for (; i < steps_.size() && failure.empty(); ++i) {
        if (Stopping()) {
            failure = "peer destroyed before the script ended";
            break;
        }
        failure = RunStep(steps_[i]);
        if (!failure.empty()) {
            static const char* names[] = {"Accept", "Send", "Expect", "ExpectUntil", "ExpectBytes",
                                          "Wait", "WaitForRelease", "ExpectClose", "Close", "Reset", "ExpectGroup"};
            const Step& s = steps_[i];
            failure = "step " + std::to_string(i + 1) + " " + names[static_cast<int>(s.kind)] +
                      (s.text.empty() ? "" : "(\"" + Printable(s.text) + "\")") + ": " + failure;
        }
    }
    {
        std::lock_guard lock(mutex_);
        failure_ = failure;
        usedUp_ = failure.empty() && i == steps_.size();
        done_ = true;
    }
    cv_.notify_all();
}

std::string ScriptedPeer::AcceptClient(int64_t deadline)
{
    while (true) {
        if (Stopping())
            return "peer destroyed";
        int64_t left = deadline - NowMs();
        if (left <= 0)
            return "no client connected in time";
        pollfd p{listenFd_, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, kSliceMs)));
        if (r < 0 && errno != EINTR)
            return std::string("poll: ") + std::strerror(errno);
        if (r <= 0)
            continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED)
                continue;
            return std::string("accept: ") + std::strerror(errno);
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (conn_ >= 0)
            oldConns_.push_back(conn_);
        conn_ = fd;
        pending_.clear();
        std::lock_guard lock(mutex_);
        ++connections_;
        return {};
    }
}

std::string ScriptedPeer::ReadMore(int64_t deadline)
{
    if (conn_ < 0)
        return "no connection";
    while (true) {
        if (Stopping())
            return "peer destroyed";
        int64_t left = deadline - NowMs();
        if (left <= 0)
            return "timed out; pending \"" + Printable(pending_) + "\"";
        pollfd p{conn_, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, kSliceMs)));
        if (r < 0 && errno != EINTR)
            return std::string("poll: ") + std::strerror(errno);
        if (r <= 0)
            continue;
        char buf[65536];
        ssize_t n = ::recv(conn_, buf, sizeof buf, 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return std::string("connection ") + (errno == ECONNRESET ? "reset" : std::strerror(errno)) +
                   "; pending \"" + Printable(pending_) + "\"";
        }
        if (n == 0)
            return "client closed; pending \"" + Printable(pending_) + "\"";
        pending_.append(buf, static_cast<size_t>(n));
        std::lock_guard lock(mutex_);
        received_.append(buf, static_cast<size_t>(n));
        return {};
    }
}

std::string ScriptedPeer::RunStep(const Step& step)
{
    const int64_t deadline = NowMs() + stepTimeoutMs_;
    switch (step.kind) {
    case Kind::Accept:
        return AcceptClient(deadline);
    case Kind::Send: {
        if (conn_ < 0)
            return "no connection";
        size_t done = 0;
        while (done < step.text.size()) {
            if (Stopping())
                return "peer destroyed";
            if (NowMs() >= deadline)
                return "timed out while sending";
            pollfd p{conn_, POLLOUT, 0};
            if (::poll(&p, 1, kSliceMs) <= 0)
                continue;
            ssize_t n = ::send(conn_, step.text.data() + done, step.text.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN)
                    continue;
                return std::string("send: ") + std::strerror(errno);
            }
            done += static_cast<size_t>(n);
        }
        return {};
    }
    case Kind::Expect: {
        size_t lf;
        while ((lf = pending_.find('\n')) == std::string::npos) {
            std::string err = ReadMore(deadline);
            if (!err.empty())
                return err;
        }
        std::string line = pending_.substr(0, lf + 1);
        pending_.erase(0, lf + 1);
        if (line.size() < 2 || line[line.size() - 2] != '\r')
            return "line \"" + Printable(line) + "\" not ended by CR LF";
        line.resize(line.size() - 2);
        if (line != step.text)
            return "got \"" + Printable(line) + "\"";
        return {};
    }
    case Kind::ExpectUntil: {
        size_t at, from = 0;
        while ((at = pending_.find(step.text, from)) == std::string::npos) {
            // Only the new bytes, with the tail that may start the terminator.
            from = pending_.size() >= step.text.size() ? pending_.size() - step.text.size() + 1 : 0;
            std::string err = ReadMore(deadline);
            if (!err.empty())
                return err;
        }
        if (step.out)
            *step.out = pending_.substr(0, at);
        pending_.erase(0, at + step.text.size());
        return {};
    }
    case Kind::ExpectBytes: {
        while (pending_.size() < step.count) {
            std::string err = ReadMore(deadline);
            if (!err.empty())
                return err;
        }
        if (step.out)
            *step.out = pending_.substr(0, step.count);
        pending_.erase(0, step.count);
        return {};
    }
    case Kind::Wait: {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::milliseconds(step.count), [this] { return stop_; });
        return {};
    }
    case Kind::WaitForRelease: {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return stop_ || releases_ > releasesUsed_; });
        if (stop_)
            return "peer destroyed";
        ++releasesUsed_;
        return {};
    }
    case Kind::ExpectClose: {
        if (!pending_.empty())
            return "unexpected data \"" + Printable(pending_) + "\"";
        std::string err = ReadMore(deadline);
        if (err.rfind("client closed", 0) == 0 || err.rfind("connection reset", 0) == 0)
            return {};
        return err.empty() ? "unexpected data \"" + Printable(pending_) + "\"" : err;
    }
    case Kind::ExpectGroup: {
        while (pending_.size() < step.text.size()) {
            std::string err = ReadMore(deadline);
            if (!err.empty())
                return err;
        }
        if (pending_ != step.text)
            return "group \"" + Printable(pending_) + "\"";
        pending_.clear();
        return {};
    }
    case Kind::Close:
    case Kind::Reset:
        if (conn_ < 0)
            return "no connection";
        if (step.kind == Kind::Reset) {
            linger l{1, 0};
            ::setsockopt(conn_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        ::close(conn_);
        conn_ = -1;
        return {};
    }
    return "unknown step";
}

RefusedPort::RefusedPort()
{
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd_ >= 0)
            ::close(fd_);
        throw std::runtime_error("RefusedPort: cannot bind");
    }
    port_ = ntohs(a.sin_port);
}

RefusedPort::~RefusedPort() { ::close(fd_); }

StalledListener::StalledListener()
{
    listenFd_ = ListenLoopback(0, port_);
    // With backlog 0 the kernel queues one connection and then drops further
    // SYNs; a few fillers make sure the queue is full before the test's connect.
    const sockaddr_in a = Loopback(port_);
    for (int i = 0; i < 3; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            break;
        ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        fillers_.push_back(fd);
    }
    // Let the first filler's handshake complete so the queue is really full.
    pollfd p{fillers_.empty() ? -1 : fillers_.front(), POLLOUT, 0};
    ::poll(&p, 1, 1000);
}

StalledListener::~StalledListener()
{
    for (int fd : fillers_)
        ::close(fd);
    ::close(listenFd_);
}

}  // namespace testsupport
