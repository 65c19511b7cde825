#include "smtp/HeaderForm.h"

#include <algorithm>

#include "codec/NMUUE.h"
#include "rtl/Exception.h"
#include "rtl/StringList.h"
#include "rtl/SysUtils.h"
#include "smtp/PostMessage.h"

namespace headerform {

namespace {

constexpr const char* CRLF = "\r\n";

}  // namespace

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

std::string Mailbox(const std::string& Name, const std::string& Address)
{
    const size_t end = Name.find_last_not_of(" \t\r\n");
    if (end == std::string::npos)
        return "<" + Address + ">";
    return DisplayName(Name.substr(0, end + 1)) + " <" + Address + ">";
}

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

bool HasOverlongLine(const TStringList& Body)
{
    for (const std::string& line : Body.Lines()) {
        const size_t stuffed = !line.empty() && line[0] == '.' ? 1 : 0;
        if (line.size() + stuffed > MaxLineOctets)
            return true;
    }
    return false;
}

std::string FileNamePart(const std::string& Path)
{
    const size_t cut = Path.find_last_of("/\\:");
    return cut == std::string::npos ? Path : Path.substr(cut + 1);
}

// The longest name written as it is: with ` filename=""` and ";" it still
// fits a line of 76.
constexpr size_t PlainNameChars = 60;

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

std::string Base64Lines(const std::string& Bytes)
{
    const std::string text = Base64(Bytes);
    std::string lines;
    lines.reserve(text.size() + text.size() / Base64LineChars * 2 + 2);
    for (size_t pos = 0; pos < text.size(); pos += Base64LineChars)
        lines += text.substr(pos, Base64LineChars) + CRLF;
    return lines;
}

}  // namespace headerform
