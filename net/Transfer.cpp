// Stream and file transfers of TPowersock and the unit's free text functions.
//
// The transfer loops are polling cycles: one socket call, then the pending
// window events. When the socket had nothing to give or take, the cycle waits
// on it for at most 2 ms first, so a transfer that waits does not burn a
// processor.

#include <algorithm>
#include <memory>

#include "net/Psock.h"
#include "net/Psock_p.h"
#include "rtl/Narrow.h"

namespace {

constexpr uint16_t kWouldBlock = psock::WSAEWOULDBLOCK;

// Stops the time-out on every way out of a timed transfer.
template <typename F>
class OnExit {
public:
    explicit OnExit(F f) : f_(std::move(f)) {}
    ~OnExit()
    {
        try {
            f_();
        } catch (...) {
        }
    }
    OnExit(const OnExit&) = delete;
    OnExit& operator=(const OnExit&) = delete;

private:
    F f_;
};

}  // namespace

// ---------------------------------------------------------------------------
// Free text functions

std::string NthWord(const std::string& InputString, char Delimiter, int32_t Number)
{
    std::string result;
    int32_t count = 0;
    for (char c : InputString) {
        if (c == Delimiter) {
            if (++count == Number)
                break;
        } else if (count == Number - 1) {
            result += c;
        }
    }
    return result;
}

int32_t NthPos(const std::string& InputString, char Delimiter, int32_t Number)
{
    const int32_t length = Narrow<int32_t>(InputString.size());
    int32_t count = 0;
    int32_t i = 1;
    while (count < Number && i <= length) {
        if (InputString[i - 1] == Delimiter)
            ++count;
        ++i;
    }
    // A walk that ran off the end answers length plus 1, even when the
    // Number-th delimiter was the last character.
    return i <= length ? i - 1 : length + 1;
}

void StreamLn(TStream& AStream, const std::string& AString)
{
    const std::string line = AString + "\r\n";
    AStream.WriteBuffer(line.data(), Narrow<int32_t>(line.size()));
}

// ---------------------------------------------------------------------------
// Sending a file

void TPowersock::SendFile(const std::string& FileName)
{
    StatusMessage(8, "SendFile");
    {
        TFileStream file(FileName, fmOpenRead);
        do {
            if (Canceled)
                break;
            const int32_t piece = file.Read(IoBuffer.data(), IoBufferSize);
            int32_t remaining = std::max(piece, 0);
            while (remaining > 0) {
                const int sent = winsock::send(SocketHandle, IoBuffer.data() + (piece - remaining), remaining, 0);
                if (sent == 0)
                    break;
                TWaitFor next = wfNoWait;
                if (sent > 0) {
                    remaining -= sent;
                    SentBytes += sent;
                    if (OnPacketSent)
                        OnPacketSent(this);
                } else {
                    ErrorManager(kWouldBlock);
                    next = wfWritable;  // the peer is not reading: wait for room
                }
                PollingCycle(next);
                if (Canceled)
                    break;
            }
            // A file that delivers nothing before its end would never finish.
            if (piece <= 0)
                break;
        } while (file.Position() != file.Size() && !Canceled);
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket send aborted");
    }
}

// ---------------------------------------------------------------------------
// Receiving into a file, a stream or a text

void TPowersock::AppendFile(const std::string& FileName)
{
    StatusMessage(8, "Append File");
    ReceivedBytes = 0;
    {
        TFileStream file(FileName, fmOpenWrite);
        file.Seek(0, soFromEnd);
        while (Connected && !Canceled) {
            const int received = winsock::recv(SocketHandle, IoBuffer.data(), IoBufferSize, 0);
            TWaitFor next = wfReadable;
            if (received > 0) {
                file.WriteBuffer(IoBuffer.data(), received);
                ReceivedBytes += received;
                if (OnDataReceived)
                    OnDataReceived(this);
                next = wfNoWait;
            } else if (received < 0) {
                ErrorManager(kWouldBlock);
            } else {
                // The peer has closed and nothing waits. Its close notice comes
                // only once and does nothing while unread data waits, so it may
                // already be spent: close as it would, or this loop never ends.
                RequestCloseSocket();
            }
            PollingCycle(next);
        }
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket send aborted");
    }
}

void TPowersock::CaptureFile(const std::string& FileName)
{
    StatusMessage(8, "CaptureFile");
    ReceivedBytes = 0;
    TimerOn();
    OnExit timerOff([this] { TimerOff(); });
    {
        TFileStream file(FileName, fmCreate);
        while (!Canceled) {
            const int received = winsock::recv(SocketHandle, IoBuffer.data(), IoBufferSize, 0);
            if (received == 0)
                break;  // the peer has closed
            TWaitFor next = wfReadable;
            if (received > 0) {
                file.WriteBuffer(IoBuffer.data(), received);
                ReceivedBytes += received;
                if (OnDataReceived)
                    OnDataReceived(this);
                TimerOn();
                next = wfNoWait;
            } else {
                LastErrorNo = winsock::WSAGetLastError();
                if (LastErrorNo == psock::WSAENOTCONN)
                    break;
                ErrorManager(kWouldBlock);
            }
            PollingCycle(next);
        }
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket send aborted");
    }
}

void TPowersock::CaptureStream(TStream& Stream, int32_t Size)
{
    StatusMessage(8, "Capture Stream");
    ReceivedBytes = 0;
    TimerOn();
    OnExit timerOff([this] { TimerOff(); });
    while (!Canceled && (Size == -1 || Stream.Size() < Size)) {
        const int received = winsock::recv(SocketHandle, IoBuffer.data(), IoBufferSize, 0);
        if (received == 0)
            break;
        TWaitFor next = wfReadable;
        if (received > 0) {
            Stream.WriteBuffer(IoBuffer.data(), received);
            ReceivedBytes += received;
            if (OnDataReceived)
                OnDataReceived(this);
            TimerOn();
            next = wfNoWait;
        } else {
            LastErrorNo = winsock::WSAGetLastError();
            if (LastErrorNo == psock::WSAENOTCONN)
                break;
            ErrorManager(kWouldBlock);
        }
        // Size -1 takes exactly one receive, whatever it found: no waiting.
        PollingCycle(Size == -1 ? wfNoWait : next);
        if (Size == -1)
            break;
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket capture aborted");
    }
}

void TPowersock::CaptureString(std::string& AString, int32_t Size)
{
    StatusMessage(8, "Capture String");
    AString.clear();
    ReceivedBytes = 0;
    TimerOn();
    OnExit timerOff([this] { TimerOff(); });
    while (!Canceled && (Size == -1 || static_cast<int64_t>(AString.size()) < Size)) {
        const int received = winsock::recv(SocketHandle, IoBuffer.data(), IoBufferSize, 0);
        if (received == 0)
            break;
        TWaitFor next = wfReadable;
        if (received > 0) {
            AString.append(IoBuffer.data(), static_cast<size_t>(received));
            ReceivedBytes += received;
            if (OnDataReceived)
                OnDataReceived(this);
            TimerOn();
            next = wfNoWait;
        } else {
            LastErrorNo = winsock::WSAGetLastError();
            if (LastErrorNo == psock::WSAENOTCONN)
                break;
            ErrorManager(kWouldBlock);
        }
        PollingCycle(next);
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket capture aborted");
    }
}

void TPowersock::FilterHeader(TFileStream& HeaderStream)
{
    StatusMessage(8, "FilterHeader");
    std::string line;
    do {
        line = ReadLn();
        if (line.empty())
            return;  // the peer has closed
        HeaderStream.WriteBuffer(line.data(), Narrow<int32_t>(line.size()));
    } while (line != "\n" && line != "\r\n");
}

void TPowersock::ClearInput()
{
    StatusMessage(8, "Clearing Input");
    // A scratch buffer of its own, so that IoBuffer stays untouched.
    const auto scratch = std::make_unique<char[]>(IoBufferSize);
    winsock::recv(SocketHandle, scratch.get(), IoBufferSize, 0);
}
