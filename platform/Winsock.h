// Windows Sockets 1.1, as much as the socket component needs, over POSIX
// non-blocking sockets. Calls keep their Winsock names and signatures and live
// in namespace winsock; always call them qualified (winsock::send), because the
// POSIX functions of the same names take the same address structures and
// argument-dependent lookup would otherwise find those.
//
// Address structures and the AF_/SOCK_/IPPROTO_/SOL_/SO_/MSG_/INADDR_
// constants are the POSIX ones (same layout and meaning). Failures return
// SOCKET_ERROR / INVALID_SOCKET / nullptr and leave a Winsock error number for
// WSAGetLastError(), kept per thread. Handles are small POSIX descriptors,
// always below 65535 so they fit a 16-bit field with 65535 left for "none".
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdint>

#include "platform/Windows.h"

// glibc makes these macros when optimising; they would rewrite winsock::htons.
#undef htons
#undef ntohs
#undef htonl
#undef ntohl

namespace winsock {

using SOCKET = uintptr_t;
constexpr SOCKET INVALID_SOCKET = ~SOCKET(0);
constexpr int SOCKET_ERROR = -1;
using HANDLE = uintptr_t;  // asynchronous task handle; 0 means none

// Start-up record. Versions are packed low byte major, high byte minor.
constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;
struct WSADATA {
    uint16_t wVersion;
    uint16_t wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    uint16_t iMaxSockets;
    uint16_t iMaxUdpDg;
    char* lpVendorInfo;
};
constexpr uint16_t MAKEWORD(uint8_t low, uint8_t high) { return static_cast<uint16_t>(low | (high << 8)); }

// Network events of WSAAsyncSelect.
constexpr long FD_READ = 1;
constexpr long FD_WRITE = 2;
constexpr long FD_OOB = 4;
constexpr long FD_ACCEPT = 8;
constexpr long FD_CONNECT = 16;
constexpr long FD_CLOSE = 32;

// Size of the buffer WSAAsyncGetHostByName needs for any host entry.
constexpr int MAXGETHOSTSTRUCT = 1024;

// Notification parameter packing: event or length in the low 16 bits of
// lParam, error number in the high 16 bits.
constexpr win::LPARAM WSAMAKESELECTREPLY(unsigned event, unsigned error)
{
    return static_cast<win::LPARAM>(((error & 0xFFFFu) << 16) | (event & 0xFFFFu));
}
constexpr win::LPARAM WSAMAKEASYNCREPLY(unsigned buflen, unsigned error) { return WSAMAKESELECTREPLY(buflen, error); }
constexpr unsigned WSAGETSELECTEVENT(win::LPARAM l) { return static_cast<unsigned>(l) & 0xFFFFu; }
constexpr unsigned WSAGETSELECTERROR(win::LPARAM l) { return (static_cast<unsigned>(l) >> 16) & 0xFFFFu; }
constexpr unsigned WSAGETASYNCBUFLEN(win::LPARAM l) { return WSAGETSELECTEVENT(l); }
constexpr unsigned WSAGETASYNCERROR(win::LPARAM l) { return WSAGETSELECTERROR(l); }

// Winsock error numbers.
constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// Winsock number for a POSIX errno value (0 stays 0).
int ErrnoToWsa(int err);

// Starts the library for one more user; fills *data (version 1.1). Returns 0
// or an error number (WSAVERNOTSUPPORTED below 1.1, WSAEFAULT for no record).
int WSAStartup(uint16_t wVersionRequested, WSADATA* data);
// Releases one user; the last one stops the notification machinery.
// SOCKET_ERROR with WSANOTINITIALISED when nobody started it.
int WSACleanup();

int WSAGetLastError();                 // this thread's last error number
void WSASetLastError(int error);       // sets this thread's last error number

// A new socket (blocking until WSAAsyncSelect); stream sockets get TCP_NODELAY.
SOCKET socket(int af, int type, int protocol);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
// Closes the socket; its notifications still queued are dropped.
int closesocket(SOCKET s);
// On a non-blocking socket it fails with WSAEWOULDBLOCK and the outcome comes
// as FD_CONNECT (refused: error 10061), even when the attempt ends at once.
int connect(SOCKET s, const sockaddr* name, int namelen);
int send(SOCKET s, const char* buf, int len, int flags);      // never raises SIGPIPE
int recv(SOCKET s, char* buf, int len, int flags);            // MSG_PEEK, MSG_OOB; re-enables FD_READ / FD_OOB
int bind(SOCKET s, const sockaddr* name, int namelen);
int listen(SOCKET s, int backlog);
// The new socket inherits the listener's WSAAsyncSelect registration;
// re-enables FD_ACCEPT.
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
int getsockname(SOCKET s, sockaddr* name, int* namelen);
int getpeername(SOCKET s, sockaddr* name, int* namelen);

uint32_t inet_addr(const char* cp);   // dotted text to network order; INADDR_NONE when not an address
char* inet_ntoa(in_addr in);          // dotted text in a per-thread buffer
uint16_t htons(uint16_t v);
uint16_t ntohs(uint16_t v);
uint32_t htonl(uint32_t v);
uint32_t ntohl(uint32_t v);
int gethostname(char* name, int namelen);
// Blocking IPv4 lookup into a per-thread entry; nullptr with WSAHOST_NOT_FOUND
// (or WSATRY_AGAIN, WSANO_RECOVERY, WSANO_DATA) on failure. Names under the
// reserved ".invalid" domain fail at once; "localhost" is 127.0.0.1.
hostent* gethostbyname(const char* name);

// Registers s for the events in lEvent (FD_*), posted as message wMsg to hWnd
// with wParam = s and lParam = WSAMAKESELECTREPLY(event, error); lEvent 0
// cancels. Makes the socket non-blocking. Re-enabling as Winsock: one FD_READ
// until the next recv, one FD_ACCEPT until the next accept, one FD_OOB until
// the next recv with MSG_OOB, one FD_WRITE after connecting and then after a
// send that failed with WSAEWOULDBLOCK, FD_CONNECT once per connect, FD_CLOSE
// once when the peer shuts down (also while unread data waits; error 0 for a
// graceful close, 10054 for a reset). Re-registering drops what was queued
// for the old registration.
int WSAAsyncSelect(SOCKET s, win::HWND hWnd, win::UINT wMsg, long lEvent);

// Looks name up (IPv4) in the background; when done, writes a hostent with
// its lists and strings into buf (buflen bytes, MAXGETHOSTSTRUCT is always
// enough) and posts wMsg to hWnd with wParam = the task handle and lParam =
// WSAMAKEASYNCREPLY(bytes used, error). Returns the task handle, or 0 with
// an error number. Nothing is written or posted once the task was canceled
// or its window destroyed.
HANDLE WSAAsyncGetHostByName(win::HWND hWnd, win::UINT wMsg, const char* name, char* buf, int buflen);
// Cancels a lookup; after it returns the lookup writes and posts nothing.
// SOCKET_ERROR with WSAEALREADY when it has already completed.
int WSACancelAsyncRequest(HANDLE task);
// Not part of Winsock: background lookups whose thread may still write or
// post; 0 once every one of them has ended, canceled ones included.
int LookupThreadsRunning();

// Not part of Winsock: waits until s has one of the events (FD_READ: data,
// end of stream or an error; FD_WRITE: room to send or an error; FD_ACCEPT:
// a pending connection) or at most timeoutMs passed, without using the
// processor. Returns the events found (0 on time-out), or SOCKET_ERROR for an
// invalid handle after sleeping timeoutMs, so a polling loop never spins.
int WaitForSocketOrTimeout(SOCKET s, long events, int timeoutMs);

// Not part of Winsock: TLS on a connected socket (OpenSSL, platform/Tls.h).
// StartTls makes s a TLS client session with host, which the server's
// certificate must name (trustedFingerprint: one the user trusts anyway, or
// "", for the findings trustedProblems, tls::Problem bits); from then on send and recv carry its plaintext, MSG_PEEK included,
// and data the session has already decrypted counts as readable for
// FD_READ and WaitForSocketOrTimeout. Returns 0, or SOCKET_ERROR with
// WSAENOTCONN (not connected) or WSAEALREADY (TLS already). Throws
// tls::ETlsError when OpenSSL cannot be set up.
int StartTls(SOCKET s, const char* host, const char* trustedFingerprint, unsigned trustedProblems = 0);
// Advances the handshake: 0 once it is complete; SOCKET_ERROR with
// WSAEWOULDBLOCK while it waits, *waitFor then FD_READ or FD_WRITE. Throws
// tls::ECertificateError for a refused certificate, tls::ETlsError for any
// other failure.
int TlsHandshake(SOCKET s, long* waitFor);
// True when s has a TLS session whose handshake is complete.
bool TlsEstablished(SOCKET s);

// Not part of Winsock: handles the calling thread's pending events, waiting
// first for as long as it takes until there is one (user input, a timer
// tick, a posted message) or s has one of the events (FD_READ, FD_WRITE as
// above), without waking up meanwhile. On a thread other than the
// application's it waits on s for at most fallbackMs, then handles what is
// pending.
void WaitForSocketOrEvent(SOCKET s, long events, int fallbackMs);

// Not part of Winsock: while s is held, it gets no FD_READ and no FD_OOB (its
// owner reads it itself, and a notice per reply would only wake the
// notification thread and the event loop); recv re-enables them as always,
// and after the release a re-enabled notice is posted when data waits. A
// release on the application's thread takes effect when that thread is next
// about to sleep (at the latest after 50 ms), so holding again right after
// costs nothing. Returns 0, or SOCKET_ERROR with WSAENOTSOCK.
int HoldReadNotifications(SOCKET s, bool hold);

}  // namespace winsock
