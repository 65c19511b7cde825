// Everything a bulk send settles before it connects: the recipient file read
// and checked as a whole, an unfinished earlier run of the same file,
// subject and body offered to be continued, and the plan and journal of the
// run about to start.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/Journal.h"
#include "engine/Recipients.h"
#include "engine/RunLock.h"
#include "engine/RunPlan.h"

class TRunFrontEnd;

struct TRunRequest {
    std::string RecipientFile;
    std::string Subject;
    std::string Body;
    TNameCheck CanCarry;        // the chosen charset's check of display names
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
};

struct TPreparedRun {
    // Held from before the unfinished runs are looked at until the run has
    // ended: no other Veltrow takes this one's run for its own meanwhile.
    std::unique_ptr<TRunLock> Lock;
    TRunIdentity Identity;
    std::string JournalFolder;
    // The unfinished run this one continues, when the user chose so.
    std::optional<TResumePoint> Resumes;
    std::unique_ptr<TRunPlan> Plan;
    // The status text about entries that cannot be sent; empty when all can.
    std::string Precheck;

    // The run's journal, made before the connection opens.
    std::unique_ptr<TJournal> OpenJournal() const;
};

enum TResumeChoice { rcContinue, rcRestart, rcCancel };

// The resume box's question: N entries, K of them settled, the 不明 ones
// listed by line and entry so that the user can decide about them.
std::string ResumeQuestion(const std::vector<TPlanEntry>& Lines, const TResumePoint& Point);

// Takes the lock of the folder above JournalFolder (see TRunLock), reads the
// recipient file once (EFOpenError; anything but a regular file is refused,
// naming it), checks every entry, refuses a list with none that can be sent
// and, when an unfinished run of the same identity exists, asks whether to
// continue it (最初から gives it up) through the request's front end. Nothing when the user cancels or stops
// the run meanwhile.
std::optional<TPreparedRun> PrepareRun(const TRunRequest& Request);
