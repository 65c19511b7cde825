// Message assembly: the header lines, the dot-stuffed body, and the
// multipart/mixed form with one MIME part per attached file.

#include <algorithm>

#include <sys/stat.h>

#include "codec/NMS_Stream.h"
#include "smtp/NMsmtp.h"
#include "smtp/PostMessage.h"

uint32_t RandSeed = 0;

int32_t RandomNumber(int32_t Range)
{
    RandSeed = RandSeed * 134775813u + 1u;
    return static_cast<int32_t>((static_cast<uint64_t>(RandSeed) * static_cast<uint32_t>(Range)) >> 32);
}

namespace {

constexpr const char* CRLF = "\r\n";
// An RFC 2047 encoded word of a parameter value: "=?UTF-8?B?" and "?="
// around 52 Base64 characters (39 bytes), 64 in all, so that ` filename="`,
// the word and `";` still fit a line of 76.
constexpr size_t EncodedWordBytes = 39;
// RFC 5322 2.1.1: no line may exceed 998 octets before its CR LF; servers
// refuse longer ones or break them wherever they like.
constexpr size_t MaxLineOctets = 998;
// RFC 2045 6.8: a base64 body line holds at most 76 characters.
constexpr size_t Base64LineChars = 76;
// RFC 2047 2: a header line holding an encoded word, at most 76 characters;
// RFC 5322 2.1.1 asks 78 of every other line.
constexpr size_t EncodedWordLineChars = 76;
constexpr size_t HeaderLineChars = 78;
// A parameter value continued in RFC 2231 pieces: each piece with its
// name, a blank before and ";" after, within a line of 76.
constexpr size_t ParameterLineChars = 76;

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

// An address entry with a blank between a display name and its "<": readers
// and spam rules take "Name<addr>" for a malformed mailbox. A "<" inside a
// quoted string is text.
std::string SpacedEntry(const std::string& Entry)
{
    std::string out;
    bool quoted = false;
    for (size_t i = 0; i < Entry.size(); ++i) {
        const char c = Entry[i];
        if (c == '\\' && quoted && i + 1 < Entry.size()) {
            out.append(Entry, i++, 2);
            continue;
        }
        quoted = c == '"' ? !quoted : quoted;
        if (c == '<' && !quoted && !out.empty() && out.back() != ' ' && out.back() != '\t' && out.back() != ',')
            out += ' ';
        out += c;
    }
    return out;
}

// The blank after each comma is where a long line folds.
std::string JoinEntries(const char* Prefix, const TStringList& List)
{
    std::string line = Prefix;
    for (int i = 0; i < List.Count(); ++i) {
        if (i > 0)
            line += ", ";
        line += SpacedEntry(List[i]);
    }
    return line;
}

// "Name <address>", or "<address>" without a name.
std::string Mailbox(const std::string& Name, const std::string& Address)
{
    const size_t end = Name.find_last_not_of(" \t\r\n");
    if (end == std::string::npos)
        return "<" + Address + ">";
    return DisplayName(Name.substr(0, end + 1)) + " <" + Address + ">";
}

// Doubles the leading "." of every line, so no line of the text can end the
// data early or lose its first character at the server.
std::string DotStuffed(const std::string& Text)
{
    std::string out;
    out.reserve(Text.size() + Text.size() / 64);
    for (size_t start = 0; start < Text.size();) {
        if (Text[start] == '.')
            out += '.';
        size_t end = Text.find('\n', start);
        end = end == std::string::npos ? Text.size() : end + 1;
        out.append(Text, start, end - start);
        start = end;
    }
    return out;
}

// True when a body line, with the dot that transparency may add, is longer
// than a message line may be.
bool HasOverlongLine(const TStringList& Body)
{
    for (const std::string& line : Body.Lines()) {
        const size_t stuffed = !line.empty() && line[0] == '.' ? 1 : 0;
        if (line.size() + stuffed > MaxLineOctets)
            return true;
    }
    return false;
}

// The file-name part of an attachment path. Folders are separated by "/"
// here, and by "\" or a drive ":" in paths written elsewhere; none of the
// three bytes occurs inside a multibyte UTF-8 character.
std::string FileNamePart(const std::string& Path)
{
    const size_t cut = Path.find_last_of("/\\:");
    return cut == std::string::npos ? Path : Path.substr(cut + 1);
}

// The longest name written as it is: with ` filename=""` and ";" it still
// fits a line of 76.
constexpr size_t PlainNameChars = 60;

// A name that can stand between the quotes as it is: short printable ASCII
// without a quote or backslash, and nothing a reader would decode ("=?").
// Anything else would put raw 8-bit bytes, line breaks or a line that
// cannot be folded into the part header.
bool PlainName(const std::string& Name)
{
    return Name.size() <= PlainNameChars && Name.find("=?") == std::string::npos &&
           std::all_of(Name.begin(), Name.end(), [](char c) {
               const auto b = static_cast<unsigned char>(c);
               return b >= 0x20 && b < 0x7F && b != '"' && b != '\\';
           });
}

std::string Base64(const std::string& Bytes)
{
    TNMUUProcessor encoder(nullptr);
    std::string text = EncodeBase64Lines(encoder, Bytes);
    text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }),
               text.end());
    return text;
}

// Name as RFC 2047 "B" words in UTF-8, cut only between characters,
// separated by blanks.
std::string EncodedWords(const std::string& Name)
{
    std::string words;
    size_t start = 0;
    while (start < Name.size()) {
        size_t end = std::min(start + EncodedWordBytes, Name.size());
        size_t cut = end;
        while (cut < Name.size() && cut > start && (static_cast<unsigned char>(Name[cut]) & 0xC0) == 0x80)
            --cut;
        if (cut > start)  // else not UTF-8 at all: cut anywhere
            end = cut;
        if (!words.empty())
            words += ' ';
        words += "=?UTF-8?B?" + Base64(Name.substr(start, end - start)) + "?=";
        start = end;
    }
    return words;
}

// A header line with folds added before blanks where a line would exceed
// 76 characters (a line holding an encoded word) or 78 (any other), the
// field name included. Folds already there stay; only a token longer than
// a line (a long address or URL) keeps its line long, and one longer than
// a line may be at all is refused: a server would break it anywhere.
std::string FoldedHeaderLine(const std::string& Line)
{
    const size_t word = Line.find("=?");
    const size_t limit = word != std::string::npos && Line.find("?=", word + 2) != std::string::npos
                             ? EncodedWordLineChars
                             : HeaderLineChars;
    std::string folded;
    size_t column = 0;
    for (size_t pos = 0; pos < Line.size();) {
        if (Line.compare(pos, 2, CRLF) == 0) {
            folded += CRLF;
            column = 0;
            pos += 2;
            continue;
        }
        // A piece: the blanks before a token, then the token.
        const size_t token = std::min(Line.find_first_not_of(" \t", pos), Line.size());
        const size_t end = std::min(Line.find_first_of(" \t\r", token), Line.size());
        // A fold goes before blanks, and never leaves a line of blanks only
        // or the field name alone.
        const bool named = folded.find_first_of(" \t\r") != std::string::npos;
        if (pos < token && token < end && column > 0 && named && column + (end - pos) > limit) {
            folded += CRLF;
            column = 0;
        }
        folded.append(Line, pos, end - pos);
        column += end - pos;
        if (column > MaxLineOctets)
            throw Exception("Header line longer than 998 octets: " + Line.substr(0, Line.find(':')));
        pos = end;
    }
    return folded;
}

// RFC 2231 Name*0*=UTF-8''..; Name*1*=..: the bytes outside the attribute
// characters as %XX (lower-case hex: upper-case runs read as unfilled
// templates to spam filters), in pieces that fit their lines, cut only
// between characters. Every piece but the last ends in ";", blank-separated
// for the fold.
std::string ContinuedParameter(const std::string& Name, const std::string& Bytes)
{
    static constexpr std::string_view Kept = "!#$&+-.^_`|~";
    std::string pieces;
    std::string piece = "UTF-8''";
    int index = 0;
    const auto flush = [&] {
        if (!pieces.empty())
            pieces += "; ";
        pieces += Name + "*" + std::to_string(index++) + "*=" + piece;
        piece.clear();
    };
    for (size_t i = 0; i < Bytes.size();) {
        // One character: a lead byte and its continuation bytes.
        size_t end = i + 1;
        while (end < Bytes.size() && (static_cast<unsigned char>(Bytes[end]) & 0xC0) == 0x80)
            ++end;
        std::string encoded;
        for (size_t k = i; k < end; ++k) {
            const char c = Bytes[k];
            const auto b = static_cast<unsigned char>(c);
            if ((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
                Kept.find(c) != std::string_view::npos) {
                encoded += c;
            } else {
                encoded += '%';
                encoded += "0123456789abcdef"[b >> 4];
                encoded += "0123456789abcdef"[b & 0x0F];
            }
        }
        const size_t head = 1 + Name.size() + 2 + std::to_string(index).size() + 2;  // " name*N*="
        if (!piece.empty() && piece != "UTF-8''" && head + piece.size() + encoded.size() + 1 > ParameterLineChars)
            flush();
        piece += encoded;
        i = end;
    }
    flush();
    return pieces;
}

// Bytes as base64 lines of Base64LineChars characters, each ended by CR LF.
std::string Base64Lines(const std::string& Bytes)
{
    const std::string text = Base64(Bytes);
    std::string lines;
    lines.reserve(text.size() + text.size() / Base64LineChars * 2 + 2);
    for (size_t pos = 0; pos < text.size(); pos += Base64LineChars)
        lines += text.substr(pos, Base64LineChars) + CRLF;
    return lines;
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
