// The bookkeeping of a bulk send run, free of sockets and windows: which
// entry goes next, what each entry came to, when a refused message stops the
// run, when a deferred entry is tried again and how often a broken
// connection is opened anew. The send run asks Next, does what it says and
// reports with Record; the journal writes the outcomes Record returns.
//
// Times are milliseconds of a monotonic clock (TickCount), passed in so that
// the waits can be tested without waiting.
#pragma once

#include <cstdint>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What one entry of the recipient file came to.
enum class TOutcome {
    Sent,       // 送信済み: 2xx after "."
    Refused,    // 拒否: 5xx at RCPT, DATA or after "."
    Temporary,  // 一時エラー: 4xx, still after the retries
    Unknown,    // 不明: the connection broke after "." before the reply
    NotSent,    // 未送信: not reached
    Invalid,    // 宛先不正: the entry cannot be sent at all
    OptedOut,   // 配信停止: on the opt-out list, sent nothing
    Duplicate,  // 重複: an earlier row has the address and the user sends once per address
};
inline constexpr int OutcomeCount = 8;

// The journal's and the summary's word for the outcome.
const char* OutcomeWord(TOutcome Outcome);
std::optional<TOutcome> OutcomeFromWord(std::string_view Word);
// An outcome that a later run must not send again: the message arrived, was
// refused for good, or may have arrived. 配信停止 and 重複 are not: every run
// looks at the opt-out list and the user's choice afresh.
bool IsSettled(TOutcome Outcome);

// How one attempt at an entry's message ended, as the run saw it.
enum class TAttempt {
    Accepted,          // 2xx after "."
    RecipientRefused,  // 5xx at RCPT: this address only
    MessageRefused,    // 5xx at MAIL, DATA or after ".": the message itself
    Deferred,          // a 4xx anywhere in the transaction
    BrokenBeforeDot,   // the connection broke before "." went out
    BrokenAfterDot,    // the connection broke while the verdict was due
};

// One entry of the recipient file as the plan sees it.
struct TPlanEntry {
    int Line = 0;            // in the file, from 1
    std::string Entry;       // as written
    bool Sendable = true;    // false: recorded as 宛先不正 before connecting
    const char* Problem = nullptr;  // why not, for the journal and the status bar
    bool OptedOut = false;  // Sendable, but on the opt-out list: 配信停止, no message
    // The first earlier row with the same address (letter case aside) among
    // the sendable ones not opted out; 0 when there is none.
    int DuplicateOf = 0;
    // Held back by the check of every row before connecting, and the outcome
    // it gets instead of a message: 未送信 (a file of its own is missing; a
    // later run sends it), 重複, or 宛先不正 (its message cannot be composed).
    std::optional<TOutcome> Held = std::nullopt;
    std::string Reason = {};  // why it was held back, for the journal
};

// The entry gets a message: sendable, not opted out, not held back.
inline bool Goes(const TPlanEntry& e) { return e.Sendable && !e.OptedOut && !e.Held; }
// Why the entry gets no message (its reason or its problem); empty when it gets one.
std::string NotSentReason(const TPlanEntry& e);
// The same after the outcome's word: "宛先不正: アドレスがありません".
std::string NotSentText(const TPlanEntry& e);
// The entry of Line in a list's entries (in the order of their lines).
const TPlanEntry* EntryAt(const std::vector<TPlanEntry>& Entries, int Line);

struct TPlanStep {
    enum Kind { Send, Wait, Done } What = Done;
    size_t Index = 0;      // Send: the entry
    int64_t WaitMs = 0;    // Wait: how long before asking again
};

// Counts per outcome, indexed by TOutcome.
struct TOutcomeCounts {
    int Of[OutcomeCount] = {};
    int operator[](TOutcome o) const { return Of[static_cast<int>(o)]; }
    int& operator[](TOutcome o) { return Of[static_cast<int>(o)]; }
};

class TRunPlan {
public:
    // A 4xx entry waits this long before its next try ...
    static constexpr int64_t DefaultRetryDelayMs = 60'000;
    // ... and is tried this many times more at most.
    static constexpr int MaxRetries = 2;
    // This many message refusals in a row mean the server refuses the
    // message itself (content, sender), not the addresses.
    static constexpr int RefusalsToStop = 5;

    // Entries whose line is in Skip (settled by an earlier run) are left out.
    // Entries that are not Sendable get 宛先不正 at once, opted-out ones
    // 配信停止 (see Initial).
    explicit TRunPlan(std::vector<TPlanEntry> Entries, const std::map<int, TOutcome>& Skip = {},
                      int64_t RetryDelayMs = DefaultRetryDelayMs);

    // Seconds between two messages, as milliseconds.
    void SetPacing(int64_t Ms) { pacingMs_ = Ms; }
    void SetRetryDelay(int64_t Ms) { retryDelayMs_ = Ms; }

    // The outcomes known before connecting, in entry order.
    std::vector<size_t> Initial() const;
    // Before the run: entry Index gets Outcome (未送信, 重複 or 宛先不正)
    // instead of a message, for Reason.
    void Hold(size_t Index, TOutcome Outcome, std::string Reason);
    // Some entry was held back as 未送信: the run is not over when it ends,
    // and a later one sends those entries.
    bool HeldBack() const { return heldBack_; }
    // What to do now: the next entry without an outcome in file order, then
    // the deferred ones once their wait is over, each not before the pacing
    // since the last attempt.
    TPlanStep Next(int64_t NowMs) const;
    // The entry Next will give once InFlight has its result, whatever that
    // is, as long as the run goes on: the next one in file order, when no
    // pacing holds it back. Nothing when that cannot be known now.
    std::optional<size_t> Following(size_t InFlight) const;
    // Records an attempt at entry Index. Returns the entry's outcome when it
    // became final (the journal row to write now); nothing when the entry
    // goes again (a 4xx with tries left, or a break before ".").
    std::optional<TOutcome> Record(size_t Index, TAttempt Attempt, int64_t NowMs);
    // Ends the run (done, Abort, a stop or a lost connection): every entry
    // still without an outcome gets one, 一時エラー for those a 4xx deferred
    // and 未送信 for the rest. Returns them in entry order.
    std::vector<size_t> Finish();

    // Five message refusals in a row: Next says Done.
    bool Stopped() const { return stopped_; }
    bool Finished() const { return finished_; }

    const std::vector<TPlanEntry>& Entries() const { return entries_; }
    std::optional<TOutcome> OutcomeOf(size_t Index) const { return outcomes_[Index]; }
    // How often entry Index has gone out (a break before "." included).
    int Attempts(size_t Index) const { return attempts_[Index]; }
    // Outcomes so far over the entries of this run.
    const TOutcomeCounts& Counts() const { return counts_; }
    // Outcomes over the whole list, those of the run this one continues too.
    TOutcomeCounts ListCounts() const;
    // The entries this run handles (those not skipped).
    int Total() const { return static_cast<int>(entries_.size()); }

private:
    void Settle(size_t Index, TOutcome Outcome);

    std::vector<TPlanEntry> entries_;
    std::vector<std::optional<TOutcome>> outcomes_;
    std::vector<int> attempts_;
    std::vector<int> deferrals_;
    // Deferred entries in the order they were deferred, with the time from
    // which they may go again.
    std::vector<std::pair<size_t, int64_t>> retries_;
    TOutcomeCounts counts_;
    TOutcomeCounts carried_;
    int64_t retryDelayMs_;
    int64_t pacingMs_ = 0;
    std::optional<int64_t> lastAttemptMs_;
    int refusalsInRow_ = 0;
    bool stopped_ = false;
    bool finished_ = false;
    bool heldBack_ = false;
};

// When to open a broken connection anew: three tries, after 5, 15 and 45 s.
// Only a try that leads to progress (an entry settled) earns fresh tries, so
// a server that breaks at the same entry every time ends the run.
class TReconnectPolicy {
public:
    static constexpr int64_t DefaultDelaysMs[] = {5'000, 15'000, 45'000};

    TReconnectPolicy() : delaysMs_(std::begin(DefaultDelaysMs), std::end(DefaultDelaysMs)) {}
    // Other waits, one per try (tests).
    explicit TReconnectPolicy(std::vector<int64_t> DelaysMs) : delaysMs_(std::move(DelaysMs)) {}

    // The wait before the next try, or nothing when the tries are used up.
    std::optional<int64_t> NextDelay();
    // An entry got an outcome over the current connection.
    void Progress() { tries_ = 0; }
    int Tries() const { return tries_; }

private:
    std::vector<int64_t> delaysMs_;
    int tries_ = 0;
};

// The status bar's running counts of the outcomes other than 送信済み, e.g.
// "拒否 1件　一時エラー 2件"; empty while there are none.
std::string CountsText(const TOutcomeCounts& Counts);
// The summary box's text: every count (配信停止 and 重複 only when there were
// some: most offices never meet it), then the journal's path.
std::string SummaryText(const TOutcomeCounts& Counts, const std::string& JournalPath);
