// Message assembly: the header lines, the dot-stuffed body, and the
// multipart/mixed form with one MIME part per attached file.

#include <algorithm>

#include <sys/stat.h>

#include "codec/NMS_Stream.h"
#include "smtp/HeaderForm.h"
#include "smtp/NMsmtp.h"
#include "smtp/PostMessage.h"

uint32_t RandSeed = 0;

int32_t RandomNumber(int32_t Range)
{
    RandSeed = RandSeed * 134775813u + 1u;
    return static_cast<int32_t>((static_cast<uint64_t>(RandSeed) * static_cast<uint32_t>(Range)) >> 32);
}

namespace {

using namespace headerform;

constexpr const char* CRLF = "\r\n";
constexpr size_t NewBoundaryLength = 35;

std::string NewBoundary()
{
    std::string letters;
    for (int i = 0; i < 6; ++i)
        letters += static_cast<char>('a' + RandomNumber(25));
    return std::string(20, '=') + "54535" + letters + "====";
}

std::string ContentTypeLine(TSubType SubType, const std::string& Charset)
{
    const char* type = "text/plain";
    switch (SubType) {
    case mtPlain: type = "text/plain"; break;
    case mtEnriched: type = "text/enriched"; break;
    case mtSgml: type = "text/sgml"; break;
    case mtTabSeperated: type = "text/tab-separated-values"; break;
    case mtHtml: type = "text/html"; break;
    }
    return std::string("Content-Type: ") + type + "; charset=" + Charset;
}

// The body text as it goes out after the header: the lines as they are, or
// base64 when the record asks for it or a line would be too long to send.
struct BodyForm {
    std::string text;
    bool base64 = false;
};

BodyForm BodyFormOf(const TPostMessage& m)
{
    std::string text;
    for (const std::string& line : m.Body->Lines())
        text.append(line).append(CRLF);
    if (!m.Base64Body && !HasOverlongLine(*m.Body))
        return {DotStuffed(text), false};
    return {Base64Lines(text), true};
}

}  // namespace

// Where the composed body goes: kept for sending, or only counted.
class TNMSMTP::TBodyOut {
public:
    virtual ~TBodyOut() = default;
    virtual void Text(const std::string& Text) = 0;
    // Attachments entry Index (from 1): its part, header included.
    virtual void File(int Index) = 0;
    virtual void Part(const std::shared_ptr<const TEncodedAttachment>& Part) = 0;
};

// Text and files into the body stream until the first encoded part; from
// there on segments that the send streams in their turn.
class TNMSMTP::TAssembled : public TBodyOut {
public:
    explicit TAssembled(TNMSMTP& Smtp) : smtp_(Smtp) {}
    void Text(const std::string& Text) override
    {
        if (smtp_.segments_.empty())
            smtp_.AppendBody(Text);
        else
            smtp_.segments_.push_back({Text, nullptr});
    }
    void File(int Index) override { smtp_.SendAttachments(Index); }
    void Part(const std::shared_ptr<const TEncodedAttachment>& Part) override
    {
        if (!Part->Text)
            throw Exception("Attachment " + Part->FileName + " is not encoded");
        smtp_.segments_.push_back({std::string(), Part});
    }

private:
    TNMSMTP& smtp_;
};

class TNMSMTP::TCounted : public TBodyOut {
public:
    TCounted(const TNMSMTP& Smtp, std::string Boundary) : smtp_(Smtp), boundary_(std::move(Boundary)) {}
    void Text(const std::string& Text) override { Bytes += static_cast<int64_t>(Text.size()); }
    void File(int Index) override
    {
        const std::string path = smtp_.PostMessage->Attachments->Get(Index - 1);
        struct stat st {};
        const int64_t size = ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
        Bytes += static_cast<int64_t>(
                     PartHeader(boundary_, FileNamePart(path), "application/octet-stream",
                                       smtp_.EncodeType == uuCode ? "x-uuencode" : "base64")
                         .size()) +
                 TNMUUProcessor::EncodedLength(size, smtp_.EncodeType);
    }
    void Part(const std::shared_ptr<const TEncodedAttachment>& Part) override { Bytes += Part->EncodedSize; }
    int64_t Bytes = 0;

private:
    const TNMSMTP& smtp_;
    std::string boundary_;
};

void TNMSMTP::AppendBody(const std::string& Text)
{
    BodyStream->Seek(0, soFromEnd);
    BodyStream->WriteBuffer(Text.data(), static_cast<int32_t>(Text.size()));
}

void TNMSMTP::BuildHeader(TExStringList& header) const
{
    const TPostMessage& m = *PostMessage;
    header.Clear();
    header.Add("From: " + Mailbox(m.FromName, m.FromAddress));
    if (m.ToAddress->Count() > 0)
        header.Add(JoinEntries("To: ", *m.ToAddress));
    if (m.ToCarbonCopy->Count() > 0)
        header.Add(JoinEntries("CC: ", *m.ToCarbonCopy));
    header.SetValue("Subject", m.Subject);
    header.SetValue("X-Mailer", m.LocalProgram);
    if (!m.ReplyTo.empty())
        header.SetValue("Reply-To", SpacedEntry(m.ReplyTo));
    if (!m.Date.empty())
        header.SetValue("Date", m.Date);
    if (!m.MessageID.empty())
        header.SetValue("Message-ID", m.MessageID);
    for (int i = 0; i < m.ExtraHeaders->Count(); ++i)
        header.Add((*m.ExtraHeaders)[i]);
    header.Add("Mime-Version: 1.0");
    for (int i = 0; i < header.Count(); ++i)
        header.Put(i, FoldedHeaderLine(header[i]));
}

void TNMSMTP::ComposeBody(TBodyOut& Out, TExStringList& header, const std::string& Boundary) const
{
    const TPostMessage& m = *PostMessage;
    const BodyForm body = BodyFormOf(m);
    const char* const base64Line = "Content-Transfer-Encoding: base64";
    if (m.Attachments->Count() == 0 && m.EncodedAttachments.empty()) {
        header.Add(ContentTypeLine(SubType, Charset));
        if (body.base64)
            header.Add(base64Line);
        Out.Text(body.text);
        return;
    }
    header.Add("Content-Type: multipart/mixed; boundary=\"" + Boundary + "\"");
    Out.Text("--" + Boundary + CRLF + "Content-Type: text/plain; charset=" + Charset + CRLF +
             (body.base64 ? std::string(base64Line) + CRLF : std::string()) + CRLF);
    Out.Text(body.text);
    for (int i = 1; i <= m.Attachments->Count(); ++i)
        Out.File(i);
    for (const auto& part : m.EncodedAttachments) {
        const std::string type = part->MediaType + (part->Charset.empty() ? "" : "; charset=" + part->Charset);
        Out.Text(PartHeader(Boundary, part->FileName, type, "base64",
                            Charset == "iso-2022-jp" ? part->IsoNameWords : std::string()));
        Out.Part(part);
    }
    Out.Text("--" + Boundary + "--" + CRLF);
}

void TNMSMTP::AssembleMail()
{
    CheckHeaderValues(*PostMessage);
    BuildHeader(*FinalHeader);
    BodyStream->Clear();
    segments_.clear();
    const bool multipart = PostMessage->Attachments->Count() > 0 || !PostMessage->EncodedAttachments.empty();
    if (multipart)
        Boundary = NewBoundary();
    TAssembled out(*this);
    ComposeBody(out, *FinalHeader, Boundary);
}

std::string TNMSMTP::AssembledBody() const
{
    return std::string(BodyStream->Memory(), static_cast<size_t>(BodyStream->Size()));
}

int64_t TNMSMTP::MessageSize()
{
    TExStringList header;
    BuildHeader(header);
    // Every boundary has the same length; a new one would use up a number.
    const std::string boundary(NewBoundaryLength, '=');
    TCounted out(*this, boundary);
    ComposeBody(out, header, boundary);
    int64_t bytes = out.Bytes + 4;  // the blank lines after the header block
    for (const std::string& line : header.Lines())
        bytes += static_cast<int64_t>(line.size()) + 2;
    return bytes;
}

int64_t TNMSMTP::DeclaredSize()
{
    // Only the body text is stuffed where the size counts it: header lines,
    // part headers and base64 never begin with a dot, and the uuencoded
    // text's stuffing is not in its encoded length.
    const TStringList& body = *PostMessage->Body;
    int64_t dots = 0;
    if (!PostMessage->Base64Body && !HasOverlongLine(body))
        dots = std::count_if(body.Lines().begin(), body.Lines().end(),
                             [](const std::string& line) { return line.starts_with('.'); });
    return MessageSize() - dots;
}

std::string TNMSMTP::PartHeader(const std::string& Boundary, const std::string& fileName,
                                const std::string& MediaType, const char* TransferEncoding,
                                const std::string& NameWords)
{
    // RFC 2231 continuations are the standard form; the encoded words in
    // name= and filename= serve the readers that know only those (older
    // Outlook, many Japanese readers).
    std::string type = "Content-Type: " + MediaType + "; name=\"" + fileName + "\"";
    std::string disposition = "Content-Disposition: attachment; filename=\"" + fileName + "\"";
    if (!PlainName(fileName)) {
        const std::string words = NameWords.empty() ? EncodedWords(fileName) : NameWords;
        type = "Content-Type: " + MediaType + "; name=\"" + words + "\"";
        disposition = "Content-Disposition: attachment; " + ContinuedParameter("filename", fileName) +
                      "; filename=\"" + words + "\"";
    }
    return std::string("--") + Boundary + CRLF + FoldedHeaderLine(type) + CRLF +
           "Content-Transfer-Encoding: " + TransferEncoding + CRLF + FoldedHeaderLine(disposition) + CRLF + CRLF;
}

void TNMSMTP::SendAttachments(int Index)
{
    const std::string Path = PostMessage->Attachments->Get(Index - 1);
    // Base64 would be a false label for uuencoded lines.
    const char* transferEncoding = EncodeType == uuCode ? "x-uuencode" : "base64";
    AppendBody(PartHeader(Boundary, FileNamePart(Path), "application/octet-stream", transferEncoding));

    // 64 KiB of the file per read, in whole lines.
    constexpr int32_t AttachmentLinesPerRead = 65520 / 45;
    // Room after the part for the next delimiter line.
    constexpr int64_t AttachmentSlack = 4096;
    // Declared so that the file is released before the encoder.
    auto encoder = std::make_unique<TNMUUProcessor>(this);
    std::unique_ptr<TFileStream> file;
    encoder->Method = EncodeType;
    encoder->LinesPerRead = AttachmentLinesPerRead;

    try {
        file = std::make_unique<TFileStream>(Path, fmOpenRead);
    } catch (const EFOpenError&) {
        if (OnAttachmentNotFound)
            OnAttachmentNotFound(Path);
        throw;
    }
    // Base64 lines never begin with ".", so they go straight into the body;
    // a uuencoded line may (its length character for 14 bytes), so that text
    // is dot-stuffed on its way.
    const bool stuff = EncodeType == uuCode;
    TMemoryStream uuText;
    const int32_t end = BodyStream->Seek(0, soFromEnd);
    if (!stuff) {
        // Room for the whole part at once: growing by doubling would hold up
        // to twice the text, and a copy of it during each move.
        const int64_t room = end + TNMUUProcessor::EncodedLength(file->Size(), EncodeType) + AttachmentSlack;
        if (room <= INT32_MAX) {  // else the body cannot hold it, and Encode says so
            BodyStream->SetSize(static_cast<int32_t>(room));
            BodyStream->SetSize(end);
        }
    }
    encoder->SourceStream = file.get();
    encoder->TargetStream = stuff ? static_cast<TStream*>(&uuText) : BodyStream.get();
    if (OnEncodeStart)
        OnEncodeStart(Path);
    encoder->Encode();
    if (OnEncodeEnd)
        OnEncodeEnd(Path);
    if (stuff)
        AppendBody(DotStuffed(std::string(uuText.Memory(), static_cast<size_t>(uuText.Size()))));
}
