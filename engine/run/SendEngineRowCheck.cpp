// The engine's side of the check of every row: its composer, its questions
// and the plan's holds.
#include "engine/run/SendEngine.h"

#include <filesystem>

#include "engine/compose/Attachments.h"
#include "engine/compose/Compliance.h"
#include "engine/compose/MessageText.h"
#include "engine/compose/Preview.h"
#include "engine/list/RecipientSource.h"
#include "engine/list/Recipients.h"
#include "engine/compose/RowCheck.h"
#include "engine/run/SendRun.h"
#include "rtl/SysUtils.h"
#include "smtp/NMsmtp.h"
#include "smtp/PostMessage.h"

std::optional<std::vector<TRowVerdict>> TSendEngine::Verdicts(const std::vector<TPlanEntry>& Entries,
                                                              const std::function<bool(size_t)>& Pending,
                                                              const TRunAttachments* Files,
                                                              const TCompliance* Compliance,
                                                              const TRecipientSource* Source, bool Answering)
{
    const auto addressOf = [Source](const TPlanEntry& e) -> std::string {
        const std::optional<TRecipientSource::TRow> row = Source ? Source->Row(e) : std::nullopt;
        return row ? row->Address : ParseEntry(e.Entry).Address;
    };
    const std::time_t now = std::time(nullptr);
    const auto compose = [&](const TPlanEntry& e) {
        ComposeRow(*text_, *smtp_, Source, Compliance, e, settings_.Charset, now);
    };
    std::optional<std::vector<TRowVerdict>> verdicts =
        CheckRows(Entries, Pending, Files, addressOf, compose, Answering ? KeepAnswering() : nullptr);
    smtp_->PostMessage->ToAddress->Clear();
    return verdicts;
}

std::optional<std::vector<TRowVerdict>> TSendEngine::PreviewRows(TCheckedList& List, const TRunAttachments* Files,
                                                                 const TCompliance* Compliance)
{
    // Nothing else may use the component meanwhile: the window's events wait.
    std::optional<std::vector<TRowVerdict>> verdicts =
        Verdicts(List.Entries, [](size_t) { return true; }, Files, Compliance, List.Source.get(), false);
    for (const TRowVerdict& v : verdicts ? *verdicts : std::vector<TRowVerdict>{})
        if (v.Fault == TRowFault::FileMissing || v.Fault == TRowFault::Uncomposable) {
            List.Entries[v.Index].Held = v.Fault == TRowFault::FileMissing ? TOutcome::NotSent : TOutcome::Invalid;
            List.Entries[v.Index].Reason = v.Detail;
        }
    return verdicts;
}

bool TSendEngine::HoldRows(TRunPlan& Plan, const std::string& ListFolder)
{
    std::optional<std::vector<TRowVerdict>> verdicts =
        Verdicts(Plan.Entries(), [&Plan](size_t i) { return !Plan.OutcomeOf(i); }, attachments_.get(),
                 compliance_.get(), source_.get(), true);
    if (!verdicts || run_->AbortAsked())
        return false;
    verdicts_ = std::move(*verdicts);
    // A run that would send nothing is refused before anything is asked.
    std::set<size_t> held;
    for (const TRowVerdict& v : verdicts_)
        if (v.Fault == TRowFault::FileMissing || v.Fault == TRowFault::Uncomposable)
            held.insert(v.Index);
    bool any = false;
    for (size_t i = 0; i < Plan.Entries().size() && !any; ++i)
        any = Goes(Plan.Entries()[i]) && !Plan.OutcomeOf(i) && !held.contains(i);
    if (!any && !held.empty())
        throw Exception("送信できる行がありません。\n" + HeldText(verdicts_));
    // The trusted certificate's retry is the run already confirmed.
    if (!confirmed_) {
        const std::string outside = OutsideFilesQuestion(verdicts_, ListFolder.empty() ? "." : ListFolder);
        if (!outside.empty() && !frontEnd_.AllowFilesOutsideList(outside))
            return false;
        const std::string missing = MissingFilesQuestion(verdicts_);
        if (!missing.empty() && !frontEnd_.SendWithoutMissingFiles(missing))
            return false;
    }
    for (const TRowVerdict& v : verdicts_)
        if (v.Fault == TRowFault::FileMissing || v.Fault == TRowFault::Uncomposable)
            Plan.Hold(v.Index, v.Fault == TRowFault::FileMissing ? TOutcome::NotSent : TOutcome::Invalid, v.Detail);
    return true;
}

bool TSendEngine::ConfirmRows(TRunPlan& Plan, TRunOutline& Outline)
{
    // A repeated address counts only while its row goes, and while the row
    // it repeats is not held back itself: someone must get the message.
    std::vector<TRowVerdict> repeated;
    for (const TRowVerdict& v : verdicts_) {
        const TPlanEntry* first = EntryAt(Plan.Entries(), v.Of);
        if (v.Fault == TRowFault::Duplicate && Goes(Plan.Entries()[v.Index]) && (!first || !first->Held))
            repeated.push_back(v);
    }
    Outline.Held = static_cast<int>(VerdictsOf(verdicts_, TRowFault::FileMissing).size() +
                                    VerdictsOf(verdicts_, TRowFault::Uncomposable).size());
    Outline.HeldText = HeldText(verdicts_);
    Outline.Duplicates = static_cast<int>(repeated.size());
    Outline.DuplicatesText = DuplicatesText(repeated);
    if (!confirmed_) {
        const TRunFrontEnd::TDuplicatesChoice choice =
            repeated.empty() ? (frontEnd_.ConfirmRun(Outline) ? TRunFrontEnd::dcSendAll : TRunFrontEnd::dcCancel)
                             : frontEnd_.ConfirmRunWithDuplicates(Outline);
        if (choice == TRunFrontEnd::dcCancel)
            return false;
        oncePerAddress_ = choice == TRunFrontEnd::dcOncePerAddress;
    }
    if (oncePerAddress_)
        for (const TRowVerdict& v : repeated)
            Plan.Hold(v.Index, TOutcome::Duplicate, DuplicateReason(v.Of));
    return true;
}
