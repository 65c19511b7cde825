#include "engine/Compliance.h"

TCompliance::TCompliance(const TSettings& Settings, const std::string& ProfileDir)
    : settings_(Settings), optOut_(TOptOutList::Load(ProfileDir))
{
    if (settings_.Advertising)
        footerTemplate_ = ReadFooterTemplate(ProfileDir);
}

TFooterItems TCompliance::Items(const TMergeFields& Merge) const
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

std::vector<THeaderLine> TCompliance::Headers(const TMergeFields& Merge) const
{
    const TFooterItems items = Items(Merge);
    return UnsubscribeHeaders(items.UnsubscribeAddress, items.UnsubscribeUrl);
}

std::string TCompliance::Footer(const TMergeFields& Merge) const
{
    return settings_.Advertising ? ComposeFooter(footerTemplate_, Items(Merge), Merge) : std::string();
}

std::string TCompliance::MissingText(const TMergeFields& Merge) const
{
    if (!settings_.Advertising)
        return {};
    const TFooterItems items = Items(Merge);
    const std::vector<std::string> missing = MissingFooterItems(items, ComposeFooter(footerTemplate_, items, Merge));
    return missing.empty() ? std::string() : MissingFooterText(missing);
}
