#include "engine/journal/JournalCsv.h"

#include "charset/CodePage.h"

using journal_detail::Bom;

std::string CsvRecord(const std::vector<std::string>& Fields)
{
    std::string out;
    for (size_t i = 0; i < Fields.size(); ++i) {
        if (i)
            out += ',';
        const std::string& f = Fields[i];
        if (f.find_first_of(",\"\r\n") == std::string::npos) {
            out += f;
            continue;
        }
        out += '"';
        for (char c : f)
            out += c == '"' ? std::string("\"\"") : std::string(1, c);
        out += '"';
    }
    return out + "\r\n";
}

std::vector<std::vector<std::string>> ParseCsv(std::string_view Text)
{
    if (Text.starts_with(Bom))
        Text.remove_prefix(3);
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < Text.size(); ++i) {
        const char c = Text[i];
        if (quoted) {
            if (c != '"')
                field += c;
            else if (i + 1 < Text.size() && Text[i + 1] == '"')
                field += Text[++i];
            else
                quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.push_back(std::move(field));
            field.clear();
        } else if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n')
                ++i;
            fields.push_back(std::move(field));
            field.clear();
            records.push_back(std::move(fields));
            fields.clear();
        } else {
            field += c;
        }
    }
    return records;
}

namespace journal_detail {

std::string CsvText(std::string text)
{
    if (text.starts_with(Bom) || IsValidUtf8(text))
        return text;
    try {
        return Cp932ToUtf8(text);
    } catch (const ECodePageError&) {
        return text;  // rows beyond reading are left out like edited ones
    }
}

}  // namespace journal_detail
