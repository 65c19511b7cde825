// Merge fields: {{列名}} in a subject or body replaced by the row's cell.
//
// A template is split once and its names bound to the list's columns, so
// that composing a row's message only copies text. Besides the columns, a
// caller may add fields of its own (a footer's unsubscribe link), whose
// values it hands in with every row; such a field hides a column of the same
// name, so that no list can change what the caller puts there.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/list/ListTable.h"

// The names a template may use.
class TMergeFields {
public:
    // The list's columns by their headings; {{敬称}} gives 様 unless one of
    // them is 敬称.
    explicit TMergeFields(std::vector<std::string> Columns);
    // A text list of entries: {{メールアドレス}} (column 0) and {{氏名}} (column 1).
    static TMergeFields ForTextList();

    // A field whose value the caller gives per row; returns its slot in TMergeRow::Extras.
    size_t AddExtra(const std::string& Name);

    enum class TKind { Column, Extra, Honorific, Unknown, Ambiguous };
    struct TTarget {
        TKind Kind = TKind::Unknown;
        size_t Index = 0;                 // the column or the slot
        std::vector<size_t> Candidates;   // Ambiguous: every column of that name
    };
    // Name as typed between the braces; blanks around it and width do not count.
    TTarget Resolve(std::string_view Name) const;

    const std::vector<std::string>& Columns() const { return columns_; }
    // Every name a template can use, for the refusal text: columns, then the caller's fields.
    std::string NamesText() const;

private:
    std::vector<std::string> columns_;
    std::vector<std::string> columnKeys_;
    std::vector<std::string> extras_;
    std::vector<std::string> extraKeys_;
};

// One row's values: its cells by column (empty past a short row's end) and
// the caller's fields by slot.
struct TMergeRow {
    std::function<std::string_view(size_t Column)> Cell;
    std::vector<std::string> Extras;
};

// A list table's row, and a text list's entry.
TMergeRow TableRow(const TListTable& Table, size_t Row);
TMergeRow EntryRow(std::string Address, std::string Name);

class TMergeTemplate {
public:
    // A field is "{{", a name without line breaks, "}}"; when a "{{" opens
    // twice before the "}}", the later one opens the field. "{{" without a
    // "}}" after it stays as typed.
    TMergeTemplate(std::string_view Text, const TMergeFields& Fields);

    // Encode, when given, takes every value inserted (a URL's fields are
    // percent-encoded); the fixed text stays as written.
    std::string Merge(const TMergeRow& Row,
                      const std::function<std::string(const std::string& Value)>& Encode = {}) const;

    struct TUse {
        std::string Name;  // as first typed, blanks around it dropped
        std::string Key;   // as matched (FieldKey)
        TMergeFields::TTarget Target;
    };
    // Every field used, each name (as matched) once, in the order of first use.
    const std::vector<TUse>& Uses() const { return uses_; }

private:
    struct TPart {
        std::string Text;  // before the field
        size_t Use = 0;    // into uses_; NoField after the last text
    };
    static constexpr size_t NoField = static_cast<size_t>(-1);

    std::vector<TPart> parts_;
    std::vector<TUse> uses_;
};

// Why the templates cannot be merged with the list: every unknown name,
// with the names the list has, and names that two columns share. Empty
// when all is well.
std::string FieldsRefusal(const std::vector<const TMergeTemplate*>& Templates, const TMergeFields& Fields);

struct TEmptyField {
    std::string Name;            // as first typed
    size_t Rows = 0;             // how many rows have it empty
    std::vector<int> FirstRows;  // the first of them, as numbered in the list
};
// The columns the templates use that are empty (or blank) in some of the
// table's rows, in the order of first use. Rows that Counted (when given)
// refuses are not looked at: those that will not be sent.
std::vector<TEmptyField> FindEmptyFields(const std::vector<const TMergeTemplate*>& Templates, const TListTable& Table,
                                         const std::function<bool(size_t Row)>& Counted = {}, size_t Listed = 5);
// The same over rows of any kind (a text list's entries): Row(i) for i below
// Rows, or nullopt for a row not looked at; Number(i) as the list shows it.
std::vector<TEmptyField> FindEmptyFields(const std::vector<const TMergeTemplate*>& Templates, size_t Rows,
                                         const std::function<std::optional<TMergeRow>(size_t Row)>& Row,
                                         const std::function<int(size_t Row)>& Number, size_t Listed = 5);
// 「3 行で {{会社名}} が空です。送信しますか？」 with the first rows of
// each; empty when nothing is empty.
std::string EmptyFieldsQuestion(const std::vector<TEmptyField>& Empty);
