// Whole .xlsx archives on any bytes: the workbook either reads or raises
// EListError, and it ends (libFuzzer's -timeout and -rss_limit_mb catch a
// reader that goes on or grows). What it reads keeps the table's promises:
// rows numbered upwards below the header, UTF-8 cells, within the limits.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/list/ListTable.h"
#include "charset/CodePage.h"

namespace {

// The reader takes a file: one per process, rewritten for every input.
std::string WorkbookPath()
{
    char path[] = "/tmp/fuzz_workbooks_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        std::abort();
    close(fd);
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    static const std::string path = WorkbookPath();
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(Data, 1, Size, file) != Size || std::fclose(file) != 0)
        std::abort();
    try {
        const TListTable table = ReadWorkbookList(path);
        if (table.Columns() > kMaxListColumns)
            std::abort();
        int last = table.HeaderRow();
        for (size_t r = 0; r < table.Rows(); ++r) {
            if (table.RowNumber(r) <= last || table.Width(r) > table.Columns())
                std::abort();
            last = table.RowNumber(r);
            for (size_t c = 0; c < table.Columns(); ++c)
                if (!IsValidUtf8(table.Cell(r, c)) || table.Cell(r, c).size() > kMaxCellBytes)
                    std::abort();
        }
        FindListColumns(table, [](std::string_view cell) { return cell.find('@') != std::string_view::npos; });
    } catch (const EListError&) {
    }
    return 0;
}
