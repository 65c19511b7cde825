#include "cli/SendCommand.h"

#include <cstdio>
#include <unistd.h>

#include <QUrl>

#include "cli/Progress.h"
#include "cli/StopSignals.h"
#include "cli/TerminalFrontEnd.h"
#include "charset/CodePage.h"
#include "engine/run/ErrorWords.h"
#include "engine/account/OAuth.h"
#include "engine/list/OptOut.h"
#include "engine/account/Passwords.h"
#include "engine/run/SendEngine.h"
#include "platform/Tls.h"
#include "rtl/StringList.h"
#include "rtl/SysUtils.h"

namespace {

void Say(const std::string& Text)
{
    std::fprintf(stderr, "veltrow-send: %s\n", Text.c_str());
    std::fflush(stderr);
}

// The body file's lines as the window's body field holds them: apart at LF.
std::string ReadBody(const std::string& Path)
{
    TStringList lines;
    try {
        ReadTextFile(Path, lines);
    } catch (ECodePageError& e) {
        e.SetMessage("本文 " + e.Message());
        throw;
    }
    std::string body;
    for (int i = 0; i < lines.Count(); ++i)
        body += (i ? "\n" : "") + lines[i];
    // The body's lines end at LF, the last one's end left out; an empty last
    // line is only there when its end is written.
    if (lines.Count() > 0 && lines[lines.Count() - 1].empty())
        body += "\n";
    return body;
}

std::string SignInHint(const TOAuthAccount& Account)
{
    return Account.ProviderName() + " にサインインしていません（" + Account.Login +
           "）。veltrow-send --sign-in を実行するか、ウィンドウの設定画面の「サインイン」でサインインしてから、"
           "もう一度実行してください。";
}

class TCommand {
public:
    explicit TCommand(const TSendOptions& Options)
        : options_(Options),
          printer_(stdout, stderr, ::isatty(STDOUT_FILENO) != 0, [] { return TickCount(); }),
          frontEnd_(options_, printer_, stops_),
          engine_(frontEnd_, TProfile{Options.Profile})
    {
        engine_.Smtp().OnConnect = [this](TObject*) { frontEnd_.Connected(engine_.Smtp().Encrypted()); };
        // Acted on from the event loop that every wait of the run keeps
        // running: the run stops as after Abort, its journal complete.
        stops_.OnStop = [this](int) {
            try {
                engine_.Abort();
            } catch (const std::exception& e) {
                // Outside a run Abort says QUIT on a connection left open; the
                // program ends either way, and no exception may cross Qt.
                printer_.Say(ErrorBoxText(e.what()));
            }
        };
    }

    int Run()
    {
        // Until the run may record something, a stop ends the process at once.
        if (!options_.SignIn && options_.OptOut.empty())
            stops_.Immediate(ecStopped, "veltrow-send: 中断しました。何も送っていません。");
        try {
            const int code = options_.SignIn            ? SignIn()
                             : !options_.OptOut.empty() ? OptOut()
                             : options_.DryRun          ? DryRun()
                             : !options_.TestTo.empty() ? TestSend()
                                                        : Send();
            return stops_.Stopped() ? ecStopped : code;
        } catch (const std::exception& e) {
            printer_.End();
            if (stops_.Stopped()) {
                Say("中断しました。");
                return ecStopped;
            }
            Say(ErrorBoxText(e.what(), ServerText(engine_.Settings().Host, engine_.Settings().Port)));
            // A failure after the run's summary leaves its outcomes standing.
            return frontEnd_.AllSent().has_value() ? ecOtherOutcomes : ecNotStarted;
        }
    }

private:
    // The account of the settings' OAuth login, nothing for a password login.
    std::optional<TOAuthAccount> Account()
    {
        engine_.LoadSettings();
        return TOAuthAccount::From(engine_.Settings());
    }

    // The request of a run: with --resume only an unfinished run goes on.
    TSendRequest RunRequest() const
    {
        TSendRequest request{options_.To, options_.Subject, ReadBody(options_.Body), options_.Attach};
        request.OnlyUnfinished = options_.Resume == rmResume;
        return request;
    }

    // --resume and no unfinished run: a scheduled resume has nothing to do.
    int NothingToResume()
    {
        Say("続きから送る送信はありません（この宛先ファイル、タイトル、本文で止まった送信はありません）。何も送りませんでした。");
        return ecAllSent;
    }

    int Send()
    {
        const TSendRequest request = RunRequest();
        // Nobody may be at the machine: a browser must not open by itself.
        OAuthKeeper().OpenBrowser = [this](const QUrl&) {
            signInNeeded_ = true;
            return false;
        };
        const std::optional<TOAuthAccount> account = Account();
        if (account && !OAuthKeeper().SignedIn(*account)) {
            Say(SignInHint(*account));
            return ecNotStarted;
        }
        if (stops_.Stopped())
            return ecStopped;
        try {
            engine_.Send(request);
        } catch (const EOAuthError&) {
            if (!signInNeeded_ || !account)
                throw;
            printer_.End();
            Say(SignInHint(*account));
            return ecNotStarted;
        }
        printer_.End();
        if (stops_.Stopped()) {
            Say(frontEnd_.AllSent().has_value() ? "中断しました。送信記録は完全です。残りは --resume で続きから送れます。"
                                                : "中断しました。何も送っていません。");
            return ecStopped;
        }
        if (frontEnd_.NoRunToResume())
            return NothingToResume();
        if (!frontEnd_.AllSent().has_value()) {
            Say(frontEnd_.Refusal().empty() ? "送信を始めませんでした。" : frontEnd_.Refusal());
            return ecNotStarted;
        }
        return *frontEnd_.AllSent() ? ecAllSent : ecOtherOutcomes;
    }

    // Everything a Send reads, checks and asks before it connects, every
    // message composed; the mail server is never contacted.
    int DryRun()
    {
        const TSendRequest request = RunRequest();
        const std::optional<TOAuthAccount> account = Account();
        if (account && !OAuthKeeper().SignedIn(*account)) {
            Say(SignInHint(*account));
            return ecNotStarted;
        }
        const std::optional<TDryRun> dry = engine_.DryRun(request, options_.Row);
        if (!dry && frontEnd_.NoRunToResume())
            return NothingToResume();
        if (!dry) {
            Say(frontEnd_.Refusal().empty() ? "送信を始められません。" : frontEnd_.Refusal());
            return ecNotStarted;
        }
        // The message as it would go, its files named after it with their sizes as sent.
        std::string first;
        for (const std::string& line : dry->Header)
            first += line + "\n";
        first += '\n';
        // With files it ends where the first one's encoded text would begin.
        first += dry->Body;
        for (const auto& file : dry->Files)
            first += "添付ファイル: " + file->FileName + "（" + file->MediaType + "、エンコード後 " +
                     std::to_string(file->EncodedSize) + " バイト）\n";
        std::string shown;
        for (char c : first)
            if (c != '\r')
                shown += c;
        std::fputs(shown.c_str(), stdout);
        std::fflush(stdout);
        Say("試しの実行です。どこにも接続していません。");
        return ecAllSent;
    }

    // --opt-out: one address more on the profile's opt-out list.
    int OptOut()
    {
        const std::string& address = options_.OptOut;
        if (AddOptOut(engine_.Profile().Folder, address))
            Say("「" + address + "」を " + OptOutFileName + " に加えました。今後このアドレスには送りません。");
        else
            Say("「" + address + "」は " + OptOutFileName + " にすでにあります。");
        return ecAllSent;
    }

    // One row's message to one address, outside any run: no journal, no counts.
    int TestSend()
    {
        const TSendRequest request{options_.To, options_.Subject, ReadBody(options_.Body), options_.Attach};
        OAuthKeeper().OpenBrowser = [](const QUrl&) { return false; };
        const std::optional<TOAuthAccount> account = Account();
        if (account && !OAuthKeeper().SignedIn(*account)) {
            Say(SignInHint(*account));
            return ecNotStarted;
        }
        std::string said;
        try {
            said = engine_.TestSend(request, options_.Row, options_.TestTo);
        } catch (const tls::ECertificateError&) {
            // Refused as the run refuses it: the fingerprint for --trust is named.
            if (frontEnd_.Refusal().empty())
                throw;
            Say(frontEnd_.Refusal());
            return ecNotStarted;
        }
        if (said.empty()) {
            Say(frontEnd_.Refusal().empty() ? "テスト送信を取りやめました。" : frontEnd_.Refusal());
            return ecNotStarted;
        }
        Say(said);
        return ecAllSent;
    }

    int SignIn()
    {
        const std::optional<TOAuthAccount> account = Account();
        if (!account) {
            Say("設定のログイン方式がパスワードのため、サインインは要りません（Microsoft 365 か Google のときに使います）。");
            return ecNotStarted;
        }
        Say("ブラウザで " + account->ProviderName() + " のサインイン画面を開きます。5 分以内にサインインしてください。");
        OAuthKeeper().SignIn(*account);
        if (!Passwords().SystemStoreRuns()) {
            Say("サインインしましたが、システムのパスワード保管庫が動いていないため保存できません。"
                "GNOME Keyring などの Secret Service を動かしてから、もう一度実行してください。");
            return ecNotStarted;
        }
        Say(account->ProviderName() + " にサインインしました（" + account->Login + "）。");
        return ecAllSent;
    }

    const TSendOptions& options_;
    TStopSignals stops_;
    TProgressPrinter printer_;
    TTerminalFrontEnd frontEnd_;
    TSendEngine engine_;
    bool signInNeeded_ = false;  // the run would have opened the browser
};

}  // namespace

int RunSendCommand(const TSendOptions& Options)
{
    TCommand command(Options);
    return command.Run();
}
