// The SMTP session: greeting and HELO, the mail transaction, QUIT, and the
// address services VRFY and EXPN.

#include "smtp/NMsmtp.h"

#include <algorithm>
#include <utility>

#include "net/Psock_p.h"
#include "rtl/SysUtils.h"

namespace {

// RFC 5321 4.2: every reply may span lines; all of them are read, so that
// the next command never reads the rest of this one's reply.
constexpr TReplyExtent CommandReplies = reWhole;
// The header block goes out in pieces no larger than one socket write takes.
constexpr size_t HeaderPieceSize = 32768;

// RFC 5321 4.2: the final line starts with three digits (the first 2 to 5,
// the second 0 to 5) followed by a blank or the line end.
bool WellFormed(const TReply& Reply)
{
    const std::string line = WithoutLineEnd(Reply.Text());
    return line.size() >= 3 && line[0] >= '2' && line[0] <= '5' && line[1] >= '0' && line[1] <= '5' &&
           line[2] >= '0' && line[2] <= '9' && (line.size() == 3 || line[3] == ' ');
}

// A reply without lines means the server closed the connection instead of
// answering; its code 0 must not pass for an acceptance, and neither may a
// reply without a proper code.
void CheckAnswered(const TReply& Reply)
{
    if (Reply.Closed)
        throw ESmtpError("Connection closed by server", Reply);
    if (!WellFormed(Reply))
        throw ESmtpError("Reply without a valid code: " + ReplyText(Reply), Reply);
}

// Clears the busy flag on every way out, when this operation set it.
class BusyScope {
public:
    explicit BusyScope(bool& busy) : busy_(busy), owner_(!busy) { busy_ = true; }
    ~BusyScope() { Release(); }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;
    void Release()
    {
        if (owner_)
            busy_ = false;
        owner_ = false;
    }

private:
    bool& busy_;
    bool owner_;
};

// What a wait that ran past its time-out raises.
constexpr const char* ReplyTimedOut = "Reply Timed out";

}  // namespace

// Keeps the caller's TimeOut while an operation sets its own per wait, and
// gives it back when the outermost operation returns.
class TNMSMTP::TWaitScope {
public:
    explicit TWaitScope(TNMSMTP& Smtp) : smtp_(Smtp)
    {
        if (smtp_.waitScopes_++ == 0)
            smtp_.callerTimeOut_ = smtp_.TimeOut;
    }
    ~TWaitScope()
    {
        if (--smtp_.waitScopes_ == 0)
            smtp_.TimeOut = smtp_.callerTimeOut_;
    }
    TWaitScope(const TWaitScope&) = delete;
    TWaitScope& operator=(const TWaitScope&) = delete;

private:
    TNMSMTP& smtp_;
};

TSmtpTimeouts TSmtpTimeouts::Recommended()
{
    constexpr int32_t minute = 60 * 1000;
    return {5 * minute, 5 * minute, 2 * minute, 3 * minute, 10 * minute};
}

bool ReplyWellFormed(const TReply& Reply) { return WellFormed(Reply); }

void TNMSMTP::WaitUpTo(int32_t Ms) { TimeOut = Ms > 0 ? Ms : callerTimeOut_; }

void TNMSMTP::RaiseFailure()
{
    try {
        throw;
    } catch (const EAbortError&) {
        if (!TimedOut)
            throw;
        // A server silent that long may be in the middle of anything: no QUIT.
        if (Connected) {
            try {
                TPowersock::Disconnect();
            } catch (...) {
                // The silence is the failure to report.
            }
        }
        throw ESockError(ReplyTimedOut);
    }
}

std::string ReplyText(const TReply& Reply)
{
    std::string text;
    for (const std::string& whole : Reply.Lines) {
        const std::string line = WithoutLineEnd(whole);
        if (!text.empty())
            text += '\n';
        text += line;
    }
    return text;
}

ESmtpError::ESmtpError(std::string Message, TReply Reply)
    : Exception(std::move(Message)), reply_(std::move(Reply))
{
}

TNMSMTP::TNMSMTP(TComponent* AOwner)
    : TPowersock(AOwner),
      PostMessage(std::make_unique<TPostMessage>()),
      FinalHeader(std::make_unique<TExStringList>()),
      BodyStream(std::make_unique<TMemoryStream>())
{
    Port = 25;
}

TNMSMTP::~TNMSMTP()
{
    // No event of this component may reach a handler once its members go.
    Destroying();
}

TPowersock* TNMSMTP::Create(TComponent* AOwner) const { return new TNMSMTP(AOwner); }

void TNMSMTP::Abort() { TPowersock::Abort(); }

void TNMSMTP::ReadExtraLines(std::string& Reply)
{
    TReply reply;
    reply.Lines.push_back(Reply);
    ReadContinuation(reply);
    Reply = reply.Closed ? std::string() : reply.Text();
}

std::string TNMSMTP::ExtractAddress(const std::string& Entry)
{
    const size_t open = Entry.find('<');
    if (open != std::string::npos) {
        const size_t next = Entry.find('<', open + 1);
        std::string inner = Entry.substr(open + 1, next == std::string::npos ? std::string::npos : next - open - 1);
        const size_t close = inner.find('>');
        return close == std::string::npos ? inner : inner.substr(0, close);
    }
    const size_t colon = Entry.find(':');
    if (colon == std::string::npos)
        return Entry;
    const size_t next = Entry.find(':', colon + 1);
    return Entry.substr(colon + 1, next == std::string::npos ? std::string::npos : next - colon - 1);
}

void TNMSMTP::Connect()
{
    BusyScope busy(Busy);
    TWaitScope waits(*this);
    // Neither encryption nor a login: the plain session, exactly as ever.
    const bool plain = Security == ssNone && Login.empty();
    if (!plain)
        CheckSecurity();
    tlsStarted_ = false;
    pipelined_ = false;
    sizeLimit_ = -1;
    sizeOffered_ = false;
    ahead_.reset();
    WaitUpTo(ReplyTimeouts.Greeting);
    TPowersock::Connect();
    try {
        if (plain) {
            ReadGreeting();
            bool retried = false;
            for (;;) {
                // The retry sends UserID as the handler left it; an empty
                // one names the machine, as EHLO does (a bare HELO is refused).
                const TReply reply = Exchange("HELO " + EhloIdentity(), reWhole);
                CheckAnswered(reply);
                if (ReplyCode < 300)
                    break;
                // The server's reason goes with it (a host name it wants
                // written in full, a syntax it refuses).
                if (!psock::OneChance(retried, OnAuthenticationFailed))
                    throw ESmtpError("Authentication failed\n" + ReplyText(reply), reply);
            }
        } else {
            OpenSecure();
        }
    } catch (...) {
        // A handshake that failed or was cut leaves no SMTP to say QUIT in,
        // a connection that is gone already none to say it to, and a server
        // that let a wait run out none to hear it.
        if (TimedOut || (tlsStarted_ && !Encrypted()) || !Connected)
            TPowersock::Disconnect();
        else
            // A failing QUIT exchange replaces the first failure.
            Disconnect();
        RaiseFailure();
    }
    busy.Release();
    if (OnConnect)
        OnConnect(this);
}

void TNMSMTP::ReadGreeting()
{
    WaitUpTo(ReplyTimeouts.Greeting);
    const TReply greeting = ReadReply(reWhole);
    WaitUpTo(ReplyTimeouts.Command);
    ReplyCode = greeting.Code;
    CheckAnswered(greeting);
    if (ReplyCode >= 400)
        throw ESmtpError(ReplyText(greeting), greeting);
}

void TNMSMTP::Disconnect()
{
    TWaitScope waits(*this);
    WaitUpTo(ReplyTimeouts.Command);
    // A preceding Abort must not cut the QUIT exchange short.
    Canceled = false;
    // The server may be reading message text: a QUIT would be taken for
    // part of it, and a close delivers nothing.
    if (std::exchange(ahead_, std::nullopt)) {
        TPowersock::Disconnect();
        return;
    }
    try {
        const TReply reply = Exchange("QUIT", CommandReplies);
        // A server that closes at QUIT has done what was asked.
        if (!reply.Closed && !WellFormed(reply))
            CheckAnswered(reply);
        // 340 is the first refused value here, not 400.
        if (ReplyCode > 339)
            throw ESmtpError(ReplyText(reply), reply);
    } catch (...) {
        TPowersock::Disconnect();
        RaiseFailure();
    }
    TPowersock::Disconnect();
}

void TNMSMTP::ClearParameters()
{
    PostMessage->ToAddress->Clear();
    PostMessage->ToCarbonCopy->Clear();
    PostMessage->ToBlindCarbonCopy->Clear();
    PostMessage->Attachments->Clear();
    PostMessage->EncodedAttachments.clear();
}

void TNMSMTP::SendMail()
{
    if (Busy)
        return;
    TWaitScope waits(*this);
    try {
        Transact();
    } catch (...) {
        RaiseFailure();
    }
}

void TNMSMTP::Transact()
{
    BusyScope busy(Busy);
    // One read hold for the whole transaction, not one per reply.
    TReadHold hold(*this);

    mailProgress_ = {};
    AssembleMail();
    CertifyConnect();
    CompleteHeader();
    mailProgress_.Started = true;
    if (OnSendStart)
        OnSendStart(this);
    WaitUpTo(ReplyTimeouts.Command);
    if (pipelined_)
        SendGroup();
    else
        SendEnvelope();

    // The server reads everything from here to the final "." as message
    // text: a failure in between leaves it there, so the connection goes.
    try {
        WaitUpTo(ReplyTimeouts.DataBlock);
        const bool ahead = pipelined_ && OnNextMessage && OnNextMessage();
        TSendBatch batch(*this);
        // The blank line that ends the header, then one more at the top of the body.
        std::string block;
        for (const std::string& line : FinalHeader->Lines())
            block += line + "\r\n";
        block += "\r\n\r\n";
        SendText(block);
        SendStream(*BodyStream);
        for (const TSegment& segment : segments_) {
            if (segment.Part)
                SendStream(*segment.Part->Text);
            else
                SendText(segment.Text);
        }
        if (OnBeforeDot)
            OnBeforeDot();
        mailProgress_.DotSent = true;
        // Reported as the exchange it is, like every other command.
        StatusMessage(8, "Transaction");
        Writeln(".");
        if (ahead) {
            ahead_ = Envelope();
            WriteGroup(*ahead_);
        }
        batch.Flush();
    } catch (...) {
        ahead_.reset();
        try {
            TPowersock::Disconnect();
        } catch (...) {
            // The failure inside the data is the one to report.
        }
        throw;
    }
    WaitUpTo(ReplyTimeouts.DataEnd);
    const TReply reply = ReadReply(CommandReplies);
    LastReply = reply.First();
    ReplyCode = reply.Code;
    CheckAnswered(reply);
    if (ReplyCode >= 400) {
        if (OnFailure)
            OnFailure(this);
        throw ESmtpError(ReplyText(reply), reply);
    }
    if (ClearParams && !ahead_)
        ClearParameters();
    busy.Release();
    if (OnSuccess)
        OnSuccess(this);
}

void TNMSMTP::SendText(const std::string& Text)
{
    for (size_t pos = 0; pos < Text.size(); pos += HeaderPieceSize)
        SendBuffer(Text.data() + pos, static_cast<uint16_t>(std::min(HeaderPieceSize, Text.size() - pos)));
}

void TNMSMTP::RecipientRefused(const std::string& Entry)
{
    mailProgress_.RecipientRefusalCode = ReplyCode;
    mailProgress_.RecipientRefusal = LastRecipientReply;
    if (OnRecipientNotFound)
        OnRecipientNotFound(Entry);
}

void TNMSMTP::CompleteHeader()
{
    const TPostMessage& m = *PostMessage;
    // The handler gets one call and must complete everything missing; what it
    // adds reaches the envelope, not the header lines already assembled.
    auto complete = [&m] {
        return !m.FromAddress.empty() &&
               (m.ToAddress->Count() > 0 || m.ToCarbonCopy->Count() > 0 || m.ToBlindCarbonCopy->Count() > 0);
    };
    bool retried = false;
    while (!complete()) {
        if (!psock::OneChance(retried, OnHeaderIncomplete, m.FromAddress.empty() ? 1 : 2))
            throw Exception("Incomplete Header");
    }
}

TReply TNMSMTP::SendCommand(const std::string& Command)
{
    TReply reply = Exchange(Command, CommandReplies);
    CheckAnswered(reply);
    if (ReplyCode >= 400)
        throw ESmtpError(ReplyText(reply), reply);
    return reply;
}

std::string TNMSMTP::MailFrom()
{
    std::string command = "MAIL FROM:<" + PostMessage->FromAddress + ">";
    // A server that knows the size beforehand refuses a message too large
    // for it at once, not after its text went over the line.
    if (sizeOffered_)
        command += " SIZE=" + std::to_string(DeclaredSize());
    return command;
}

void TNMSMTP::SendEnvelope()
{
    const TPostMessage& m = *PostMessage;
    SendCommand("RSET");
    SendCommand(MailFrom());
    for (TStringList* list : {m.ToAddress.get(), m.ToCarbonCopy.get(), m.ToBlindCarbonCopy.get()}) {
        for (int i = 0; i < list->Count(); ++i) {
            const std::string entry = list->Get(i);
            const std::string address = ExtractAddress(entry);
            if (address.empty())
                continue;
            LastRecipientReply = Exchange("RCPT TO:<" + address + ">", CommandReplies);
            // 300 itself counts as accepted; a refusal never ends the
            // transaction. A reply without a proper code accepts nothing.
            if (ReplyCode > 300 || !WellFormed(LastRecipientReply))
                RecipientRefused(entry);
        }
    }
    // Only 354 opens the data: anything else would have the message text
    // read as commands.
    WaitUpTo(ReplyTimeouts.DataStart);
    const TReply goAhead = SendCommand("DATA");
    if (goAhead.Code != 354)
        throw ESmtpError(ReplyText(goAhead), goAhead);
}

bool TNMSMTP::Verify(const std::string& Address)
{
    TWaitScope waits(*this);
    WaitUpTo(ReplyTimeouts.Command);
    CertifyConnect();
    const TReply reply = Exchange("VRFY " + Address, CommandReplies);
    return !reply.Closed && WellFormed(reply) && ReplyCode <= 251;
}

bool TNMSMTP::ExpandList(const std::string& Name)
{
    if (Busy)
        return false;
    BusyScope busy(Busy);
    TWaitScope waits(*this);
    WaitUpTo(ReplyTimeouts.Command);
    CertifyConnect();
    const TReply reply = Exchange("EXPN " + Name, CommandReplies);
    if (reply.Closed || !WellFormed(reply) || ReplyCode >= 400)
        return false;
    // The first line goes to the handler; the rest of the list was read and
    // is dropped.
    if (OnMailListReturn)
        OnMailListReturn(reply.First());
    return true;
}

void TNMSMTP::SetFinalHeader(const TStringList& Value) { FinalHeader->Assign(Value); }
