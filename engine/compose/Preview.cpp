#include "engine/compose/Preview.h"

#include "engine/compose/Attachments.h"

#include <algorithm>
#include <functional>

#include "engine/compose/Compliance.h"
#include "engine/list/RecipientSource.h"
#include "engine/list/Recipients.h"
#include "rtl/StringList.h"

namespace {

// The characters of Text outside strict JIS X 0208, each once, in order.
void AddBeyondJis(std::string_view Text, std::string& Found)
{
    for (size_t i = 0; i < Text.size();) {
        size_t n = 1;
        const auto lead = static_cast<unsigned char>(Text[i]);
        if (lead >= 0xF0)
            n = 4;
        else if (lead >= 0xE0)
            n = 3;
        else if (lead >= 0xC0)
            n = 2;
        const std::string_view c = Text.substr(i, n);
        i += n;
        if (!IsStrictJis(c) && Found.find(c) == std::string::npos)
            Found += c;
    }
}

}  // namespace

TListPreview::TListPreview(TCheckedList List, const TSettings& Settings, std::shared_ptr<const TCompliance> Compliance,
                           std::shared_ptr<TRunAttachments> Files, std::vector<TRowVerdict> Verdicts)
    : list_(std::move(List)),
      settings_(Settings),
      compliance_(std::move(Compliance)),
      files_(std::move(Files)),
      verdicts_(std::move(Verdicts))
{
}

TListPreview::~TListPreview() = default;

std::optional<size_t> TListPreview::IndexOf(int Line) const
{
    const TPlanEntry* at = EntryAt(list_.Entries, Line);
    if (!at)
        return std::nullopt;
    return static_cast<size_t>(at - list_.Entries.data());
}

TComposedRow TListPreview::Compose(size_t Index, const std::string& Address, const std::string& SubjectPrefix) const
{
    const TPlanEntry& entry = list_.Entries.at(Index);
    TComposedRow out;
    out.Line = entry.Line;
    if (files_)
        for (const auto& part : files_->Sized(entry.Line))
            out.Files.push_back(part->FileName + "（" + part->MediaType + "、" + MegabytesText(part->EncodedSize) + "）");
    if (!entry.Sendable || entry.Held == TOutcome::Invalid)
        out.Problem = NotSentReason(entry);
    else if (entry.OptedOut)
        out.Note = "この行は送信しません（配信停止: " + NotSentReason(entry) + "）";
    else if (entry.Held)
        out.Note = "この行は送信しません（" + std::string(OutcomeWord(*entry.Held)) + ": " + entry.Reason + "）";
    else if (entry.DuplicateOf > 0)
        out.Note = DuplicateReason(entry.DuplicateOf) + "（「同じアドレスには 1 通だけ」で送ると、この行は 重複 として送信しません）";
    for (const TRowVerdict* v : VerdictsOf(verdicts_, TRowFault::OutsideList))
        if (v->Line == entry.Line)
            out.Note += std::string(out.Note.empty() ? "" : "\n") + "宛先リストのフォルダの外のファイル: " + v->Detail;
    out.From = EntryLine(settings_.FromName, settings_.FromAddress);
    const TRecipientSource& source = *list_.Source;
    const std::optional<TRecipientSource::TRow> row = source.Row(entry);
    if (!row)
        return out;
    out.To = Address.empty() ? row->To : EntryLine(row->Name, Address);
    out.Subject = SubjectPrefix + source.Subject(row->Merge);
    out.Body = source.Body(row->Merge);
    TRowCompliance extra = RowCompliance(compliance_.get(), &source, entry);
    out.Footer = std::move(extra.Footer);
    out.Headers = std::move(extra.Headers);
    out.Charset =
        MessageCharset(settings_.Charset, {out.Subject, out.Body + "\n" + out.Footer, settings_.FromName, row->Name});
    if (settings_.Charset == mcAuto && out.Charset == mcUtf8)
        for (std::string_view text : {std::string_view(out.Subject), std::string_view(out.Body),
                                      std::string_view(out.Footer), std::string_view(settings_.FromName),
                                      std::string_view(row->Name)})
            AddBeyondJis(text, out.BeyondJis);
    return out;
}

std::vector<std::string> TListPreview::Findings() const
{
    constexpr size_t Listed = 20;
    std::vector<std::string> findings;
    // Each kind of row the run does not send (or sends only when asked to),
    // the first of each named.
    const auto kind = [&](const char* Word, const std::function<std::string(const TPlanEntry&)>& Why) {
        size_t count = 0;
        for (const TPlanEntry& e : list_.Entries)
            if (std::string why = Why(e); !why.empty() && ++count <= Listed)
                findings.push_back(std::string(Word) + " " + std::to_string(e.Line) + " 行目: " + why);
        if (count > Listed)
            findings.push_back(std::string(Word) + " ほか " + std::to_string(count - Listed) + " 件");
    };
    kind(OutcomeWord(TOutcome::Invalid), [](const TPlanEntry& e) {
        return !e.Sendable || e.Held == TOutcome::Invalid ? NotSentReason(e) : std::string();
    });
    kind(OutcomeWord(TOutcome::OptedOut),
         [](const TPlanEntry& e) { return e.Sendable && e.OptedOut ? NotSentReason(e) : std::string(); });
    kind("添付ファイルなし（未送信）",
         [](const TPlanEntry& e) { return e.Held == TOutcome::NotSent ? e.Reason : std::string(); });
    kind(OutcomeWord(TOutcome::Duplicate), [](const TPlanEntry& e) {
        return Goes(e) && e.DuplicateOf > 0 ? DuplicateReason(e.DuplicateOf) : std::string();
    });
    for (const TRowVerdict* v : VerdictsOf(verdicts_, TRowFault::OutsideList))
        findings.push_back("リストのフォルダの外のファイル " + std::to_string(v->Line) + " 行目: " + v->Detail);
    for (const TEmptyField& field : list_.Source->EmptyFields(list_.Entries)) {
        std::string rows;
        for (int row : field.FirstRows)
            rows += (rows.empty() ? "" : "、") + std::to_string(row);
        findings.push_back("{{" + field.Name + "}} が空: " + std::to_string(field.Rows) + " 行（" + rows + " 行目" +
                           (field.Rows > field.FirstRows.size() ? "ほか" : "") + "）");
    }
    if (settings_.Charset == mcAuto) {
        size_t utf8 = 0;
        for (size_t i = 0; i < list_.Entries.size(); ++i)
            if (Goes(list_.Entries[i]) && Compose(i).Charset == mcUtf8)
                ++utf8;
        if (utf8 > 0)
            findings.push_back("ISO-2022-JP で送れない文字があるため UTF-8 で送るメッセージ: " + std::to_string(utf8) +
                               " 通");
    }
    return findings;
}

std::string ComposedText(const TComposedRow& Row)
{
    std::string headers;
    for (const std::string& line : Row.Headers)
        headers += "\n" + line;
    for (const std::string& file : Row.Files)
        headers += "\n添付ファイル: " + file;
    return (Row.Note.empty() ? "" : Row.Note + "\n") + "From: " + Row.From + "\nTo: " + Row.To + "\nSubject: " + Row.Subject + headers +
           "\n文字コード: " + (Row.Charset == mcUtf8 ? "UTF-8" : "ISO-2022-JP") + "\n\n" + Row.Body +
           // After one empty line, as the message carries it.
           (Row.Footer.empty() ? "" : (Row.Body.ends_with('\n') ? "\n" : "\n\n") + Row.Footer);
}

std::string PrepareRowText(TMessageText& Text, const TRecipientSource& Source, const TPlanEntry& Entry,
                           TMailCharset Choice)
{
    const std::optional<TRecipientSource::TRow> row = Source.Row(Entry);
    if (!row)
        return Entry.Entry;
    if (Source.Merges()) {
        TStringList body;
        body.SetText(Source.Body(row->Merge));
        Text.Prepare(Choice, Source.Subject(row->Merge), body);
    }
    return row->To;
}

TRowMerge ComplianceMerge(const TRecipientSource* Source, const TPlanEntry& Entry)
{
    // Line 0 is no row of the list: the footer's text the same for every row.
    if (Source && Entry.Line > 0)
        if (std::optional<TRecipientSource::TRow> row = Source->Row(Entry))
            return RowMerge(Source->Fields(), std::move(row->Merge));
    // The merge keeps a reference to its fields.
    static const TMergeFields TextList = TMergeFields::ForTextList();
    const TEntryParts parts = ParseEntry(Entry.Entry);
    return RowMerge(TextList, EntryRow(parts.Address, parts.Name));
}

TRowCompliance RowCompliance(const TCompliance* Compliance, const TRecipientSource* Source, const TPlanEntry& Entry)
{
    TRowCompliance out;
    if (!Compliance)
        return out;
    const TRowMerge merge = ComplianceMerge(Source, Entry);
    out.Footer = Compliance->Footer(merge);
    for (const THeaderLine& line : Compliance->Headers(merge))
        out.Headers.push_back(line.Name + ": " + line.Value);
    return out;
}

void ComposeRow(TMessageText& Text, TNMSMTP& Smtp, const TRecipientSource* Source, const TCompliance* Compliance,
                const TPlanEntry& Entry, TMailCharset Choice, std::time_t When)
{
    // One message at a time: the row's texts are merged right before it goes.
    const std::string line = Source ? PrepareRowText(Text, *Source, Entry, Choice) : Entry.Entry;
    const TRowCompliance extra = RowCompliance(Compliance, Source, Entry);
    Text.Compose(Smtp, line, When, extra.Footer, extra.Headers);
}
