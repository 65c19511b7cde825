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
