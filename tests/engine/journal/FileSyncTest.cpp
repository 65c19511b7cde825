// The journal's background flush, built on its own so that it also runs
// under ThreadSanitizer: Durable returns once what was appended is on the
// disk, and a file that cannot be flushed fails every later Durable, naming it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "engine/journal/FileSync.h"
#include "rtl/Exception.h"

TEST(FileSync, DurableWaitsForTheFlushAndReportsAFailedOne)
{
    char folder[] = "/tmp/veltrow-sync-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/rows.csv";
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    int pipeEnds[2];
    ASSERT_GE(file, 0);
    ASSERT_EQ(::pipe(pipeEnds), 0);  // no flush for a pipe: fsync fails
    {
        TFileSync sync;
        for (int i = 0; i < 100; ++i) {
            ASSERT_EQ(::write(file, "row\r\n", 5), 5);
            sync.Appended(file, path);
            if (i % 10 == 0) {
                EXPECT_NO_THROW(sync.Durable());
            }
        }
        EXPECT_NO_THROW(sync.Durable());
        EXPECT_EQ(std::filesystem::file_size(path), 500u);

        sync.Appended(pipeEnds[1], "the pipe");
        for (int again = 0; again < 2; ++again) {
            try {
                sync.Durable();
                ADD_FAILURE() << "no failure reported";
            } catch (const EStreamError& e) {
                EXPECT_NE(e.Message().find("the pipe"), std::string::npos) << e.Message();
            }
        }
    }
    ::close(file);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    std::filesystem::remove_all(folder);
}
