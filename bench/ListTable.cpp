// A recipient list of rows and columns read and checked as a run does before
// it connects: the table, its columns, the merge fields of a subject and a
// body, the rows where a used field is empty; then every row's subject and
// body composed once, one at a time, as the run would.
//
//   list_table FILE
//
// Prints two result lines: "list_read" (reading and checking) and
// "list_merge" (composing every row), each with the peak memory so far.

#include <cstdio>
#include <string>

#include "engine/list/ListTable.h"
#include "engine/list/MergeFields.h"
#include "engine/list/Recipients.h"
#include "bench/Measure.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: list_table FILE\n");
        return 2;
    }
    const bench::Sample before = bench::Now();
    size_t rows = 0;
    size_t composed = 0;
    try {
        const std::optional<TListTable> table = ReadListTable(argv[1]);
        if (!table) {
            std::fprintf(stderr, "%s: not a CSV, TSV or Excel list\n", argv[1]);
            return 2;
        }
        const TListColumns columns = FindListColumns(*table, [](std::string_view cell) {
            std::string name, address;
            SplitEntry(std::string(cell), name, address);
            return IsUsableAddress(address);
        });
        size_t sendable = 0;
        for (size_t r = 0; r < table->Rows(); ++r)
            sendable += IsUsableAddress(std::string(table->Cell(r, columns.Address))) ? 1 : 0;
        const TMergeFields fields(table->Header());
        const TMergeTemplate subject("{{会社名}} {{氏名}}{{敬称}}へのご案内", fields);
        const TMergeTemplate body("{{会社名}}\n{{部署}}\n{{氏名}}{{敬称}}\n\nいつもお世話になっております。\n", fields);
        const std::string refusal = FieldsRefusal({&subject, &body}, fields);
        const auto empty = FindEmptyFields({&subject, &body}, *table);
        rows = table->Rows();
        bench::Report("list_read", static_cast<long>(rows), before, bench::Now());
        std::printf("sendable=%zu refusal=%d empty_fields=%zu\n", sendable, refusal.empty() ? 0 : 1, empty.size());

        const bench::Sample merge = bench::Now();
        for (size_t r = 0; r < rows; ++r) {
            const TMergeRow row = TableRow(*table, r);
            composed += subject.Merge(row).size() + body.Merge(row).size();
        }
        bench::Report("list_merge", static_cast<long>(rows), merge, bench::Now());
    } catch (const std::exception& e) {
        std::printf("refused: %s\n", e.what());
        return 1;
    }
    std::printf("composed_bytes=%zu\n", composed);
    return 0;
}
