// The engine's questions answered from veltrow-send's options and the
// terminal, its news printed: nobody sits in front of a cron job, so every
// question that has no option to answer it ends the Send before anything
// connects, saying which option to pass.
#pragma once

#include <optional>
#include <string>

#include "cli/Options.h"
#include "engine/run/FrontEnd.h"

class TProgressPrinter;
class TStopSignals;

class TTerminalFrontEnd final : public TRunFrontEnd {
public:
    TTerminalFrontEnd(const TSendOptions& Options, TProgressPrinter& Printer, TStopSignals& Stops);

    TResumeChoice AskResume(const std::vector<TPlanEntry>& Lines, const TResumePoint& Point) override;
    bool ConfirmRun(const TRunOutline& Outline) override;
    bool ConfirmEmptyFields(const std::string& Question) override;
    TDuplicatesChoice ConfirmRunWithDuplicates(const TRunOutline& Outline) override;
    bool SendWithoutMissingFiles(const std::string& Question) override;
    bool AllowFilesOutsideList(const std::string& Question) override;
    std::optional<std::string> AskPassword(const std::string& Login, const std::string& Server) override;
    bool TrustCertificate(const tls::ECertificateError& E, const std::string& Server,
                          const std::string& Question) override;
    bool ContinueDespiteDomain(const std::string& Text) override;
    bool ConfirmLargeMessages(const std::string& Question) override;

    void NothingToResume() override { nothingToResume_ = true; }
    void Inform(const std::string& Text) override;
    void Status(const std::string& Text) override;
    void Notice(const std::string& Text) override;
    void Starting() override;
    void Counts(const TRunPlan& Plan) override;
    void Outcome(const TJournalRow& Row) override;
    void Progress(int Sent, int Total) override;
    void Waiting(TWait What, int64_t Ms) override;
    void Summary(const TRunSummary& Summary) override;
    void Failure(const std::exception& E) override;
    void Ended() override;

    // The component's connection is open (the first and each reconnect):
    // the rate is measured from the first.
    void Connected(bool Encrypted);

    // Why a Send that returned without a run did not start; empty when
    // nothing was refused.
    const std::string& Refusal() const { return refusal_; }
    // The run reached its summary: nothing when it never started, else
    // whether every entry of the list is 送信済み.
    std::optional<bool> AllSent() const { return allSent_; }
    // --resume found no unfinished run to continue.
    bool NoRunToResume() const { return nothingToResume_; }

private:
    const TSendOptions& options_;
    TProgressPrinter& printer_;
    TStopSignals& stops_;
    std::string refusal_;
    std::optional<bool> allSent_;
    bool begun_ = false;
    bool nothingToResume_ = false;
    // The entries not reached get 未送信 one by one as the run ends: the
    // line is drawn once for all of them, by the summary.
    bool closing_ = false;
    struct TShown {
        int Sent = 0, Settled = 0, Total = 0;
        std::string Counts;
    };
    std::optional<TShown> unshown_;
};
