#include "engine/list/MergeFields.h"

#include <algorithm>

#include "rtl/SysUtils.h"

namespace {

const char kHonorific[] = "敬称";
const char kDefaultHonorific[] = "様";

}  // namespace

TMergeFields::TMergeFields(std::vector<std::string> Columns) : columns_(std::move(Columns))
{
    columnKeys_.reserve(columns_.size());
    for (const std::string& column : columns_)
        columnKeys_.push_back(FieldKey(column));
}

TMergeFields TMergeFields::ForTextList() { return TMergeFields({"メールアドレス", "氏名"}); }

size_t TMergeFields::AddExtra(const std::string& Name)
{
    extras_.push_back(Name);
    extraKeys_.push_back(FieldKey(Name));
    return extras_.size() - 1;
}

TMergeFields::TTarget TMergeFields::Resolve(std::string_view Name) const
{
    const std::string key = FieldKey(Name);
    TTarget target;
    if (key.empty())
        return target;
    const auto extra = std::find(extraKeys_.begin(), extraKeys_.end(), key);
    if (extra != extraKeys_.end()) {
        target.Kind = TKind::Extra;
        target.Index = static_cast<size_t>(extra - extraKeys_.begin());
        return target;
    }
    for (size_t c = 0; c < columnKeys_.size(); ++c)
        if (columnKeys_[c] == key)
            target.Candidates.push_back(c);
    if (target.Candidates.size() == 1) {
        target.Kind = TKind::Column;
        target.Index = target.Candidates.front();
    } else if (target.Candidates.size() > 1) {
        target.Kind = TKind::Ambiguous;
    } else if (key == kHonorific) {
        target.Kind = TKind::Honorific;
    }
    return target;
}

std::string TMergeFields::NamesText() const
{
    std::string text;
    std::vector<std::string> listed;
    for (const auto* names : {&columns_, &extras_})
        for (const std::string& name : *names)
            if (!FieldKey(name).empty() && std::find(listed.begin(), listed.end(), name) == listed.end()) {
                listed.push_back(name);
                text += (text.empty() ? "" : "、") + name;
            }
    return text;
}

TMergeRow TableRow(const TListTable& Table, size_t Row)
{
    return {[&Table, Row](size_t Column) { return Table.Cell(Row, Column); }, {}};
}

TMergeRow EntryRow(std::string Address, std::string Name)
{
    return {[address = std::move(Address), name = std::move(Name)](size_t Column) -> std::string_view {
                return Column == 0 ? address : Column == 1 ? name : std::string_view();
            },
            {}};
}

TMergeTemplate::TMergeTemplate(std::string_view Text, const TMergeFields& Fields)
{
    size_t from = 0;  // text not yet in a part
    for (size_t close = Text.find("}}"); close != std::string_view::npos; close = Text.find("}}", close + 2)) {
        const size_t open = Text.substr(0, close).rfind("{{");
        if (open == std::string_view::npos || open < from)
            continue;
        const std::string_view typed = Text.substr(open + 2, close - open - 2);
        if (typed.find_first_of("\r\n") != std::string_view::npos)
            continue;
        const std::string key = FieldKey(typed);
        auto use = std::find_if(uses_.begin(), uses_.end(), [&](const TUse& u) { return u.Key == key; });
        if (use == uses_.end())
            use = uses_.insert(uses_.end(), TUse{Trim(typed, TBlanks::SpacesAndFullWidth), key, Fields.Resolve(typed)});
        parts_.push_back({std::string(Text.substr(from, open - from)), static_cast<size_t>(use - uses_.begin())});
        from = close + 2;
    }
    parts_.push_back({std::string(Text.substr(from)), NoField});
}

std::string TMergeTemplate::Merge(const TMergeRow& Row, const std::function<std::string(const std::string&)>& Encode) const
{
    std::string text;
    auto add = [&](std::string_view value) { text += Encode ? Encode(std::string(value)) : std::string(value); };
    for (const TPart& part : parts_) {
        text += part.Text;
        if (part.Use == NoField)
            continue;
        const TUse& use = uses_[part.Use];
        switch (use.Target.Kind) {
        case TMergeFields::TKind::Column:
            add(Row.Cell(use.Target.Index));
            break;
        case TMergeFields::TKind::Extra:
            if (use.Target.Index < Row.Extras.size())
                add(Row.Extras[use.Target.Index]);
            break;
        case TMergeFields::TKind::Honorific:
            add(kDefaultHonorific);
            break;
        case TMergeFields::TKind::Unknown:
        case TMergeFields::TKind::Ambiguous:
            // Refused before any run; kept visible should one get here.
            text += "{{" + use.Name + "}}";
            break;
        }
    }
    return text;
}

std::string FieldsRefusal(const std::vector<const TMergeTemplate*>& Templates, const TMergeFields& Fields)
{
    std::vector<std::string> unknown;
    std::string shared;
    for (const TMergeTemplate* tmpl : Templates)
        for (const TMergeTemplate::TUse& use : tmpl->Uses()) {
            const std::string field = "{{" + use.Name + "}}";
            if (use.Target.Kind == TMergeFields::TKind::Unknown &&
                std::find(unknown.begin(), unknown.end(), field) == unknown.end())
                unknown.push_back(field);
            if (use.Target.Kind == TMergeFields::TKind::Ambiguous &&
                shared.find(field) == std::string::npos) {
                std::string columns;
                for (size_t c : use.Target.Candidates)
                    columns += (columns.empty() ? "" : "と ") + ColumnLetters(c) + " 列";
                shared += "差し込み項目 " + field + " に当たる列が " + std::to_string(use.Target.Candidates.size()) +
                          " つあります（" + columns + "）。見出しを変えて区別してください。";
            }
        }
    std::string text;
    if (!unknown.empty()) {
        std::string names;
        for (const std::string& field : unknown)
            names += (names.empty() ? "" : "、") + field;
        text = "差し込み項目 " + names + " は宛先リストにありません。使える項目: " + Fields.NamesText() + "。";
    }
    return text + shared;
}

std::vector<TEmptyField> FindEmptyFields(const std::vector<const TMergeTemplate*>& Templates, const TListTable& Table,
                                         const std::function<bool(size_t Row)>& Counted, size_t Listed)
{
    return FindEmptyFields(
        Templates, Table.Rows(),
        [&](size_t Row) -> std::optional<TMergeRow> {
            if (Counted && !Counted(Row))
                return std::nullopt;
            return TableRow(Table, Row);
        },
        [&Table](size_t Row) { return Table.RowNumber(Row); }, Listed);
}

std::vector<TEmptyField> FindEmptyFields(const std::vector<const TMergeTemplate*>& Templates, size_t Rows,
                                         const std::function<std::optional<TMergeRow>(size_t Row)>& Row,
                                         const std::function<int(size_t Row)>& Number, size_t Listed)
{
    std::vector<TEmptyField> empty;
    std::vector<size_t> columns;
    for (const TMergeTemplate* tmpl : Templates)
        for (const TMergeTemplate::TUse& use : tmpl->Uses())
            if (use.Target.Kind == TMergeFields::TKind::Column &&
                std::find(columns.begin(), columns.end(), use.Target.Index) == columns.end()) {
                columns.push_back(use.Target.Index);
                empty.push_back({use.Name, 0, {}});
            }
    for (size_t r = 0; r < Rows && !columns.empty(); ++r) {
        const std::optional<TMergeRow> row = Row(r);
        if (!row)
            continue;
        for (size_t k = 0; k < columns.size(); ++k)
            if (IsBlankCell(row->Cell(columns[k])) && ++empty[k].Rows <= Listed)
                empty[k].FirstRows.push_back(Number(r));
    }
    std::erase_if(empty, [](const TEmptyField& field) { return field.Rows == 0; });
    return empty;
}

std::string EmptyFieldsQuestion(const std::vector<TEmptyField>& Empty)
{
    if (Empty.empty())
        return {};
    std::string question;
    std::string rows;
    for (const TEmptyField& field : Empty) {
        question += std::to_string(field.Rows) + " 行で {{" + field.Name + "}} が空です。";
        std::string numbers;
        for (int row : field.FirstRows)
            numbers += (numbers.empty() ? "" : "、") + std::to_string(row);
        rows += "\n{{" + field.Name + "}}: " + numbers + " 行目" + (field.Rows > field.FirstRows.size() ? "ほか" : "");
    }
    return question + "送信しますか？\n" + rows;
}
