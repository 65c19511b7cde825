// The List-Unsubscribe headers of every message: a mailto address that any
// mail reader can act on, and with an https URL the one-click unsubscribe
// that large mailbox providers ask of bulk senders (RFC 2369, RFC 8058).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/Exception.h"

// An unsubscribe header that cannot be written (a line too long to send).
class EUnsubscribeError : public Exception {
public:
    using Exception::Exception;
};

// UTF-8 text as a URI value: every byte but ALPHA, DIGIT, "-", ".", "_" and
// "~" becomes %xx (lower-case hex), so a value can never end the URI, start
// a new parameter or leave the angle brackets of the header.
std::string PercentEncode(std::string_view Text);

// What encodes one value a merge inserts.
using TEncode = std::function<std::string(const std::string& Value)>;
// One row's merge (TMergeTemplate of MergeFields.h over the row, see
// RowMerge in Compliance.h): merges the row's fields into a template,
// passing every inserted value through Encode; the fixed text stays as written.
using TRowMerge = std::function<std::string(const std::string& Template, const TEncode& Encode)>;

// Line 14 for one row: the fields merged and percent-encoded; blanks,
// non-ASCII bytes and the characters a URI never holds as such (< > " { }
// and the like) in the fixed text are percent-encoded as well.
std::string MergedUnsubscribeUrl(const std::string& UrlTemplate, const TRowMerge& Merge);

struct THeaderLine {
    std::string Name;
    std::string Value;
};

// List-Unsubscribe: <mailto:Address?subject=unsubscribe>, with ", <URL>"
// after it (folded after the comma where the line would pass 78) and a
// List-Unsubscribe-Post: List-Unsubscribe=One-Click line when Url (already
// merged, see above) is not empty. Address is the bare address of line 13
// (or of line 5). Raises EUnsubscribeError when a line would exceed the
// 998 octets a message line may hold.
std::vector<THeaderLine> UnsubscribeHeaders(const std::string& Address, const std::string& Url);
