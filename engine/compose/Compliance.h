// What a run owes the law and the large mailbox providers, message by
// message: built once before the run from the settings and the profile
// folder, then asked per row with that row's merge.
#pragma once

#include <string>
#include <vector>

#include "engine/compose/Footer.h"
#include "engine/list/MergeFields.h"
#include "engine/list/OptOut.h"
#include "engine/account/SettingsFile.h"
#include "engine/compose/Unsubscribe.h"

// The merge of one row of a list with Fields, as the footer and the URL
// take it: one merge, TMergeTemplate's, whatever the template.
TRowMerge RowMerge(const TMergeFields& Fields, TMergeRow Row);

// What the confirmation warns of before a run, each a Japanese sentence:
// advertising mail without a one-click URL (line 14), which the large
// providers ask of bulk senders, and a From address whose domain is not
// the login's (line 7, when it is an address), which fails their
// alignment checks unless the domain signs for the server. Empty when
// neither applies.
std::vector<std::string> ConfirmWarnings(const TSettings& Settings);

class TCompliance {
public:
    // Reads the opt-out list and, for advertising mail (line 15), the footer
    // template; their readers' errors stop the run before it connects.
    TCompliance(const TSettings& Settings, const std::string& ProfileDir);

    // The entry gets 配信停止 and no message.
    bool OptedOut(const std::string& Address) const { return optOut_.Contains(Address); }
    // The row's List-Unsubscribe lines (every message, advertising or not).
    std::vector<THeaderLine> Headers(const TRowMerge& Merge) const;
    // The row's footer, appended after one empty line; empty when the mail
    // is not advertising.
    std::string Footer(const TRowMerge& Merge) const;
    // Before connecting: the refusal naming what the row's footer lacks;
    // empty when nothing does, and always for mail that is not advertising.
    std::string MissingText(const TRowMerge& Merge) const;
    // Before connecting: the refusal naming the fields of line 14 and of
    // the footer that the list lacks; empty when it has them all.
    std::string FieldsRefusal(const TMergeFields& Fields) const;
    bool Advertising() const { return settings_.Advertising; }

private:
    TFooterItems Items(const TRowMerge& Merge) const;

    TSettings settings_;
    TOptOutList optOut_;
    std::string footerTemplate_;
};
