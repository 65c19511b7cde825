// Driving the engine as a front end would: a front end that records what it
// is told and answers what it is asked as the test says, and a profile
// folder per test, so no test changes the process's working folder.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/run/FrontEnd.h"
#include "engine/run/SendEngine.h"
#include "tests/support/SmtpSink.h"

namespace enginetest {

class TTestFrontEnd : public TRunFrontEnd {
public:
    // --- Answers
    TResumeChoice Resume = rcContinue;
    bool Confirm = true;
    bool SendEmpty = false;  // the answer to fields empty in some rows
    std::optional<std::string> Password;
    bool Trust = false;
    bool ContinueDomain = true;
    bool Large = true;  // send a run of large messages
    bool SkipMissing = false;   // send the rows whose files are there
    bool AllowOutside = false;  // attach files outside the list's folder
    TDuplicatesChoice Repeated = dcSendAll;
    // Runs at every accepted message, inside the run (the user acting).
    std::function<void(int Sent)> AtProgress;

    // --- What it was asked and told, in order
    std::vector<std::string> Questions;  // the resume, trust and domain questions' texts
    std::vector<TRunOutline> Confirmations;
    std::vector<std::string> EmptyQuestions;
    std::vector<std::string> LargeQuestions;
    std::vector<std::string> MissingQuestions, OutsideQuestions;
    std::vector<std::string> PasswordsAsked;  // "login@server"
    std::vector<std::string> Informed, Statuses, Notices, Failures;
    std::vector<std::string> Progressed;  // "3/120"
    struct TSummaryCopy {
        TOutcomeCounts Counts;
        std::string JournalPath;
        std::string Failure;
        int Utf8 = 0;
    };
    std::vector<TSummaryCopy> Summaries;
    int Starts = 0, Ends = 0;

    TResumeChoice AskResume(const std::vector<TPlanEntry>& Lines, const TResumePoint& Point) override;
    bool ConfirmRun(const TRunOutline& Outline) override;
    bool ConfirmEmptyFields(const std::string& Question) override
    {
        EmptyQuestions.push_back(Question);
        return SendEmpty;
    }
    TDuplicatesChoice ConfirmRunWithDuplicates(const TRunOutline& Outline) override
    {
        Confirmations.push_back(Outline);
        return Confirm ? Repeated : dcCancel;
    }
    bool SendWithoutMissingFiles(const std::string& Question) override
    {
        MissingQuestions.push_back(Question);
        return SkipMissing;
    }
    bool AllowFilesOutsideList(const std::string& Question) override
    {
        OutsideQuestions.push_back(Question);
        return AllowOutside;
    }
    std::optional<std::string> AskPassword(const std::string& Login, const std::string& Server) override;
    bool TrustCertificate(const tls::ECertificateError& E, const std::string& Server,
                          const std::string& Question) override;
    bool ContinueDespiteDomain(const std::string& Text) override
    {
        Questions.push_back(Text);
        return ContinueDomain;
    }
    bool ConfirmLargeMessages(const std::string& Question) override
    {
        LargeQuestions.push_back(Question);
        return Large;
    }
    void Inform(const std::string& Text) override { Informed.push_back(Text); }
    void Status(const std::string& Text) override { Statuses.push_back(Text); }
    void Notice(const std::string& Text) override { Notices.push_back(Text); }
    void Starting() override { ++Starts; }
    void Counts(const TRunPlan&) override {}
    void Progress(int Sent, int Total) override;
    void Waiting(TWait, int64_t) override {}
    void Summary(const TRunSummary& Summary) override;
    void Failure(const std::exception& E) override { Failures.push_back(E.what()); }
    void Ended() override { ++Ends; }
};

// A profile folder of the test's own with an engine on it.
class EngineTest : public ::testing::Test {
protected:
    EngineTest();
    ~EngineTest() override;

    // 設定.txt of the profile: the five lines and Extension (lines 6 on,
    // each with its CR LF), sending as Taro <taro@example.jp>.
    void WriteSettings(uint16_t Port, const std::string& Extension = "");
    // A file of the profile folder; returns its path.
    std::string WriteFile(const std::string& Name, const std::string& Bytes) const;
    TSendRequest Request(const std::string& ListBytes, const std::string& Subject = "件名",
                         const std::string& Body = "本文\n") const;
    // Send that records what it raised instead of raising it.
    std::string SendFailure(const TSendRequest& Request);
    // Sends Request to a server that takes the message to a@example.jp, the
    // first entry, and then closes: the run stops unfinished, to be resumed.
    void SendStoppedAfterFirst(const TSendRequest& Request);

    const testsupport::TempFolder profile;
    TTestFrontEnd ui;
    std::unique_ptr<TSendEngine> engine;
};

}  // namespace enginetest
