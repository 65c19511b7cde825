// The recipients of a run as the composer takes them, whatever file they
// came from: a text list of entries or a table (CSV, TSV, Excel) with its
// address and name columns; and the subject and body as templates merged
// per row. The run composes one message at a time from this, so that a long
// list costs its own size and no more.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/list/ListTable.h"
#include "engine/list/MergeFields.h"
#include "engine/list/Recipients.h"
#include "engine/plan/RunPlan.h"

class TRecipientSource {
public:
    // A text list: {{メールアドレス}} and {{氏名}} come from each entry.
    TRecipientSource(const std::string& Subject, const std::string& Body);
    // A table: FindListColumns' columns (EListError when there is no address
    // column), every heading a field.
    TRecipientSource(TListTable Table, const std::string& Subject, const std::string& Body);

    bool IsTable() const { return table_ != nullptr; }
    const TListTable* Table() const { return table_.get(); }
    const TListColumns& Columns() const { return columns_; }
    const TMergeFields& Fields() const { return fields_; }
    const TMergeTemplate& SubjectTemplate() const { return subject_; }
    const TMergeTemplate& BodyTemplate() const { return body_; }
    // Subject or body holds a field: every message differs.
    bool Merges() const { return !subject_.Uses().empty() || !body_.Uses().empty(); }
    // Unknown names and names two columns share, with the list's columns;
    // empty when the templates fit the list.
    std::string Refusal() const;

    // A table's rows as the run's entries: Line the row number as the
    // spreadsheet shows it, Entry the bare address, each with its verdict.
    // CanCarry checks the display name and the cells the templates use.
    std::vector<TPlanEntry> TableEntries(const TNameCheck& CanCarry) const;
    // Text entries that the check found sendable whose merged cells the
    // charset cannot carry become 宛先不正 too.
    void CheckMerged(std::vector<TPlanEntry>& Entries, const TNameCheck& CanCarry) const;

    struct TRow {
        std::string To;       // the entry as the To line and the envelope read it
        std::string Address;  // bare
        std::string Name;     // the display name; may be empty
        TMergeRow Merge;
    };
    // The row behind an entry of this source. Raises Exception for a line
    // the table does not have: a message is never composed from another
    // row's cells.
    std::optional<TRow> Row(const TPlanEntry& Entry) const;
    // The table's row index of a row number; nullopt when there is none.
    std::optional<size_t> RowIndex(int Line) const;
    // The templates merged: a cell's line breaks become blanks in the
    // subject, whose header has one line.
    std::string Subject(const TMergeRow& Row) const;
    std::string Body(const TMergeRow& Row) const;

    // The fields the templates use that are empty in some sendable rows
    // (tables only; a text list's {{氏名}} may well be empty).
    std::vector<TEmptyField> EmptyFields(const std::vector<TPlanEntry>& Entries) const;

private:
    std::shared_ptr<const TListTable> table_;
    TListColumns columns_;
    TMergeFields fields_;
    TMergeTemplate subject_;
    TMergeTemplate body_;
};

// "名前 <address>" for the To line, from a name cell that may hold anything
// a spreadsheet holds: brackets, quotes and line breaks are left out.
std::string EntryLine(const std::string& Name, const std::string& Address);

// A recipient file read once and every entry checked, the templates fitted
// to it.
struct TCheckedList {
    std::string Bytes;  // the file as it is
    std::vector<TPlanEntry> Entries;
    std::shared_ptr<const TRecipientSource> Source;
};
