#include "engine/Unsubscribe.h"

#include <cstring>

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
// RFC 5322's limit for a line, without its CR LF.
constexpr size_t kMaxLine = 998;

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
    std::string value = "<mailto:" + MailtoAddress(Address) + "?subject=" + PercentEncode("配信停止") + ">";
    if (!Url.empty())
        value += ", <" + Url + ">";
    headers.push_back({"List-Unsubscribe", value});
    if (headers.back().Name.size() + 2 + value.size() > kMaxLine)
        throw EUnsubscribeError("配信停止の URL が長すぎて、メールのヘッダーに書けません（1 行 998 バイトまで）。"
                                "設定の配信停止URLを短くしてください。");
    // One-click (RFC 8058) needs the https URI; a mailto alone offers none.
    if (!Url.empty())
        headers.push_back({"List-Unsubscribe-Post", "List-Unsubscribe=One-Click"});
    return headers;
}
