// TLS on a connected socket: the session is attached to the socket's entry,
// and from then on send and recv carry its plaintext (Connected.cpp), while
// the notifier and WaitForSocketOrTimeout count what the session has already
// decrypted as readable. The session itself is used only by the thread that
// calls send, recv and the handshake; the notifier sees just the flag that
// says whether decrypted data waits.
#include <memory>

#include "platform/SocketTable.h"
#include "platform/Tls.h"

namespace winsock {

using namespace detail;

namespace detail {

std::shared_ptr<tls::Session> SessionOf(int fd)
{
    std::lock_guard lock(T().mutex);
    Sock* sock = Find(fd);
    return sock ? sock->tls : nullptr;
}

void NotePending(int fd, const tls::Session& session)
{
    const bool pending = session.Pending();
    std::lock_guard lock(T().mutex);
    Sock* sock = Find(fd);
    if (!sock)
        return;
    sock->tlsPending = pending;
    // Nothing reaches the descriptor for these bytes, so the notifier would
    // never see them: the notice goes out here.
    if (pending && sock->Wants(FD_READ) && sock->readArmed && !sock->endOfStream)
        NotifyOnce(fd, *sock, sock->readArmed, FD_READ);
}

}  // namespace detail

int StartTls(SOCKET s, const char* host, const char* trustedFingerprint, unsigned trustedProblems)
{
    if (!ValidHandle(s))
        return Fail(WSAENOTSOCK);
    const int fd = Fd(s);
    {
        std::lock_guard lock(T().mutex);
        Sock* sock = Find(fd);
        if (!sock)
            return Fail(WSAENOTSOCK);
        if (sock->state != Sock::State::Connected)
            return Fail(WSAENOTCONN);
        if (sock->tls)
            return Fail(WSAEALREADY);
    }
    const tls::TrustedCertificate trusted{trustedFingerprint ? trustedFingerprint : "", trustedProblems};
    auto session = std::make_shared<tls::Session>(fd, host ? host : "", trusted);
    std::lock_guard lock(T().mutex);
    Sock* sock = Find(fd);
    if (!sock)
        return Fail(WSAENOTSOCK);
    sock->tls = std::move(session);
    return 0;
}

int TlsHandshake(SOCKET s, long* waitFor)
{
    if (!ValidHandle(s))
        return Fail(WSAENOTSOCK);
    const int fd = Fd(s);
    const auto session = SessionOf(fd);
    if (!session)
        return Fail(WSAENOTCONN);
    const tls::Want want = session->Handshake();
    NotePending(fd, *session);
    if (want == tls::Want::Nothing)
        return 0;
    if (waitFor)
        *waitFor = want == tls::Want::Write ? FD_WRITE : FD_READ;
    return Fail(WSAEWOULDBLOCK);
}

bool TlsEstablished(SOCKET s)
{
    const auto session = ValidHandle(s) ? SessionOf(Fd(s)) : nullptr;
    return session && session->Established();
}

}  // namespace winsock
