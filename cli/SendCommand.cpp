#include "cli/SendCommand.h"

#include <cstdio>
#include <ctime>
#include <set>
#include <utility>
#include <unistd.h>

#include <QUrl>

#include "cli/Progress.h"
#include "cli/StopSignals.h"
#include "cli/TerminalFrontEnd.h"
#include "charset/CodePage.h"
#include "engine/Compliance.h"
#include "engine/ErrorWords.h"
#include "engine/MessageText.h"
#include "engine/OAuth.h"
#include "engine/OptOut.h"
#include "engine/RecipientSource.h"
#include "engine/Preview.h"
#include "engine/Passwords.h"
#include "engine/RunStart.h"
#include "engine/SendEngine.h"
#include "engine/SendRun.h"
#include "engine/SendSecurity.h"
#include "rtl/StringList.h"
#include "rtl/SysUtils.h"
#include "smtp/NMsmtp.h"
#include "smtp/PostMessage.h"

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
    return body;
}

std::string SignInHint(const TOAuthAccount& Account)
{
    return Account.ProviderName() + " にサインインしていません（" + Account.Login +
           "）。veltrow-send --sign-in を実行するか、ウィンドウの設定画面の「サインイン」でサインインしてから、"
           "もう一度実行してください。";
}

// The component of a dry run: the engine's own never assembles a message
// that does not go out, and the body it assembled is not public.
class TDrySmtp final : public TNMSMTP {
public:
    TDrySmtp() : TNMSMTP(nullptr) {}
    std::string Body() const
    {
        return std::string(BodyStream->Memory(), static_cast<size_t>(BodyStream->Size()));
    }
};

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
            Say(ErrorBoxText(e.what()));
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

    int Send()
    {
        const TSendRequest request{options_.To, options_.Subject, ReadBody(options_.Body), options_.Attach};
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
        if (!frontEnd_.AllSent().has_value()) {
            Say(frontEnd_.Refusal().empty() ? "送信を始めませんでした。" : frontEnd_.Refusal());
            return ecNotStarted;
        }
        return *frontEnd_.AllSent() ? ecAllSent : ecOtherOutcomes;
    }

    // Everything a Send reads and checks, every message composed; nothing
    // connects and nothing is written but the lock.
    int DryRun()
    {
        const std::string body = ReadBody(options_.Body);
        const std::optional<TOAuthAccount> account = Account();
        const TSettings& settings = engine_.Settings();
        TDrySmtp smtp;
        const TNMSMTP& model = engine_.Smtp();
        smtp.Host = model.Host;
        smtp.Port = model.Port;
        smtp.UserID = model.UserID;
        smtp.EncodeType = model.EncodeType;
        smtp.SubType = model.SubType;
        smtp.Charset = model.Charset;
        smtp.SetFinalHeader(*model.FinalHeader);
        smtp.PostMessage->FromAddress = settings.FromAddress;
        TSendSecurity(frontEnd_, engine_.Profile().TrustedCertificatesFile()).Check(settings, smtp);
        if (account && !OAuthKeeper().SignedIn(*account)) {
            Say(SignInHint(*account));
            return ecNotStarted;
        }
        // Opt-out list, footer and headers as the run has them, refused alike.
        const TCompliance compliance(settings, engine_.Profile().Folder);
        if (const std::string missing = compliance.MissingText(ComplianceMerge(nullptr, TPlanEntry{}));
            !missing.empty()) {
            Say(missing);
            return ecNotStarted;
        }
        TMessageText text(engine_.Encoder());
        TStringList lines;
        lines.SetText(body);
        text.Sender(settings.FromName, settings.Charset, smtp);
        text.Prepare(settings.Charset, options_.Subject, lines);

        TRunRequest request;
        request.RecipientFile = options_.To;
        request.Subject = options_.Subject;
        request.Body = body;
        request.CanCarry = [&text](const std::string& Name) { return text.CanCarry(Name); };
        request.JournalFolder = engine_.Profile().JournalFolder();
        request.PauseSeconds = settings.PauseSeconds;
        request.FrontEnd = &frontEnd_;
        request.OptedOut = [&compliance](const std::string& Address) { return compliance.OptedOut(Address); };
        const std::optional<TPreparedRun> prepared = PrepareRun(request);
        if (!prepared) {
            Say(frontEnd_.Refusal().empty() ? "送信を始められません。" : frontEnd_.Refusal());
            return ecNotStarted;
        }
        std::string first;
        int composed = 0, utf8 = 0;
        bool rowFound = options_.Row == 0;
        for (const TPlanEntry& e : prepared->Plan->Entries()) {
            if (e.Line == options_.Row && !e.Sendable) {
                Say(Format("%d 行目は送信しません（宛先不正: %s）。", e.Line, e.Problem ? e.Problem : ""));
                return ecNotStarted;
            }
            if (e.Line == options_.Row && e.OptedOut) {
                Say(Format("%d 行目は送信しません（配信停止: %s にあるアドレスです）。", e.Line, OptOutFileName));
                return ecNotStarted;
            }
            if (!e.Sendable || e.OptedOut)
                continue;
            ComposeRow(text, smtp, prepared->Source.get(), &compliance, e, settings.Charset, std::time(nullptr));
            // The charset the whole message took, its footer included.
            utf8 += smtp.Charset == CharsetLabel(mcUtf8) ? 1 : 0;
            smtp.AssembleMail();
            // The row asked for, else the first.
            if (options_.Row == 0 ? composed == 0 : e.Line == options_.Row && !std::exchange(rowFound, true)) {
                for (int i = 0; i < smtp.FinalHeader->Count(); ++i)
                    first += (*smtp.FinalHeader)[i] + "\n";
                first += '\n';
                first += smtp.Body();
            }
            ++composed;
        }
        if (!rowFound) {
            Say(Format("宛先リストに %d 行目の宛先はありません。", options_.Row));
            return ecNotStarted;
        }
        // What the confirmation says, then the first message as it would go.
        TRunOutline outline = Outline(*prepared);
        outline.Messages = composed;
        outline.Utf8 = utf8;
        outline.Auto = settings.Charset == mcAuto;
        frontEnd_.ConfirmRun(outline);
        std::string shown;
        for (char c : first)
            if (c != '\r')
                shown += c;
        std::fputs(shown.c_str(), stdout);
        std::fflush(stdout);
        Say("試しの実行です。どこにも接続していません。");
        return ecAllSent;
    }

    static TRunOutline Outline(const TPreparedRun& Prepared)
    {
        TRunOutline outline;
        std::set<std::string> addresses;
        for (const TPlanEntry& e : Prepared.Plan->Entries()) {
            outline.Invalid += e.Sendable ? 0 : 1;
            outline.OptedOut += e.Sendable && e.OptedOut ? 1 : 0;
            if (e.Sendable && !e.OptedOut) {
                const std::optional<TRecipientSource::TRow> row = Prepared.Source->Row(e);
                addresses.insert(LowerCase(row ? row->Address : ParseEntry(e.Entry).Address));
            }
        }
        outline.Addresses = static_cast<int>(addresses.size());
        outline.InvalidText = Prepared.Precheck;
        outline.Settled = Prepared.Resumes ? static_cast<int>(Prepared.Resumes->Settled.size()) : 0;
        return outline;
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
        const std::string said = engine_.TestSend(request, options_.Row, options_.TestTo);
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
