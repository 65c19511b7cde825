// The SMTP session: greeting and HELO, the mail transaction, QUIT, and the
// address services VRFY and EXPN.

#include "smtp/NMsmtp.h"

#include "net/Psock_p.h"

namespace {

// SendMail, Verify, EXPN and QUIT take one line per reply; the greeting and
// HELO read theirs whole.
constexpr TReplyExtent CommandReplies = reFirstLine;

// A reply without lines means the server closed the connection instead of
// answering; its code 0 must not pass for an acceptance.
void CheckAnswered(const TReply& Reply)
{
    if (Reply.Closed)
        throw ESmtpError("Connection closed by server", Reply);
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

}  // namespace

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
    // Neither encryption nor a login: the plain session, exactly as ever.
    const bool plain = Security == ssNone && Login.empty();
    if (!plain)
        CheckSecurity();
    tlsStarted_ = false;
    TPowersock::Connect();
    try {
        if (plain) {
            ReadGreeting();
            bool retried = false;
            for (;;) {
                // The retry sends UserID as the handler left it.
                const TReply reply = Exchange("HELO " + UserID, reWhole);
                CheckAnswered(reply);
                if (ReplyCode < 300)
                    break;
                if (!psock::OneChance(retried, OnAuthenticationFailed))
                    throw ESmtpError("Authentication failed", reply);
            }
        } else {
            OpenSecure();
        }
    } catch (...) {
        // A handshake that failed or was cut leaves no SMTP to say QUIT in.
        if (tlsStarted_ && !Encrypted())
            TPowersock::Disconnect();
        else
            // A failing QUIT exchange replaces the first failure.
            Disconnect();
        throw;
    }
    busy.Release();
    if (OnConnect)
        OnConnect(this);
}

void TNMSMTP::ReadGreeting()
{
    TReply greeting = ReadReply(reWhole);
    // The greeting's code is its last line's; one cut short by a close has none.
    greeting.Code = greeting.Closed ? 0 : ReplyCodeOf(greeting.Text());
    ReplyCode = greeting.Code;
    CheckAnswered(greeting);
    if (ReplyCode >= 400)
        throw ESmtpError(greeting.Text(), greeting);
}

void TNMSMTP::Disconnect()
{
    // A preceding Abort must not cut the QUIT exchange short.
    Canceled = false;
    try {
        const TReply reply = Exchange("QUIT", CommandReplies);
        // 340 is the first refused value here, not 400.
        if (ReplyCode > 339)
            throw ESmtpError(reply.Text(), reply);
    } catch (...) {
        TPowersock::Disconnect();
        throw;
    }
    TPowersock::Disconnect();
}

void TNMSMTP::ClearParameters()
{
    PostMessage->ToAddress->Clear();
    PostMessage->ToCarbonCopy->Clear();
    PostMessage->ToBlindCarbonCopy->Clear();
    PostMessage->Attachments->Clear();
}

void TNMSMTP::SendMail()
{
    if (Busy)
        return;
    BusyScope busy(Busy);
    // One read hold for the whole transaction, not one per reply.
    TReadHold hold(*this);

    AssembleMail();
    CertifyConnect();
    CompleteHeader();
    if (OnSendStart)
        OnSendStart(this);
    SendEnvelope();

    // The blank line that ends the header, then one more at the top of the body.
    std::string block;
    for (const std::string& line : FinalHeader->Lines())
        block += line + "\r\n";
    block += "\r\n\r\n";
    Write(block);
    SendStream(*BodyStream);

    const TReply reply = Exchange(".", CommandReplies);
    CheckAnswered(reply);
    if (ReplyCode >= 400) {
        if (OnFailure)
            OnFailure(this);
        throw ESmtpError(reply.Text(), reply);
    }
    if (ClearParams)
        ClearParameters();
    busy.Release();
    if (OnSuccess)
        OnSuccess(this);
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

void TNMSMTP::SendCommand(const std::string& Command)
{
    const TReply reply = Exchange(Command, CommandReplies);
    CheckAnswered(reply);
    if (ReplyCode >= 400)
        throw ESmtpError(reply.Text(), reply);
}

void TNMSMTP::SendEnvelope()
{
    const TPostMessage& m = *PostMessage;
    SendCommand("RSET");
    SendCommand("MAIL FROM:<" + m.FromAddress + ">");
    for (TStringList* list : {m.ToAddress.get(), m.ToCarbonCopy.get(), m.ToBlindCarbonCopy.get()}) {
        for (int i = 0; i < list->Count(); ++i) {
            const std::string entry = list->Get(i);
            const std::string address = ExtractAddress(entry);
            if (address.empty())
                continue;
            Exchange("RCPT TO:<" + address + ">", CommandReplies);
            // 300 itself counts as accepted; a refusal never ends the transaction.
            if (ReplyCode > 300 && OnRecipientNotFound)
                OnRecipientNotFound(entry);
        }
    }
    SendCommand("DATA");
}

bool TNMSMTP::Verify(const std::string& Address)
{
    CertifyConnect();
    const TReply reply = Exchange("VRFY " + Address, CommandReplies);
    return !reply.Closed && ReplyCode <= 251;
}

bool TNMSMTP::ExpandList(const std::string& Name)
{
    if (Busy)
        return false;
    BusyScope busy(Busy);
    CertifyConnect();
    TReply reply = Exchange("EXPN " + Name, CommandReplies);
    if (reply.Closed || ReplyCode >= 400)
        return false;
    if (OnMailListReturn)
        OnMailListReturn(reply.First());
    // The rest of the list is read and dropped.
    ReadContinuation(reply);
    return true;
}

void TNMSMTP::SetFinalHeader(const TStringList& Value) { FinalHeader->Assign(Value); }
