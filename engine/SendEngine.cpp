#include "engine/SendEngine.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <utility>

#include <QCoreApplication>
#include <QDate>

#include "engine/Compliance.h"
#include "engine/Attachments.h"
#include "engine/Journal.h"
#include "engine/MessageText.h"
#include "engine/OAuth.h"
#include "engine/OptOut.h"
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

// A list's 添付ファイル (or 添付) column: paths apart at ";", each with the
// row's fields merged in, added to that row's files.
static void AddRowFiles(const TRecipientSource& Source, std::map<int, std::vector<std::string>>& PerRow)
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

std::optional<TPreparedRun> TSendEngine::CheckRun(const TSendRequest& Request, bool Dry, TRunOutline* Counted)
{
    TRunRequest request;
    request.RecipientFile = Request.RecipientFile;
    request.Subject = Request.Subject;
    request.Body = Request.Body;
    // Every file is checked before the list is even read: nothing connects
    // for a run that cannot carry them.
    attachments_.reset();
    attachments_ = std::make_unique<TRunAttachments>(
        Request.Attachments, Request.RowAttachments,
        std::filesystem::path(Request.RecipientFile).parent_path().string());
    request.Attachments = attachments_->Digest();
    request.FilesWithout = [this](const std::set<int>& Held) { return attachments_->DigestWithout(Held); };
    request.RowFiles = [this, &Request](const TRecipientSource& Source) {
        std::map<int, std::vector<std::string>> perRow = Request.RowAttachments;
        AddRowFiles(Source, perRow);
        if (perRow.size() != Request.RowAttachments.size() || perRow != Request.RowAttachments)
            attachments_ = std::make_unique<TRunAttachments>(
                Request.Attachments, perRow, std::filesystem::path(Request.RecipientFile).parent_path().string());
        return attachments_->Digest();
    };
    request.CanCarry = [this](const std::string& Name) { return text_->NameProblem(Name); };
    request.JournalFolder = profile_.JournalFolder();
    request.PauseSeconds = settings_.PauseSeconds;
    // A long list takes a while: Abort and the window's close still come through.
    request.KeepAnswering = KeepAnswering();
    request.FrontEnd = &frontEnd_;
    request.KeepUnfinished = Dry;
    request.OnlyUnfinished = Request.OnlyUnfinished;
    frontEnd_.Starting();
    PrepareCompliance();
    request.OptedOut = [this](const std::string& Address) { return compliance_->OptedOut(Address); };
    std::optional<TPreparedRun> prepared = ::PrepareRun(request);
    if (!prepared)
        return prepared;
    source_ = prepared->Source;
    // The summary's UTF-8 count covers the whole list, the earlier run's
    // messages too.
    carriedUtf8_ = 0;
    const TCharsetRule rule = CharsetRule();
    for (const TPlanEntry& e : std::exchange(prepared->CarriedSent, {}))
        carriedUtf8_ += RowCharset(source_.get(), rule, settings_.FromName, e) == mcUtf8 ? 1 : 0;
    PrepareFields();
    CheckFooters(*prepared->Plan);
    if (!prepared->Precheck.empty())
        frontEnd_.Status(prepared->Precheck);
    if (!HoldRows(*prepared->Plan, std::filesystem::path(Request.RecipientFile).parent_path().string()))
        return std::nullopt;
    // The trusted certificate's retry is the run already confirmed.
    if (!confirmed_ && !DomainAccepted())
        return std::nullopt;
    TRunOutline outline = confirmed_ ? TRunOutline{} : Outline(*prepared);
    // Stopped while counting: nothing to confirm.
    if (run_->AbortAsked() || !ConfirmRows(*prepared->Plan, outline))
        return std::nullopt;
    if (Counted)
        *Counted = outline;
    largest_ = LargestMessage(*prepared);
    // A HELO session never learns the server's limit: asked before connecting.
    const bool helo = settings_.Security == csNone && settings_.LoginName.empty();
    if ((helo || Dry) && !confirmed_ && !LargeMessagesAccepted())
        return std::nullopt;
    return prepared;
}

std::optional<TDryRun> TSendEngine::DryRun(const TSendRequest& Request, int Line)
{
    if (run_->Busy())
        throw Exception("送信中は試しの実行はできません。送信が終わってからもう一度どうぞ");
    // As Send does before its run.
    LoadSettings();
    PrepareMessage(Request);
    security_.Check(settings_, *smtp_);
    largeAsked_ = false;
    TDryRun dry;
    const std::optional<TPreparedRun> prepared = CheckRun(Request, true, &dry.Outline);
    if (!prepared)
        return std::nullopt;
    const std::vector<TPlanEntry>& entries = prepared->Plan->Entries();
    if (Line > 0) {
        const TPlanEntry* const asked = EntryAt(entries, Line);
        if (!asked)
            throw Exception(Format("宛先リストに %d 行目の宛先はありません。", Line));
        if (!Goes(*asked))
            throw Exception(Format("%d 行目は送信しません（%s）。", Line, NotSentText(*asked).c_str()));
    }
    TPostMessage& message = *smtp_->PostMessage;
    dry.Outline.Messages = 0;
    dry.Outline.Utf8 = 0;
    for (const TPlanEntry& e : entries) {
        if (!Goes(e))
            continue;
        ComposeRow(*text_, *smtp_, source_.get(), compliance_.get(), e, settings_.Charset, std::time(nullptr));
        // The charset the whole message took, its footer included.
        dry.Outline.Utf8 += smtp_->Charset == CharsetLabel(mcUtf8) ? 1 : 0;
        ++dry.Outline.Messages;
        if (Line > 0 ? e.Line != Line : dry.Line != 0) {
            smtp_->AssembleMail();
            continue;
        }
        // Only the message shown has its files encoded: the others' were
        // read to their end before the list was.
        message.EncodedAttachments = attachments_->Parts(e.Line);
        smtp_->AssembleMail();
        dry.Line = e.Line;
        dry.Header = smtp_->FinalHeader->Lines();
        dry.Body = smtp_->AssembledBody();
        dry.Files = attachments_->Sized(e.Line);
        message.EncodedAttachments.clear();
    }
    message.ToAddress->Clear();
    attachments_.reset();
    return dry;
}

TRunOutline TSendEngine::Outline(const TPreparedRun& Prepared) const
{
    TRunOutline outline;
    outline.Auto = settings_.Charset == mcAuto;
    // A long list takes a while: counted on a thread of its own, with a copy
    // of what decides the charsets, while the window keeps answering.
    const TCharsetRule rule = CharsetRule();
    // The source is never changed once made; the sender's name is copied.
    const TRecipientSource* const source = Prepared.Source.get();
    const std::string fromName = settings_.FromName;
    const std::vector<TPlanEntry>& entries = Prepared.Plan->Entries();
    TRunOutline counted;
    const auto count = [&](const std::atomic<bool>& Stop) {
        std::set<std::string> addresses;
        for (size_t i = 0; i < entries.size() && !Stop; ++i) {
            const TPlanEntry& e = entries[i];
            if (!Goes(e)) {
                ++(!e.Sendable ? counted.Invalid : e.OptedOut ? counted.OptedOut : counted.Held);
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
    outline.OptedOut = counted.OptedOut;
    outline.Utf8 = counted.Utf8;
    outline.Addresses = counted.Addresses;
    outline.InvalidText = Prepared.Precheck;
    outline.Settled = Prepared.Resumes ? static_cast<int>(Prepared.Resumes->Settled.size()) : 0;
    outline.SentBefore = FindFinishedRun(Prepared.JournalFolder, Prepared.Identity).value_or("");
    outline.Warnings = ConfirmWarnings(settings_);
    return outline;
}

int64_t TSendEngine::LargestMessage(const TPreparedRun& Prepared)
{
    std::vector<int> lines;
    const TRunPlan& plan = *Prepared.Plan;
    for (size_t i = 0; i < plan.Entries().size(); ++i)
        if (plan.Entries()[i].Sendable && !plan.OutcomeOf(i))
            lines.push_back(plan.Entries()[i].Line);
    if (lines.empty())
        return 0;
    const int line = attachments_->Heaviest(lines);
    const auto entry = std::find_if(plan.Entries().begin(), plan.Entries().end(),
                                    [line](const TPlanEntry& e) { return e.Line == line; });
    TPostMessage& message = *smtp_->PostMessage;
    text_->Compose(*smtp_, entry->Entry, std::time(nullptr));
    message.EncodedAttachments = attachments_->Sized(line);
    const int64_t bytes = smtp_->MessageSize();
    message.ToAddress->Clear();
    message.EncodedAttachments.clear();
    return bytes;
}

bool TSendEngine::LargeMessagesAccepted()
{
    if (largeAsked_ || largest_ <= LargeMessageBytes)
        return true;
    largeAsked_ = true;
    return frontEnd_.ConfirmLargeMessages(
        "いちばん大きいメッセージは " + MegabytesText(largest_) +
        " です（添付ファイルはエンコード後の大きさ）。多くのプロバイダーは 1 通の大きさを制限しています"
        "（Gmail 25 MB、Microsoft 365 35 MB）。サーバーは上限を知らせていません。送信しますか？");
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
