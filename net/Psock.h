// The socket unit: TPowersock, a TCP client component driven by asynchronous
// socket notifications that arrive as window messages, its time-out timer,
// the socket error texts and the stream and file transfers (their text
// functions in net/Transfer.h; the listening server in net/Server.h).
//
// Everything runs on the user-interface thread. Every wait for the network is
// a loop that processes pending window events, so other code (the user's
// commands, this component's own notifications, even other operations of
// this very component) runs inside a wait; the flags Connected, Canceled and
// TimedOut are the only guards.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Windows.h"
#include "platform/Winsock.h"
#include "rtl/Classes.h"
#include "rtl/Exception.h"
#include "rtl/Streams.h"
#include "rtl/StringList.h"

// Platform types as the socket unit names them.
using TSockAddrIn = sockaddr_in;
using TWSAData = winsock::WSADATA;
using HWND = win::HWND;

class TPowersock;
class TThreadTimer;
class TNMGeneralServer;
class InstantiateServethread;

// ---------------------------------------------------------------------------
// Exceptions

class ESockError : public Exception {
public:
    using Exception::Exception;
};

// An operation that was canceled, aborted or timed out.
class EAbortError : public ESockError {
public:
    using ESockError::ESockError;
};

// ---------------------------------------------------------------------------
// Replies of command/reply protocols (SMTP and the like)

// How much of a reply ReadReply reads.
enum TReplyExtent : uint8_t {
    reFirstLine,  // the first line only; continuation lines stay in the socket
    reWhole,      // the first line and every continuation line after it
};

// One reply as read from the peer.
struct TReply {
    // The number of the leading digits of the first line, or of the last
    // one for a reply read whole (reWhole); 0 when it begins with none or
    // when the reply was cut short by a close.
    int16_t Code = 0;
    // Every line read, each with its line end.
    std::vector<std::string> Lines;
    // The peer closed the connection before the reply ended (or began).
    bool Closed = false;

    // The first line; empty when none was read.
    const std::string& First() const;
    // The last line read, the one a refusal quotes; empty when none was read.
    const std::string& Text() const;
};

// The number of Line's leading decimal digits (at most MaxReplyDigits of
// them); 0 when it begins with none. ERangeError beyond 16 bits.
int16_t ReplyCodeOf(const std::string& Line);
// True when another line of the same reply follows Line: its code is followed
// by "-" (its fourth character), or it begins with a blank.
bool ContinuesReply(const std::string& Line);

// ---------------------------------------------------------------------------
// Event types

using THandlerEvent = std::function<void(bool& Handled)>;
using TOnStatus = std::function<void(TComponent* Sender, const std::string& Status)>;
using TOnHostResolved = std::function<void(TComponent* Sender)>;
using TOnErrorEvent =
    std::function<void(TComponent* Sender, uint16_t Errno, const std::string& Errmsg)>;

// ---------------------------------------------------------------------------
// Limits

constexpr uint16_t INVALID_SOCKET_HANDLE = 0xFFFF;  // SocketHandle: no socket
// One buffer per component serves every send and receive; a single Write
// therefore carries at most 65,535 bytes before its terminating zero.
constexpr int32_t IoBufferSize = 65536;
// Large enough for a host entry with its name, aliases and addresses.
constexpr int32_t HostEntryBufferSize = 1024;
// ReadLn refuses longer lines instead of returning them in pieces.
constexpr int32_t MaxLineLength = 65536;
// Period of the sleeping cycle, and the longest a polling cycle off the
// application's thread waits on its socket before it looks at its events
// again: short enough that an Abort is noticed at once, long enough that a
// wait does not keep a processor busy. (On the application's thread a
// polling cycle is woken by the events themselves.)
constexpr int WaitCycleMs = 2;
// Reply codes are read from at most this many leading digits.
constexpr size_t MaxReplyDigits = 10;
// The most continuation lines ReadReply takes for one reply. Every line may be
// MaxLineLength long, so this bounds the memory one reply can take: a peer
// that never ends its reply fails instead of filling memory. Servers send a
// handful; even a large EXPN list stays well below.
constexpr size_t MaxContinuationLines = 1000;

// The message record handed to a Wndproc. The second parameter is read as
// two 16-bit halves: the event code low, the error code high.
struct TMessage {
    uint32_t Msg = 0;
    uint32_t WParam = 0;
    uint32_t LParam = 0;
    int32_t Result = 0;

    uint16_t LParamLo() const { return static_cast<uint16_t>(LParam & 0xFFFF); }
    uint16_t LParamHi() const { return static_cast<uint16_t>(LParam >> 16); }
};

// ---------------------------------------------------------------------------
// Error texts

struct TWinsockMessage {
    int32_t ErrorNumber;
    const char* Text;
};

constexpr int WinsockMessageCount = 51;
extern const TWinsockMessage WinsockMessage[WinsockMessageCount];

// ---------------------------------------------------------------------------
// Process-wide state

// TPowersock instances that started the socket library and have not released
// it; changed only on the user-interface thread.
extern int32_t WinsockUsers;

// Taken around accepting and around freeing a per-connection component.
extern std::recursive_mutex ServerLock;

// Hidden windows that route their messages to the given object. Each returns
// 0 when the window cannot be made; no notification then reaches the object.
HWND PsockAllocateHWnd(TPowersock* Obj);
HWND TmrAllocateHWnd(TThreadTimer* Obj);

// ---------------------------------------------------------------------------
// TThreadTimer: a periodic window-message timer (not a thread, despite its
// name). It runs while Enabled, Interval is not 0 and OnTimer is set; every
// real change of one of the three restarts the period.

class TThreadTimer : public TComponent {
public:
    explicit TThreadTimer(TComponent* AOwner);
    ~TThreadTimer() override;

    bool Enabled() const { return enabled_; }
    uint32_t Interval() const { return interval_; }
    const TNotifyEvent& OnTimer() const { return onTimer_; }
    HWND WindowHandle() const { return windowHandle_; }

    // Raise Exception "No Timer" when the platform refuses to start it.
    void SetEnabled(bool Value);
    void SetInterval(uint32_t Value);
    void SetOnTimer(TNotifyEvent Handler);

    void Wndproc(TMessage& Message);

protected:
    void UpdateTimer();
    // Called for each tick; fires OnTimer.
    virtual void Timer();

private:
    bool enabled_ = true;
    uint32_t interval_ = 1000;
    TNotifyEvent onTimer_;
    HWND windowHandle_{};
};

// ---------------------------------------------------------------------------
// TPowersock

class TPowersock : public TComponent {
public:
    // Starts the socket library for the process when it is the first user and
    // opens the first socket; raises ESockError
    // "Initializaton of windows sockets failed" when that fails.
    explicit TPowersock(TComponent* AOwner);
    // Cancels, closes the socket without replacing it and releases the library.
    ~TPowersock() override;

    // --- Virtual operations, in this order ---------------------------------

    // The virtual constructor: a new component of this one's own class with
    // the given owner. Descendants override it to make their own kind.
    virtual TPowersock* Create(TComponent* AOwner) const;
    // Waits for a pending connection on a listening socket and accepts it;
    // returns the new socket handle.
    virtual uint16_t Accept();
    // Resolves the host and connects; returns connected or raises ESockError
    // ("Already connected", "Null Remote Address", "Host Lookup Timed Out",
    // "Host Lookup Canceled", "Connection Timed out", "Connection Canceled",
    // "Connection Failed" or a socket error text).
    virtual void Connect();
    // Status "Disconnecting", then RequestCloseSocket.
    virtual void Disconnect();
    // Exchange(Command, reFirstLine); returns LastReply.
    virtual std::string Transaction(const std::string& Command);
    // Status "Abort", then Cancel.
    virtual void Abort();

    // --- Connection -------------------------------------------------------

    // Closes the socket, fires OnDisconnect and opens a fresh unconnected one.
    void RequestCloseSocket();
    // Returns when Connected; otherwise gives OnConnectionRequired one chance,
    // else raises Exception "Not Connected".
    void CertifyConnect();
    // Sets Canceled; the waiting operation notices it at its next cycle.
    void Cancel();
    // True when at least one byte waits to be read.
    bool DataAvailable();
    // Makes the open connection a TLS client session with ServerName, which
    // the server's certificate must name; TrustedFingerprint, when not empty,
    // is a certificate the user trusts although the check refuses it, for the
    // findings TrustedProblems (tls::Problem bits). Waits for the handshake
    // like any other operation (Abort and TimeOut end it with EAbortError);
    // raises tls::ECertificateError or tls::ETlsError when it fails, also
    // when bytes arrived before the handshake or the peer closed before it;
    // the caller then closes the connection. From then on every read and
    // write is encrypted.
    void StartTls(const std::string& ServerName, const std::string& TrustedFingerprint,
                  unsigned TrustedProblems = 0);
    // True once a TLS session on the connection has finished its handshake.
    bool Encrypted() const;

    // --- Line and stream exchange ------------------------------------------

    // Length 0 sends up to the first zero byte. Raises EAbortError
    // "Socket send aborted" when canceled.
    void SendBuffer(const char* Buffer, uint16_t Length);
    // Sends Text up to its first zero byte (at most 65,535 bytes).
    void Write(const std::string& Text);
    void Writeln(const std::string& Text);
    // Exactly Count bytes once they wait; 0 reads what waits. Empty when the
    // peer has closed. EAbortError "Socket send aborted" when canceled.
    std::string Read(uint16_t Count);
    // The next line with its line end; empty when the peer has closed.
    // EAbortError "Socket readln aborted" when canceled or timed out;
    // ESockError for 10057 when a local close ran inside the wait; ESockError
    // for a line longer than MaxLineLength.
    std::string ReadLn();
    // The whole stream from its start; fires OnPacketSent after every send.
    void SendStream(TStream& Stream);

    // --- Replies ---------------------------------------------------------------

    // The next reply: its first line and, for reWhole, ReadContinuation.
    // Raises what ReadLn raises, and ERangeError for a code beyond 16 bits.
    TReply ReadReply(TReplyExtent Extent);
    // Adds to Reply the lines that continue it (see ContinuesReply) as long as
    // its last line announces one. A close sets Closed; ESockError after
    // MaxContinuationLines.
    void ReadContinuation(TReply& Reply);
    // Writeln(Command), then ReadReply(Extent). Sets ReplyCode to 0 first,
    // then LastReply to the first line (reported as a status of level 1) and
    // ReplyCode to the reply's code.
    TReply Exchange(const std::string& Command, TReplyExtent Extent);

    // --- Stream and file transfer -------------------------------------------

    void SendFile(const std::string& FileName);
    void AppendFile(const std::string& FileName);
    void CaptureFile(const std::string& FileName);
    // Size -1: exactly one receive.
    void CaptureStream(TStream& Stream, int32_t Size);
    // Size -1: receive until the peer closes.
    void CaptureString(std::string& AString, int32_t Size);
    // Copies header lines up to and including the blank line.
    void FilterHeader(TFileStream& HeaderStream);
    // Discards what one receive returns.
    void ClearInput();

    // --- Listening ----------------------------------------------------------

    // Binds the socket to Port on all local addresses and listens; accept
    // notifications come on 1126 when UseAltMessage, else on 1125.
    void Listen(bool UseAltMessage);

    // --- Status, errors and addresses ----------------------------------------

    // Reports Text through OnStatus when Level is not above ReportLevel.
    void StatusMessage(uint8_t Level, const std::string& Text);
    // Raises ESockError for the library's last error unless it is Expected
    // or not above 10000; otherwise returns the empty text.
    std::string ErrorManager(uint16_t Expected);
    // Number, ":" and table text; "" for 0; "Unknown Error No. " + number.
    std::string SocketErrorStr(uint16_t Error);
    void SetWSAError(uint16_t Error, std::string Text);
    int32_t GetLastErrorNo();
    void SetLastErrorNo(int32_t Value);

    std::string GetRemoteIP();
    // Empty when the local host name cannot be looked up.
    std::string GetLocalIP();
    std::string GetLocalAddress();
    std::string GetPortString();
    void Close(int32_t Socket);

    // Decodes a notification for this component (called by its window).
    void Wndproc(TMessage& Message);

    // --- Published properties -------------------------------------------------

    std::string Host;
    int32_t Port = 0;
    int32_t TimeOut = 0;  // milliseconds per waiting step; 0 means no limit
    int32_t ReportLevel = 0;

    TNotifyEvent OnConnect;
    TNotifyEvent OnDisconnect;
    THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    TOnStatus OnStatus;
    TNotifyEvent OnConnectionFailed;
    // Published by descendants.
    THandlerEvent OnConnectionRequired;
    TNotifyEvent OnPacketSent;
    // Not published.
    TOnErrorEvent OnSocketError;
    TNotifyEvent OnDataReceived;
    TNotifyEvent OnReadReady;
    TNotifyEvent OnAcceptReady;

    // --- Public state -----------------------------------------------------

    bool Connected = false;
    std::string LastReply;
    int16_t ReplyCode = 0;
    int32_t SentBytes = 0;
    int32_t SendTotalBytes = 0;
    int32_t ReceivedBytes = 0;
    std::string LastStatus;
    std::unique_ptr<TStringList> WinsockInfo;
    std::string RelayHost;
    uint16_t RelayPort = 0;
    TSockAddrIn RemoteAddress{};

protected:
    // Opens the first socket; starts the library when this is its first user.
    void InitWinsock();
    // Fills the address of RemoteAddress from RelayHost or Host.
    void ResolveRemoteHost();
    void TimerOn();
    void TimerOff();
    void TimerFired(TObject* Sender);

    // Marks the component as being destroyed: OnStatus and OnDisconnect no
    // longer fire. ~TPowersock calls it; a descendant's destructor may call
    // it first.
    void Destroying() { beingDestroyed_ = true; }
    bool IsDestroying() const { return beingDestroyed_; }

    // The waiting cycles. A sleeping cycle sleeps 2 ms, then processes
    // pending window events. A polling cycle waits until the socket is ready
    // for What or an event arrives (on the application's thread, without a
    // time limit; elsewhere at most 2 ms), then processes pending events; use
    // wfNothing (a plain 2 ms pause) when data already waits but is not yet
    // enough, so the wait does not spin on a socket that stays readable, and
    // wfNoWait when the last call made progress and events are all it needs.
    enum TWaitFor { wfReadable, wfWritable, wfNothing, wfNoWait };
    void SleepingCycle();
    void PollingCycle(TWaitFor What);

    // recv for the component's reads: the bytes a line read took beyond its
    // line come first. A peek shows them followed by what the socket holds.
    int Receive(char* Buffer, int Length, int Flags);

    // While one lives, the socket's read notifications are held unless
    // OnReadReady wants them: the component reads the socket itself, and a
    // notice per reply would wake the notification thread and the event loop
    // for nothing. Holds nest; the outermost one holds and releases.
    class TReadHold {
    public:
        explicit TReadHold(TPowersock& Owner);
        ~TReadHold();
        TReadHold(const TReadHold&) = delete;
        TReadHold& operator=(const TReadHold&) = delete;

    private:
        TPowersock& owner_;
    };

    // While one lives, what SendBuffer and SendStream send is gathered and
    // goes out when Flush is called (and whenever BatchLimit bytes have
    // gathered), so that a mail's data (header, body and final ".") wakes
    // the server once, not once per piece. Flush raises what a send would;
    // a batch ended without it (a failure on the way) is dropped, as the
    // caller closes the connection then anyway.
    class TSendBatch {
    public:
        explicit TSendBatch(TPowersock& Owner);
        ~TSendBatch();
        TSendBatch(const TSendBatch&) = delete;
        TSendBatch& operator=(const TSendBatch&) = delete;
        void Flush();

    private:
        TPowersock& owner_;
    };
    static constexpr size_t BatchLimit = 64 * 1024;

    // A new IPv4 stream socket registered for read, out-of-band, accept,
    // connect and close (mask 61) on message 1125 with
    // this component's window; a handle beyond 16 bits is a range error.
    uint16_t NewSocket();

    std::array<char, IoBufferSize + 1> IoBuffer{};
    std::unique_ptr<char[]> HostEntryBuffer;
    uint16_t SocketHandle = INVALID_SOCKET_HANDLE;
    HWND WindowHandle{};
    TThreadTimer* Timer = nullptr;

    // Atomic: a listening server cancels its per-connection components from
    // the user-interface thread while they are served on threads of their own.
    std::atomic<bool> Canceled{false};
    bool TimedOut = false;
    bool LastEventOk = false;
    bool EventArrived = false;
    bool ShuttingDown = false;
    int32_t LastErrorNo = 0;
    TWSAData WinsockData{};

private:
    friend class InstantiateServethread;
    friend class TNMGeneralServer;

    void CancelLookup();
    // Ends an operation that was canceled: clears Canceled and raises
    // EAbortError with Text.
    void ThrowIfCanceled(const char* Text);
    // Sends the first Length bytes of IoBuffer in polling cycles, counting
    // SentBytes and firing OnPacketSent; stops early when Canceled is set.
    // False when the network took nothing (send gave 0).
    bool SendPiece(int32_t Length);
    // The bytes in polling cycles, waiting for room as needed; stops early
    // when Canceled is set.
    void SendBytes(const std::string& Bytes);
    // winsock::send, or into the batch while one lives.
    int Transmit(const char* Data, int Length);
    // Sends what the batch gathered, waiting for room in polling cycles.
    void SendBatched();
    // One receive of a capture: hands a piece to Store, then counts it, fires
    // OnDataReceived and calls TimerOn; sets Next to how the following cycle
    // waits. False when the capture ends: the peer closed or the socket is
    // not connected.
    bool CapturePiece(const std::function<void(const char*, int32_t)>& Store, TWaitFor& Next);
    // True when bytes wait in the socket itself, not in pending_.
    bool PlainBytesWaiting();

    bool beingDestroyed_ = false;
    // What ReadLn received after its line end, not yet read by anyone.
    std::string pending_;
    int readHolds_ = 0;
    bool batching_ = false;
    std::string batch_;
    uint16_t heldSocket_ = INVALID_SOCKET_HANDLE;
    // The socket was replaced because the peer closed the connection (a close
    // notification with no data waiting), not by a local close; until the
    // next Connect or local close, reading reports the peer's close.
    bool closedByPeer_ = false;
    // The error the peer's close came with (10054 for a reset; 0 for a plain
    // close): a line read after it reports the reset, whichever came first,
    // the close notification or the read.
    uint16_t closeError_ = 0;
    // The host lookup that may still write into HostEntryBuffer (0: none).
    // Lookups run on threads of their own, so one that was given up is
    // canceled before the buffer is read again or freed.
    winsock::HANDLE lookupTask_ = 0;
    // Counts successful connect notifications: a connection that the peer
    // closed again within the same round of events still ends Connect's wait.
    uint32_t connectsNotified_ = 0;
};
