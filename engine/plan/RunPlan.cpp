#include "engine/plan/RunPlan.h"

#include <algorithm>

#include "rtl/Exception.h"

namespace {

constexpr const char* Words[OutcomeCount] = {"送信済み", "拒否", "一時エラー", "不明", "未送信", "宛先不正", "配信停止",
                                             "重複"};

// Settled before the run connects, without a message.
bool SettledBefore(const TPlanEntry& e) { return !Goes(e); }

TOutcome OutcomeBefore(const TPlanEntry& e)
{
    return !e.Sendable ? TOutcome::Invalid : e.OptedOut ? TOutcome::OptedOut : *e.Held;
}

}  // namespace

const TPlanEntry* EntryAt(const std::vector<TPlanEntry>& Entries, int Line)
{
    // Lines grow down the list; a table's start below its header.
    const auto at = std::lower_bound(Entries.begin(), Entries.end(), Line,
                                     [](const TPlanEntry& e, int line) { return e.Line < line; });
    return at != Entries.end() && at->Line == Line ? &*at : nullptr;
}

const char* OutcomeWord(TOutcome Outcome)
{
    return Words[static_cast<int>(Outcome)];
}

std::optional<TOutcome> OutcomeFromWord(std::string_view Word)
{
    for (int i = 0; i < OutcomeCount; ++i)
        if (Word == Words[i])
            return static_cast<TOutcome>(i);
    return std::nullopt;
}

std::string NotSentReason(const TPlanEntry& e)
{
    if (!e.Reason.empty())
        return e.Reason;
    return e.Problem && !Goes(e) ? e.Problem : "";
}

std::string NotSentText(const TPlanEntry& e)
{
    return Goes(e) ? std::string() : OutcomeWord(OutcomeBefore(e)) + (": " + NotSentReason(e));
}

bool IsSettled(TOutcome Outcome)
{
    return Outcome == TOutcome::Sent || Outcome == TOutcome::Refused || Outcome == TOutcome::Unknown;
}

// ---------------------------------------------------------------------------

TRunPlan::TRunPlan(std::vector<TPlanEntry> Entries, const std::map<int, TOutcome>& Skip,
                   int64_t RetryDelayMs)
    : entries_(std::move(Entries)), retryDelayMs_(RetryDelayMs)
{
    for (const TPlanEntry& e : entries_)
        if (const auto settled = Skip.find(e.Line); settled != Skip.end())
            ++carried_[settled->second];
    // In place: a long list is not held twice.
    std::erase_if(entries_, [&Skip](const TPlanEntry& e) { return Skip.contains(e.Line); });
    outcomes_.resize(entries_.size());
    attempts_.resize(entries_.size());
    deferrals_.resize(entries_.size());
    for (size_t i = 0; i < entries_.size(); ++i)
        if (SettledBefore(entries_[i]))
            Settle(i, OutcomeBefore(entries_[i]));
    heldBack_ = std::any_of(entries_.begin(), entries_.end(),
                            [](const TPlanEntry& e) { return e.Sendable && !e.OptedOut && e.Held == TOutcome::NotSent; });
}

void TRunPlan::Hold(size_t Index, TOutcome Outcome, std::string Reason)
{
    if (Index >= entries_.size() || outcomes_[Index] || lastAttemptMs_ || finished_)
        throw Exception("送信の記録が矛盾しています");
    entries_[Index].Held = Outcome;
    entries_[Index].Reason = std::move(Reason);
    heldBack_ = heldBack_ || Outcome == TOutcome::NotSent;
    Settle(Index, Outcome);
}

std::vector<size_t> TRunPlan::Initial() const
{
    std::vector<size_t> out;
    for (size_t i = 0; i < entries_.size(); ++i)
        if (SettledBefore(entries_[i]))
            out.push_back(i);
    return out;
}

TPlanStep TRunPlan::Next(int64_t NowMs) const
{
    if (stopped_ || finished_)
        return {};
    // The pacing holds between any two messages, retries included.
    const int64_t paced = lastAttemptMs_ ? *lastAttemptMs_ + pacingMs_ : NowMs;
    auto sendAt = [&](size_t index, int64_t from) -> TPlanStep {
        const int64_t at = std::max(from, paced);
        if (at > NowMs)
            return {TPlanStep::Wait, index, at - NowMs};
        return {TPlanStep::Send, index, 0};
    };
    for (size_t i = 0; i < entries_.size(); ++i)
        if (!outcomes_[i] && deferrals_[i] == 0)
            return sendAt(i, NowMs);
    if (retries_.empty())
        return {};
    const auto earliest = std::min_element(retries_.begin(), retries_.end(),
                                           [](const auto& a, const auto& b) { return a.second < b.second; });
    return sendAt(earliest->first, earliest->second);
}

std::optional<size_t> TRunPlan::Following(size_t InFlight) const
{
    // A retry in flight comes after every first try: nothing follows in
    // file order then.
    if (stopped_ || finished_ || pacingMs_ > 0 || InFlight >= entries_.size() || deferrals_[InFlight] > 0)
        return std::nullopt;
    for (size_t i = InFlight + 1; i < entries_.size(); ++i)
        if (!outcomes_[i] && deferrals_[i] == 0)
            return i;
    return std::nullopt;
}

std::optional<TOutcome> TRunPlan::Record(size_t Index, TAttempt Attempt, int64_t NowMs)
{
    if (Index >= entries_.size() || outcomes_[Index] || finished_)
        throw Exception("送信の記録が矛盾しています");
    ++attempts_[Index];
    lastAttemptMs_ = NowMs;
    std::erase_if(retries_, [Index](const auto& r) { return r.first == Index; });

    switch (Attempt) {
    case TAttempt::Accepted:
        refusalsInRow_ = 0;
        Settle(Index, TOutcome::Sent);
        break;
    case TAttempt::RecipientRefused:
        Settle(Index, TOutcome::Refused);
        break;
    case TAttempt::MessageRefused:
        stopped_ = ++refusalsInRow_ >= RefusalsToStop;
        Settle(Index, TOutcome::Refused);
        break;
    case TAttempt::Deferred:
        if (++deferrals_[Index] > MaxRetries) {
            Settle(Index, TOutcome::Temporary);
            break;
        }
        retries_.emplace_back(Index, NowMs + retryDelayMs_);
        return std::nullopt;
    case TAttempt::BrokenBeforeDot:
        // Nothing was delivered: the entry goes again, a deferred one still
        // behind the others.
        if (deferrals_[Index] > 0)
            retries_.emplace_back(Index, NowMs);
        return std::nullopt;
    case TAttempt::BrokenAfterDot:
        Settle(Index, TOutcome::Unknown);
        break;
    }
    return outcomes_[Index];
}

std::vector<size_t> TRunPlan::Finish()
{
    std::vector<size_t> out;
    if (finished_)
        return out;
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (outcomes_[i])
            continue;
        Settle(i, deferrals_[i] > 0 ? TOutcome::Temporary : TOutcome::NotSent);
        out.push_back(i);
    }
    retries_.clear();
    finished_ = true;
    return out;
}

TOutcomeCounts TRunPlan::ListCounts() const
{
    TOutcomeCounts all = carried_;
    for (int i = 0; i < OutcomeCount; ++i)
        all.Of[i] += counts_.Of[i];
    return all;
}

void TRunPlan::Settle(size_t Index, TOutcome Outcome)
{
    outcomes_[Index] = Outcome;
    ++counts_[Outcome];
}

// ---------------------------------------------------------------------------

std::optional<int64_t> TReconnectPolicy::NextDelay()
{
    if (tries_ >= static_cast<int>(delaysMs_.size()))
        return std::nullopt;
    return delaysMs_[static_cast<size_t>(tries_++)];
}

// ---------------------------------------------------------------------------

std::string CountsText(const TOutcomeCounts& Counts)
{
    std::string text;
    for (int i = 0; i < OutcomeCount; ++i) {
        const auto o = static_cast<TOutcome>(i);
        if (o == TOutcome::Sent || Counts[o] == 0)
            continue;
        if (!text.empty())
            text += "、";
        text += std::string(OutcomeWord(o)) + " " + std::to_string(Counts[o]) + " 件";
    }
    return text;
}

std::string SummaryText(const TOutcomeCounts& Counts, const std::string& JournalPath)
{
    std::string text;
    for (int i = 0; i < OutcomeCount; ++i) {
        const auto o = static_cast<TOutcome>(i);
        if ((o != TOutcome::OptedOut && o != TOutcome::Duplicate) || Counts[o] > 0)
            text += std::string(OutcomeWord(o)) + " " + std::to_string(Counts[o]) + " 件\n";
    }
    return text + "\n送信記録: " + JournalPath;
}
