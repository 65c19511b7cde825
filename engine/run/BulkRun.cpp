#include "engine/run/BulkRun.h"

#include <ctime>
#include <exception>

TBulkRun::TBulkRun(TRunPlan& Plan, TJournal& Journal, TBulkHooks Hooks, TReconnectPolicy Reconnect)
    : plan_(Plan), journal_(Journal), hooks_(std::move(Hooks)), reconnect_(std::move(Reconnect))
{
    for (size_t i : plan_.Initial())
        Write(i, NotSentReason(plan_.Entries()[i]));
}

TBulkRun::TEnd TBulkRun::Run()
{
    for (;;) {
        if (!hooks_.Going()) {
            DropAhead();
            return Aborted;
        }
        const TPlanStep step = plan_.Next(hooks_.Now());
        if (step.What != TPlanStep::Send || (ahead_ && ahead_->Index != step.Index))
            DropAhead();
        if (step.What == TPlanStep::Done)
            return plan_.Stopped() ? Refusing : Completed;
        if (step.What == TPlanStep::Wait) {
            Wait(plan_.Attempts(step.Index) > 0 ? TWait::Retry : TWait::Pacing, step.WaitMs);
            if (!hooks_.Pause(step.WaitMs))
                return Aborted;
            continue;
        }
        const TPlanEntry& entry = plan_.Entries()[step.Index];
        current_ = ahead_ ? *ahead_ : TInFlight{step.Index, journal_.Sending(entry.Line)};
        ahead_.reset();
        const TAttemptResult result = hooks_.SendOne(entry);
        if (plan_.Record(step.Index, result.Attempt, hooks_.Now())) {
            reconnect_.Progress();
            Write(step.Index, result.Reply);
        } else {
            journal_.Undelivered(entry.Line);
            if (result.Attempt == TAttempt::Deferred)
                deferred_[step.Index] += result.Reply + "\n";
        }
        if (result.Raise)
            std::rethrow_exception(result.Raise);
        const bool broken =
            result.Attempt == TAttempt::BrokenBeforeDot || result.Attempt == TAttempt::BrokenAfterDot;
        if (broken)
            DropAhead();
        // Nothing left to send needs no new connection.
        if (broken && hooks_.Going() && plan_.Next(hooks_.Now()).What != TPlanStep::Done && !Recover())
            return hooks_.Going() ? ConnectionLost : Aborted;
    }
}

const TPlanEntry* TBulkRun::Following()
{
    if (ahead_ || !hooks_.Going())
        return nullptr;
    const std::optional<size_t> next = plan_.Following(current_.Index);
    if (!next)
        return nullptr;
    const TPlanEntry& entry = plan_.Entries()[*next];
    ahead_ = TInFlight{*next, journal_.Sending(entry.Line)};
    return &entry;
}

void TBulkRun::DropAhead()
{
    if (ahead_)
        journal_.Undelivered(plan_.Entries()[ahead_->Index].Line);
    ahead_.reset();
}

bool TBulkRun::Recover()
{
    while (const auto delay = reconnect_.NextDelay()) {
        Wait(TWait::Reconnect, *delay);
        if (!hooks_.Pause(*delay))
            return false;
        if (hooks_.Reconnect())
            return true;
    }
    return false;
}

void TBulkRun::Close(TEnd End)
{
    if (closed_)
        return;
    closed_ = true;
    // Each record is tried on its own, so that the journal is as complete as
    // the disk allows; the first failure is raised once all were tried.
    std::exception_ptr failure;
    const auto attempt = [&failure](const auto& Record) {
        try {
            Record();
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
    };
    attempt([this] { DropAhead(); });
    for (size_t i : plan_.Finish())
        attempt([this, i] { Write(i, ""); });
    // Rows held back for a missing file stay to be sent by a later run.
    if (End == Completed && !plan_.HeldBack())
        attempt([this] { journal_.Finish(); });
    if (failure)
        std::rethrow_exception(failure);
}

void TBulkRun::Wait(TWait What, int64_t Ms)
{
    if (hooks_.Waiting)
        hooks_.Waiting(What, Ms);
}

void TBulkRun::Write(size_t Index, const std::string& Reply)
{
    const TPlanEntry& entry = plan_.Entries()[Index];
    const auto earlier = deferred_.find(Index);
    std::string replies = earlier == deferred_.end() ? Reply : earlier->second + Reply;
    // A 4xx that ran out of tries has no reply of its own to add.
    while (!replies.empty() && replies.back() == '\n')
        replies.pop_back();
    const TJournalRow row{entry.Line, entry.Entry, *plan_.OutcomeOf(Index), replies, std::time(nullptr)};
    journal_.Write(row);
    if (hooks_.Written)
        hooks_.Written(row);
    if (hooks_.Changed)
        hooks_.Changed();
}
