#include "engine/list/RecipientSource.h"

#include <algorithm>

#include "rtl/SysUtils.h"

namespace {

const char* const MergedProblem = "差し込む内容に送れない文字があります";

}  // namespace

std::string EntryLine(const std::string& Name, const std::string& Address)
{
    std::string name;
    for (char c : Name) {
        if (c == '<' || c == '>' || c == '"')
            continue;
        name += c == '\r' || c == '\n' || c == '\t' ? ' ' : c;
    }
    name = Trim(name, TBlanks::Spaces);
    return name.empty() ? Address : name + " <" + Address + ">";
}

TRecipientSource::TRecipientSource(const std::string& Subject, const std::string& Body)
    : fields_(TMergeFields::ForTextList()), subject_(Subject, fields_), body_(Body, fields_)
{
}

TRecipientSource::TRecipientSource(TListTable Table, const std::string& Subject, const std::string& Body)
    : table_(std::make_shared<const TListTable>(std::move(Table))),
      columns_(FindListColumns(*table_, [](std::string_view Cell) { return IsUsableAddress(Trim(Cell, TBlanks::Spaces)); })),
      fields_(table_->Header()),
      subject_(Subject, fields_),
      body_(Body, fields_)
{
}

std::string TRecipientSource::Refusal() const
{
    return FieldsRefusal({&subject_, &body_}, fields_);
}

std::vector<TPlanEntry> TRecipientSource::TableEntries(const TNameCheck& CanCarry) const
{
    std::vector<TPlanEntry> entries;
    entries.reserve(table_->Rows());
    for (size_t r = 0; r < table_->Rows(); ++r) {
        TPlanEntry e;
        e.Line = table_->RowNumber(r);
        e.Entry = Trim(table_->Cell(r, columns_.Address), TBlanks::Spaces);
        const std::string name = columns_.Name ? std::string(table_->Cell(r, *columns_.Name)) : std::string();
        // RCPT TO's address holds at most 254 octets.
        e.Problem = e.Entry.empty()        ? "アドレスがありません"
                    : e.Entry.size() > 254 ? "アドレスが長すぎます"
                                           : EntryProblem(EntryLine(name, e.Entry), CanCarry);
        e.Sendable = e.Problem == nullptr;
        entries.push_back(std::move(e));
    }
    CheckMerged(entries, CanCarry);
    return entries;
}

void TRecipientSource::CheckMerged(std::vector<TPlanEntry>& Entries, const TNameCheck& CanCarry) const
{
    if (!CanCarry || !Merges())
        return;
    for (TPlanEntry& e : Entries) {
        if (!e.Sendable)
            continue;
        const std::optional<TRow> row = Row(e);
        if (!row)
            continue;
        for (const TMergeTemplate* tmpl : {&subject_, &body_})
            for (const TMergeTemplate::TUse& use : tmpl->Uses())
                if (use.Target.Kind == TMergeFields::TKind::Column && e.Sendable &&
                    !CanCarry(std::string(row->Merge.Cell(use.Target.Index))).empty()) {
                    e.Problem = MergedProblem;
                    e.Sendable = false;
                }
    }
}

std::optional<size_t> TRecipientSource::RowIndex(int Line) const
{
    if (!table_)
        return std::nullopt;
    // Row numbers grow down the sheet (TListTable::Append refuses others).
    size_t low = 0, high = table_->Rows();
    while (low < high) {
        const size_t mid = (low + high) / 2;
        if (table_->RowNumber(mid) < Line)
            low = mid + 1;
        else
            high = mid;
    }
    if (low < table_->Rows() && table_->RowNumber(low) == Line)
        return low;
    return std::nullopt;
}

std::optional<TRecipientSource::TRow> TRecipientSource::Row(const TPlanEntry& Entry) const
{
    TRow row;
    if (!table_) {
        const TEntryParts parts = ParseEntry(Entry.Entry);
        row.To = Entry.Entry;
        row.Address = parts.Address;
        row.Name = parts.Name;
        row.Merge = EntryRow(parts.Address, parts.Name);
        return row;
    }
    const std::optional<size_t> index = RowIndex(Entry.Line);
    if (!index)
        throw Exception(Format("宛先リストに %d 行目がありません。", Entry.Line));
    row.Address = Trim(table_->Cell(*index, columns_.Address), TBlanks::Spaces);
    row.Name = columns_.Name ? std::string(table_->Cell(*index, *columns_.Name)) : std::string();
    row.To = EntryLine(row.Name, row.Address);
    // The table lives as long as any row taken from it.
    row.Merge = {[table = table_, r = *index](size_t Column) { return table->Cell(r, Column); }, {}};
    return row;
}

std::string TRecipientSource::Subject(const TMergeRow& Row) const
{
    std::string text = subject_.Merge(Row);
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return text;
}

std::string TRecipientSource::Body(const TMergeRow& Row) const
{
    return body_.Merge(Row);
}

std::vector<TEmptyField> TRecipientSource::EmptyFields(const std::vector<TPlanEntry>& Entries) const
{
    if (!table_)
        // A text list's entries: {{氏名}} is empty where an entry has no name.
        return FindEmptyFields(
            {&subject_, &body_}, Entries.size(),
            [&](size_t Row) -> std::optional<TMergeRow> {
                if (!Entries[Row].Sendable)
                    return std::nullopt;
                const TEntryParts parts = ParseEntry(Entries[Row].Entry);
                return EntryRow(parts.Address, parts.Name);
            },
            [&Entries](size_t Row) { return Entries[Row].Line; });
    // Entries stand one per row, in the table's order.
    return FindEmptyFields({&subject_, &body_}, *table_,
                           [&Entries](size_t Row) { return Row < Entries.size() && Entries[Row].Sendable; });
}
