// Everything a bulk send settles before it connects: the recipient file read
// and checked as a whole, an unfinished earlier run of the same file,
// subject and body offered to be continued, and the plan and journal of the
// run about to start.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/journal/Journal.h"
#include "engine/list/RecipientSource.h"
#include "engine/list/Recipients.h"
#include "engine/journal/RunLock.h"
#include "engine/plan/RunPlan.h"

class TRunFrontEnd;

struct TRunRequest {
    std::string RecipientFile;
    std::string Subject;
    std::string Body;
    std::string Attachments;    // their digest, for the run's identity
    // Once the list is read: the digest of every file the run attaches,
    // the rows' own files included. Unset: Attachments as it stands.
    std::function<std::string(const TRecipientSource& Source)> RowFiles;
    // Once RowFiles was called: its digest with some rows' files left out,
    // to find a run that held those rows back for their missing files.
    TFilesWithout FilesWithout;
    TNameCheck CanCarry;        // the chosen charset's check of display names
    // True for a bare address on the opt-out list: its entry gets 配信停止.
    // Empty: nobody opted out.
    std::function<bool(const std::string& Address)> OptedOut;
    std::string JournalFolder;
    int PauseSeconds = 0;
    int64_t RetryDelayMs = TRunPlan::DefaultRetryDelayMs;
    // Processes the window's pending events while a large list is read and
    // checked; false once the user has stopped the run. Empty: nothing to
    // keep answering.
    std::function<bool()> KeepAnswering;
    // Asked about an unfinished run, told about journal files it cannot
    // read. None: such a run is continued, unasked.
    TRunFrontEnd* FrontEnd = nullptr;
    // A rehearsal: an unfinished run stays resumable whatever the answer.
    bool KeepUnfinished = false;
    // Only an unfinished run may go on: with none, nothing is sent (a
    // scheduled --resume must not mail a finished list again).
    bool OnlyUnfinished = false;
};

struct TPreparedRun {
    // Held from before the unfinished runs are looked at until the run has
    // ended: no other Veltrow takes this one's run for its own meanwhile.
    std::unique_ptr<TRunLock> Lock;
    TRunIdentity Identity;
    std::string JournalFolder;
    // The unfinished run this one continues, when the user chose so.
    std::optional<TResumePoint> Resumes;
    // Its entries that were 送信済み (the plan leaves them out).
    std::vector<TPlanEntry> CarriedSent;
    std::unique_ptr<TRunPlan> Plan;
    // The recipients and the templates the messages are composed from.
    std::shared_ptr<const TRecipientSource> Source;
    // The status text about entries that cannot be sent; empty when all can.
    std::string Precheck;

    // The run's journal, made before the connection opens; it names the
    // entries held back for a missing file.
    std::unique_ptr<TJournal> OpenJournal() const;
};

enum TResumeChoice { rcContinue, rcRestart, rcCancel };

// The resume box's question: N entries, K of them settled, the 不明 ones
// listed by line and entry so that the user can decide about them.
std::string ResumeQuestion(const std::vector<TPlanEntry>& Lines, const TResumePoint& Point);

// The recipient file read once and every entry checked, the templates fitted
// to it (unknown fields refused), opted-out and repeated addresses marked;
// nothing when the user stopped meanwhile.
std::optional<TCheckedList> ReadCheckedList(const TRunRequest& Request);

// Runs Work on a thread of its own while KeepAnswering (called on this
// thread every few tens of milliseconds) processes the window's events;
// once it says false, Stop is set and Work should end soon. False when
// stopped; what Work raised is raised here. Without KeepAnswering, Work
// runs here.
bool WorkAnswering(const std::function<void(const std::atomic<bool>& Stop)>& Work,
                   const std::function<bool()>& KeepAnswering);

// Takes the lock of the folder above JournalFolder (see TRunLock), reads the
// recipient file once (a table by its extension, see ReadListTable; the
// templates' unknown fields refused, empty ones asked about through the
// front end) (EFOpenError; anything but a regular file is refused,
// naming it), checks every entry, refuses a list with none that can be sent
// and, when an unfinished run of the same identity exists, asks whether to
// continue it (最初から gives it up) through the request's front end. Nothing when the user cancels or stops
// the run meanwhile.
std::optional<TPreparedRun> PrepareRun(const TRunRequest& Request);
