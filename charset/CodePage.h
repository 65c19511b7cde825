// Code-page conversions of the mailing application: UTF-8 (the platform's
// text) to and from CP932 (the Shift_JIS text the mail is built from), and
// Shift_JIS to ISO-2022-JP (the mail's charset), with the subject's encoded
// words.
//
// What a mail carries is what its readers can decode from ISO-2022-JP: the
// characters of JIS X 0208. The NEC special characters of row 13 (①, ㈱,
// Ⅲ), which strict readers reject, the NEC-selected and IBM extensions and
// user-defined characters are refused, as are characters CP932 lacks;
// nothing is ever replaced silently.
#pragma once

#include <string>
#include <string_view>

#include "rtl/Exception.h"

class TNMUUProcessor;
class TStringList;

// Text that cannot be converted; the message names what was met (the
// characters with their U+XXXX, or the offending bytes and their position).
class ECodePageError : public Exception {
public:
    using Exception::Exception;
};

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view Text);
// No byte above 7F.
bool IsAscii(std::string_view Text);

// UTF-8 to CP932. The JIS-standard code points of the characters where
// Shift_JIS and CP932 differ (U+301C, U+2016, U+2212, U+00A2, U+00A3, U+00AC,
// U+2014) are accepted as well. Raises ECodePageError for invalid UTF-8 and
// for characters that cannot be mailed, naming every such character; NEC
// row 13 is named 機種依存文字, with the hint that auto sends it as UTF-8.
std::string Utf8ToCp932(std::string_view Utf8);
// CP932 to UTF-8; raises ECodePageError at bytes CP932 does not define.
std::string Cp932ToUtf8(std::string_view Cp932);
// Text files are UTF-8 or CP932 (from a Shift_JIS system). A file counts as
// UTF-8 when it is valid UTF-8 and every character is one a Japanese text
// plausibly holds (CP932 has it, or it is a kanji, kana, Hangul, emoji or
// symbol beyond CP932, or a Latin, Greek or Cyrillic letter in a word that
// half-width katakana pairs alone cannot have given), or when it is no CP932
// text at all; otherwise it is read as CP932, converted in place, and the
// result is true.
bool LinesToUtf8(TStringList& Lines);
// Raises ECodePageError naming the first line of each when some lines are
// UTF-8 (valid and plausible, as LinesToUtf8 judges) and others can only be
// CP932 (no valid UTF-8).
void RefuseMixedLines(const TStringList& Lines);
// Raises ECodePageError "3 行目: ..." at the first line that is no UTF-8,
// for text whose byte-order mark says it is.
void CheckUtf8Lines(const TStringList& Lines);
// The lines of a text file's bytes as UTF-8: UTF-16 (LE or BE) or UTF-8
// marked by its byte-order mark is read as such, anything else as
// LinesToUtf8 tells; lines split as TStringList loads them. Returns the text
// the lines were split from (the UTF-16 converted, else Bytes), for checks
// on the text as a whole. Raises ECodePageError "3 行目: ..." for a line
// holding a zero byte, for broken UTF-16 or marked UTF-8, as
// RefuseMixedLines and as LinesToUtf8.
std::string TextFileLines(std::string_view Bytes, TStringList& Lines);
// TextFileLines of the file's bytes, its errors as "FileName の 3 行目: ...";
// EFOpenError when it cannot be read.
void ReadTextFile(const std::string& FileName, TStringList& Lines);

// Shift_JIS (CP932 bytes) to ISO-2022-JP: starts and ends in ASCII mode,
// ESC $ B before each run of double-byte characters, ESC ( B before each run
// of ASCII. Half-width katakana become full-width, combined with a following
// voiced or semi-voiced sound mark where JIS X 0208 has the combined
// character. Raises ECodePageError for bytes that no mailable character
// explains (a cut character, 80, A0, leads EB to FF, bad second bytes,
// unassigned codes) and for ESC, SO and SI, which would garble the text.
// Empty in, empty out.
std::string SjisToIso2022Jp(std::string_view Sjis);
// One body line for a "charset=iso-2022-jp" body: converted as above, never
// wrapped, ending in ASCII mode as the charset requires of every line.
std::string BodyLineToIso2022Jp(std::string_view SjisLine);

// The Subject header value for a Shift_JIS subject, Base64-encoded with
// Encoder: words "=?iso-2022-jp?B?" Base64 "?=", each a complete
// ISO-2022-JP text, joined by CR LF and a blank. The first word carries at
// most 36 bytes (67 characters, to fit after "Subject: " on a line of 76),
// every later one 42 (75 characters). The empty subject is carried as
// ESC $ B ESC ( B.
// Leaves Encoder's Method at uuMime and its streams unassigned.
std::string EncodeSubject(TNMUUProcessor& Encoder, const std::string& Subject);
// Any other header text (a display name): ASCII text is returned unchanged,
// anything else as the encoded words of EncodeSubject.
std::string EncodeHeaderText(TNMUUProcessor& Encoder, const std::string& SjisText);
