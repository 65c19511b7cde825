// A delimited list and a template on any bytes: the list either reads or
// raises EListError; what it reads is
// UTF-8 in every cell, with rows numbered upwards below the header; the
// template merges every row, and a template without "{{" merges to itself.
// The first byte chooses the delimiter, the text up to the first zero byte
// after it is the template, the rest is the file.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/list/ListTable.h"
#include "engine/list/MergeFields.h"
#include "charset/CodePage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    if (Size == 0)
        return 0;
    const std::string input(reinterpret_cast<const char*>(Data) + 1, Size - 1);
    const size_t zero = input.find('\0');
    const std::string tmpl = zero == std::string::npos ? std::string() : input.substr(0, zero);
    const std::string file = zero == std::string::npos ? input : input.substr(zero + 1);
    try {
        const TListTable table = ReadDelimitedList(file, Data[0] & 1 ? '\t' : ',');
        int last = table.HeaderRow();
        for (size_t r = 0; r < table.Rows(); ++r) {
            if (table.RowNumber(r) <= last)
                std::abort();
            last = table.RowNumber(r);
            for (size_t c = 0; c < table.Columns(); ++c)
                if (!IsValidUtf8(table.Cell(r, c)))
                    std::abort();
        }
        const TMergeFields fields(table.Header());
        const TMergeTemplate merge(tmpl, fields);
        for (size_t r = 0; r < table.Rows(); ++r)
            if (const std::string text = merge.Merge(TableRow(table, r));
                tmpl.find("{{") == std::string::npos && text != tmpl)
                std::abort();
        FieldsRefusal({&merge}, fields);
        EmptyFieldsQuestion(FindEmptyFields({&merge}, table));
        FindListColumns(table, [](std::string_view cell) { return cell.find('@') != std::string_view::npos; });
    } catch (const EListError&) {
    }
    return 0;
}
