// What the socket stand-in knows of every socket, the notifier thread that
// turns poll results into notifications, and the error bookkeeping the
// socket calls share. Private to platform/.
//
// The notifier asks the socket's state what to poll for and hands it what
// poll found; each state keeps its half in a file of its own
// (Connecting.cpp, Listening.cpp, Connected.cpp). All of it runs with the
// table mutex held.
#pragma once

#include <poll.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/Winsock.h"

namespace tls {
class Session;
}

namespace winsock::detail {

// Handles are stored in 16-bit fields whose all-ones value means "none".
constexpr int kMaxHandle = 0xFFFF;

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
    bool wasReset = false;     // the peer reset the connection; see NoteError
    // A TLS session over the connection (TlsSocket.cpp). Only the thread
    // calling send, recv and the handshake uses it; the notifier reads just
    // tlsPending, which says that the session holds decrypted data.
    std::shared_ptr<tls::Session> tls;
    bool tlsPending = false;
    // Its owner reads it itself: no FD_READ or FD_OOB meanwhile (see
    // HoldReadNotifications); a release waits for the owner's thread to idle.
    bool readHeld = false;
    bool releasePending = false;

    // Registered for notifications, and for event among them.
    bool Wants(long event) const { return hwnd != 0 && (mask & event) != 0; }
};

// Process-wide socket state. Never destroyed, like the window registry: the
// notifier and lookup threads may outlive main().
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

Table& T();
bool Started();  // takes the table mutex

// The socket's entry, or nullptr. Caller holds the table mutex.
Sock* Find(int fd);

// Sets this thread's last error; returns SOCKET_ERROR.
int Fail(int wsaError);
int FailErrno();

bool ValidHandle(SOCKET s);
bool IsNonBlocking(int fd);
inline int Fd(SOCKET s) { return static_cast<int>(s); }

// Takes a new descriptor into the table, or refuses (and closes) one that
// does not fit a 16-bit handle.
SOCKET Adopt(int fd, bool stream);

// ---- the reset bookkeeping ----------------------------------------------
// Linux reports a reset once (to whichever call reads the error first) and
// then an orderly end; Winsock keeps reporting it. So every error taken from
// the kernel, by the notifier or by a call, passes through NoteError, and the
// answers below consult what it kept. Callers hold the table mutex.

void NoteError(Sock& s, int err);
// Reads the socket's pending error (which clears it) and notes it.
int TakePendingError(int fd, Sock& s);
// The connect's outcome when the socket says it is not connected but no
// error is pending: the error was taken by another call, and a reset it
// noted means the connect had succeeded.
int LostConnectError(const Sock& s);
// The error FD_CLOSE carries; err is what this round took (0: none).
int CloseError(const Sock& s, int err);
// Whether an orderly end of stream is really a reset already reported.
bool EndIsReset(const Sock& s);

// ---- the notifier ---------------------------------------------------------

// Starts the notifier thread unless it runs; wakes it to re-read the table.
void StartPollerLocked();
void Wake();
// Stops the notifier when it runs; the caller joins the returned thread
// after letting go of the mutex.
std::thread StopPollerLocked();

// Posts event for the socket's current registration.
void Notify(int fd, const Sock& s, long event, int wsaError);
// Posts event and disarms it until the call that re-enables it.
void NotifyOnce(int fd, Sock& s, bool& armed, long event);

// The socket's TLS session, or nullptr; takes the table mutex.
std::shared_ptr<tls::Session> SessionOf(int fd);
// Records whether session holds decrypted data, and posts FD_READ for it when
// due: the descriptor knows nothing of those bytes. Takes the table mutex.
void NotePending(int fd, const tls::Session& session);

inline bool Broken(short revents) { return (revents & (POLLHUP | POLLERR)) != 0; }

// Each state's poll events (0 leaves the socket out of the poll) and its
// handling of what poll found. err is the pending error the notifier took
// because poll reported hang-up or error, else 0.
short ConnectingInterest(const Sock& s);
void OnConnecting(int fd, Sock& s, short revents, int err);
short ListeningInterest(const Sock& s);
void OnListening(int fd, Sock& s, short revents);
short ConnectedInterest(const Sock& s);
void OnConnected(int fd, Sock& s, short revents, int err);

}  // namespace winsock::detail
