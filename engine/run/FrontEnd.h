// What the engine asks the user and tells them, whoever the user's face is:
// the main window answers with its boxes and shows the rest in its status
// bar; the command line answers from its options and the terminal and
// prints the rest.
//
// Every call comes on the thread that runs the Send, from inside its work,
// and is answered before it returns: a window runs its modal box there (the
// run's waits keep processing events, so Abort still comes through), the
// command line reads its options or the terminal.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "engine/run/BulkRun.h"
#include "engine/run/RunStart.h"
#include "engine/run/RunWords.h"
#include "engine/account/SignInQuestions.h"

// The end of a run as its summary tells it.
struct TRunSummary {
    const TRunPlan* Plan = nullptr;
    std::string JournalPath;
    // What ended the run early; empty when nothing did (or the user's Abort).
    std::string Failure;
    int Utf8 = 0;      // accepted messages that went out as UTF-8
    bool Auto = true;  // the charset is 自動
};

class TRunFrontEnd : public TSignInQuestions {
public:
    virtual ~TRunFrontEnd() = default;

    // --- Questions -------------------------------------------------------------
    // An unfinished run of the same list, subject and body: continue it,
    // start afresh or cancel the Send.
    virtual TResumeChoice AskResume(const std::vector<TPlanEntry>& Lines, const TResumePoint& Point) = 0;
    // Before anything connects: true to send.
    virtual bool ConfirmRun(const TRunOutline& Outline) = 0;
    // Fields the subject or body use are empty in some rows (EmptyFieldsQuestion's
    // text): true to send all the same. A front end that cannot ask sends nothing.
    virtual bool ConfirmEmptyFields(const std::string& Question)
    {
        (void)Question;
        return false;
    }
    // Some addresses come in more than one row (Outline.DuplicatesText names
    // them): send every row, one message per address (the later rows get
    // 重複), or nothing. A front end that cannot offer the choice confirms.
    enum TDuplicatesChoice { dcSendAll, dcOncePerAddress, dcCancel };
    virtual TDuplicatesChoice ConfirmRunWithDuplicates(const TRunOutline& Outline)
    {
        return ConfirmRun(Outline) ? dcSendAll : dcCancel;
    }
    // Rows whose own files cannot be attached (Question names each): true
    // to send the others, those rows staying 未送信 for a later run. A front
    // end that cannot ask sends nothing.
    virtual bool SendWithoutMissingFiles(const std::string& Question)
    {
        (void)Question;
        return false;
    }
    // Files of rows that lie outside the list's folder (Question names the
    // rows and the paths): true to attach them all the same. A front end
    // that cannot ask sends nothing.
    virtual bool AllowFilesOutsideList(const std::string& Question)
    {
        (void)Question;
        return false;
    }
    // AskPassword and TrustCertificate: see TSignInQuestions.
    // The sender's domain lacks SPF or DMARC (Text says which and what the
    // large providers then do): true for 続ける, false for 中止.
    virtual bool ContinueDespiteDomain(const std::string& Text) = 0;

    // The run's largest message is above LargeMessageBytes and the server
    // named no limit (or was greeted with HELO): true to send all the same.
    // Question holds the size and the providers' limits. A front end that
    // cannot ask sends.
    virtual bool ConfirmLargeMessages(const std::string& Question)
    {
        (void)Question;
        return true;
    }

    // --- News --------------------------------------------------------------------
    // Only an unfinished run was to go on, and the list has none: the Send
    // ends without sending.
    virtual void NothingToResume() {}
    // Something the user should read before the run goes on (journal files
    // that cannot be read); answered by acknowledging it.
    virtual void Inform(const std::string& Text) = 0;
    // A passing state of the run (the status bar's text).
    virtual void Status(const std::string& Text) = 0;
    // A remark that stays for the run (the server mishandled pipelining).
    virtual void Notice(const std::string& Text) = 0;
    // The run is about to read its list: earlier counts and remarks go.
    virtual void Starting() = 0;
    // An entry's outcome as the journal records it, before Counts (a log
    // prints it; the window shows the counts alone).
    virtual void Outcome(const TJournalRow&) {}
    // The counts of the outcomes changed.
    virtual void Counts(const TRunPlan& Plan) = 0;
    // After each message the server accepted: how many of how many.
    virtual void Progress(int Sent, int Total) = 0;
    // A wait within the run begins.
    virtual void Waiting(TWait What, int64_t Ms) = 0;
    // The run has ended and its journal is closed.
    virtual void Summary(const TRunSummary& Summary) = 0;
    // A failure no Send returns (it left one of the run's timers).
    virtual void Failure(const std::exception& E) = 0;
    // The run or Abort's QUIT is over.
    virtual void Ended() = 0;
};
