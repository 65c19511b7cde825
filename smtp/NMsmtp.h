// The SMTP unit: TNMSMTP, an SMTP client on the socket component, and
// TPostMessage, the message it sends.
//
// One connection serves any number of mail transactions: Connect reads the
// greeting and says HELO, every SendMail runs RSET, MAIL FROM, RCPT TO per
// recipient, DATA, the message text and ".", and Disconnect says QUIT. The
// message text is assembled in memory (header lines and body, attachments as
// MIME parts) before the first command of a transaction goes out.
//
// Every reply is read to its final line, whose code counts. Failures are
// raised: ESmtpError with the server's whole reply (ReplyText), or with
// "Authentication failed" and the reply, "Connection closed by server" or
// "Reply without a valid code: " and the reply, carrying the reply;
// Exception "Incomplete Header"; the socket layer's ESockError and EAbortError
// pass through unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codec/NMExtstr.h"
#include "codec/NMUUE.h"
#include "net/Psock.h"
#include "rtl/Classes.h"
#include "rtl/Streams.h"
#include "rtl/StringList.h"

// A failure of the SMTP conversation: the server refused, or closed instead
// of answering. Message() is the refusing reply line (or the fixed text);
// the reply travels with it, so that a caller can tell a temporary refusal
// (4xx) from a permanent one (5xx). Code() is 0 when the server sent no reply.
class ESmtpError : public Exception {
public:
    ESmtpError(std::string Message, TReply Reply);

    const TReply& Reply() const noexcept { return reply_; }
    int16_t Code() const noexcept { return reply_.Code; }
    const std::vector<std::string>& Lines() const noexcept { return reply_.Lines; }

private:
    TReply reply_;
};

// A reply as a user reads it: every line without its line end, joined by
// "\n"; empty for a reply without lines.
std::string ReplyText(const TReply& Reply);
// RFC 5321 4.2: the final line starts with three digits (the first 2 to 5,
// the second 0 to 5) followed by a blank or the line end.
bool ReplyWellFormed(const TReply& Reply);

// How long each wait of the conversation may last, in milliseconds; 0 leaves
// the socket layer's TimeOut in force for it. A wait that runs out closes the
// connection without QUIT and raises ESockError "Reply Timed out".
struct TSmtpTimeouts {
    int32_t Greeting = 0;   // the connection, its TLS handshake and the 220
    int32_t Command = 0;    // HELO, EHLO, STARTTLS, AUTH, RSET, MAIL, RCPT, QUIT, VRFY, EXPN
    int32_t DataStart = 0;  // the reply to DATA
    int32_t DataBlock = 0;  // every send of the message text
    int32_t DataEnd = 0;    // the reply to the final "."

    // RFC 5321 4.5.3.2: 5, 5, 2, 3 and 10 minutes.
    static TSmtpTimeouts Recommended();
};

// The server mishandled a pipelined group (RFC 2920): a 503 to a command
// that was in order, a refused RSET, a recipient or DATA accepted after a
// refused MAIL, a reply that fits no command of the group, or none within
// its wait (DATA's go-ahead: ReplyTimeouts.DataStart). The connection is
// closed without a byte after a go-ahead, so nothing of the group was
// delivered; the component's Pipelining is off from then on.
class EPipeliningError : public ESockError {
public:
    using ESockError::ESockError;
};

// How the connection is protected.
enum TSmtpSecurity : uint8_t {
    ssNone,         // plain SMTP
    ssStartTls,     // EHLO, STARTTLS, the TLS handshake, EHLO again
    ssImplicitTls,  // the TLS handshake before the greeting, then EHLO
};

// The session cannot go on with the protection asked for: no STARTTLS, no
// AUTH over TLS, no mechanism we speak, or a login without encryption.
// Nothing after it was sent, no password and no message.
class ESecurityError : public Exception {
public:
    using Exception::Exception;
};

class TEhloExtensions;

// Content type of a message without attachments.
enum TSubType : uint8_t { mtPlain = 0, mtEnriched = 1, mtSgml = 2, mtTabSeperated = 3, mtHtml = 4 };

// handled is false on entry; set it after completing the message. hiType 1:
// no sender address, 2: no recipient.
using THeaderInComplete = std::function<void(bool& handled, int hiType)>;
// The refused entry exactly as written in its list.
using TRecipientNotFound = std::function<void(const std::string& Recipient)>;
// The first reply line of an EXPN, line end included.
using TMailListReturn = std::function<void(const std::string& MailAddress)>;
// The attachment path as written in the Attachments list.
using TFileItem = std::function<void(const std::string& Filename)>;

// A file encoded once for many messages: every message that carries it
// writes its part header and streams these Base64 lines, so that a run
// neither encodes nor holds the file once per message.
struct TEncodedAttachment {
    std::string FileName;     // the name readers show (UTF-8, no folders)
    std::string MediaType;    // e.g. "application/pdf"
    int64_t EncodedSize = 0;  // bytes of Text
    // Base64 lines of 60 characters, each ended by CR LF. Null in a part that
    // only counts towards MessageSize.
    std::shared_ptr<TStream> Text;
};

// The message record: sender, recipients, header texts, body and attachment
// paths. Header texts are written exactly as given (no encoding, no folding),
// except that a FromName with RFC 5322 specials is quoted; a value or entry
// holding CR or LF makes the assembly fail ("Subject holds a line break").
// The record owns its five lists; the Set... operations copy lines into them.
class TPostMessage : public TObject {
public:
    TPostMessage();
    ~TPostMessage() override;
    TPostMessage(const TPostMessage&) = delete;
    TPostMessage& operator=(const TPostMessage&) = delete;

    std::string FromName;      // written before "<address>" in the From line
    std::string FromAddress;   // From line and MAIL FROM
    std::string Subject;       // no Subject line when empty
    std::string LocalProgram;  // X-Mailer; no line when empty
    std::string Date;          // Date line as given; no line when empty
    std::string ReplyTo;       // Reply-To; no line when empty
    // The body goes out base64-encoded (same charset). It does anyway when a
    // body line would be longer than the 998 octets a message line may hold.
    bool Base64Body = false;
    // Message-ID line as given ("<...@domain>", see NewMessageID in
    // smtp/PostMessage.h); no line when empty.
    std::string MessageID;

    // Entries are bare addresses or display forms ("Name <addr>"): the To and
    // CC lines show them as written, the envelope uses ExtractAddress.
    const std::unique_ptr<TStringList> ToAddress;
    const std::unique_ptr<TStringList> ToCarbonCopy;
    const std::unique_ptr<TStringList> ToBlindCarbonCopy;  // envelope only
    const std::unique_ptr<TStringList> Body;               // lines without line ends
    const std::unique_ptr<TStringList> Attachments;        // file paths
    // Whole header lines ("List-Unsubscribe: <...>") written after the
    // Message-ID; kept across messages until the caller replaces them.
    const std::unique_ptr<TStringList> ExtraHeaders;
    // Parts after those of Attachments, encoded by the caller beforehand.
    std::vector<std::shared_ptr<const TEncodedAttachment>> EncodedAttachments;

    void SetLinesTo(const TStringList& Value);
    void SetLinesCC(const TStringList& Value);
    void SetLinesBCC(const TStringList& Value);
    void SetLinesBody(const TStringList& Value);
    void SetLinesAttachments(const TStringList& Value);
};

class TNMSMTP : public TPowersock {
public:
    // Port 25; everything else as listed with the properties below.
    explicit TNMSMTP(TComponent* AOwner);
    ~TNMSMTP() override;

    TPowersock* Create(TComponent* AOwner) const override;

    // With Security ssNone and no Login: the socket layer's Connect, the
    // greeting and HELO (UserID, or the machine's full name when empty). A greeting of 400 or more fails with its
    // text; a HELO reply of 300 or more fails with "Authentication failed",
    // a line end and the reply, unless
    // OnAuthenticationFailed asks for its one retry. A failure after the TCP
    // connection was made says QUIT and closes first. Fires OnConnect on
    // success. A server that closes instead of answering fails with
    // "Connection closed by server".
    //
    // Otherwise, after CheckSecurity: for ssImplicitTls the TLS handshake,
    // then the greeting and EHLO (UserID, or the machine's full name when
    // empty); for ssStartTls STARTTLS, the handshake and EHLO again; then
    // AUTH when Login is set (XOAUTH2 with an AccessToken, else PLAIN, else
    // LOGIN, as offered). Raises
    // tls::ECertificateError or tls::ETlsError from the handshake (the
    // socket is closed without QUIT), ESecurityError where it would have to
    // go on unprotected, sasl::EAuthError when the login is refused, and
    // ESmtpError for a refused EHLO or STARTTLS.
    void Connect() override;
    // A login needs encryption: raises ESecurityError for Login with ssNone.
    void CheckSecurity() const;
    // QUIT, then the socket layer's Disconnect in every case; a QUIT reply
    // above 339 is raised after the socket is closed.
    void Disconnect() override;
    // Status "Abort", then Cancel: the waiting socket operation ends with the
    // socket layer's EAbortError.
    void Abort() override;

    // One mail transaction for PostMessage on the open connection; MAIL FROM
    // declares the message's size when the server offered SIZE. Does
    // nothing while another Connect, SendMail or ExpandList runs. Fires
    // OnSendStart, OnRecipientNotFound per refused recipient, OnFailure when
    // the message is refused after its text, OnSuccess when accepted (after
    // ClearParameters when ClearParams is set). Raises "Incomplete Header",
    // the refusing reply, "Connection closed by server", the attachment
    // file's EFOpenError or the socket layer's errors. DATA must be answered
    // 354. A failure between that 354 and the final "." closes the
    // connection (the server would read what follows as message text);
    // otherwise it stays open.
    void SendMail();
    // Empties ToAddress, ToCarbonCopy, ToBlindCarbonCopy, Attachments and
    // EncodedAttachments.
    void ClearParameters();

    // Reads continuation lines: while Reply is a line whose fourth character
    // is "-" or whose first is a blank, Reply becomes the next line (empty
    // when the server closes). ESockError after MaxContinuationLines.
    void ReadExtraLines(std::string& Reply);
    // The bare mailbox of a recipient entry: the text in angle brackets, or
    // the entry itself, or the text after its first ":". Empty means no
    // RCPT TO for the entry.
    static std::string ExtractAddress(const std::string& Entry);

    // Rebuilds FinalHeader and the body stream from PostMessage, SubType and
    // Charset; with attachments, a multipart/mixed message with a new
    // Boundary. Raises the attachment file's EFOpenError (after
    // OnAttachmentNotFound) and read errors.
    void AssembleMail();
    // The message text after the header block as the last AssembleMail left
    // it (dot-stuffed), up to the encoded text of its first attached part.
    std::string AssembledBody() const;
    // The bytes that DATA carries for PostMessage as it stands (header block,
    // body, parts; the final "." not counted), without assembling it: the
    // files of Attachments count by their size.
    int64_t MessageSize();
    // The server's SIZE (RFC 1870) from this connection's EHLO: 0 when it
    // names no limit, -1 when it offered none or the session said HELO.
    int64_t SizeLimit() const { return sizeLimit_; }

    // Appends the MIME part of attachment Index (counted from 1) to the body
    // stream. Fires OnEncodeStart / OnEncodeEnd, or OnAttachmentNotFound
    // before the file-open error propagates.
    void SendAttachments(int Index);

    // VRFY Address: true for a reply code of 251 or lower (no reply at all
    // counts as false).
    bool Verify(const std::string& Address);
    // EXPN Name: false for a code of 400 or more, or when busy (nothing is
    // sent), or without a reply. Otherwise fires OnMailListReturn with the
    // first reply line, reads and drops the continuation lines, returns true.
    bool ExpandList(const std::string& Name);

    // Copies the lines of Value (the list is rebuilt by every send anyway).
    void SetFinalHeader(const TStringList& Value);

    // --- Published properties ------------------------------------------------

    // Use PIPELINING (RFC 2920) when an EHLO session's server offers it.
    // Cleared when the server mishandles a group (EPipeliningError), so that
    // the next connection goes one command at a time.
    bool Pipelining = true;
    // This connection sends its mail transactions as groups.
    bool Pipelined() const { return pipelined_; }
    // On a pipelined connection, asked once the message's DATA was answered
    // 354: load PostMessage with the message that follows and return true,
    // and its RSET, MAIL FROM, RCPT TO and DATA go out in the same write as
    // this message's text and "." (the message itself was assembled
    // already). The next SendMail must then be for that envelope; its
    // parameters are not cleared after this message. Disconnect with such
    // a group still unanswered closes without QUIT: the server may be
    // waiting for message text, and nothing of it is delivered.
    std::function<bool()> OnNextMessage;

    std::string UserID;  // argument of HELO and EHLO; empty: the machine's full name
    const std::unique_ptr<TPostMessage> PostMessage;
    // The header lines of the last assembled message.
    const std::unique_ptr<TExStringList> FinalHeader;
    UUMethods EncodeType = uuMime;
    bool ClearParams = true;
    TSubType SubType = mtPlain;
    std::string Charset = "us-ascii";

    TSmtpSecurity Security = ssNone;
    std::string Login;     // SMTP AUTH login name; empty: no AUTH
    std::string Password;  // sent only in AUTH over TLS; never in a status or an error
    // An OAuth 2.0 access token for Login: AUTH XOAUTH2 instead of the
    // password, under the same rules.
    std::string AccessToken;
    // The SHA-256 fingerprint ("AB:CD:...") of a server certificate the user
    // trusts although the check refuses it, for the findings TrustedProblems
    // (tls::Problem bits) only; empty: none.
    std::string TrustedFingerprint;
    unsigned TrustedProblems = 0;

    // Fires after greeting and HELO, never at the bare TCP connection (it
    // hides the socket layer's own, which stays unassigned).
    TNotifyEvent OnConnect;
    THandlerEvent OnAuthenticationFailed;
    THeaderInComplete OnHeaderIncomplete;
    TNotifyEvent OnSendStart;
    TRecipientNotFound OnRecipientNotFound;
    TNotifyEvent OnFailure;
    TNotifyEvent OnSuccess;
    TFileItem OnEncodeStart;
    TFileItem OnEncodeEnd;
    TFileItem OnAttachmentNotFound;
    TMailListReturn OnMailListReturn;

    // The whole reply to the last RCPT TO: OnRecipientNotFound's handler
    // finds the server's reason here.
    TReply LastRecipientReply;

    // Called right before the final "." of a message goes out, when nothing
    // of it can have been delivered yet. What it raises keeps the "." back
    // (the connection closes: the server is in the message text) and
    // SendMail raises it.
    std::function<void()> OnBeforeDot;
    // How far the last SendMail got, for a caller that must tell a refusal
    // from a break after which the message may have arrived.
    struct TMailProgress {
        bool Started = false;  // its first command went out
        bool DotSent = false;  // its final "." went out (or was being written)
        // The last refused RCPT TO: the reply code then and the whole reply;
        // 0 when none was refused.
        int RecipientRefusalCode = 0;
        TReply RecipientRefusal;
    };
    const TMailProgress& MailProgress() const { return mailProgress_; }

    // Per wait of Connect, SendMail, Disconnect, Verify and ExpandList; TimeOut
    // is theirs again once they return.
    TSmtpTimeouts ReplyTimeouts;

protected:
    TMailProgress mailProgress_;
    void RecipientRefused(const std::string& Entry);
    // Set while a Connect, SendMail or ExpandList runs.
    bool Busy = false;
    // The message text after the header block, transparency dots included.
    const std::unique_ptr<TMemoryStream> BodyStream;
    // The multipart boundary of the last message with attachments.
    std::string Boundary;

private:
    class TBodyOut;
    class TAssembled;
    class TCounted;
    // The header lines 1 to 8 (From to Mime-Version), folded where needed.
    void BuildHeader(TExStringList& Header) const;
    // The content type lines and the body after the header block; Boundary
    // for the multipart form.
    void ComposeBody(TBodyOut& Out, TExStringList& Header, const std::string& Boundary) const;
    static std::string PartHeader(const std::string& Boundary, const std::string& FileName,
                                  const std::string& MediaType, const char* TransferEncoding);
    // The header block's text or a part header, in pieces a send takes.
    void SendText(const std::string& Text);
    void AppendBody(const std::string& Text);
    // Gives OnHeaderIncomplete its one chance while the sender or every
    // recipient is missing; then "Incomplete Header".
    void CompleteHeader();
    // Exchange of one command, its reply read whole; a close, a reply
    // without a proper code or a code of 400 or more fails with the reply.
    TReply SendCommand(const std::string& Command);
    // RSET, MAIL FROM, RCPT TO per usable entry (refusals reported to
    // OnRecipientNotFound, the reply in LastRecipientReply), DATA, which must
    // be answered 354.
    void SendEnvelope();
    // MAIL FROM for PostMessage as it stands, with SIZE (RFC 1870) when this
    // connection's EHLO offered it.
    std::string MailFrom();
    // RFC 1870's message size: MessageSize without the dots that
    // transparency doubles.
    int64_t DeclaredSize();
    void ReadGreeting();
    // The pipelined transaction (smtp/Pipeline.cpp).
    struct TEnvelope {
        std::string From;
        std::vector<std::pair<std::string, std::string>> Recipients;  // entry, address
        bool operator==(const TEnvelope&) const = default;
    };
    TEnvelope Envelope() const;
    void WriteGroup(const TEnvelope& Group);
    // Reads the group's replies up to DATA's 354; raises like SendEnvelope,
    // and EPipeliningError (after closing) when the server lost the order.
    void SendGroup();
    [[noreturn]] void PipeliningFailed(const std::string& Why);
    // The protected session's steps (smtp/Secure.cpp).
    void OpenSecure();
    TReply Ehlo();
    std::string EhloIdentity();
    void Authenticate(const TEhloExtensions& Offered);

    // What follows BodyStream in the last assembled message: part headers,
    // the closing delimiter and the caller's encoded parts, in order.
    struct TSegment {
        std::string Text;
        std::shared_ptr<const TEncodedAttachment> Part;
    };
    std::vector<TSegment> segments_;
    int64_t sizeLimit_ = -1;
    bool sizeOffered_ = false;  // even with a limit we cannot read
    bool tlsStarted_ = false;  // this connection began a TLS handshake
    bool pipelined_ = false;
    // A group that went out with the last message's text, replies not read.
    std::optional<TEnvelope> ahead_;

    class TWaitScope;
    // TimeOut for the waits that follow: Ms, or the caller's own TimeOut for 0.
    void WaitUpTo(int32_t Ms);
    // Inside a catch: raises the failure in hand, a wait that ran out of time
    // as the server's silence instead of a cancel.
    [[noreturn]] void RaiseFailure();
    void Transact();
    int32_t callerTimeOut_ = 0;
    int waitScopes_ = 0;
};

// The process's pseudo-random generator that makes the multipart boundaries:
// 0 at start, never reseeded, so every run makes the same boundaries.
extern uint32_t RandSeed;
// A number from 0 to Range - 1; advances RandSeed.
int32_t RandomNumber(int32_t Range);
