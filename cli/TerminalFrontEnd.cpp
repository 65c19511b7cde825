#include "cli/TerminalFrontEnd.h"

#include <unistd.h>

#include "cli/Password.h"
#include "cli/Progress.h"
#include "cli/StopSignals.h"
#include "engine/run/ErrorWords.h"
#include "platform/Tls.h"

namespace {

// The window's question ends in this; the command line cannot be asked.
const std::string ResumeAsked = "続きから送信しますか？";
const std::string ConfirmAsked = "\n\n送信しますか？";

std::string Without(std::string Text, const std::string& Part, const std::string& Instead = {})
{
    const size_t at = Text.find(Part);
    if (at != std::string::npos)
        Text.replace(at, Part.size(), Instead);
    return Text;
}

}  // namespace

TTerminalFrontEnd::TTerminalFrontEnd(const TSendOptions& Options, TProgressPrinter& Printer, TStopSignals& Stops)
    : options_(Options), printer_(Printer), stops_(Stops)
{
}

TResumeChoice TTerminalFrontEnd::AskResume(const std::vector<TPlanEntry>& Lines, const TResumePoint& Point)
{
    const std::string question = ResumeQuestion(Lines, Point);
    switch (options_.Resume) {
    case rmResume:
        printer_.Say(Without(question, ResumeAsked, "続きから送信します（--resume）。"));
        return rcContinue;
    case rmRestart:
        // The engine leaves the earlier run on offer after a dry run.
        if (options_.DryRun) {
            printer_.Say(Without(question, ResumeAsked, "--restart では最初から送信し直します（試しの実行では前回の送信記録はそのままです）。"));
            return rcRestart;
        }
        printer_.Say(Without(question, ResumeAsked, "最初から送信し直します（--restart）。"));
        return rcRestart;
    case rmAsk:
        break;
    }
    refusal_ = Without(question, ResumeAsked,
                       "続きから送るには --resume を、最初から全員に送り直すには --restart を付けて"
                       "もう一度実行してください。");
    return rcCancel;
}

bool TTerminalFrontEnd::ConfirmRun(const TRunOutline& Outline)
{
    // The command itself is the confirmation; what it is about to do goes
    // to the log all the same.
    printer_.Say(Without(ConfirmText(Outline), ConfirmAsked));
    // From here the run may record: a stop goes through the run's Abort,
    // so that its journal is complete. A dry run records nothing.
    if (!options_.DryRun)
        stops_.Immediate(false);
    return true;
}

bool TTerminalFrontEnd::ConfirmEmptyFields(const std::string& Question)
{
    const std::string asked = "送信しますか？";
    if (options_.AllowEmpty) {
        printer_.Say(Without(Question, asked, "--allow-empty のため送信します。"));
        return true;
    }
    refusal_ = Without(Question, asked, "空のまま送るには --allow-empty を付けてください。");
    return false;
}

TRunFrontEnd::TDuplicatesChoice TTerminalFrontEnd::ConfirmRunWithDuplicates(const TRunOutline& Outline)
{
    const std::string choice = "「同じアドレスには 1 通だけ」にすると";
    printer_.Say(Without(Without(ConfirmText(Outline), ConfirmAsked), choice,
                         options_.Unique ? "--unique のため" : "--unique を付けると"));
    return options_.Unique ? dcOncePerAddress : dcSendAll;
}

bool TTerminalFrontEnd::SendWithoutMissingFiles(const std::string& Question)
{
    const std::string asked = "これらの行を除いて送信しますか？";
    const std::string resume = "「続きから」";
    if (options_.SkipMissingFiles) {
        printer_.Say(Without(Without(Question, resume, " --resume "), asked,
                             "--skip-missing-files のため、これらの行を除いて送信します。"));
        return true;
    }
    refusal_ = Without(Without(Question, resume, " --resume "), asked,
                       "これらの行を除いて送るには --skip-missing-files を付けてください。");
    return false;
}

bool TTerminalFrontEnd::AllowFilesOutsideList(const std::string& Question)
{
    const std::string asked = "これらのファイルを添付して送信しますか？";
    if (options_.AllowFilesOutsideList) {
        printer_.Say(Without(Question, asked, "--allow-files-outside-list のため、添付して送信します。"));
        return true;
    }
    refusal_ = Without(Question, asked, "添付して送るには --allow-files-outside-list を付けてください。");
    return false;
}

std::optional<std::string> TTerminalFrontEnd::AskPassword(const std::string& Login, const std::string& Server)
{
    if (options_.PasswordFd >= 0)
        return ReadPasswordLine(options_.PasswordFd);
    if (::isatty(STDIN_FILENO)) {
        // The prompt turns the echo off and back on: a stop must let it.
        const bool immediate = stops_.IsImmediate();
        stops_.Immediate(false);
        std::optional<std::string> typed =
            AskPasswordOnTerminal(STDIN_FILENO, Login + "（" + Server + "）のパスワード: ");
        stops_.Immediate(immediate);
        if (!typed && !stops_.Stopped())
            refusal_ = "パスワードの入力が中断されました。";
        return typed;
    }
    refusal_ = "ログイン名 " + Login + "（サーバー " + Server +
               "）のパスワードがシステムのパスワード保管庫にありません。端末から実行して入力するか、"
               "--password-fd でパスワードを 1 行読めるファイル記述子を指定してください。";
    return std::nullopt;
}

bool TTerminalFrontEnd::TrustCertificate(const tls::ECertificateError& E, const std::string& Server,
                                         const std::string&)
{
    if (!options_.Trust.empty() && options_.Trust == NormalizeFingerprint(E.Fingerprint())) {
        // The trusted certificates' file is written now: not cut midway.
        stops_.Immediate(false);
        printer_.Say("サーバー（" + Server + "）のこの証明書を --trust の指定どおり今後は信頼します。");
        return true;
    }
    refusal_ = E.Message() + "\n\n";
    if (!options_.Trust.empty())
        refusal_ += "--trust で指定された " + options_.Trust + " はこの証明書のものではありません。";
    refusal_ += "このサーバー（" + Server + "）のこの証明書を信頼するなら、--trust " + E.Fingerprint() +
                " を付けてもう一度実行してください。";
    return false;
}

bool TTerminalFrontEnd::ConfirmLargeMessages(const std::string& Question)
{
    // The files were named on the command line on purpose; the log says
    // why a provider might refuse them.
    printer_.Say(Without(Question, "送信しますか？", "送信します。"));
    return true;
}

bool TTerminalFrontEnd::ContinueDespiteDomain(const std::string& Text)
{
    // Unattended, a record that is missing today is missing tomorrow too:
    // stopping every run would stop the office's mail, so the warning goes
    // to the log and the run goes on, unless --strict-domain says otherwise.
    if (options_.StrictDomain) {
        refusal_ = Text + "\n--strict-domain が指定されているため、送信しません。";
        return false;
    }
    printer_.Say(Text + "\n送信を続けます（止めるには --strict-domain を指定します）。");
    return true;
}

void TTerminalFrontEnd::Inform(const std::string& Text) { printer_.Say(Text); }

void TTerminalFrontEnd::Status(const std::string& Text) { printer_.Say(Text); }

void TTerminalFrontEnd::Notice(const std::string& Text) { printer_.Say(Text); }

void TTerminalFrontEnd::Starting() {}

void TTerminalFrontEnd::Connected(bool Encrypted)
{
    if (!begun_) {
        begun_ = true;
        printer_.Begin();
    }
    printer_.Say(Encrypted ? "暗号化して接続しました" : "接続しました");
}

void TTerminalFrontEnd::Counts(const TRunPlan& Plan)
{
    const TOutcomeCounts& counts = Plan.Counts();
    // Of the messages the run means to send: entries it never sends
    // (宛先不正, 配信停止) are counted beside, not in the total.
    const int skipped = counts[TOutcome::Invalid] + counts[TOutcome::OptedOut];
    int settled = -skipped;
    for (int of : counts.Of)
        settled += of;
    TShown shown{counts[TOutcome::Sent], settled, Plan.Total() - skipped, CountsText(counts)};
    if (closing_) {
        unshown_ = std::move(shown);
        return;
    }
    printer_.Progress(shown.Sent, shown.Settled, shown.Total, shown.Counts);
}

void TTerminalFrontEnd::Outcome(const TJournalRow& Row)
{
    // 未送信 comes only as the run ends, for every entry not reached.
    closing_ = closing_ || Row.Outcome == TOutcome::NotSent;
    printer_.Outcome(Row.Line, Row.Entry, OutcomeWord(Row.Outcome), Row.Reply);
}

void TTerminalFrontEnd::Progress(int, int)
{
    // Counts redraws the line at every outcome, accepted ones included.
}

void TTerminalFrontEnd::Waiting(TWait What, int64_t Ms)
{
    // The pause between two messages comes with every message: a line each
    // would drown the outcomes.
    if (What == TWait::Pacing)
        return;
    const long long seconds = (Ms + 999) / 1000;
    const char* what = What == TWait::Reconnect ? "サーバーとの接続が切れました。接続し直すまで"
                                                : "一時エラーの宛先へ送り直すまで";
    printer_.Say(Format("%s %lld 秒待ちます。", what, seconds));
}

void TTerminalFrontEnd::Summary(const TRunSummary& Summary)
{
    if (unshown_)
        printer_.Progress(unshown_->Sent, unshown_->Settled, unshown_->Total, unshown_->Counts);
    unshown_.reset();
    printer_.End();
    const TOutcomeCounts counts = Summary.Plan->ListCounts();
    // Over the whole list: a resumed run's plan leaves the settled lines out.
    bool others = false;
    // 配信停止 is the list doing its job, 重複 the user's choice: nothing to look after.
    for (int i = 0; i < OutcomeCount; ++i) {
        const auto o = static_cast<TOutcome>(i);
        others = others || (o != TOutcome::Sent && o != TOutcome::OptedOut && o != TOutcome::Duplicate && counts.Of[i] > 0);
    }
    allSent_ = Summary.Failure.empty() && !others;
    if (!Summary.Failure.empty())
        printer_.Say("送信を続けられませんでした: " + ErrorBoxText(Summary.Failure));
    std::string text = SummaryText(counts, Summary.JournalPath);
    // Ended early by a failure (a full disk, a server gone): the rest waits.
    if (!Summary.Failure.empty() && counts[TOutcome::NotSent] > 0)
        text += "\n残りは --resume で続きから送れます。";
    const std::string utf8 = Utf8Note(Summary.Utf8, Summary.Auto);
    if (!utf8.empty())
        text += "\n" + utf8;
    printer_.Say(text);
}

void TTerminalFrontEnd::Failure(const std::exception& E) { printer_.Say(ErrorBoxText(E.what())); }

void TTerminalFrontEnd::Ended() {}
