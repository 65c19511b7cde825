#include "engine/compose/Compliance.h"

#include "engine/account/DomainCheck.h"

TRowMerge RowMerge(const TMergeFields& Fields, TMergeRow Row)
{
    return [&Fields, row = std::move(Row)](const std::string& Template, const TEncode& Encode) {
        return TMergeTemplate(Template, Fields).Merge(row, Encode);
    };
}

namespace {

// Relaxed alignment: the same domain, or one inside the other.
bool Aligned(const std::string& A, const std::string& B)
{
    const auto inside = [](const std::string& Sub, const std::string& Domain) {
        return Sub.size() > Domain.size() && Sub.ends_with("." + Domain);
    };
    return A == B || inside(A, B) || inside(B, A);
}

}  // namespace

std::vector<std::string> ConfirmWarnings(const TSettings& Settings)
{
    std::vector<std::string> warnings;
    if (Settings.Advertising && Settings.UnsubscribeUrl.empty())
        warnings.push_back("広告・宣伝メールですが、ワンクリックの配信停止URL（設定.txt の 14 行目）がありません。"
                           "Gmail や Yahoo! などの大手は、大量に送る送信者にワンクリックでの配信停止を求めており、"
                           "ないと迷惑メールとされることがあります。");
    const std::string from = DomainOf(Settings.FromAddress);
    const std::string login = Settings.LoginName.find('@') == std::string::npos ? std::string()
                                                                                 : DomainOf(Settings.LoginName);
    if (!from.empty() && !login.empty() && !Aligned(from, login))
        warnings.push_back("送信者のアドレスのドメイン（" + from + "）が、ログイン名のドメイン（" + login +
                           "）と違います。" + from + " がこのサーバーからの送信を SPF や DKIM で認めていないと、"
                           "受信側で迷惑メールとされるか、受け取りを拒まれることがあります。");
    return warnings;
}

TCompliance::TCompliance(const TSettings& Settings, const std::string& ProfileDir)
    : settings_(Settings), optOut_(TOptOutList::Load(ProfileDir))
{
    if (settings_.Advertising)
        footerTemplate_ = ReadFooterTemplate(ProfileDir);
}

TFooterItems TCompliance::Items(const TRowMerge& Merge) const
{
    TFooterItems items;
    items.SenderName = settings_.FromName;
    items.PostalAddress = settings_.PostalAddress;
    items.Contact = settings_.Contact;
    items.UnsubscribeAddress = settings_.UnsubscribeAddress.empty() ? settings_.FromAddress : settings_.UnsubscribeAddress;
    if (!settings_.UnsubscribeUrl.empty())
        items.UnsubscribeUrl = MergedUnsubscribeUrl(settings_.UnsubscribeUrl, Merge);
    return items;
}

std::vector<THeaderLine> TCompliance::Headers(const TRowMerge& Merge) const
{
    const TFooterItems items = Items(Merge);
    return UnsubscribeHeaders(items.UnsubscribeAddress, items.UnsubscribeUrl);
}

std::string TCompliance::Footer(const TRowMerge& Merge) const
{
    return settings_.Advertising ? ComposeFooter(footerTemplate_, Items(Merge), Merge) : std::string();
}

std::string TCompliance::MissingText(const TRowMerge& Merge) const
{
    if (!settings_.Advertising)
        return {};
    const TFooterItems items = Items(Merge);
    const std::vector<std::string> missing = MissingFooterItems(items, ComposeFooter(footerTemplate_, items, Merge));
    return missing.empty() ? std::string() : MissingFooterText(missing);
}

std::string TCompliance::FieldsRefusal(const TMergeFields& Fields) const
{
    const TMergeTemplate url(settings_.UnsubscribeUrl, Fields);
    // The footer's own names are filled in before the list's merge.
    TMergeFields withOwn = Fields;
    for (const char* own : {"送信者名", "住所", "問い合わせ先", "配信停止先"})
        withOwn.AddExtra(own);
    const TMergeTemplate footer(footerTemplate_, withOwn);
    std::string text = ::FieldsRefusal({&url, &footer}, withOwn);
    return text.empty() ? text : "配信停止URL または " + std::string(FooterFileName) + " の" + text;
}
