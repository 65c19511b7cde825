// Stream and file transfers of TPowersock and the unit's free text functions.
//
// The transfer loops are polling cycles: one socket call, then the pending
// window events. When the socket had nothing to give or take, the cycle waits
// first until the socket or an event is ready, so a transfer that waits does
// not burn a processor.

#include <algorithm>
#include <memory>

#include "net/Psock.h"
#include "net/Psock_p.h"
#include "net/Transfer.h"
#include "rtl/Narrow.h"

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
            // When the network takes nothing, the rest of this piece is dropped.
            SendPiece(std::max(piece, 0));
            // A file that delivers nothing before its end would never finish.
            if (piece <= 0)
                break;
        } while (file.Position() != file.Size() && !Canceled);
    }
    ThrowIfCanceled("Socket send aborted");
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
            const int received = Receive(IoBuffer.data(), IoBufferSize, 0);
            TWaitFor next = wfReadable;
            if (received > 0) {
                file.WriteBuffer(IoBuffer.data(), received);
                ReceivedBytes += received;
                if (OnDataReceived)
                    OnDataReceived(this);
                next = wfNoWait;
            } else if (received < 0) {
                ErrorManager(winsock::WSAEWOULDBLOCK);
            } else {
                // The peer has closed and nothing waits. Its close notice comes
                // only once and does nothing while unread data waits, so it may
                // already be spent: close as it would, or this loop never ends.
                RequestCloseSocket();
            }
            PollingCycle(next);
        }
    }
    ThrowIfCanceled("Socket send aborted");
}

void TPowersock::CaptureFile(const std::string& FileName)
{
    StatusMessage(8, "CaptureFile");
    ReceivedBytes = 0;
    TimerOn();
    psock::OnExit timerOff([this] { TimerOff(); });
    {
        TFileStream file(FileName, fmCreate);
        const auto store = [&file](const char* data, int32_t count) { file.WriteBuffer(data, count); };
        TWaitFor next = wfReadable;
        while (!Canceled && CapturePiece(store, next))
            PollingCycle(next);
    }
    ThrowIfCanceled("Socket send aborted");
}

void TPowersock::CaptureStream(TStream& Stream, int32_t Size)
{
    StatusMessage(8, "Capture Stream");
    ReceivedBytes = 0;
    TimerOn();
    psock::OnExit timerOff([this] { TimerOff(); });
    const auto store = [&Stream](const char* data, int32_t count) { Stream.WriteBuffer(data, count); };
    while (!Canceled && (Size == -1 || Stream.Size() < Size)) {
        TWaitFor next = wfReadable;
        if (!CapturePiece(store, next))
            break;
        // Size -1 takes exactly one receive, whatever it found: no waiting.
        PollingCycle(Size == -1 ? wfNoWait : next);
        if (Size == -1)
            break;
    }
    ThrowIfCanceled("Socket capture aborted");
}

void TPowersock::CaptureString(std::string& AString, int32_t Size)
{
    StatusMessage(8, "Capture String");
    AString.clear();
    ReceivedBytes = 0;
    TimerOn();
    psock::OnExit timerOff([this] { TimerOff(); });
    const auto store = [&AString](const char* data, int32_t count) {
        AString.append(data, static_cast<size_t>(count));
    };
    TWaitFor next = wfReadable;
    while (!Canceled && (Size == -1 || static_cast<int64_t>(AString.size()) < Size) && CapturePiece(store, next))
        PollingCycle(next);
    ThrowIfCanceled("Socket capture aborted");
}

bool TPowersock::CapturePiece(const std::function<void(const char*, int32_t)>& Store, TWaitFor& Next)
{
    Next = wfReadable;
    const int received = Receive(IoBuffer.data(), IoBufferSize, 0);
    if (received == 0)
        return false;  // the peer has closed
    if (received > 0) {
        Store(IoBuffer.data(), received);
        ReceivedBytes += received;
        if (OnDataReceived)
            OnDataReceived(this);
        TimerOn();
        Next = wfNoWait;
        return true;
    }
    LastErrorNo = winsock::WSAGetLastError();
    if (LastErrorNo == winsock::WSAENOTCONN)
        return false;
    ErrorManager(winsock::WSAEWOULDBLOCK);
    return true;
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
    Receive(scratch.get(), IoBufferSize, 0);
}
