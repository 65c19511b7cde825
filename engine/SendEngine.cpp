#include "engine/SendEngine.h"

#include <set>

#include <QCoreApplication>

#include "engine/Journal.h"
#include "engine/MessageText.h"
#include "engine/OAuth.h"
#include "engine/Recipients.h"
#include "engine/SendRun.h"
#include "charset/CodePage.h"
#include "codec/NMUUE.h"
#include "platform/Tls.h"
#include "rtl/StringList.h"
#include "rtl/SysUtils.h"
#include "smtp/NMsmtp.h"
#include "smtp/Sasl.h"

TSendEngine::TSendEngine(TRunFrontEnd& FrontEnd, TProfile Profile)
    : frontEnd_(FrontEnd),
      profile_(std::move(Profile)),
      smtp_(std::make_unique<TNMSMTP>(nullptr)),
      encoder_(std::make_unique<TNMUUProcessor>(nullptr)),
      text_(std::make_unique<TMessageText>(*encoder_)),
      run_(std::make_unique<TSendRun>(*smtp_)),
      security_(FrontEnd, profile_.TrustedCertificatesFile())
{
    TNMSMTP& smtp = *smtp_;
    smtp.Port = 25;
    smtp.ReportLevel = 0;
    smtp.EncodeType = uuMime;
    smtp.ClearParams = true;
    smtp.SubType = mtPlain;
    smtp.Charset = "iso-2022-jp";
    smtp.SetFinalHeader(TExStringList{"MIME-Version: 1.0", "Content-Type: text/plain; charset=\"iso-2022-jp\""});
    // An unattended run must not wait for a silent server without end.
    smtp.ReplyTimeouts = TSmtpTimeouts::Recommended();

    TSendRun& run = *run_;
    run.OnPrepare = [this] { return PrepareRun(*request_); };
    run.OnHeaderForm = [this](const std::string& Entry) { return HeaderForm(Entry); };
    run.OnOutcome = [this](const TRunPlan& Plan) { frontEnd_.Counts(Plan); };
    run.OnRow = [this](const TJournalRow& Row) { frontEnd_.Outcome(Row); };
    run.OnNotice = [this](const std::string& Text) { frontEnd_.Notice(Text); };
    run.OnSummary = [this](const TRunPlan& Plan, const std::string& Path, const std::string& Failure) {
        Summarize(Plan, Path, Failure);
    };
    run.OnWait = [this](TWait What, int64_t Ms) { frontEnd_.Waiting(What, Ms); };
    run.OnEnded = [this] { frontEnd_.Ended(); };
    run.OnFailure = [this](const std::exception& E) { frontEnd_.Failure(E); };
    run.OnHarmlessFailure = [this](const std::string& Text) {
        frontEnd_.Status(
            "すべての宛先の結果は出ています。終了の挨拶 (QUIT) でエラーになりましたが、送り直す必要はありません: " + Text);
    };
    // Only the run's first connect may open the browser; a reconnect in a
    // long run renews the token by refresh alone.
    run.OnBeforeConnect = [this] {
        security_.BeforeConnect(*smtp_, !run_->Reconnecting(), [this](const std::string& Why) {
            // The provider's own words stay for the boxes.
            frontEnd_.Status(Why.substr(0, Why.find('\n')) + " ブラウザでサインインしてください。");
        });
    };
    run.OnLoginRefused = [this] { return security_.TokenRefused(*smtp_); };
    run.OnProgress = [this](int Sent, int Total) { frontEnd_.Progress(Sent, Total); };
}

TSendEngine::~TSendEngine()
{
    // The run points into the component; it goes first.
    run_.reset();
    smtp_.reset();
}

void TSendEngine::LoadSettings()
{
    // A file that fails midway still leaves the lines before the failure in
    // the component, and the others as they were.
    TSettings settings = settings_;
    settings.Host = smtp_->Host;
    settings.Port = IntToStr(smtp_->Port);
    settings.UserID = smtp_->UserID;
    settings.FromAddress = smtp_->PostMessage->FromAddress;
    struct TTake {
        TSendEngine& engine;
        TSettings& settings;
        ~TTake()
        {
            TNMSMTP& smtp = *engine.smtp_;
            smtp.Host = settings.Host;
            smtp.Port = StrToInt(settings.Port);
            smtp.UserID = settings.UserID;
            smtp.PostMessage->FromAddress = settings.FromAddress;
            engine.settings_ = settings;
        }
    } take{*this, settings};
    ReadSendSettings(profile_.SettingsFile(), settings);
    smtp_->PostMessage->FromName = text_->SenderName(settings.FromName, settings.Charset);
}

void TSendEngine::PrepareMessage(const TSendRequest& Request)
{
    TStringList body;
    body.SetText(Request.Body);
    text_->Prepare(settings_.Charset, Request.Subject, body, settings_.FromName);
    // At once, as ever: a Send refused during a run still gives the
    // messages that follow its subject and body.
    text_->Apply(*smtp_, text_->TextsCharset());
}

std::string TSendEngine::HeaderForm(const std::string& Entry)
{
    const TMessageText::TEntry entry = text_->Entry(Entry);
    // Each message in the charset its entry needs.
    text_->Apply(*smtp_, entry.Charset);
    return entry.Header;
}

std::optional<TPreparedRun> TSendEngine::PrepareRun(const TSendRequest& Request)
{
    TRunRequest request;
    request.RecipientFile = Request.RecipientFile;
    request.Subject = Request.Subject;
    request.Body = Request.Body;
    request.CanCarry = [this](const std::string& Name) { return text_->CanCarry(Name); };
    request.JournalFolder = profile_.JournalFolder();
    request.PauseSeconds = settings_.PauseSeconds;
    // A long list takes a while: Abort and the window's close still come through.
    request.KeepAnswering = [this] {
        QCoreApplication::processEvents();
        return !run_->AbortAsked();
    };
    request.FrontEnd = &frontEnd_;
    frontEnd_.Starting();
    std::optional<TPreparedRun> prepared = ::PrepareRun(request);
    if (!prepared)
        return prepared;
    if (!prepared->Precheck.empty())
        frontEnd_.Status(prepared->Precheck);
    // The trusted certificate's retry is the run already confirmed.
    if (!confirmed_ && !frontEnd_.ConfirmRun(Outline(*prepared)))
        return std::nullopt;
    // The password is asked for only once the run is sure to go.
    if (!security_.Prepare(settings_, *smtp_))
        return std::nullopt;
    return prepared;
}

TRunOutline TSendEngine::Outline(const TPreparedRun& Prepared) const
{
    TRunOutline outline;
    outline.Auto = settings_.Charset == mcAuto;
    std::set<std::string> addresses;
    for (const TPlanEntry& e : Prepared.Plan->Entries()) {
        if (!e.Sendable) {
            ++outline.Invalid;
            continue;
        }
        ++outline.Messages;
        std::string name, address;
        SplitEntry(e.Entry, name, address);
        addresses.insert(LowerCase(address));
        outline.Utf8 += text_->Entry(e.Entry).Charset == mcUtf8 ? 1 : 0;
    }
    outline.Addresses = static_cast<int>(addresses.size());
    outline.InvalidText = Prepared.Precheck;
    outline.Settled = Prepared.Resumes ? static_cast<int>(Prepared.Resumes->Settled.size()) : 0;
    outline.SentBefore = FindFinishedRun(Prepared.JournalFolder, Prepared.Identity).value_or("");
    return outline;
}

void TSendEngine::Summarize(const TRunPlan& Plan, const std::string& JournalPath, const std::string& Failure)
{
    TRunSummary summary;
    summary.Plan = &Plan;
    summary.JournalPath = JournalPath;
    summary.Failure = Failure;
    summary.Auto = settings_.Charset == mcAuto;
    for (size_t i = 0; i < Plan.Entries().size(); ++i)
        if (Plan.OutcomeOf(i) == TOutcome::Sent && text_->Entry(Plan.Entries()[i].Entry).Charset == mcUtf8)
            ++summary.Utf8;
    frontEnd_.Summary(summary);
}

void TSendEngine::Send(const TSendRequest& Request)
{
    // Read afresh at every Send: a Send during a run is refused, but its
    // subject and body reach the messages that follow.
    LoadSettings();
    PrepareMessage(Request);
    // A login without encryption is refused before the run is confirmed.
    security_.Check(settings_, *smtp_);
    // The request lives in the caller's frame; a Send refused during a run
    // must not leave the run pointing at it.
    const TSendRequest* const before = request_;
    struct TRestore {
        const TSendRequest*& at;
        const TSendRequest* value;
        ~TRestore() { at = value; }
    } restore{request_, before};
    if (!run_->Busy())
        request_ = &Request;
    try {
        SendTrusting();
    } catch (const sasl::EAuthError& e) {
        security_.LoginRefused();
        if (security_.OAuth())
            throw EOAuthError("サーバーがサインインを受け付けませんでした。もう一度サインインしてください。\nサーバーの応答: " +
                                  e.Reply(),
                              true);
        throw;
    }
}

void TSendEngine::SendTrusting()
{
    try {
        run_->Send();
    } catch (const tls::ECertificateError& e) {
        // The question shows the reasons; trusted, the Send goes on at once.
        if (security_.TrustAfter(e, *smtp_)) {
            confirmed_ = true;
            try {
                run_->Send();
            } catch (...) {
                confirmed_ = false;
                throw;
            }
            confirmed_ = false;
        }
    }
}

void TSendEngine::Abort()
{
    // A sign-in in the browser is part of the run's connect.
    OAuthKeeper().AbortSignIn();
    run_->Abort();
}

void TSendEngine::Close()
{
    // A run would otherwise go on unseen until its last message.
    OAuthKeeper().AbortSignIn();
    run_->WindowClosed();
}
