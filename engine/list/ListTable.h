// A recipient list kept as a table: a header row, then one row per
// recipient, read from a CSV or TSV file or from the first sheet of an Excel
// workbook. Cells are UTF-8 text as the spreadsheet shows them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/Exception.h"

// A list file that cannot be used; the message says where and what to do.
class EListError : public Exception {
public:
    using Exception::Exception;
};

// What a list may hold. Excel's sheet ends at 1,048,576 rows and 16,384
// columns and its cell at 32,767 characters, so no list a spreadsheet saved
// goes past them; the others keep a list of a few hundred thousand rows
// within a few hundred MB whatever its cells say, far above any real
// mailing (300,000 rows of 20 columns hold 6 million cells and some 100 MB
// of text).
constexpr int kMaxListRows = 1048576;
constexpr size_t kMaxListColumns = 16384;
// 32,767 characters of at most four UTF-8 bytes.
constexpr size_t kMaxCellBytes = 32767 * 4;
constexpr size_t kMaxListCells = size_t{8} << 20;
constexpr size_t kMaxListText = size_t{256} << 20;
// A CSV or TSV file: a million rows of 128 bytes.
constexpr size_t kMaxListFileBytes = size_t{128} << 20;

class TListTable {
public:
    TListTable() = default;
    explicit TListTable(std::vector<std::string> Header, int HeaderRow = 1);

    // The header's cells as written, as wide as the widest row (columns
    // without a heading have an empty one).
    const std::vector<std::string>& Header() const { return header_; }
    // Where the header stands in the sheet; 0 while no row was appended.
    int HeaderRow() const { return headerRow_; }
    size_t Columns() const { return header_.size(); }
    // The rows below the header, from 0.
    size_t Rows() const { return numbers_.size(); }
    // The row's number as the spreadsheet shows it (the header is row 1
    // unless blank rows stand above it).
    int RowNumber(size_t Row) const { return numbers_[Row]; }
    // Empty past the end of a short row.
    std::string_view Cell(size_t Row, size_t Column) const;
    // The row's cells up to its last non-empty one; Cell is empty beyond.
    size_t Width(size_t Row) const { return first_[Row + 1] - first_[Row]; }

    // What the readers do with each row of the sheet: the first row that
    // holds any text becomes the header, a later row without any is left out
    // (spreadsheets save formatted empty rows as ",,,,"), every other row is
    // kept with its number. The cells are moved from. Numbers only grow
    // down the sheet, so that a row is found by its number alone. Raises
    // EListError for a number that does not, and beyond the limits above.
    void Append(int Number, std::span<std::string> Cells);

private:
    std::vector<std::string> header_;
    int headerRow_ = 0;
    int lastNumber_ = 0;
    // Every row's cells, one after the other, as one text and where each cell
    // ends in it: a few bytes a cell beside its text (kMaxListText fits).
    std::string text_;
    std::vector<uint32_t> ends_;
    std::vector<size_t> first_;  // where each row's cells start in ends_, and one past the last
    std::vector<int> numbers_;
};

// "A", "B", ... "Z", "AA": the column as the spreadsheet names it.
std::string ColumnLetters(size_t Column);
// "3 行目の B 列": where a cell stands, for the messages.
std::string CellPlace(int Row, size_t Column);

// Nothing but blanks (the ideographic space included), or nothing.
bool IsBlankCell(std::string_view Cell);

// A column's name or a merge field's name reduced to what is compared:
// blanks around it dropped, full-width ASCII, the ideographic space and
// half-width katakana folded to their usual width.
std::string FieldKey(std::string_view Name);

// A .csv (comma) or .tsv (tab) file's bytes. Quoting as RFC 4180 has it
// (quoted fields, doubled quotes, line breaks inside quotes), records ended
// by CR LF, LF or CR. A UTF-8 byte-order mark means UTF-8 and a UTF-16 one
// UTF-16; otherwise the code page is told as for text files (UTF-8 or
// CP932). Raises EListError naming row and column for a field that decodes
// in neither and for a quote left open, naming the line for broken UTF-16,
// and for a file without a header.
TListTable ReadDelimitedList(std::string_view Bytes, char Delimiter);
// The first sheet of an .xlsx workbook. Raises EListError telling to save
// the file as .xlsx or CSV when it is no readable workbook (broken,
// protected by a password, an .xls file).
TListTable ReadWorkbookList(const std::string& FileName);
// The list file by its extension (.csv, .tsv, .xlsx; .xls is refused as
// ReadWorkbookList does); nullopt for any other, which is a text list of
// entries. Errors name the file; EFOpenError when it cannot be read.
std::optional<TListTable> ReadListTable(const std::string& FileName);

struct TListColumns {
    size_t Address = 0;
    std::optional<size_t> Name;       // 氏名, 名前, 宛名, Name: the display name in To
    std::optional<size_t> Honorific;  // 敬称
};

// The address column is the first whose heading is an address word
// (メールアドレス, メール, アドレス, E-mail, Email, mail; width and letter
// case aside), else the first whose non-empty cells IsAddress all accepts.
// Raises EListError, listing the headings, when there is none, and when a
// heading is itself an address (the list has no header row).
TListColumns FindListColumns(const TListTable& Table, const std::function<bool(std::string_view Cell)>& IsAddress);
