#include "engine/RowCheck.h"

#include <chrono>
#include <map>
#include <set>

#include "engine/Attachments.h"
#include "engine/Compliance.h"
#include "engine/MessageText.h"
#include "engine/Preview.h"
#include "engine/RecipientSource.h"
#include "engine/Recipients.h"
#include "engine/SendEngine.h"
#include "engine/SendRun.h"
#include "engine/Unsubscribe.h"
#include "rtl/SysUtils.h"
#include "smtp/NMsmtp.h"
#include "smtp/PostMessage.h"

namespace {

// A box lists this many rows; the journal has the rest.
constexpr size_t Listed = 100;
constexpr auto AnswerEvery = std::chrono::milliseconds(50);

// One line per verdict of Fault, "N 行目: Detail", the first Listed of them.
std::string Lines(const std::vector<TRowVerdict>& Verdicts, TRowFault Fault,
                  const std::function<std::string(const TRowVerdict&)>& Text)
{
    std::string lines;
    const std::vector<const TRowVerdict*> of = VerdictsOf(Verdicts, Fault);
    for (size_t i = 0; i < of.size() && i < Listed; ++i)
        lines += Format("\n%d 行目: ", of[i]->Line) + Text(*of[i]);
    if (of.size() > Listed)
        lines += Format("\nほか %zu 件（送信記録に残ります）", of.size() - Listed);
    return lines;
}

std::string DetailOf(const TRowVerdict& V) { return V.Detail; }

// Why the row's message cannot be composed, blaming the row, not the settings.
std::string ComposeReason(const Exception& E)
{
    if (dynamic_cast<const EUnsubscribeError*>(&E))
        return "この行の値を差し込んだ配信停止の URL が長すぎて、メールのヘッダーに書けません（1 行 998 バイトまで）";
    return "メッセージを組み立てられません: " + E.Message();
}

}  // namespace

std::optional<std::vector<TRowVerdict>> CheckRows(const std::vector<TPlanEntry>& Entries,
                                                  const std::function<bool(size_t Index)>& Pending,
                                                  const TRunAttachments* Files,
                                                  const std::function<std::string(const TPlanEntry&)>& AddressOf,
                                                  const TComposeCheck& Compose,
                                                  const std::function<bool()>& KeepAnswering)
{
    std::multimap<int, const TRunAttachments::TRowFile*> unreadable, outside;
    if (Files) {
        for (const TRunAttachments::TRowFile& f : Files->Unreadable())
            unreadable.emplace(f.Line, &f);
        for (const TRunAttachments::TRowFile& f : Files->Outside())
            outside.emplace(f.Line, &f);
    }
    std::vector<TRowVerdict> verdicts;
    auto looked = std::chrono::steady_clock::now();
    for (size_t i = 0; i < Entries.size(); ++i) {
        const TPlanEntry& e = Entries[i];
        if (!Goes(e) || !Pending(i))
            continue;
        if (KeepAnswering && std::chrono::steady_clock::now() - looked > AnswerEvery) {
            if (!KeepAnswering())
                return std::nullopt;
            looked = std::chrono::steady_clock::now();
        }
        if (const auto [from, to] = unreadable.equal_range(e.Line); from != to) {
            // Every file of the row that cannot be attached, in one reason.
            std::string reason;
            for (auto f = from; f != to; ++f)
                reason += (reason.empty() ? "" : "、") + f->second->Reason;
            verdicts.push_back({i, e.Line, TRowFault::FileMissing, std::move(reason)});
            continue;
        }
        for (auto [f, to] = outside.equal_range(e.Line); f != to; ++f)
            verdicts.push_back({i, e.Line, TRowFault::OutsideList, f->second->Path + " → " + f->second->Reason});
        if (e.DuplicateOf > 0)
            verdicts.push_back({i, e.Line, TRowFault::Duplicate, AddressOf(e), e.DuplicateOf});
        try {
            if (Compose)
                Compose(e);
        } catch (const Exception& error) {
            verdicts.push_back({i, e.Line, TRowFault::Uncomposable, ComposeReason(error)});
        }
    }
    return verdicts;
}

std::vector<const TRowVerdict*> VerdictsOf(const std::vector<TRowVerdict>& Verdicts, TRowFault Fault)
{
    std::vector<const TRowVerdict*> of;
    for (const TRowVerdict& v : Verdicts)
        if (v.Fault == Fault)
            of.push_back(&v);
    return of;
}

std::string MissingFilesQuestion(const std::vector<TRowVerdict>& Verdicts)
{
    if (VerdictsOf(Verdicts, TRowFault::FileMissing).empty())
        return {};
    return "次の行は添付ファイルを添付できないため送信できません:" + Lines(Verdicts, TRowFault::FileMissing, DetailOf) +
           "\n\nこれらの行は送信記録に「未送信」として残り、ファイルを置いてから「続きから」で送れます。"
           "これらの行を除いて送信しますか？";
}

std::string OutsideFilesQuestion(const std::vector<TRowVerdict>& Verdicts, const std::string& ListFolder)
{
    if (VerdictsOf(Verdicts, TRowFault::OutsideList).empty())
        return {};
    return "次の行の添付ファイルは、宛先リストのフォルダ " + ListFolder + " の外にあります:" +
           Lines(Verdicts, TRowFault::OutsideList, DetailOf) +
           "\n\n他の人から受け取ったリストなら、このコンピューターのファイルを知らない宛先へ送ることになります。"
           "これらのファイルを添付して送信しますか？";
}

std::string HeldText(const std::vector<TRowVerdict>& Verdicts)
{
    std::string text;
    if (const size_t n = VerdictsOf(Verdicts, TRowFault::FileMissing).size())
        text += Format("・添付ファイルがなく未送信のまま残す行 %zu 件（ファイルを置いてから「続きから」で送れます）:", n) +
                Lines(Verdicts, TRowFault::FileMissing, DetailOf);
    if (const size_t n = VerdictsOf(Verdicts, TRowFault::Uncomposable).size())
        text += std::string(text.empty() ? "" : "\n") +
                Format("・メッセージを組み立てられない行 %zu 件（宛先不正）:", n) +
                Lines(Verdicts, TRowFault::Uncomposable, DetailOf);
    return text;
}

std::string DuplicatesText(const std::vector<TRowVerdict>& Verdicts)
{
    // Each address once, with its first row and every later one.
    std::map<int, std::string> rows;
    std::vector<int> order;
    for (const TRowVerdict* v : VerdictsOf(Verdicts, TRowFault::Duplicate)) {
        auto [at, added] = rows.emplace(v->Of, v->Detail + ": " + std::to_string(v->Of));
        if (added)
            order.push_back(v->Of);
        at->second += "、" + std::to_string(v->Line);
    }
    std::string text;
    for (size_t i = 0; i < order.size() && i < Listed; ++i)
        text += (text.empty() ? "" : "\n") + rows[order[i]] + " 行目";
    if (order.size() > Listed)
        text += Format("\nほか %zu 件のアドレス", order.size() - Listed);
    return text;
}

std::string DuplicateReason(int Of) { return Format("%d 行目と同じアドレスです", Of); }

// ---------------------------------------------------------------------------
// The engine's side: its composer, its questions and the plan's holds.

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
