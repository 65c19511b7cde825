// TLS over the component's connection: the handshake as one more wait of the
// component, so Abort and the time-out end it like any other.

#include "net/Psock.h"
#include "net/Psock_p.h"
#include "platform/Tls.h"

namespace {

std::string PlaintextBeforeEncryption(const std::string& server)
{
    return "サーバー " + server +
           " から、暗号化を始める前に暗号化されていないデータが届きました。"
           "途中で通信が書き換えられているおそれがあるため、接続を閉じ、何も送りませんでした。";
}

}  // namespace

bool TPowersock::PlainBytesWaiting()
{
    const int error = winsock::WSAGetLastError();
    char byte;
    const bool waiting = winsock::recv(SocketHandle, &byte, 1, MSG_PEEK) > 0;
    winsock::WSASetLastError(error);
    return waiting;
}

void TPowersock::StartTls(const std::string& ServerName, const std::string& TrustedFingerprint,
                          unsigned TrustedProblems)
{
    StatusMessage(8, "StartTls");
    // The server speaks only after our hello (RFC 3207 4.2): bytes already
    // here came in clear, from the server or from anyone on the path, and
    // would be read as if encrypted. They are dropped unread.
    if (!pending_.empty() || PlainBytesWaiting()) {
        pending_.clear();
        throw tls::ETlsError(PlaintextBeforeEncryption(ServerName));
    }
    TimerOn();
    psock::OnExit timerOff([this] { TimerOff(); });
    // The peer's close notification replaces the socket with an unconnected one.
    auto check = [&](int error) {
        if (error == winsock::WSAENOTCONN)
            throw tls::ETlsError(tls::ClosedBeforeEncryption(ServerName));
        throw ESockError(SocketErrorStr(error));
    };
    if (closedByPeer_)
        check(winsock::WSAENOTCONN);
    if (winsock::StartTls(SocketHandle, ServerName.c_str(), TrustedFingerprint.c_str(), TrustedProblems) != 0)
        check(winsock::WSAGetLastError());
    long waitFor = winsock::FD_READ;
    // A refused certificate or a broken handshake throws from the platform
    // with its reason; the loop only waits.
    while (!Canceled && winsock::TlsHandshake(SocketHandle, &waitFor) != 0) {
        const int error = winsock::WSAGetLastError();
        if (error != winsock::WSAEWOULDBLOCK)
            check(error);
        PollingCycle(waitFor == winsock::FD_WRITE ? wfWritable : wfReadable);
    }
    ThrowIfCanceled("Socket TLS handshake aborted");
}

bool TPowersock::Encrypted() const { return winsock::TlsEstablished(SocketHandle); }
