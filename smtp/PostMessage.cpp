#include "smtp/PostMessage.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>

#include "rtl/Exception.h"
#include "smtp/NMsmtp.h"

TPostMessage::TPostMessage()
    : ToAddress(std::make_unique<TStringList>()),
      ToCarbonCopy(std::make_unique<TStringList>()),
      ToBlindCarbonCopy(std::make_unique<TStringList>()),
      Body(std::make_unique<TStringList>()),
      Attachments(std::make_unique<TStringList>()),
      ExtraHeaders(std::make_unique<TStringList>())
{
}

TPostMessage::~TPostMessage() = default;

void TPostMessage::SetLinesTo(const TStringList& Value) { ToAddress->Assign(Value); }
void TPostMessage::SetLinesCC(const TStringList& Value) { ToCarbonCopy->Assign(Value); }
void TPostMessage::SetLinesBCC(const TStringList& Value) { ToBlindCarbonCopy->Assign(Value); }
void TPostMessage::SetLinesBody(const TStringList& Value) { Body->Assign(Value); }
void TPostMessage::SetLinesAttachments(const TStringList& Value) { Attachments->Assign(Value); }

namespace {

// RFC 5322 3.2.3: the characters an atom may not hold.
constexpr std::string_view Specials = "()<>[]:;@\\,.\"";
// Host names are at most 255 octets (RFC 1035 2.3.4), plus the terminator.
constexpr size_t HostNameBuffer = 256;

// Letters, digits and "-" in labels separated by single dots: what a
// Message-ID's right side can carry without quoting.
bool PlainDomain(std::string_view Domain)
{
    if (Domain.empty() || Domain.front() == '.' || Domain.back() == '.' || Domain.find("..") != Domain.npos)
        return false;
    for (char c : Domain) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '.';
        if (!ok)
            return false;
    }
    return true;
}

std::string HostDomain()
{
    char name[HostNameBuffer] = {};
    if (::gethostname(name, sizeof name - 1) == 0 && PlainDomain(name))
        return name;
    return "localhost";
}

std::string Base36(uint64_t Value, size_t Width = 1)
{
    std::string digits;
    do {
        digits.insert(digits.begin(), "0123456789abcdefghijklmnopqrstuvwxyz"[Value % 36]);
        Value /= 36;
    } while (Value != 0 || digits.size() < Width);
    return digits;
}

bool QuotedString(std::string_view Text)
{
    if (Text.size() < 2 || Text.front() != '"' || Text.back() != '"')
        return false;
    size_t i = 1;
    while (i < Text.size() - 1) {
        if (Text[i] == '\\') {
            i += 2;  // the escaped character, whatever it is
            continue;
        }
        if (Text[i] == '"')
            return false;
        ++i;
    }
    return i == Text.size() - 1;  // else the closing quote was escaped
}

// A header value may be folded (CR LF before a blank continues the line);
// any other CR or LF would start a line of the caller's choosing.
bool BreaksLine(const std::string& Value, bool FoldAllowed)
{
    for (size_t pos = Value.find_first_of("\r\n"); pos != std::string::npos;
         pos = Value.find_first_of("\r\n", pos + 1)) {
        const bool fold = FoldAllowed && Value.compare(pos, 2, "\r\n") == 0 && pos + 2 < Value.size() &&
                          (Value[pos + 2] == ' ' || Value[pos + 2] == '\t');
        if (!fold)
            return true;
        ++pos;
    }
    return false;
}

void CheckValue(const std::string& Value, const std::string& Field, bool FoldAllowed = true)
{
    if (BreaksLine(Value, FoldAllowed))
        throw Exception(Field + " holds a line break");
}

// Entries of the To and CC lines may be folded; the address that goes into
// RCPT TO, and a blind copy's whole entry, may not.
void CheckList(const TStringList& List, const char* Field, bool InHeader)
{
    for (int i = 0; i < List.Count(); ++i) {
        const std::string field = std::string(Field) + " entry " + std::to_string(i + 1);
        CheckValue(List[i], field, InHeader);
        CheckValue(TNMSMTP::ExtractAddress(List[i]), field, false);
    }
}

}  // namespace

std::string NewMessageID(const std::string& FromAddress)
{
    static std::atomic<uint64_t> counter{0};
    static thread_local std::mt19937_64 random{std::random_device{}()};
    const size_t at = FromAddress.rfind('@');
    std::string domain = at == std::string::npos ? std::string() : FromAddress.substr(at + 1);
    if (!PlainDomain(domain))
        domain = HostDomain();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    // Appended piece by piece: GCC 12 warns (-Wrestrict) about "<" + a
    // temporary string, wrongly.
    // Fixed widths keep one run's IDs the same length, so a message's size
    // declared in a group sent ahead holds when its ID is drawn afresh.
    std::string id = "<";
    id += Base36(static_cast<uint64_t>(micros)) + ".";
    id += Base36(static_cast<uint64_t>(::getpid())) + ".";
    id += Base36(++counter, 6) + ".";
    id += Base36(random(), 13);
    id += "@" + domain + ">";
    return id;
}

std::string DisplayName(const std::string& Name)
{
    // A fold at either end (CR LF and a blank) stays outside the quotes too,
    // or a quote would start the line after it.
    const size_t first = Name.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return Name;
    const size_t last = Name.find_last_not_of(" \t\r\n");
    const std::string_view core = std::string_view(Name).substr(first, last - first + 1);
    if (core.find_first_of(Specials) == std::string_view::npos || QuotedString(core))
        return Name;
    std::string quoted = "\"";
    for (char c : core) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return Name.substr(0, first) + quoted + "\"" + Name.substr(last + 1);
}

void CheckHeaderValues(const TPostMessage& m)
{
    CheckValue(m.FromName, "FromName");
    CheckValue(m.FromAddress, "FromAddress", false);
    CheckValue(m.Subject, "Subject");
    CheckValue(m.LocalProgram, "LocalProgram");
    CheckValue(m.Date, "Date");
    CheckValue(m.ReplyTo, "ReplyTo");
    CheckValue(m.MessageID, "MessageID");
    CheckList(*m.ToAddress, "ToAddress", true);
    CheckList(*m.ToCarbonCopy, "ToCarbonCopy", true);
    CheckList(*m.ToBlindCarbonCopy, "ToBlindCarbonCopy", false);
    for (int i = 0; i < m.ExtraHeaders->Count(); ++i)
        CheckValue((*m.ExtraHeaders)[i], "ExtraHeaders " + std::to_string(i + 1));
}
