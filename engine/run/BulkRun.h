// The loop of a bulk send over one connection: asks the plan what comes
// next, sends, waits or opens the connection anew, and writes every outcome
// to the journal before the next message starts. Sockets and windows stay
// behind the hooks, so the loop runs in tests against a simulated server.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <map>
#include <string>

#include "engine/journal/Journal.h"
#include "engine/plan/RunPlan.h"

// What one try at an entry came to, with the server's whole reply (empty
// where there was none).
struct TAttemptResult {
    TAttempt Attempt = TAttempt::Accepted;
    std::string Reply;
    // Raised once the attempt is recorded (the user's Abort).
    std::exception_ptr Raise;
};

// What a wait within the run is for.
enum class TWait {
    Pacing,     // 送信間隔 between two messages
    Retry,      // a deferred (4xx) entry's next try
    Reconnect,  // the next try to open a broken connection
};

struct TBulkHooks {
    // Sends the entry's message on the open connection. Refusals and breaks
    // come back as the result; anything else raised ends the run.
    std::function<TAttemptResult(const TPlanEntry& Entry)> SendOne;
    // Closes what is left of a broken connection and opens a new one; false
    // when that failed.
    std::function<bool()> Reconnect;
    // Waits Ms milliseconds processing events; false when the run was
    // stopped meanwhile (Abort).
    std::function<bool(int64_t Ms)> Pause;
    // The run may go on (no Abort).
    std::function<bool()> Going;
    // Milliseconds of a monotonic clock.
    std::function<int64_t()> Now;
    // An outcome became known: the progress and the counts changed.
    std::function<void()> Changed;
    // The row an outcome was written as, before Changed.
    std::function<void(const TJournalRow& Row)> Written;
    // A wait of Ms milliseconds for What begins (Pause follows).
    std::function<void(TWait What, int64_t Ms)> Waiting;
};

class TBulkRun {
public:
    enum TEnd {
        Completed,       // every entry has its outcome
        Refusing,        // five message refusals in a row
        ConnectionLost,  // the connection could not be opened again
        Aborted,         // the user stopped the run
    };

    // Writes the outcomes known before connecting (宛先不正) at once.
    TBulkRun(TRunPlan& Plan, TJournal& Journal, TBulkHooks Hooks, TReconnectPolicy Reconnect = {});

    // Sends until the plan is done or the run cannot go on.
    TEnd Run();
    // Pipelining, from inside SendOne: the entry whose commands may go out
    // with the message in hand, its journal record made; nothing when the
    // next step is not certain yet. When the run then ends or breaks before
    // that entry's turn, it is recorded as undelivered: its "." never went.
    const TPlanEntry* Following();
    // The journal mark the message in hand's "." waits for (Durable).
    uint64_t SendingMark() const { return current_.Mark; }

    // Gives every entry without an outcome its row (未送信, or 一時エラー for
    // one still waiting for its retry) and, when the run completed and held
    // nothing back for a later run, marks the journal finished. Safe to call once more; later calls do nothing.
    void Close(TEnd End);

private:
    void Write(size_t Index, const std::string& Reply);
    // True when the connection is open again.
    bool Recover();
    void Wait(TWait What, int64_t Ms);

    TRunPlan& plan_;
    TJournal& journal_;
    TBulkHooks hooks_;
    TReconnectPolicy reconnect_;
    bool closed_ = false;

    struct TInFlight {
        size_t Index = 0;
        uint64_t Mark = 0;
    };
    TInFlight current_;
    std::optional<TInFlight> ahead_;
    void DropAhead();
    // The 4xx replies of entries still to be settled: their row shows them
    // before the final reply.
    std::map<size_t, std::string> deferred_;
};
