// What TSendEngine settles before anything is sent: the run checked and
// counted, the dry run, the outline the confirmation shows and the size of
// the largest message.
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
#include "engine/compose/RowCheck.h"
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

// The run's request: the files checked first, the list's rows' own files,
// the journal's folder and the opt-out list.
TRunRequest TSendEngine::RunRequestOf(const TSendRequest& Request, bool Dry)
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
    return request;
}

std::optional<TPreparedRun> TSendEngine::CheckRun(const TSendRequest& Request, bool Dry, TRunOutline* Counted)
{
    std::optional<TPreparedRun> prepared = ::PrepareRun(RunRequestOf(Request, Dry));
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
