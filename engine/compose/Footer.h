// The footer of advertising mail (特定電子メール): who sends, from which
// postal address, where to ask or complain, and how to refuse further mail.
// The office may word it in フッター.txt of the profile folder; the fields
// {{送信者名}}, {{住所}}, {{問い合わせ先}} and {{配信停止先}} take the settings'
// values, the list's fields are left to the list's merge.
#pragma once

#include <string>
#include <vector>

#include "engine/compose/Unsubscribe.h"

extern const char* const FooterFileName;  // "フッター.txt"

// The settings behind the footer's fields.
struct TFooterItems {
    std::string SenderName;        // line 4
    std::string PostalAddress;     // line 16
    std::string Contact;           // line 17
    std::string UnsubscribeAddress;  // line 13, or line 5 when that is empty
    std::string UnsubscribeUrl;      // line 14 merged for the row; may be empty
    // {{配信停止先}}: the URL when there is one (one click for the
    // recipient), else the address.
    const std::string& UnsubscribeTarget() const { return UnsubscribeUrl.empty() ? UnsubscribeAddress : UnsubscribeUrl; }
};

// The template used without フッター.txt, lines joined by "\n".
std::string BuiltInFooter();
// フッター.txt of ProfileDir (UTF-8 or CP932, lines joined by "\n"), or the
// built-in one when there is no such file. Raises EFOpenError for a file
// that exists but cannot be read and ECodePageError as text files do.
std::string ReadFooterTemplate(const std::string& ProfileDir);

// The footer for one row: the four fields above filled in (blanks around a
// name allowed), then the rest through Merge with the values as they are.
std::string ComposeFooter(const std::string& Template, const TFooterItems& Items, const TRowMerge& Merge);

// What the law requires and the settings or the composed footer lack, each
// as a Japanese sentence naming the item; empty when nothing is missing.
// Beside the four items, the footer must say that further mail can be
// refused next to where to say so: 配信停止 or 受信拒否 on the line that
// shows the address or URL, or on the line before or after it.
std::vector<std::string> MissingFooterItems(const TFooterItems& Items, const std::string& ComposedFooter);
// The refusal's text naming every missing item, for the box or the command line.
std::string MissingFooterText(const std::vector<std::string>& Missing);
