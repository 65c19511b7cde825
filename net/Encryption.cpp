// TLS over the component's connection: the handshake as one more wait of the
// component, so Abort and the time-out end it like any other.

#include "net/Psock.h"
#include "net/Psock_p.h"

void TPowersock::StartTls(const std::string& ServerName, const std::string& TrustedFingerprint)
{
    StatusMessage(8, "StartTls");
    TimerOn();
    psock::OnExit timerOff([this] { TimerOff(); });
    if (winsock::StartTls(SocketHandle, ServerName.c_str(), TrustedFingerprint.c_str()) != 0)
        throw ESockError(SocketErrorStr(winsock::WSAGetLastError()));
    long waitFor = winsock::FD_READ;
    // A refused certificate or a broken handshake throws from the platform
    // with its reason; the loop only waits.
    while (!Canceled && winsock::TlsHandshake(SocketHandle, &waitFor) != 0) {
        const int error = winsock::WSAGetLastError();
        if (error != winsock::WSAEWOULDBLOCK)
            throw ESockError(SocketErrorStr(error));
        PollingCycle(waitFor == winsock::FD_WRITE ? wfWritable : wfReadable);
    }
    ThrowIfCanceled("Socket TLS handshake aborted");
}

bool TPowersock::Encrypted() const { return winsock::TlsEstablished(SocketHandle); }
