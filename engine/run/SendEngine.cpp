#include "engine/run/SendEngine.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <utility>

#include <QCoreApplication>
#include <QDate>

#include "engine/compose/Compliance.h"
#include "engine/compose/Attachments.h"
#include "engine/journal/Journal.h"
#include "engine/compose/MessageText.h"
#include "engine/account/OAuth.h"
#include "engine/list/OptOut.h"
#include "engine/list/RecipientSource.h"
#include "engine/list/Recipients.h"
#include "engine/run/SendEngineRows.h"
#include "engine/run/SendRun.h"
#include "charset/CodePage.h"
#include "codec/NMUUE.h"
#include "platform/Tls.h"
#include "rtl/StringList.h"
#include "rtl/SysUtils.h"
#include "smtp/NMsmtp.h"
#include "smtp/PostMessage.h"
#include "smtp/Sasl.h"

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

TSendEngine::TSendEngine(TRunFrontEnd& FrontEnd, TProfile Profile)
    : frontEnd_(FrontEnd),
      profile_(std::move(Profile)),
      smtp_(std::make_unique<TNMSMTP>(nullptr)),
      encoder_(std::make_unique<TNMUUProcessor>(nullptr)),
      text_(std::make_unique<TMessageText>(*encoder_)),
      run_(std::make_unique<TSendRun>(*smtp_)),
      security_(FrontEnd, profile_.TrustedCertificatesFile())
{
    DomainCheck = DnsOptionsFromEnvironment();
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
        ComposeRow(*text_, *smtp_, source_.get(), compliance_.get(), Entry, settings_.Charset, std::time(nullptr));
    };
    run.OnAttachments = [this](int Line) { return attachments_ ? attachments_->Parts(Line) : TParts{}; };
    // Only now is it known whether the server names its limit (EHLO SIZE).
    run.OnConnected = [this] { return smtp_->SizeLimit() > 0 || LargeMessagesAccepted(); };
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

TRowMerge TSendEngine::MergeOf(const TPlanEntry& Entry) const
{
    return ComplianceMerge(source_.get(), Entry);
}

std::string TSendEngine::FooterOf(const TPlanEntry& Entry) const
{
    return compliance_ && compliance_->Advertising() ? compliance_->Footer(MergeOf(Entry)) : std::string();
}

TCharsetRule TSendEngine::CharsetRule() const
{
    TCharsetRule rule = text_->CharsetRule();
    // The footer's own text is the same in every row; list fields in it are
    // weighed per message when it is composed.
    const std::string footer = FooterOf(TPlanEntry{});
    rule.TextsStrict = rule.TextsStrict && (footer.empty() || IsStrictJis(footer));
    return rule;
}

void TSendEngine::PrepareCompliance()
{
    compliance_ = std::make_unique<TCompliance>(settings_, profile_.Folder);
    // Before the list is read or anything asked: the items come from the
    // settings and the footer's wording, the same for every row.
    const std::string missing = compliance_->MissingText(RowMerge(fields_, EntryRow("", "")));
    if (!missing.empty())
        throw Exception(missing);
}

void TSendEngine::PrepareFields() const
{
    const std::string refusal = compliance_->FieldsRefusal(source_ ? source_->Fields() : fields_);
    if (!refusal.empty())
        throw Exception(refusal);
}

void TSendEngine::CheckFooters(const TRunPlan& Plan) const
{
    if (!compliance_->Advertising())
        return;
    std::string checked;
    for (const TPlanEntry& e : Plan.Entries()) {
        if (!e.Sendable || e.OptedOut)
            continue;
        // A footer without list fields is the same in every row.
        std::string footer = FooterOf(e);
        if (footer == checked)
            continue;
        try {
            text_->CheckFooter(footer);
        } catch (ECodePageError& error) {
            error.SetMessage(Format("宛先 %d 行目の", e.Line) + error.Message());
            throw;
        }
        checked = std::move(footer);
    }
}

bool TSendEngine::DomainAccepted()
{
    if (ReservedForExamples(DomainOf(settings_.FromAddress)))
        return true;
    const std::optional<TDomainReport> report =
        CheckSenderDomain(profile_.Folder, settings_.FromAddress, QDate::currentDate(), DomainCheck,
                          [this] { frontEnd_.Status("送信者のドメインの SPF と DMARC を確かめています…"); });
    const std::string text = report ? DomainReportText(*report) : std::string();
    if (text.empty())
        return true;
    if (report->Missing())
        return frontEnd_.ContinueDespiteDomain(text);
    // The lookup failed: said, and the run goes on.
    frontEnd_.Notice(text);
    return true;
}

TRunRequest TSendEngine::ListRequest(const TSendRequest& Request)
{
    TRunRequest request;
    request.RecipientFile = Request.RecipientFile;
    request.Subject = Request.Subject;
    request.Body = Request.Body;
    request.CanCarry = [this](const std::string& Name) { return text_->NameProblem(Name); };
    return request;
}

void AddRowFiles(const TRecipientSource& Source, std::map<int, std::vector<std::string>>& PerRow)
{
    const TListTable* table = Source.Table();
    if (!table)
        return;
    const std::vector<std::string>& header = table->Header();
    size_t column = header.size();
    for (size_t i = 0; i < header.size() && column == header.size(); ++i)
        if (const std::string key = FieldKey(header[i]); key == "添付ファイル" || key == "添付")
            column = i;
    if (column == header.size())
        return;
    for (size_t r = 0; r < table->Rows(); ++r) {
        const std::string_view cell = table->Cell(r, column);
        if (IsBlankCell(cell))
            continue;
        const std::string merged = TMergeTemplate(cell, Source.Fields()).Merge(TableRow(*table, r));
        std::vector<std::string>& files = PerRow[table->RowNumber(r)];
        size_t from = 0;
        while (from <= merged.size()) {
            size_t to = merged.find(';', from);
            if (to == std::string::npos)
                to = merged.size();
            std::string path = merged.substr(from, to - from);
            if (!IsBlankCell(path))
                files.push_back(Trim(path));
            from = to + 1;
        }
    }
}

std::unique_ptr<TListPreview> TSendEngine::Preview(const TSendRequest& Request)
{
    if (run_->Busy())
        throw Exception("送信中はプレビューできません。送信が終わってからもう一度どうぞ");
    LoadSettings();
    PrepareMessage(Request);
    // The footer and the unsubscribe headers as the run would add them; a
    // footer lacking a required item is the run's refusal, not the preview's.
    auto compliance = std::make_shared<const TCompliance>(settings_, profile_.Folder);
    TRunRequest request = ListRequest(Request);
    request.OptedOut = [compliance](const std::string& Address) { return compliance->OptedOut(Address); };
    std::optional<TCheckedList> list = ReadCheckedList(request);
    if (!list)
        return nullptr;
    // The files as the run would take them.
    std::map<int, std::vector<std::string>> perRow = Request.RowAttachments;
    AddRowFiles(*list->Source, perRow);
    std::shared_ptr<TRunAttachments> files;
    if (!Request.Attachments.empty() || !perRow.empty())
        files = std::make_shared<TRunAttachments>(Request.Attachments, perRow,
                                                  std::filesystem::path(Request.RecipientFile).parent_path().string());
    std::optional<std::vector<TRowVerdict>> verdicts = PreviewRows(*list, files.get(), compliance.get());
    if (!verdicts)
        return nullptr;
    return std::make_unique<TListPreview>(std::move(*list), settings_, std::move(compliance), std::move(files),
                                          std::move(*verdicts));
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
    std::string to = Trim(Address, TBlanks::Spaces);
    if (to.empty())
        to = settings_.FromAddress;
    if (!IsUsableAddress(to))
        throw Exception("テスト送信の宛先「" + to + "」はメールアドレスとして使えません");
    std::optional<size_t> index = preview->IndexOf(Line);
    const std::vector<TPlanEntry>& entries = preview->Entries();
    if (Line <= 0) {
        const auto first = std::find_if(entries.begin(), entries.end(), [](const TPlanEntry& e) { return Goes(e); });
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
        text_->Compose(*smtp_, row.To, std::time(nullptr), row.Footer, row.Headers);
        smtp_->PostMessage->EncodedAttachments = preview->Files() ? preview->Files()->Parts(row.Line) : TParts{};
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
    std::optional<TPreparedRun> prepared = CheckRun(Request, false);
    // The password is asked for only once the run is sure to go.
    if (prepared && !security_.Prepare(settings_, *smtp_))
        return std::nullopt;
    return prepared;
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
    summary.Utf8 = carriedUtf8_;
    const TCharsetRule rule = CharsetRule();
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
    if (!run_->Busy()) {
        request_ = &Request;
        largeAsked_ = false;
    }
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
