#include "engine/Preview.h"

#include <algorithm>

#include "engine/RecipientSource.h"
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

TListPreview::TListPreview(TCheckedList List, const TSettings& Settings)
    : list_(std::move(List)), settings_(Settings)
{
}

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
    out.Problem = entry.Problem ? entry.Problem : "";
    out.From = EntryLine(settings_.FromName, settings_.FromAddress);
    const TRecipientSource& source = *list_.Source;
    const std::optional<TRecipientSource::TRow> row = source.Row(entry);
    if (!row)
        return out;
    out.To = Address.empty() ? row->To : EntryLine(row->Name, Address);
    out.Subject = SubjectPrefix + source.Subject(row->Merge);
    out.Body = source.Body(row->Merge);
    out.Charset = MessageCharset(settings_.Charset, {out.Subject, out.Body, settings_.FromName, row->Name});
    if (settings_.Charset == mcAuto && out.Charset == mcUtf8)
        for (std::string_view text : {std::string_view(out.Subject), std::string_view(out.Body),
                                      std::string_view(settings_.FromName), std::string_view(row->Name)})
            AddBeyondJis(text, out.BeyondJis);
    return out;
}

std::vector<std::string> TListPreview::Findings() const
{
    constexpr size_t Listed = 20;
    std::vector<std::string> findings;
    size_t invalid = 0;
    for (const TPlanEntry& e : list_.Entries)
        if (!e.Sendable && ++invalid <= Listed)
            findings.push_back("宛先不正 " + std::to_string(e.Line) + " 行目: " + (e.Problem ? e.Problem : ""));
    if (invalid > Listed)
        findings.push_back("宛先不正 ほか " + std::to_string(invalid - Listed) + " 件");
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
            if (list_.Entries[i].Sendable && Compose(i).Charset == mcUtf8)
                ++utf8;
        if (utf8 > 0)
            findings.push_back("ISO-2022-JP で送れない文字があるため UTF-8 で送るメッセージ: " + std::to_string(utf8) +
                               " 通");
    }
    return findings;
}

std::string ComposedText(const TComposedRow& Row)
{
    return "From: " + Row.From + "\nTo: " + Row.To + "\nSubject: " + Row.Subject +
           "\n文字コード: " + (Row.Charset == mcUtf8 ? "UTF-8" : "ISO-2022-JP") + "\n\n" + Row.Body;
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
