// Sending buffers, texts and streams, reading counts, lines and replies, and
// the command/reply step on which text protocols are built.

#include <algorithm>
#include <cstring>
#include <utility>

#include "net/Psock.h"
#include "net/Psock_p.h"
#include "rtl/Narrow.h"
#include "rtl/SysUtils.h"

void TPowersock::SendBuffer(const char* Buffer, uint16_t Length)
{
    StatusMessage(4, "Sending Buffer");
    TimerOn();
    psock::OnExit timerOff([this] { TimerOff(); });
    if (!Canceled) {
        const uint16_t length = Length != 0 ? Length : Narrow<uint16_t>(std::strlen(Buffer));
        // A copy: the wait below processes window events, and an operation of
        // this component nested in them may reuse IoBuffer.
        SendBytes(std::string(Buffer, length));
    }
    ThrowIfCanceled("Socket send aborted");
}

void TPowersock::SendBytes(const std::string& Bytes)
{
    size_t done = 0;
    // A full send buffer (a peer that stopped reading) is waited out in
    // polling cycles, so Abort and the time-out can end the wait.
    while (done < Bytes.size() && !Canceled) {
        const int sent = Transmit(Bytes.data() + done, static_cast<int>(Bytes.size() - done));
        if (sent == 0)
            break;
        if (sent < 0) {
            ErrorManager(winsock::WSAEWOULDBLOCK);
            PollingCycle(wfWritable);
            continue;
        }
        done += static_cast<size_t>(sent);
    }
}

void TPowersock::Write(const std::string& Text)
{
    StatusMessage(8, "Write");
    const size_t length = std::min(Text.size(), static_cast<size_t>(IoBufferSize));
    std::memcpy(IoBuffer.data(), Text.data(), length);
    IoBuffer[length] = '\0';
    SendBuffer(IoBuffer.data(), 0);
}

void TPowersock::Writeln(const std::string& Text)
{
    StatusMessage(8, "Writeln");
    Write(Text + "\r\n");
}

std::string TPowersock::Read(uint16_t Count)
{
    StatusMessage(8, "Read( " + IntToStr(Count) + " )");
    int32_t count = Count;
    if (count == 0) {
        const int waiting = Receive(IoBuffer.data(), IoBufferSize, MSG_PEEK);
        if (waiting < 0)
            ErrorManager(winsock::WSAEWOULDBLOCK);
        else
            count = Narrow<uint16_t>(waiting);
    } else {
        do {
            const int waiting = Receive(IoBuffer.data(), IoBufferSize, MSG_PEEK);
            if (waiting >= count)
                break;
            if (waiting == 0)
                return std::string();  // the peer has closed
            if (waiting < 0) {
                // The peer's close notification replaced the socket.
                if (closedByPeer_ && winsock::WSAGetLastError() == winsock::WSAENOTCONN)
                    return std::string();
                ErrorManager(winsock::WSAEWOULDBLOCK);
            }
            // Some bytes already wait: the socket stays readable, so pause.
            PollingCycle(waiting > 0 ? wfNothing : wfReadable);
        } while (!Canceled);
    }
    ThrowIfCanceled("Socket send aborted");
    if (count == 0)
        return std::string();
    std::string result(static_cast<size_t>(count), '\0');
    const int received = Receive(result.data(), count, 0);
    result.resize(static_cast<size_t>(std::max(received, 0)));
    return result;
}

TPowersock::TReadHold::TReadHold(TPowersock& Owner) : owner_(Owner)
{
    if (owner_.readHolds_++ > 0 || owner_.OnReadReady || owner_.SocketHandle == INVALID_SOCKET_HANDLE)
        return;
    const int error = winsock::WSAGetLastError();
    if (winsock::HoldReadNotifications(owner_.SocketHandle, true) == 0)
        owner_.heldSocket_ = owner_.SocketHandle;
    winsock::WSASetLastError(error);
}

TPowersock::TReadHold::~TReadHold()
{
    if (--owner_.readHolds_ > 0 || owner_.heldSocket_ == INVALID_SOCKET_HANDLE)
        return;
    // A socket closed meanwhile is simply not found.
    const int error = winsock::WSAGetLastError();
    winsock::HoldReadNotifications(owner_.heldSocket_, false);
    winsock::WSASetLastError(error);
    owner_.heldSocket_ = INVALID_SOCKET_HANDLE;
}

TPowersock::TSendBatch::TSendBatch(TPowersock& Owner) : owner_(Owner)
{
    owner_.batching_ = true;
    owner_.batch_.clear();
}

TPowersock::TSendBatch::~TSendBatch()
{
    owner_.batching_ = false;
    owner_.batch_.clear();
}

void TPowersock::TSendBatch::Flush()
{
    owner_.SendBatched();
}

int TPowersock::Transmit(const char* Data, int Length)
{
    if (!batching_)
        return winsock::send(SocketHandle, Data, Length, 0);
    batch_.append(Data, static_cast<size_t>(Length));
    if (batch_.size() >= BatchLimit)
        SendBatched();
    return Length;
}

void TPowersock::SendBatched()
{
    // Taken out first: the wait below may run a nested operation that sends.
    const std::string bytes = std::exchange(batch_, std::string());
    const bool batching = std::exchange(batching_, false);
    psock::OnExit resume([this, batching] { batching_ = batching; });
    // Every block a batch sends is one wait of its own: a peer that stopped
    // reading is waited for no longer than one that stopped answering.
    TimerOn();
    psock::OnExit timerOff([this] { TimerOff(); });
    SendBytes(bytes);
    ThrowIfCanceled("Socket send aborted");
}

int TPowersock::Receive(char* Buffer, int Length, int Flags)
{
    if (pending_.empty() || Length <= 0)
        return winsock::recv(SocketHandle, Buffer, Length, Flags);
    int n = static_cast<int>(std::min(pending_.size(), static_cast<size_t>(Length)));
    std::memcpy(Buffer, pending_.data(), static_cast<size_t>(n));
    if ((Flags & MSG_PEEK) == 0)
        pending_.erase(0, static_cast<size_t>(n));
    if (n < Length) {
        // What the socket adds; its would-block is no error here.
        const int error = winsock::WSAGetLastError();
        const int more = winsock::recv(SocketHandle, Buffer + n, Length - n, Flags);
        if (more > 0)
            n += more;
        winsock::WSASetLastError(error);
    }
    return n;
}

std::string TPowersock::ReadLn()
{
    StatusMessage(8, "ReadLn");
    TimerOn();
    psock::OnExit timerOff([this] { TimerOff(); });
    TReadHold hold(*this);

    // The line is assembled here, not in IoBuffer, so that an operation of
    // this component nested inside the wait cannot disturb it. One receive
    // takes whatever waits (no peek first); what follows the line end stays
    // in pending_ for the next read.
    std::string line;
    do {
        const int got = Receive(IoBuffer.data(), IoBufferSize, 0);
        if (got == 0)
            return std::string();  // the peer has closed; a partial line is dropped
        if (got < 0) {
            LastErrorNo = winsock::WSAGetLastError();
            if (LastErrorNo == winsock::WSAENOTCONN) {
                // The peer's close notification replaced the socket: the
                // same outcome as seeing the close directly.
                if (closedByPeer_ && closeError_ == 0)
                    return std::string();
                break;
            }
            ErrorManager(winsock::WSAEWOULDBLOCK);
        } else {
            const char* data = IoBuffer.data();
            const char* lf = static_cast<const char*>(std::memchr(data, '\n', static_cast<size_t>(got)));
            const size_t needed = lf != nullptr ? static_cast<size_t>(lf - data) + 1 : static_cast<size_t>(got);
            // Without a line end yet, the line is at least one byte longer.
            const size_t atLeast = line.size() + needed + (lf != nullptr ? 0 : 1);
            if (atLeast > static_cast<size_t>(MaxLineLength)) {
                pending_.insert(0, data, static_cast<size_t>(got));  // left unread, as found
                throw ESockError("Line too long: more than " + IntToStr(MaxLineLength) + " bytes without a line end");
            }
            line.append(data, needed);
            if (lf != nullptr) {
                pending_.assign(data + needed, static_cast<size_t>(got) - needed);
                return line;
            }
        }
        PollingCycle(wfReadable);
    } while (!Canceled);

    ThrowIfCanceled("Socket readln aborted");
    // After the peer's reset, the reset; else the socket is not connected.
    const uint16_t error = closedByPeer_ && closeError_ != 0 ? closeError_ : static_cast<uint16_t>(winsock::WSAENOTCONN);
    const std::string text = SocketErrorStr(error);
    if (OnSocketError)
        OnSocketError(this, error, text);
    throw ESockError(text);
}

// ---------------------------------------------------------------------------
// Replies

namespace {

const std::string NoLine;

}  // namespace

const std::string& TReply::First() const { return Lines.empty() ? NoLine : Lines.front(); }

const std::string& TReply::Text() const { return Lines.empty() ? NoLine : Lines.back(); }

int16_t ReplyCodeOf(const std::string& Line)
{
    size_t digits = 0;
    while (digits < Line.size() && digits < MaxReplyDigits && Line[digits] >= '0' && Line[digits] <= '9')
        ++digits;
    return digits == 0 ? 0 : Narrow<int16_t>(std::stoll(Line.substr(0, digits)));
}

bool ContinuesReply(const std::string& Line)
{
    return !Line.empty() && (Line[0] == ' ' || (Line.size() >= 4 && Line[3] == '-'));
}

TReply TPowersock::ReadReply(TReplyExtent Extent)
{
    TReply reply;
    std::string line = ReadLn();
    if (line.empty()) {
        reply.Closed = true;
        return reply;
    }
    reply.Lines.push_back(std::move(line));
    reply.Code = ReplyCodeOf(reply.First());
    if (Extent == reWhole) {
        ReadContinuation(reply);
        // RFC 5321 4.2.1: the code that counts is the last line's.
        reply.Code = reply.Closed ? 0 : ReplyCodeOf(reply.Text());
    }
    return reply;
}

void TPowersock::ReadContinuation(TReply& Reply)
{
    while (!Reply.Closed && ContinuesReply(Reply.Text())) {
        if (Reply.Lines.size() > MaxContinuationLines)
            throw ESockError("Reply too long: more than " + IntToStr(static_cast<long long>(MaxContinuationLines)) +
                             " continuation lines");
        std::string line = ReadLn();
        if (line.empty())
            Reply.Closed = true;
        else
            Reply.Lines.push_back(std::move(line));
    }
}

TReply TPowersock::Exchange(const std::string& Command, TReplyExtent Extent)
{
    StatusMessage(8, "Transaction");
    ReplyCode = 0;
    Writeln(Command);
    TReply reply = ReadReply(Extent);
    LastReply = reply.First();
    if (!LastReply.empty())
        StatusMessage(1, LastReply);
    ReplyCode = reply.Code;
    return reply;
}

std::string TPowersock::Transaction(const std::string& Command)
{
    // One line: callers that expect continuation lines read them themselves.
    return Exchange(Command, reFirstLine).First();
}

void TPowersock::SendStream(TStream& Stream)
{
    StatusMessage(8, "SendStream");
    Stream.SetPosition(0);
    if (!Canceled) {
        SentBytes = 0;
        for (;;) {
            SendTotalBytes = Stream.Size();
            const int32_t left = SendTotalBytes - Stream.Position();
            const int32_t piece = Stream.Read(IoBuffer.data(), std::min(left, IoBufferSize));
            if (!SendPiece(std::max(piece, 0)))
                return;  // at once, without the cancel test
            // A stream that delivers nothing before its end would never finish.
            if (piece <= 0 || Stream.Position() >= Stream.Size() || Canceled)
                break;
        }
    }
    ThrowIfCanceled("Socket send aborted");
}

bool TPowersock::SendPiece(int32_t Length)
{
    int32_t remaining = Length;
    while (remaining > 0) {
        const int sent = Transmit(IoBuffer.data() + (Length - remaining), remaining);
        if (sent == 0)
            return false;
        TWaitFor next = wfNoWait;
        if (sent > 0) {
            remaining -= sent;
            SentBytes += sent;
            if (OnPacketSent)
                OnPacketSent(this);
        } else {
            ErrorManager(winsock::WSAEWOULDBLOCK);
            next = wfWritable;  // the peer is not reading: wait for room
        }
        PollingCycle(next);
        if (Canceled)
            break;
    }
    return true;
}
