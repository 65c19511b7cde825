// The journal's CSV: what Excel opens, and what it may save back.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// One CSV record, RFC 4180 quoting, CR LF at its end.
std::string CsvRecord(const std::vector<std::string>& Fields);
// The records of CSV text (a leading BOM dropped). A last record without its
// line end is a torn write and left out.
std::vector<std::vector<std::string>> ParseCsv(std::string_view Text);

namespace journal_detail {

const char* const Bom = "\xEF\xBB\xBF";
const char* const CsvSuffix = ".csv";

// The CSV as UTF-8: ours carries a BOM; one Excel saved back as Shift_JIS has
// none and is no UTF-8.
std::string CsvText(std::string text);

}  // namespace journal_detail
