// CSV and TSV lists: the grammar of the delimited text, then the code page.
// The grammar works on the bytes as they are: the delimiters, the quote and
// the line ends are ASCII, which no UTF-8 or CP932 character contains, so
// the fields come out whole in either code page.
#include <algorithm>
#include <string>
#include <vector>

#include "engine/list/ListTable.h"
#include "charset/CodePage.h"
#include "rtl/StringList.h"

namespace {

// Every field of every record, one record after the other.
struct TRecords {
    std::vector<std::string> cells;
    std::vector<size_t> first{0};  // where each record's fields start, and one past the last

    size_t Count() const { return first.size() - 1; }
    // The record number (from 1) and the column of cells[index].
    std::pair<int, size_t> Place(size_t index) const
    {
        const size_t record = static_cast<size_t>(std::upper_bound(first.begin(), first.end(), index) - first.begin()) - 1;
        return {static_cast<int>(record + 1), index - first[record]};
    }
};

void RefuseLong(int number, const TRecords& records, size_t size)
{
    if (size > kMaxCellBytes)
        throw EListError(CellPlace(number, records.cells.size() - records.first.back()) +
                         Format(": 項目が長すぎます（%zu バイトまで）。", kMaxCellBytes));
}

// RFC 4180, and what spreadsheets write besides it: a lone LF or CR ends a
// record too, a quote inside an unquoted field is text, and text after a
// closing quote is kept. A final line end adds no record.
TRecords ParseDelimited(std::string_view text, char delimiter)
{
    TRecords records;
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const int number = static_cast<int>(records.Count()) + 1;
        if (number > kMaxListRows)
            throw EListError(Format("%d 行目: 行が多すぎます（%d 行まで）。", number, kMaxListRows));
        for (;;) {
            std::string field;
            if (i < n && text[i] == '"') {
                for (++i;;) {
                    const size_t quote = text.find('"', i);
                    if (quote == std::string_view::npos)
                        throw EListError(CellPlace(number, records.cells.size() - records.first.back()) +
                                         ": 「\"」で始まる項目が閉じられていません。");
                    RefuseLong(number, records, field.size() + (quote - i));
                    field.append(text.substr(i, quote - i));
                    i = quote + 1;
                    if (i < n && text[i] == '"') {
                        field += '"';
                        ++i;
                    } else {
                        break;
                    }
                }
            }
            size_t end = i;
            while (end < n && text[end] != delimiter && text[end] != '\n' && text[end] != '\r')
                ++end;
            RefuseLong(number, records, field.size() + (end - i));
            field.append(text.substr(i, end - i));
            // The table's limits, checked as the fields come: a record past
            // them would cost memory before the table saw it.
            if (const size_t column = records.cells.size() - records.first.back(); column >= kMaxListColumns)
                throw EListError(Format("%d 行目: 列が多すぎます（%zu 列まで）。", number, kMaxListColumns));
            if (records.cells.size() >= kMaxListCells)
                throw EListError(Format("%d 行目: 項目が多すぎます（%zu 個まで）。", number, kMaxListCells));
            records.cells.push_back(std::move(field));
            i = end;
            if (i < n && text[i] == delimiter) {
                ++i;
                continue;
            }
            i += i + 1 < n && text[i] == '\r' && text[i + 1] == '\n' ? 2 : 1;
            break;
        }
        records.first.push_back(records.cells.size());
    }
    return records;
}

[[noreturn]] void RefuseCell(const TRecords& records, size_t index, const std::string& why)
{
    const auto [row, column] = records.Place(index);
    throw EListError(CellPlace(row, column) + ": " + why);
}

// Rows added in another editor may be in the other code page: said as such
// rather than read garbled.
void RefuseMixedRecords(const TRecords& records)
{
    TStringList rows;
    for (size_t r = 0; r < records.Count(); ++r) {
        std::string row;
        for (size_t k = records.first[r]; k < records.first[r + 1]; ++k)
            row += records.cells[k] + ',';
        rows.Add(IsAscii(row) ? std::string() : row);  // only the place of an ASCII row counts
    }
    try {
        RefuseMixedLines(rows);
    } catch (const ECodePageError& e) {
        throw EListError(e.Message());
    }
}

// The cells as UTF-8, with the code page told as for text files.
void CellsToUtf8(TRecords& records)
{
    TStringList cells;
    for (const std::string& cell : records.cells)
        cells.Add(cell);
    bool converted = false;
    try {
        converted = LinesToUtf8(cells);
    } catch (const ECodePageError&) {
        // Neither UTF-8 nor CP932: the first cell CP932 cannot take is the one to name.
        for (size_t k = 0; k < records.cells.size(); ++k) {
            try {
                Cp932ToUtf8(records.cells[k]);
            } catch (const ECodePageError& e) {
                RefuseCell(records, k, "UTF-8 としても Shift_JIS としても読めません（" + e.Message() + "）。");
            }
        }
        throw;
    }
    if (converted)
        for (size_t k = 0; k < records.cells.size(); ++k)
            records.cells[k] = cells[static_cast<int>(k)];
}

}  // namespace

TListTable ReadDelimitedList(std::string_view Bytes, char Delimiter)
{
    bool utf8 = false;
    std::string unicode;
    if (Bytes.starts_with("\xef\xbb\xbf")) {
        // Excel's 「CSV UTF-8」 marks itself so.
        Bytes.remove_prefix(3);
        utf8 = true;
    } else if (Bytes.starts_with("\xff\xfe") || Bytes.starts_with("\xfe\xff")) {
        // Excel's 「Unicode テキスト」: UTF-16 with its mark.
        TStringList lines;
        try {
            unicode = TextFileLines(Bytes, lines);
        } catch (const ECodePageError& e) {
            throw EListError(e.Message());
        }
        Bytes = unicode;
        utf8 = true;
    }
    TRecords records = ParseDelimited(Bytes, Delimiter);
    for (size_t k = 0; k < records.cells.size(); ++k)
        if (records.cells[k].find('\0') != std::string::npos)
            RefuseCell(records, k, "NUL 文字 (0x00) があります。");
    if (!utf8) {
        RefuseMixedRecords(records);
        CellsToUtf8(records);
    } else {
        for (size_t k = 0; k < records.cells.size(); ++k)
            if (!IsValidUtf8(records.cells[k]))
                RefuseCell(records, k, "UTF-8 として正しくないバイトがあります。");
    }
    TListTable table;
    for (size_t r = 0; r < records.Count(); ++r)
        table.Append(static_cast<int>(r + 1), std::span<std::string>(records.cells.data() + records.first[r],
                                                                    records.first[r + 1] - records.first[r]));
    if (table.HeaderRow() == 0)
        throw EListError("見出しの行がありません（空のファイルです）。");
    return table;
}
