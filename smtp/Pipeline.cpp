// The mail transaction as one group of commands (RFC 2920): RSET, MAIL FROM,
// every RCPT TO and DATA in one write, their replies matched in order.

#include <algorithm>

#include "smtp/NMsmtp.h"

namespace {

enum class TFit { Accepted, Refused, Mismatch };

// A reply that no command of the group could have drawn means the server
// read the group otherwise than it was written.
TFit FitOf(const TReply& Reply, bool Data)
{
    if (Reply.Closed || Reply.Code < 200 || Reply.Code > 599)
        return TFit::Mismatch;
    if (Reply.Code >= 400)
        return TFit::Refused;
    const bool goAhead = Reply.Code >= 300;
    return goAhead == Data ? TFit::Accepted : TFit::Mismatch;
}

}  // namespace

TNMSMTP::TEnvelope TNMSMTP::Envelope() const
{
    const TPostMessage& m = *PostMessage;
    TEnvelope e{m.FromAddress, {}};
    for (TStringList* list : {m.ToAddress.get(), m.ToCarbonCopy.get(), m.ToBlindCarbonCopy.get()})
        for (int i = 0; i < list->Count(); ++i)
            if (std::string address = ExtractAddress(list->Get(i)); !address.empty())
                e.Recipients.emplace_back(list->Get(i), std::move(address));
    return e;
}

void TNMSMTP::WriteGroup(const TEnvelope& Group)
{
    // PostMessage is the group's message, also when it goes out ahead of
    // its own SendMail.
    std::string group = "RSET\r\n" + MailFrom() + "\r\n";
    for (const auto& [entry, address] : Group.Recipients)
        group += "RCPT TO:<" + address + ">\r\n";
    group += "DATA\r\n";
    // One send takes at most 65,535 bytes; the batch joins the pieces.
    constexpr size_t Piece = 32768;
    for (size_t pos = 0; pos < group.size(); pos += Piece)
        SendBuffer(group.data() + pos, static_cast<uint16_t>(std::min(Piece, group.size() - pos)));
}

void TNMSMTP::PipeliningFailed(const std::string& Why)
{
    Pipelining = false;
    ahead_.reset();
    TPowersock::Disconnect();
    throw EPipeliningError("The server did not handle pipelining: " + Why);
}

void TNMSMTP::SendGroup()
{
    const TEnvelope envelope = Envelope();
    if (!ahead_) {
        TSendBatch batch(*this);
        WriteGroup(envelope);
        batch.Flush();
    } else if (*ahead_ != envelope) {
        // Its commands went out already: another message cannot take them.
        PipeliningFailed("the message differs from the one announced");
    }
    ahead_.reset();

    auto read = [this](const char* Command, bool Data) {
        TReply reply;
        try {
            reply = ReadReply(reWhole);
        } catch (const EAbortError&) {
            if (TimedOut)
                PipeliningFailed(std::string("no reply to ") + Command);
            throw;
        }
        LastReply = reply.First();
        ReplyCode = reply.Code;
        if (reply.Closed)
            throw ESmtpError("Connection closed by server", reply);
        const TFit fit = FitOf(reply, Data);
        if (fit == TFit::Mismatch)
            PipeliningFailed(std::string("reply to ") + Command + ": " + ReplyText(reply));
        return std::make_pair(fit == TFit::Accepted, reply);
    };

    // A refused RSET leaves the server's state unknown: whatever the rest of
    // the group opened must get no answer (a lone "." to a DATA it accepted
    // would store an empty message). Closing drops an unfinished DATA.
    const auto [reset, resetReply] = read("RSET", false);
    if (!reset)
        PipeliningFailed("RSET refused: " + ReplyText(resetReply));
    const auto [mail, mailReply] = read("MAIL", false);
    if (!mail && mailReply.Code == 503)
        PipeliningFailed("503 to MAIL");
    // The replies after a refusal are still read, so that the next group
    // starts in step.
    int accepted = 0;
    std::optional<TReply> recipientRefusal;
    for (const auto& [entry, address] : envelope.Recipients) {
        const auto [ok, reply] = read("RCPT", false);
        if (!ok && mail && reply.Code == 503)
            PipeliningFailed("503 to RCPT");
        LastRecipientReply = reply;
        accepted += ok;
        // After a refused MAIL the recipients' refusals only follow from it:
        // the MAIL's reply decides (a 4xx there is no recipient's 5xx).
        if (!ok && mail)
            RecipientRefused(entry);
        if (!ok && !recipientRefusal)
            recipientRefusal = reply;
    }
    // The go-ahead is due once the last recipient is answered: DATA's own
    // limit, not the other commands'.
    WaitUpTo(ReplyTimeouts.DataStart);
    const auto [data, dataReply] = read("DATA", true);
    // A server that refused MAIL and then took a recipient or the data read
    // the group otherwise than it was written.
    if (!mail && (accepted > 0 || data))
        PipeliningFailed("a command accepted after MAIL was refused");
    if (!data && mail && accepted > 0 && dataReply.Code == 503)
        PipeliningFailed("503 to DATA");
    std::optional<TReply> refusal;
    if (!mail)
        refusal = mailReply;
    else if (accepted == 0)
        refusal = recipientRefusal;
    if (!refusal) {
        if (!data)
            throw ESmtpError(ReplyText(dataReply), dataReply);
        return;
    }
    // Every recipient refused, yet DATA answered 354: an empty text ends the
    // transaction the server opened all the same (it delivers to no one),
    // and its verdict does not matter.
    if (data) {
        Writeln(".");
        WaitUpTo(ReplyTimeouts.DataEnd);
        ReadReply(reWhole);
    }
    LastReply = refusal->First();
    ReplyCode = refusal->Code;
    throw ESmtpError(ReplyText(*refusal), *refusal);
}
