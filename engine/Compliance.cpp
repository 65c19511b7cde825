#include "engine/Compliance.h"

TRowMerge RowMerge(const TMergeFields& Fields, TMergeRow Row)
{
    return [&Fields, row = std::move(Row)](const std::string& Template, const TEncode& Encode) {
        return TMergeTemplate(Template, Fields).Merge(row, Encode);
    };
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
