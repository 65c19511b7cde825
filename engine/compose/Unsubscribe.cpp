#include "engine/compose/Unsubscribe.h"

#include <algorithm>
#include <cstring>

namespace {

// Lower-case hex: spam filters read upper-case runs such as %BF%AD as a
// template left unfilled.
constexpr char kHex[] = "0123456789abcdef";
// RFC 5322's limit for a line, without its CR LF, and the length it asks
// a line to keep to.
constexpr size_t kMaxLine = 998;
constexpr size_t kFoldAt = 78;

bool IsUnreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || std::strchr("-._~", c);
}

void AppendEncoded(std::string& out, unsigned char c)
{
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 0x0F];
}

// A mailto URI (RFC 6068) keeps an address's characters as they are only
// where they may stand in a query; the others (# % & / = ? ^ ` { | } and
// anything beyond ASCII) are percent-encoded.
std::string MailtoAddress(std::string_view address)
{
    std::string out;
    for (unsigned char c : address) {
        if (IsUnreserved(c) || (c && std::strchr("!$'()*+,;:@", c)))
            out += static_cast<char>(c);
        else
            AppendEncoded(out, c);
    }
    return out;
}

// The fixed text of the URL template as typed, made safe for the header:
// what a URI holds literally stays (a %XX the user wrote included).
std::string EncodeFixedText(const std::string& url)
{
    std::string out;
    for (unsigned char c : url) {
        if (c <= 0x20 || c >= 0x7F || std::strchr("<>\"\\^`{|}", c))
            AppendEncoded(out, c);
        else
            out += static_cast<char>(c);
    }
    return out;
}

}  // namespace

std::string PercentEncode(std::string_view Text)
{
    std::string out;
    for (unsigned char c : Text) {
        if (IsUnreserved(c))
            out += static_cast<char>(c);
        else
            AppendEncoded(out, c);
    }
    return out;
}

std::string MergedUnsubscribeUrl(const std::string& UrlTemplate, const TRowMerge& Merge)
{
    // The values come back encoded, so only bytes of the fixed text can
    // still be unsafe; the second pass leaves the values' %XX alone.
    return EncodeFixedText(Merge(UrlTemplate, [](const std::string& value) { return PercentEncode(value); }));
}

std::vector<THeaderLine> UnsubscribeHeaders(const std::string& Address, const std::string& Url)
{
    std::vector<THeaderLine> headers;
    // An ASCII subject: a percent-encoded Japanese one scores as spam, and
    // the address alone tells the list what is asked.
    const std::string mailto = "<mailto:" + MailtoAddress(Address) + "?subject=unsubscribe>";
    const std::string name = "List-Unsubscribe";
    size_t longest = name.size() + 2 + mailto.size() + 1;
    std::string value = mailto;
    if (!Url.empty()) {
        // Folded after the comma when the whole would pass a line's length.
        const bool fits = longest + 1 + Url.size() + 2 <= kFoldAt;
        value += (fits ? ", <" : ",\r\n <") + Url + ">";
        longest = std::max(longest, 1 + Url.size() + 2);
    }
    headers.push_back({name, value});
    if (longest > kMaxLine)
        throw EUnsubscribeError("配信停止の URL が長すぎて、メールのヘッダーに書けません（1 行 998 バイトまで）。"
                                "設定の配信停止URLを短くしてください。");
    // One-click (RFC 8058) needs the https URI; a mailto alone offers none.
    if (!Url.empty())
        headers.push_back({"List-Unsubscribe-Post", "List-Unsubscribe=One-Click"});
    return headers;
}
