// The SMTP session: greeting and HELO, the mail transaction, QUIT, and the
// address services VRFY and EXPN.

#include "smtp/NMsmtp.h"

#include "rtl/Narrow.h"

namespace {

// Reply codes are read from at most this many leading digits, as the socket
// layer's Transaction does.
constexpr size_t MaxReplyDigits = 10;

int16_t ReplyCodeOf(const std::string& Reply)
{
    size_t digits = 0;
    while (digits < Reply.size() && digits < MaxReplyDigits && Reply[digits] >= '0' && Reply[digits] <= '9')
        ++digits;
    return digits == 0 ? 0 : Narrow<int16_t>(std::stoll(Reply.substr(0, digits)));
}

// An empty reply means the server closed the connection instead of
// answering; its code 0 must not pass for an acceptance.
void CheckAnswered(const std::string& Reply)
{
    if (Reply.empty())
        throw Exception("Connection closed by server");
}

// The one chance an event with a Handled flag gets to repair a failure:
// true when its handler asks for a retry. A second failure is final.
template <typename Handler, typename... Args>
bool Retry(bool& used, const Handler& handler, Args... args)
{
    if (used || !handler)
        return false;
    used = true;
    bool handled = false;
    handler(handled, args...);
    return handled;
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
    while (!Reply.empty() && (Reply[0] == ' ' || (Reply.size() >= 4 && Reply[3] == '-')))
        Reply = ReadLn();
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
    TPowersock::Connect();
    try {
        std::string reply = ReadLn();
        ReadExtraLines(reply);
        ReplyCode = ReplyCodeOf(reply);
        CheckAnswered(reply);
        if (ReplyCode >= 400)
            throw Exception(reply);

        bool retried = false;
        for (;;) {
            // The retry sends UserID as the handler left it.
            reply = Transaction("HELO " + UserID);
            ReadExtraLines(reply);
            CheckAnswered(reply);
            if (ReplyCode < 300)
                break;
            if (!Retry(retried, OnAuthenticationFailed))
                throw Exception("Authentication failed");
        }
    } catch (...) {
        // A failing QUIT exchange replaces the first failure.
        Disconnect();
        throw;
    }
    busy.Release();
    if (OnConnect)
        OnConnect(this);
}

void TNMSMTP::Disconnect()
{
    // A preceding Abort must not cut the QUIT exchange short.
    Canceled = false;
    try {
        const std::string reply = Transaction("QUIT");
        // 340 is the first refused value here, not 400.
        if (ReplyCode > 339)
            throw Exception(reply);
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
    TPostMessage& m = *PostMessage;

    AssembleMail();
    CertifyConnect();

    // The handler gets one call and must complete everything missing; what it
    // adds reaches the envelope, not the header lines assembled above.
    auto complete = [&m] {
        return !m.FromAddress.empty() &&
               (m.ToAddress->Count() > 0 || m.ToCarbonCopy->Count() > 0 || m.ToBlindCarbonCopy->Count() > 0);
    };
    bool retried = false;
    while (!complete()) {
        if (!Retry(retried, OnHeaderIncomplete, m.FromAddress.empty() ? 1 : 2))
            throw Exception("Incomplete Header");
    }
    if (OnSendStart)
        OnSendStart(this);

    auto command = [this](const std::string& Command) {
        const std::string reply = Transaction(Command);
        CheckAnswered(reply);
        if (ReplyCode >= 400)
            throw Exception(reply);
    };
    command("RSET");
    command("MAIL FROM:<" + m.FromAddress + ">");
    for (TStringList* list : {m.ToAddress.get(), m.ToCarbonCopy.get(), m.ToBlindCarbonCopy.get()}) {
        for (int i = 0; i < list->Count(); ++i) {
            const std::string entry = list->Get(i);
            const std::string address = ExtractAddress(entry);
            if (address.empty())
                continue;
            Transaction("RCPT TO:<" + address + ">");
            // 300 itself counts as accepted; a refusal never ends the transaction.
            if (ReplyCode > 300 && OnRecipientNotFound)
                OnRecipientNotFound(entry);
        }
    }
    command("DATA");

    // The blank line that ends the header, then one more at the top of the body.
    std::string block;
    for (const std::string& line : FinalHeader->Lines())
        block += line + "\r\n";
    block += "\r\n\r\n";
    Write(block);
    SendStream(*BodyStream);

    const std::string reply = Transaction(".");
    CheckAnswered(reply);
    if (ReplyCode >= 400) {
        if (OnFailure)
            OnFailure(this);
        throw Exception(reply);
    }
    if (ClearParams)
        ClearParameters();
    busy.Release();
    if (OnSuccess)
        OnSuccess(this);
}

bool TNMSMTP::Verify(const std::string& Address)
{
    CertifyConnect();
    const std::string reply = Transaction("VRFY " + Address);
    return !reply.empty() && ReplyCode <= 251;
}

bool TNMSMTP::ExpandList(const std::string& Name)
{
    if (Busy)
        return false;
    BusyScope busy(Busy);
    CertifyConnect();
    std::string reply = Transaction("EXPN " + Name);
    if (reply.empty() || ReplyCode >= 400)
        return false;
    if (OnMailListReturn)
        OnMailListReturn(reply);
    ReadExtraLines(reply);
    return true;
}

void TNMSMTP::SetFinalHeader(const TStringList& Value) { FinalHeader->Assign(Value); }
