// What a run owes the law and the large mailbox providers, message by
// message: built once before the run from the settings and the profile
// folder, then asked per row with that row's merge.
#pragma once

#include <string>
#include <vector>

#include "engine/Footer.h"
#include "engine/OptOut.h"
#include "engine/SettingsFile.h"
#include "engine/Unsubscribe.h"

class TCompliance {
public:
    // Reads the opt-out list and, for advertising mail (line 15), the footer
    // template; their readers' errors stop the run before it connects.
    TCompliance(const TSettings& Settings, const std::string& ProfileDir);

    // The entry gets 配信停止 and no message.
    bool OptedOut(const std::string& Address) const { return optOut_.Contains(Address); }
    // The row's List-Unsubscribe lines (every message, advertising or not).
    std::vector<THeaderLine> Headers(const TMergeFields& Merge) const;
    // The row's footer, appended after one empty line; empty when the mail
    // is not advertising.
    std::string Footer(const TMergeFields& Merge) const;
    // Before connecting: the refusal naming what the row's footer lacks;
    // empty when nothing does, and always for mail that is not advertising.
    std::string MissingText(const TMergeFields& Merge) const;

private:
    TFooterItems Items(const TMergeFields& Merge) const;

    TSettings settings_;
    TOptOutList optOut_;
    std::string footerTemplate_;
};
