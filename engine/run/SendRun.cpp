#include "engine/run/SendRun.h"

#include <utility>

#include <QCoreApplication>
#include <QEventLoop>

#include "engine/run/BulkRun.h"
#include "engine/run/MessageStep.h"
#include "platform/Windows.h"
#include "rtl/SysUtils.h"
#include "smtp/NMsmtp.h"
#include "smtp/PostMessage.h"
#include "smtp/Sasl.h"

namespace {

// After Abort a reply that is already due (the server's verdict on a message
// whose "." went out) may still arrive and count; after this the wait is cut.
constexpr int AbortGraceMs = 1000;
// A cut only sets the component's cancel flag; an operation that starts
// after it (the QUIT the component sends after a failed greeting) is cut by
// the next repetition.
constexpr int AbortRepeatMs = 100;

}  // namespace

TSendState NextSendState(TSendState State, TSendEvent Event, bool Connected)
{
    using S = TSendState;
    using E = TSendEvent;
    if (Event == E::Ended)
        return S::Idle;
    switch (State) {
    case S::Idle:
        if (Event == E::Send)
            return S::Connecting;
        // Abort outside a run closes a connection that a failure left open.
        return Event == E::Abort && Connected ? S::AbortQuit : S::Idle;
    case S::Connecting:
    case S::Sending:
    case S::Quitting:
        // Nothing can be accepted before the connection is open: no grace.
        if (Event == E::Abort)
            return Connected ? S::Stopping : S::Cutting;
        if (Event == E::WindowClosed)
            return S::Closing;
        if (Event == E::Connected && State == S::Connecting)
            return S::Sending;
        if (Event == E::MessagesDone && State == S::Sending)
            return S::Quitting;
        return State;
    case S::Stopping:
        // A second Abort does not wait for the grace to end.
        if (Event == E::Abort || Event == E::GraceOver)
            return S::Cutting;
        return Event == E::WindowClosed ? S::Closing : S::Stopping;
    case S::Cutting:
        return Event == E::WindowClosed ? S::Closing : S::Cutting;
    case S::Closing:
        return S::Closing;
    case S::AbortQuit:
        if (Event == E::Abort || Event == E::GraceOver || Event == E::WindowClosed)
            return S::AbortQuitCut;
        return S::AbortQuit;
    case S::AbortQuitCut:
        return S::AbortQuitCut;
    }
    return State;
}

// ---------------------------------------------------------------------------

// Whatever way a run or Abort's QUIT returns, the state goes back to Idle
// and the timers stop.
class TSendRun::TEndGuard {
public:
    explicit TEndGuard(TSendRun& Run) : run_(Run) {}
    ~TEndGuard() { run_.Fire(TSendEvent::Ended); }
    TEndGuard(const TEndGuard&) = delete;
    TEndGuard& operator=(const TEndGuard&) = delete;

private:
    TSendRun& run_;
};

TSendRun::TSendRun(TNMSMTP& Smtp) : smtp_(Smtp)
{
    grace_.setSingleShot(true);
    grace_.setInterval(AbortGraceMs);
    QObject::connect(&grace_, &QTimer::timeout, [this] { Guarded([this] { Fire(TSendEvent::GraceOver); }); });
    cut_.setInterval(AbortRepeatMs);
    QObject::connect(&cut_, &QTimer::timeout, [this] { Guarded([this] { smtp_.Abort(); }); });
}

void TSendRun::Guarded(const std::function<void()>& Tick) noexcept
{
    try {
        try {
            Tick();
        } catch (const std::exception& e) {
            if (OnFailure)
                OnFailure(e);
            else
                win::HandleException(e);
        }
    } catch (...) {
        // Qt must not see it, and nothing is left that could report it.
    }
}

bool TSendRun::Running() const
{
    switch (state_) {
    case TSendState::Idle:
    case TSendState::AbortQuit:
    case TSendState::AbortQuitCut:
        return false;
    default:
        return true;
    }
}

bool TSendRun::AbortAsked() const
{
    return state_ == TSendState::Stopping || Cut();
}

bool TSendRun::Going() const
{
    return state_ == TSendState::Connecting || state_ == TSendState::Sending || state_ == TSendState::Quitting;
}

bool TSendRun::Cut() const
{
    return state_ == TSendState::Cutting || state_ == TSendState::Closing;
}

TSendState TSendRun::Fire(TSendEvent Event)
{
    const TSendState next = NextSendState(state_, Event, smtp_.Connected);
    if (next != state_)
        Enter(next);
    return state_;
}

// What entering a state does; a state left unchanged does nothing again.
void TSendRun::Enter(TSendState Next)
{
    state_ = Next;
    switch (Next) {
    case TSendState::Idle:
        grace_.stop();
        cut_.stop();
        if (OnEnded)
            OnEnded();
        break;
    case TSendState::Stopping:
    case TSendState::AbortQuit:
        grace_.start();
        break;
    case TSendState::Cutting:
    case TSendState::Closing:
    case TSendState::AbortQuitCut:
        grace_.stop();
        smtp_.Abort();
        cut_.start();
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------

void TSendRun::Send()
{
    const TSendState before = state_;
    // Only Idle starts a run; otherwise the connection is in use.
    if (Fire(TSendEvent::Send) == before) {
        RefuseSend();
        return;
    }
    Run();
}

void TSendRun::Abort()
{
    // AbortQuit follows only Idle: outside a run Abort says QUIT itself; in a
    // run it only changes the state, and the run's own calls act on it.
    if (Fire(TSendEvent::Abort) == TSendState::AbortQuit)
        QuitOutsideRun();
}

void TSendRun::WindowClosed()
{
    Fire(TSendEvent::WindowClosed);
}

bool TSendRun::Pause(int Ms)
{
    // Abort and the window's close arrive as events, so the state is looked
    // at after each; the timer ends the wait when nothing else comes.
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    deadline.start(Ms);
    while (Going() && deadline.isActive())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return Going();
}

void TSendRun::Run()
{
    const TEndGuard end(*this);
    std::optional<TPreparedRun> prepared = OnPrepare ? OnPrepare() : std::nullopt;
    if (!prepared)
        return;
    std::unique_ptr<TJournal> journal;
    std::unique_ptr<TBulkRun> bulk;
    std::string failure;
    try {
        RunEntries(*prepared, journal, bulk);
    } catch (const std::exception& e) {
        // The journal as far as the disk allows: a full disk that ended the
        // run fails these rows too, and the run's own failure is the one told.
        if (bulk)
            try {
                bulk->Close(TBulkRun::Aborted);
            } catch (const std::exception&) {
            }
        // A run leaves no connection behind, whatever ended it: the next Send
        // must find none. No message follows, so closing ends the run.
        Fire(TSendEvent::MessagesDone);
        if (AbortAsked())
            CloseWithoutQuit();
        else if (smtp_.Connected)
            QuitAfterFailure();
        if (state_ == TSendState::Closing)
            return;
        // The user's own Abort is no failure worth an error box: what it cut
        // ends quietly, and the summary still tells what the run came to.
        if (!AbortAsked()) {
            if (!bulk)
                throw;
            // One box: the failure first, then what the run came to.
            failure = e.what();
        }
    }
    if (state_ != TSendState::Closing && bulk && OnSummary)
        OnSummary(*prepared->Plan, journal->Path(), failure);
}

// After the entries: QUIT when the connection still stands. A failing QUIT
// after every entry had its outcome is harmless.
void TSendRun::EndEntries(TBulkRun::TEnd How)
{
    Fire(TSendEvent::MessagesDone);
    // A connection the last break or time-out already closed has no one to
    // say QUIT to.
    if (How == TBulkRun::ConnectionLost || !smtp_.Connected) {
        CloseWithoutQuit();
        return;
    }
    try {
        Finish();
    } catch (const Exception& e) {
        // Every entry has its outcome: a QUIT that fails changes none of
        // them, and a box would have the user send everything again.
        if (How != TBulkRun::Completed)
            throw;
        if (OnHarmlessFailure)
            OnHarmlessFailure(e.Message());
    }
}

// What the bulk run does through this one: each entry's message, the
// reconnects and waits, and the news to the front end.
TBulkHooks TSendRun::Hooks(TMessageStep& Step, const TRunPlan& Plan)
{
    TBulkHooks hooks;
    hooks.SendOne = [this, &Step](const TPlanEntry& Entry) { return SendOne(Step, Entry); };
    hooks.Reconnect = [this] { return Reopen(); };
    hooks.Pause = [this](int64_t Ms) { return Pause(static_cast<int>(Ms)); };
    hooks.Waiting = [this](TWait What, int64_t Ms) {
        if (OnWait)
            OnWait(What, Ms);
    };
    hooks.Going = [this] { return state_ == TSendState::Sending; };
    hooks.Now = [] { return TickCount(); };
    // Called again when a failure closes the run, after this returned.
    hooks.Written = [this](const TJournalRow& Row) {
        if (OnRow)
            OnRow(Row);
    };
    hooks.Changed = [this, &Plan, accepted = std::make_shared<int>(0)] {
        if (OnOutcome)
            OnOutcome(Plan);
        // Edit3 counts accepted messages only, as before.
        const int sent = Plan.Counts()[TOutcome::Sent];
        if (OnProgress && sent != *accepted)
            OnProgress(*accepted = sent, Plan.Total());
    };
    return hooks;
}

void TSendRun::RunEntries(TPreparedRun& Prepared, std::unique_ptr<TJournal>& Journal,
                          std::unique_ptr<TBulkRun>& Bulk)
{
    TRunPlan& plan = *Prepared.Plan;  // lives as long as Prepared
    plan.SetRetryDelay(RetryDelayMs);
    // Every run tries pipelining afresh; a fall back lasts for its rest.
    smtp_.Pipelining = true;
    pipeliningNoted_ = false;
    // A journal that cannot be written stops the run before the server hears
    // of it.
    Journal = Prepared.OpenJournal();
    try {
        Open();
    } catch (...) {
        // A fresh run that never connected leaves nothing to continue; a
        // continued one keeps carrying what the earlier run settled.
        if (!Prepared.Resumes)
            Journal->Discard();
        throw;
    }
    Fire(TSendEvent::Connected);
    if (OnConnected && !OnConnected()) {
        if (!Prepared.Resumes)
            Journal->Discard();
        Fire(TSendEvent::MessagesDone);
        Finish();
        return;
    }
    TMessageStep step(smtp_);
    // The record that this message goes out is on the disk before its "."
    // can deliver it; it was written a round trip earlier (with its
    // commands), so its flush overlaps the network's wait.
    step.BeforeDot = [&Journal, &Bulk] { Journal->Durable(Bulk->SendingMark()); };
    // The next message's commands go out with this one's text.
    struct TNextGuard {
        TNMSMTP& Smtp;
        ~TNextGuard() { Smtp.OnNextMessage = nullptr; }
    } nextGuard{smtp_};
    smtp_.OnNextMessage = [this, &Bulk] {
        const TPlanEntry* next = Bulk->Following();
        if (!next)
            return false;
        Load(*next);
        // Its commands must not go out: the server would wait for its text.
        return TooLarge().empty();
    };
    const TBulkHooks hooks = Hooks(step, plan);
    Bulk = std::make_unique<TBulkRun>(plan, *Journal, hooks, TReconnectPolicy(ReconnectDelaysMs));
    const TBulkRun::TEnd how = Bulk->Run();
    Bulk->Close(how);
    EndEntries(how);
}

void TSendRun::Open()
{
    for (bool retried = false;; retried = true) {
        if (OnBeforeConnect)
            OnBeforeConnect();
        try {
            smtp_.Connect();
            return;
        } catch (const sasl::EAuthError&) {
            if (!smtp_.Connected)
                ReplaceSocket();
            if (retried || !OnLoginRefused || !OnLoginRefused())
                throw;
        } catch (...) {
            // A failed connect leaves its socket behind, unusable for the next
            // Send; the component does not replace it, so the run does, quietly:
            // nothing was connected that could be reported as closed.
            if (!smtp_.Connected)
                ReplaceSocket();
            throw;
        }
    }
}

bool TSendRun::Reopen()
{
    reconnecting_ = true;
    try {
        CloseWithoutQuit();
        Open();
    } catch (const Exception&) {
        reconnecting_ = false;
        return false;
    }
    reconnecting_ = false;
    return true;
}

TAttemptResult TSendRun::SendOne(TMessageStep& Step, const TPlanEntry& Entry)
{
    Load(Entry);
    // Refused for this row alone: the next row's message may fit.
    if (std::string why = TooLarge(); !why.empty())
        return {TAttempt::RecipientRefused, std::move(why), nullptr};
    const TAttemptResult result = Step.Send();
    // The component turned pipelining off: the server mishandled a group.
    if (!smtp_.Pipelining && !pipeliningNoted_) {
        pipeliningNoted_ = true;
        if (OnNotice)
            OnNotice("サーバーがパイプライン処理に対応していないため、コマンドを 1 つずつ送ります");
    }
    return result;
}

void TSendRun::Load(const TPlanEntry& Entry)
{
    if (OnCompose) {
        OnCompose(Entry);
    } else {
        // A message that failed leaves its entry behind; it must not receive
        // the next one too.
        smtp_.PostMessage->ToAddress->Clear();
        smtp_.PostMessage->ToAddress->Add(Entry.Entry);
    }
    smtp_.PostMessage->EncodedAttachments = OnAttachments ? OnAttachments(Entry.Line) : TParts{};
}

std::string TSendRun::TooLarge()
{
    const int64_t limit = smtp_.SizeLimit();
    if (limit <= 0)
        return {};
    const int64_t size = smtp_.MessageSize();
    if (size <= limit)
        return {};
    return "メッセージが大きすぎるため送信しませんでした（" + MegabytesText(size) + "、サーバーの上限は " +
           MegabytesText(limit) + "）";
}

void TSendRun::ReplaceSocket()
{
    const TNotifyEvent onDisconnect = std::exchange(smtp_.OnDisconnect, nullptr);
    try {
        smtp_.TPowersock::Disconnect();
    } catch (...) {
        // The connect's own failure is the one to report.
    }
    smtp_.OnDisconnect = onDisconnect;
}

void TSendRun::Finish()
{
    if (Cut())
        CloseWithoutQuit();
    else
        smtp_.Disconnect();
}

void TSendRun::QuitAfterFailure()
{
    try {
        smtp_.Disconnect();
    } catch (...) {
        // The socket is closed all the same; the failure that ended the run
        // is the one to report.
    }
}

void TSendRun::QuitOutsideRun()
{
    const TEndGuard end(*this);
    try {
        smtp_.Disconnect();
    } catch (...) {
        // A QUIT the user's Abort cut shows no box; a refused one does.
        if (state_ != TSendState::AbortQuitCut)
            throw;
    }
}

void TSendRun::RefuseSend()
{
    // Before the connection is open the component would not notice.
    if (!smtp_.Connected)
        throw ESockError("Already connected");
    smtp_.Connect();
}

void TSendRun::CloseWithoutQuit()
{
    // The socket layer's Disconnect on purpose: the SMTP component's own
    // would say QUIT first.
    smtp_.TPowersock::Disconnect();
}
