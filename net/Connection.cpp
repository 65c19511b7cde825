// TPowersock's life cycle, connecting and closing, the time-out, cancel, the
// waiting cycles, status reporting and the turning of socket errors into
// exceptions.

#include <cstring>

#include "net/Psock.h"
#include "net/Psock_p.h"
#include "rtl/Narrow.h"

TPowersock::TPowersock(TComponent* AOwner) : TComponent(AOwner)
{
    StatusMessage(8, "Create");
    WindowHandle = PsockAllocateHWnd(this);
    try {
        RelayHost.clear();
        HostEntryBuffer = std::make_unique<char[]>(HostEntryBufferSize);
        Timer = new TThreadTimer(this);
        Timer->SetEnabled(false);
        Timer->SetOnTimer([this](TObject* Sender) { TimerFired(Sender); });
        TimeOut = 0;
        WinsockInfo = std::make_unique<TStringList>();
        Canceled = false;
        ShuttingDown = false;
        Connected = false;
        InitWinsock();
    } catch (...) {
        // No destructor runs for a component that failed to construct.
        if (WindowHandle != 0)
            win::DestroyWindow(WindowHandle);
        throw;
    }
}

TPowersock::~TPowersock()
{
    Destroying();
    // Each step runs even when an earlier one failed.
    try {
        StatusMessage(8, "Destroy");
        Abort();
    } catch (...) {
    }
    try {
        Cancel();
    } catch (...) {
    }
    WinsockInfo.reset();
    delete Timer;
    Timer = nullptr;
    CancelLookup();
    HostEntryBuffer.reset();
    if (WindowHandle != 0)
        win::DestroyWindow(WindowHandle);
    WindowHandle = 0;
    ShuttingDown = true;
    if (!Designing()) {
        try {
            RequestCloseSocket();
        } catch (...) {
        }
        if (--WinsockUsers == 0)
            winsock::WSACleanup();
    }
}

TPowersock* TPowersock::Create(TComponent* AOwner) const
{
    return new TPowersock(AOwner);
}

// ---------------------------------------------------------------------------
// Waiting cycles

void TPowersock::SleepingCycle()
{
    win::Sleep(WaitCycleMs);
    win::ProcessMessages();
}

void TPowersock::PollingCycle(TWaitFor What)
{
    switch (What) {
    // Until the socket or an event: a silent peer costs no wake-ups, while
    // clicks, Abort and the time-out arrive at once.
    case wfReadable:
        winsock::WaitForSocketOrEvent(SocketHandle, winsock::FD_READ, WaitCycleMs);
        return;
    case wfWritable:
        winsock::WaitForSocketOrEvent(SocketHandle, winsock::FD_WRITE, WaitCycleMs);
        return;
    case wfNothing:
        win::Sleep(WaitCycleMs);
        break;
    case wfNoWait:
        break;
    }
    win::ProcessMessages();
}

// ---------------------------------------------------------------------------
// Connecting

void TPowersock::Connect()
{
    StatusMessage(8, "Connecting");
    Canceled = false;
    if (Connected)
        throw ESockError("Already connected");
    closedByPeer_ = false;

    bool retried = false;
    for (;;) {
        try {
            ResolveRemoteHost();
        } catch (const ESockError& e) {
            if (e.Message() == "Host Lookup Timed Out" || e.Message() == "Host Lookup Canceled")
                throw;
            // Any other lookup failure shows as the address 0.
        }
        if (RemoteAddress.sin_addr.s_addr != 0)
            break;
        // The handler may change Host before the second lookup.
        if (!psock::OneChance(retried, OnInvalidHost))
            throw ESockError("Null Remote Address");
    }

    RemoteAddress.sin_family = AF_INET;
    RemoteAddress.sin_port =
        winsock::htons(RelayHost.empty() ? static_cast<uint16_t>(Port & 0xFFFF) : RelayPort);
    EventArrived = false;
    LastEventOk = true;
    if (winsock::connect(SocketHandle, reinterpret_cast<const sockaddr*>(&RemoteAddress),
                         sizeof RemoteAddress) != 0)
        ErrorManager(winsock::WSAEWOULDBLOCK);

    TimerOn();
    const uint32_t connects = connectsNotified_;
    while (!Connected && connectsNotified_ == connects && !TimedOut && !Canceled && LastEventOk)
        SleepingCycle();
    TimerOff();

    if (!TimedOut && !Canceled && LastEventOk)
        return;
    if (OnConnectionFailed)
        OnConnectionFailed(this);
    if (TimedOut)
        throw ESockError("Connection Timed out");
    if (Canceled)
        throw ESockError("Connection Canceled");
    throw ESockError("Connection Failed");
}

void TPowersock::ResolveRemoteHost()
{
    StatusMessage(8, "Resolve Host");
    const std::string& name = RelayHost.empty() ? Host : RelayHost;
    const size_t length = std::min(name.size(), static_cast<size_t>(IoBufferSize));
    std::memcpy(IoBuffer.data(), name.data(), length);
    IoBuffer[length] = '\0';

    // "255.255.255.255" parses to the no-address value and is looked up.
    const uint32_t address = winsock::inet_addr(IoBuffer.data());
    if (address != INADDR_NONE) {
        RemoteAddress.sin_addr.s_addr = address;
        return;
    }

    RemoteAddress.sin_addr.s_addr = 0;
    TimerOn();
    EventArrived = false;
    CancelLookup();
    // When the lookup cannot start, only the time-out or a cancel ends the wait.
    lookupTask_ = winsock::WSAAsyncGetHostByName(WindowHandle, psock::WM_WAITFORRESPONSE, IoBuffer.data(),
                                                HostEntryBuffer.get(), HostEntryBufferSize);
    while (!EventArrived && !TimedOut && !Canceled)
        SleepingCycle();
    TimerOff();
    // A lookup given up (or another event that ended the wait) must not
    // write the buffer later.
    CancelLookup();

    if (TimedOut)
        throw ESockError("Host Lookup Timed Out");
    if (Canceled)
        throw ESockError("Host Lookup Canceled");
    if (!LastEventOk)
        throw ESockError("Host Lookup Failed");

    const auto* entry = reinterpret_cast<const hostent*>(HostEntryBuffer.get());
    if (entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr)
        throw ESockError("Host Lookup Failed");
    std::memcpy(&RemoteAddress.sin_addr.s_addr, entry->h_addr_list[0], 4);
    if (OnHostResolved)
        OnHostResolved(this);
}

void TPowersock::CancelLookup()
{
    if (lookupTask_ != 0)
        winsock::WSACancelAsyncRequest(lookupTask_);  // harmless when it has finished
    lookupTask_ = 0;
}

// ---------------------------------------------------------------------------
// Time-out

void TPowersock::TimerOn()
{
    StatusMessage(8, "Timer On");
    TimedOut = false;
    Timer->SetInterval(Narrow<uint32_t>(TimeOut));
    Timer->SetEnabled(true);
}

void TPowersock::TimerOff()
{
    StatusMessage(8, "Timer Off");
    Timer->SetEnabled(false);
}

void TPowersock::TimerFired(TObject* /*Sender*/)
{
    StatusMessage(8, "Timer Triggered");
    TimerOff();
    TimedOut = true;
    EventArrived = true;
    Abort();
}

// ---------------------------------------------------------------------------
// Closing, checking, canceling

void TPowersock::Disconnect()
{
    StatusMessage(8, "Disconnecting");
    RequestCloseSocket();
}

void TPowersock::RequestCloseSocket()
{
    StatusMessage(4, "Request Close Socket");
    Connected = false;
    closedByPeer_ = false;
    pending_.clear();  // it belonged to the connection
    if (SocketHandle == INVALID_SOCKET_HANDLE)
        return;
    if (winsock::closesocket(SocketHandle) != 0) {
        ErrorManager(winsock::WSAEWOULDBLOCK);
        return;
    }
    // The closed handle must not be used again, also when no new one follows.
    SocketHandle = INVALID_SOCKET_HANDLE;
    if (!IsDestroying() && OnDisconnect)
        OnDisconnect(this);
    if (!ShuttingDown)
        SocketHandle = NewSocket();
}

void TPowersock::CertifyConnect()
{
    StatusMessage(8, "Checking Connection");
    bool retried = false;
    while (!Connected) {
        if (!psock::OneChance(retried, OnConnectionRequired))
            throw Exception("Not Connected");
    }
}

void TPowersock::Cancel()
{
    StatusMessage(8, "Canceling");
    Canceled = true;
}

void TPowersock::ThrowIfCanceled(const char* Text)
{
    // Cleared first: the next operation must not fail for this cancel.
    if (Canceled.exchange(false))
        throw EAbortError(Text);
}

void TPowersock::Abort()
{
    StatusMessage(8, "Abort");
    Cancel();
}

bool TPowersock::DataAvailable()
{
    StatusMessage(8, "Data Available");
    return Receive(IoBuffer.data(), 1, MSG_PEEK) >= 1;
}

// ---------------------------------------------------------------------------
// Reporting

void TPowersock::StatusMessage(uint8_t Level, const std::string& Text)
{
    if (Level > ReportLevel)
        return;
    try {
        LastStatus = Text;
        if (!IsDestroying() && OnStatus)
            OnStatus(this, LastStatus);
    } catch (...) {
        // A status report never ends an operation.
    }
}

std::string TPowersock::ErrorManager(uint16_t Expected)
{
    LastErrorNo = winsock::WSAGetLastError();
    if (LastErrorNo != Expected && LastErrorNo > 10000) {
        const uint16_t error = Narrow<uint16_t>(LastErrorNo);
        const std::string text = SocketErrorStr(error);
        if (OnSocketError)
            OnSocketError(this, error, text);
        throw ESockError(text);
    }
    return std::string();
}
