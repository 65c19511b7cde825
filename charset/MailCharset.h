// The charset a message goes out in, chosen per message, and the header
// words of a UTF-8 message.
//
// ISO-2022-JP is what every Japanese reader decodes, but it carries only JIS
// X 0208; names such as 髙橋 or 山﨑, the NEC specials ① and ㈱ (which strict
// readers reject), emoji and other scripts need UTF-8. In auto a message goes
// out as ISO-2022-JP when all of its text is strict JIS X 0208, otherwise
// the whole message goes out as UTF-8, its text exactly as typed.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

class TNMUUProcessor;

// Settings line 8: "auto", "iso-2022-jp" or "utf-8".
enum TMailCharset {
    mcAuto,       // ISO-2022-JP when every character is strict JIS X 0208, else UTF-8
    mcIso2022Jp,  // always ISO-2022-JP; a message it cannot carry is refused
    mcUtf8,       // always UTF-8, the text exactly as typed
};

// Refuses what no charset carries: a NUL, or bytes that are not UTF-8 (where
// a lone surrogate ends up). ECodePageError names the character in words.
void CheckMailable(std::string_view Utf8);

// True when auto sends the text as ISO-2022-JP: every character is ASCII
// (other than the shift codes ESC, SO and SI) or in JIS X 0208 once
// half-width katakana become full-width. WAVE DASH and FULLWIDTH TILDE both
// count as 1-33; NEC row 13 and every extension do not count.
bool IsStrictJis(std::string_view Utf8);

// mcIso2022Jp or mcUtf8: Choice itself, or for mcAuto ISO-2022-JP exactly
// when every one of Texts (subject, body lines, display names) IsStrictJis.
TMailCharset MessageCharset(TMailCharset Choice, std::initializer_list<std::string_view> Texts);

// The Content-Type parameter: "iso-2022-jp" or "UTF-8".
const char* CharsetLabel(TMailCharset Charset);

// The Subject value of a UTF-8 message: "=?UTF-8?B?" words of at most 75
// characters (the first 67, to fit after the field name), each of whole
// characters, joined by CR LF and a blank. The empty subject stays empty.
// Leaves Encoder's streams unassigned.
std::string EncodeUtf8Subject(TNMUUProcessor& Encoder, std::string_view Utf8);
// A display name of a UTF-8 message: ASCII unchanged, else as the subject.
std::string EncodeUtf8HeaderText(TNMUUProcessor& Encoder, std::string_view Utf8);
// Utf8 as "=?UTF-8?B?" words of at most WordChars characters, each of whole
// characters, separated by single blanks; empty text gives no word.
std::string EncodeUtf8Words(TNMUUProcessor& Encoder, std::string_view Utf8, size_t WordChars);

// The longest blank-free run a header text may keep as it is: with the
// field name or a blank before it, it still fits a line of 78.
constexpr size_t MaxPlainWord = 60;
// True when Text may stand in a header as written (a display name, a file
// name): printable ASCII and blanks, no word longer than MaxPlainWord, and
// nothing a reader would decode ("=?" starts an encoded word). Anything
// else goes out as encoded words: raw control bytes (ESC of a JIS text)
// garble the reader's display, and a long word cannot be folded.
bool IsPlainHeaderText(std::string_view Text);

// An attachment name's RFC 2047 words for an ISO-2022-JP message, of at
// most 64 characters each (a parameter shares its line with its name);
// empty when the name needs no words or JIS X 0208 cannot carry it.
std::string IsoParameterWords(std::string_view Utf8Name);

// The charset parameter of a text attachment for its bytes: "UTF-8" with a
// byte-order mark or when the bytes are UTF-8 (and not all ASCII),
// "us-ascii" for ASCII, "UTF-16" with a UTF-16 byte-order mark, "Shift_JIS"
// (the label every reader maps to CP932) when they are CP932, else empty:
// no charset is better than a false one. Bytes may be a file's first part;
// a character cut at its end counts as whole.
std::string TextCharset(std::string_view Bytes);
