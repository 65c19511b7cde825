// A recipient list read and checked as a run does before it connects, for
// the time and the peak memory a large list costs.
//
//   list_check FILE
//
// The journal folder is a new, empty one under /tmp: no earlier run is met.

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "engine/run/RunStart.h"
#include "bench/Measure.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: list_check FILE\n");
        return 2;
    }
    struct stat st {};
    if (::stat(argv[1], &st) != 0) {
        std::perror(argv[1]);
        return 2;
    }
    const std::string folder = std::filesystem::temp_directory_path() / ("list_check." + std::to_string(::getpid()));
    TRunRequest request;
    request.RecipientFile = argv[1];
    request.Subject = "s";
    request.Body = "b";
    request.JournalFolder = folder;
    const bench::Sample before = bench::Now();
    long entries = 0;
    try {
        const std::optional<TPreparedRun> run = PrepareRun(request);
        entries = run ? run->Plan->Total() : 0;
    } catch (const std::exception& e) {
        std::printf("refused: %s\n", e.what());
    }
    bench::Report("list_check", entries, before, bench::Now());
    std::printf("file_bytes=%lld\n", static_cast<long long>(st.st_size));
    return 0;
}
