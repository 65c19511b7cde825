// The bulk send run as one state machine: Send, Abort, the grace and cut
// timers, the close of the main window during a run, and Abort's own QUIT on
// a connection that a failure left open.
//
// Everything runs on the user-interface thread. The component's waits keep
// processing events, so Abort, a second Send, the window's close and the
// timers arrive as events from inside the run's own calls.
//
// States; NextSendState holds every transition:
//
//   Idle --Send--> Connecting --Connected--> Sending --MessagesDone--> Quitting
//   Connecting, Sending, Quitting --Abort--> Stopping (connected) or Cutting
//   Stopping --Abort | GraceOver--> Cutting
//   any run state --WindowClosed--> Closing
//   Idle --Abort (connected)--> AbortQuit --Abort | GraceOver | WindowClosed--> AbortQuitCut
//   any state --Ended--> Idle
//
// Stopping lets the step in hand end within the grace (a reply already due
// still counts); no message follows and the run says QUIT. The cut states
// cut every wait and repeat the cut, because an operation that starts after
// a cut (the QUIT the component sends after a failed greeting) clears it; a
// cut run closes the socket without QUIT, as the server may be mid-data or
// silent. Closing is a cut whose run ends without a box: the program is
// ending.
#pragma once

#include <ctime>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include <QTimer>

#include "engine/compose/Attachments.h"
#include "engine/run/BulkRun.h"
#include "engine/run/RunStart.h"

class TNMSMTP;
class TBulkRun;
class TMessageStep;

enum class TSendState {
    Idle,
    Connecting,    // a run: connect, greeting, HELO
    Sending,       // a run: the recipient list, one transaction per entry
    Quitting,      // a run: its closing QUIT
    Stopping,      // a run after Abort: the grace for the step in hand, then QUIT
    Cutting,       // a run cut: every wait ends, the socket closes without QUIT
    Closing,       // a run cut because the main window closes
    AbortQuit,     // outside a run: Abort's QUIT, under the grace
    AbortQuitCut,  // that QUIT cut
};

enum class TSendEvent {
    Send,          // Send pressed
    Connected,     // the connection phases have ended well
    MessagesDone,  // no message follows
    Abort,         // Abort pressed
    GraceOver,     // the grace after Abort has run out
    WindowClosed,  // the main window closes
    Ended,         // the run or Abort's QUIT has returned, well or not
};

// The state after Event in State; Connected says whether the socket is open.
TSendState NextSendState(TSendState State, TSendEvent Event, bool Connected);

class TSendRun {
public:
    explicit TSendRun(TNMSMTP& Smtp);
    TSendRun(const TSendRun&) = delete;
    TSendRun& operator=(const TSendRun&) = delete;

    // Before connecting: the recipient file read and checked, the plan of
    // the run. Nothing when the user cancelled at the resume question.
    std::function<std::optional<TPreparedRun>()> OnPrepare;
    // Puts the message to Entry (its row of the list) into the component's
    // message record; called right before its message. Unset: the entry
    // alone, as written.
    std::function<void(const TPlanEntry& Entry)> OnCompose;
    // The attached parts of the message to the entry on Line.
    std::function<TParts(int Line)> OnAttachments;
    // Once the run's first connection is open, before its first message:
    // false ends the run there (QUIT, no summary; a fresh journal goes).
    std::function<bool()> OnConnected;
    // After each message the server accepted: how many of how many.
    std::function<void(int Sent, int Total)> OnProgress;
    // An outcome became known (the counts of the plan changed).
    std::function<void(const TRunPlan& Plan)> OnOutcome;
    // Each outcome as the journal's row records it.
    std::function<void(const TJournalRow& Row)> OnRow;
    // A remark for the status bar, once per run (the server mishandled
    // pipelining and the run goes on one command at a time).
    std::function<void(const std::string& Text)> OnNotice;
    // Every entry has its outcome, but closing the connection failed (QUIT
    // refused, garbled or cut): the component's text.
    std::function<void(const std::string& Text)> OnHarmlessFailure;
    // The run has ended and its journal is closed; Failure is the text of
    // what ended it early, empty when nothing did (or the user's Abort).
    std::function<void(const TRunPlan& Plan, const std::string& JournalPath, const std::string& Failure)>
        OnSummary;
    // A wait within the run begins: what for and for how long.
    std::function<void(TWait What, int64_t Ms)> OnWait;
    // A run or Abort's QUIT is over (the state is Idle again).
    std::function<void()> OnEnded;
    // A failure in one of the run's timers, which no Send returns; unset:
    // the platform's exception handler.
    std::function<void(const std::exception& E)> OnFailure;

    // Before every connect of a run, the first and each reconnect: the
    // login's access token is made fresh here.
    std::function<void()> OnBeforeConnect;
    // The server refused the login: true when the credentials were renewed
    // and one more connect is worth it.
    std::function<bool()> OnLoginRefused;

    // The wait before a deferred (4xx) entry's next try, and before each try
    // to open a broken connection again.
    int64_t RetryDelayMs = TRunPlan::DefaultRetryDelayMs;
    std::vector<int64_t> ReconnectDelaysMs{std::begin(TReconnectPolicy::DefaultDelaysMs),
                                           std::end(TReconnectPolicy::DefaultDelaysMs)};

    // From Idle: the whole run, which raises what ended it (nothing when the
    // window was closed). During a run or Abort's QUIT the connection is in
    // use: refused with the component's "Already connected".
    void Send();
    // In a run: stop after the step in hand, or cut. Outside a run: QUIT on a
    // connection still open, cut after the grace like a run.
    void Abort();
    // The main window closes: cut whatever runs.
    void WindowClosed();

    // An abortable wait: processes events for up to Ms milliseconds and ends
    // at once when Abort or the window's close stops the run. True when it
    // waited its time, false when stopped (or called with no run going on).
    bool Pause(int Ms);

    TSendState State() const { return state_; }
    // From the start of a Send's connection until the run has ended.
    bool Running() const;
    // A run or Abort's QUIT: the connection is in use.
    bool Busy() const { return state_ != TSendState::Idle; }
    // The user has stopped the run (Abort or the window's close).
    bool AbortAsked() const;
    // The run is opening a broken connection anew: a failed try is no news
    // for a box of its own.
    bool Reconnecting() const { return reconnecting_; }

private:
    class TEndGuard;

    // Runs a timer's work; what it raises goes to OnFailure, not to Qt.
    void Guarded(const std::function<void()>& Tick) noexcept;

    TSendState Fire(TSendEvent Event);
    void Enter(TSendState Next);
    bool Going() const;
    bool Cut() const;

    void Run();
    // The messages, with the journal open, until the plan is done or the run
    // cannot go on; QUIT or the close after.
    // Journal and Bulk outlive it, so that a failure can still close them.
    void RunEntries(TPreparedRun& Prepared, std::unique_ptr<TJournal>& Journal, std::unique_ptr<TBulkRun>& Bulk);
    TBulkHooks Hooks(TMessageStep& Step, const TRunPlan& Plan);
    void EndEntries(TBulkRun::TEnd How);
    // The connection phases before the first message.
    void Open();
    // Closes a broken connection and opens it again; false when that failed.
    bool Reopen();
    // One message to one entry.
    TAttemptResult SendOne(TMessageStep& Step, const TPlanEntry& Entry);
    // The component's message becomes the entry's.
    void Load(const TPlanEntry& Entry);
    // The journal's reason when the loaded message exceeds the server's
    // SIZE; empty when it fits or the server named no limit.
    std::string TooLarge();
    // QUIT, or the close without it when the run was cut.
    void Finish();
    // QUIT on a connection that a failure left open; a refused QUIT is no
    // news beside that failure.
    void QuitAfterFailure();
    void QuitOutsideRun();
    void RefuseSend();
    // A fresh socket for the next Send after a failed connect, without the
    // closing texts: nothing was connected.
    void ReplaceSocket();
    // Closes the socket without QUIT: the server may be mid-data or silent.
    void CloseWithoutQuit();

    TNMSMTP& smtp_;
    TSendState state_ = TSendState::Idle;
    bool reconnecting_ = false;
    bool pipeliningNoted_ = false;
    QTimer grace_;  // lets a reply due now still arrive
    QTimer cut_;    // repeats the cut until the run is over
};
