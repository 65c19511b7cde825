#include "engine/SendEngine.h"

#include <algorithm>
#include <set>

#include <QCoreApplication>

#include "engine/Journal.h"
#include "engine/MessageText.h"
#include "engine/OAuth.h"
#include "engine/RecipientSource.h"
#include "engine/Recipients.h"
#include "engine/SendRun.h"
#include "charset/CodePage.h"
#include "codec/NMUUE.h"
#include "platform/Tls.h"
#include "rtl/StringList.h"
#include "rtl/SysUtils.h"
#include "smtp/NMsmtp.h"
#include "smtp/PostMessage.h"
#include "smtp/Sasl.h"

namespace {

// The charset of the row's whole composed message, decided without encoding.
TMailCharset RowCharset(const TRecipientSource* Source, const TCharsetRule& Rule, const std::string& FromName,
                        const TPlanEntry& Entry)
{
    const std::optional<TRecipientSource::TRow> row = Source ? Source->Row(Entry) : std::nullopt;
    if (!row)
        return Rule.For(Entry.Entry);
    if (!Source->Merges())
        return Rule.For(row->To);
    return MessageCharset(Rule.Choice, {Source->Subject(row->Merge), Source->Body(row->Merge), FromName, row->Name});
}

}  // namespace

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
    run.OnCompose = [this](const TPlanEntry& Entry) {
        // One message at a time: the row's texts are merged right before it goes.
        const std::string line = source_ ? PrepareRowText(*text_, *source_, Entry, settings_.Charset) : Entry.Entry;
        text_->Compose(*smtp_, line, std::time(nullptr));
    };
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
    text_->Sender(settings.FromName, settings.Charset, *smtp_);
}

void TSendEngine::PrepareMessage(const TSendRequest& Request)
{
    TStringList body;
    body.SetText(Request.Body);
    text_->Prepare(settings_.Charset, Request.Subject, body);
    // At once, as ever: a Send refused during a run still gives the
    // messages that follow its subject and body.
    text_->Apply(*smtp_, text_->TextsCharset());
}

TRunRequest TSendEngine::ListRequest(const TSendRequest& Request)
{
    TRunRequest request;
    request.RecipientFile = Request.RecipientFile;
    request.Subject = Request.Subject;
    request.Body = Request.Body;
    request.CanCarry = [this](const std::string& Name) { return text_->CanCarry(Name); };
    return request;
}

std::unique_ptr<TListPreview> TSendEngine::Preview(const TSendRequest& Request)
{
    if (run_->Busy())
        throw Exception("送信中はプレビューできません。送信が終わってからもう一度どうぞ");
    LoadSettings();
    PrepareMessage(Request);
    std::optional<TCheckedList> list = ReadCheckedList(ListRequest(Request));
    if (!list)
        return nullptr;
    return std::make_unique<TListPreview>(std::move(*list), settings_);
}

void TSendEngine::ConnectTrusting()
{
    for (;;) {
        security_.BeforeConnect(*smtp_, true, [this](const std::string& Why) {
            frontEnd_.Status(Why.substr(0, Why.find('\n')) + " ブラウザでサインインしてください。");
        });
        try {
            smtp_->Connect();
            return;
        } catch (const tls::ECertificateError& e) {
            if (smtp_->Connected)
                smtp_->TPowersock::Disconnect();
            if (!security_.TrustAfter(e, *smtp_))
                throw;
        }
    }
}

std::string TSendEngine::TestSend(const TSendRequest& Request, int Line, const std::string& Address)
{
    if (run_->Busy())
        throw Exception("送信中はテスト送信できません。送信が終わってからもう一度どうぞ");
    std::unique_ptr<TListPreview> preview = Preview(Request);
    if (!preview)
        return {};
    std::string to = Address;
    to.erase(0, to.find_first_not_of(" \t"));
    to.erase(to.find_last_not_of(" \t") + 1);
    if (to.empty())
        to = settings_.FromAddress;
    if (!IsUsableAddress(to))
        throw Exception("テスト送信の宛先「" + to + "」はメールアドレスとして使えません");
    std::optional<size_t> index = preview->IndexOf(Line);
    const std::vector<TPlanEntry>& entries = preview->Entries();
    if (Line <= 0) {
        const auto first = std::find_if(entries.begin(), entries.end(), [](const TPlanEntry& e) { return e.Sendable; });
        if (first != entries.end())
            index = static_cast<size_t>(first - entries.begin());
    }
    if (!index)
        throw Exception(Format("宛先リストに %d 行目の宛先はありません", Line));
    const TComposedRow row = preview->Compose(*index, to, "[テスト] ");
    TStringList body;
    body.SetText(row.Body);
    text_->Prepare(settings_.Charset, row.Subject, body);
    security_.Check(settings_, *smtp_);
    if (!security_.Prepare(settings_, *smtp_))
        return {};
    try {
        ConnectTrusting();
    } catch (const sasl::EAuthError& e) {
        security_.LoginRefused();
        throw;
    }
    std::string reply;
    try {
        text_->Compose(*smtp_, row.To, std::time(nullptr));
        smtp_->SendMail();
        reply = smtp_->LastReply;
        smtp_->Disconnect();
    } catch (...) {
        if (smtp_->Connected)
            smtp_->TPowersock::Disconnect();
        throw;
    }
    return "テスト送信: " + to + " 宛てに送りました。サーバーの応答: " + reply;
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
    request.KeepAnswering = KeepAnswering();
    request.FrontEnd = &frontEnd_;
    frontEnd_.Starting();
    std::optional<TPreparedRun> prepared = ::PrepareRun(request);
    if (!prepared)
        return prepared;
    source_ = prepared->Source;
    if (!prepared->Precheck.empty())
        frontEnd_.Status(prepared->Precheck);
    // The trusted certificate's retry is the run already confirmed.
    if (!confirmed_) {
        const TRunOutline outline = Outline(*prepared);
        // Stopped while counting: nothing to confirm.
        if (run_->AbortAsked() || !frontEnd_.ConfirmRun(outline))
            return std::nullopt;
    }
    // The password is asked for only once the run is sure to go.
    if (!security_.Prepare(settings_, *smtp_))
        return std::nullopt;
    return prepared;
}

TRunOutline TSendEngine::Outline(const TPreparedRun& Prepared) const
{
    TRunOutline outline;
    outline.Auto = settings_.Charset == mcAuto;
    // A long list takes a while: counted on a thread of its own, with a copy
    // of what decides the charsets, while the window keeps answering.
    const TCharsetRule rule = text_->CharsetRule();
    // The source is never changed once made; the sender's name is copied.
    const TRecipientSource* const source = Prepared.Source.get();
    const std::string fromName = settings_.FromName;
    const std::vector<TPlanEntry>& entries = Prepared.Plan->Entries();
    TRunOutline counted;
    const auto count = [&](const std::atomic<bool>& Stop) {
        std::set<std::string> addresses;
        for (size_t i = 0; i < entries.size() && !Stop; ++i) {
            const TPlanEntry& e = entries[i];
            if (!e.Sendable) {
                ++counted.Invalid;
                continue;
            }
            ++counted.Messages;
            if (!source || source->Merges() || source->IsTable()) {
                const std::optional<TRecipientSource::TRow> row = source ? source->Row(e) : std::nullopt;
                addresses.insert(LowerCase(row ? row->Address : ParseEntry(e.Entry).Address));
                counted.Utf8 += RowCharset(source, rule, fromName, e) == mcUtf8 ? 1 : 0;
                continue;
            }
            const TEntryParts parts = ParseEntry(e.Entry);
            addresses.insert(LowerCase(parts.Address));
            counted.Utf8 += rule.For(parts) == mcUtf8 ? 1 : 0;
        }
        counted.Addresses = static_cast<int>(addresses.size());
    };
    if (!WorkAnswering(count, KeepAnswering()))
        return outline;
    outline.Messages = counted.Messages;
    outline.Invalid = counted.Invalid;
    outline.Utf8 = counted.Utf8;
    outline.Addresses = counted.Addresses;
    outline.InvalidText = Prepared.Precheck;
    outline.Settled = Prepared.Resumes ? static_cast<int>(Prepared.Resumes->Settled.size()) : 0;
    outline.SentBefore = FindFinishedRun(Prepared.JournalFolder, Prepared.Identity).value_or("");
    return outline;
}

std::function<bool()> TSendEngine::KeepAnswering() const
{
    return [this] {
        QCoreApplication::processEvents();
        return !run_->AbortAsked();
    };
}

void TSendEngine::Summarize(const TRunPlan& Plan, const std::string& JournalPath, const std::string& Failure)
{
    TRunSummary summary;
    summary.Plan = &Plan;
    summary.JournalPath = JournalPath;
    summary.Failure = Failure;
    summary.Auto = settings_.Charset == mcAuto;
    const TCharsetRule rule = text_->CharsetRule();
    for (size_t i = 0; i < Plan.Entries().size(); ++i)
        if (Plan.OutcomeOf(i) == TOutcome::Sent &&
            RowCharset(source_.get(), rule, settings_.FromName, Plan.Entries()[i]) == mcUtf8)
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
