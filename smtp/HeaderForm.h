// The forms of header text: mailboxes with their blank before "<", RFC 2047
// encoded words, folded lines and RFC 2231 continued parameters, each line
// within the limits below.
#pragma once

#include <cstddef>
#include <string>

class TStringList;

namespace headerform {

// An RFC 2047 encoded word of a parameter value: "=?UTF-8?B?" and "?="
// around 52 Base64 characters (39 bytes), 64 in all, so that ` filename="`,
// the word and `";` still fit a line of 76.
inline constexpr size_t EncodedWordBytes = 39;
// RFC 5322 2.1.1: no line may exceed 998 octets before its CR LF; servers
// refuse longer ones or break them wherever they like.
inline constexpr size_t MaxLineOctets = 998;
// RFC 2045 6.8: a base64 body line holds at most 76 characters.
inline constexpr size_t Base64LineChars = 76;
// RFC 2047 2: a header line holding an encoded word, at most 76 characters;
// RFC 5322 2.1.1 asks 78 of every other line.
inline constexpr size_t EncodedWordLineChars = 76;
inline constexpr size_t HeaderLineChars = 78;
// A parameter value continued in RFC 2231 pieces: each piece with its
// name, a blank before and ";" after, within a line of 76.
inline constexpr size_t ParameterLineChars = 76;

// An address entry with a blank between a display name and its "<": readers
// and spam rules take "Name<addr>" for a malformed mailbox. A "<" inside a
// quoted string is text.
std::string SpacedEntry(const std::string& Entry);
// The blank after each comma is where a long line folds.
std::string JoinEntries(const char* Prefix, const TStringList& List);
// "Name <address>", or "<address>" without a name.
std::string Mailbox(const std::string& Name, const std::string& Address);
// Doubles the leading "." of every line, so no line of the text can end the
// data early or lose its first character at the server.
std::string DotStuffed(const std::string& Text);
// True when a body line, with the dot that transparency may add, is longer
// than a message line may be.
bool HasOverlongLine(const TStringList& Body);
// The file-name part of an attachment path. Folders are separated by "/"
// here, and by "\" or a drive ":" in paths written elsewhere; none of the
// three bytes occurs inside a multibyte UTF-8 character.
std::string FileNamePart(const std::string& Path);
// A name that can stand between the quotes as it is: short printable ASCII
// without a quote or backslash, and nothing a reader would decode ("=?").
// Anything else would put raw 8-bit bytes, line breaks or a line that
// cannot be folded into the part header.
bool PlainName(const std::string& Name);
std::string Base64(const std::string& Bytes);
// Name as RFC 2047 "B" words in UTF-8, cut only between characters,
// separated by blanks.
std::string EncodedWords(const std::string& Name);
// A header line with folds added before blanks where a line would exceed
// 76 characters (a line holding an encoded word) or 78 (any other), the
// field name included. Folds already there stay; only a token longer than
// a line (a long address or URL) keeps its line long, and one longer than
// a line may be at all is refused: a server would break it anywhere.
std::string FoldedHeaderLine(const std::string& Line);
// RFC 2231 Name*0*=UTF-8''..; Name*1*=..: the bytes outside the attribute
// characters as %XX (lower-case hex: upper-case runs read as unfilled
// templates to spam filters), in pieces that fit their lines, cut only
// between characters. Every piece but the last ends in ";", blank-separated
// for the fold.
std::string ContinuedParameter(const std::string& Name, const std::string& Bytes);
// Bytes as base64 lines of Base64LineChars characters, each ended by CR LF.
std::string Base64Lines(const std::string& Bytes);

}  // namespace headerform
