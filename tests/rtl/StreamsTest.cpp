#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "rtl/Exception.h"
#include "rtl/Narrow.h"
#include "rtl/Streams.h"

namespace {

// The same behaviour is required of every in-memory stream.
template <typename S>
void CheckMemoryStreamSemantics()
{
    S s;
    EXPECT_EQ(s.Write("hello world", 11), 11);
    EXPECT_EQ(s.Position(), 11);
    EXPECT_EQ(s.Size(), 11);
    EXPECT_EQ(s.Position(), 11);  // Size restores the position
    EXPECT_EQ(s.Seek(-5, soFromEnd), 6);
    char buf[16] = {};
    EXPECT_EQ(s.Read(buf, 16), 5);
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_EQ(s.Read(buf, 1), 0);
    s.Seek(0, soFromBeginning);
    s.Write("J", 1);  // overwrite in place
    EXPECT_EQ(s.Seek(2, soFromCurrent), 3);
    s.Seek(0, soFromBeginning);
    EXPECT_EQ(s.Read(buf, 11), 11);
    EXPECT_EQ(std::string(buf, 11), "Jello world");
    EXPECT_THROW(s.Seek(0, 3), EStreamError);
    EXPECT_THROW(s.Seek(-1, soFromBeginning), EStreamError);
    s.Seek(20, soFromBeginning);  // past the end is allowed; writing fills the gap
    s.Write("!", 1);
    EXPECT_EQ(s.Size(), 21);
}

}  // namespace

TEST(Streams, MemoryAndStringStreamsShareSemantics)
{
    CheckMemoryStreamSemantics<TMemoryStream>();
    CheckMemoryStreamSemantics<TStringStream>();
    TStringStream text("abc");
    EXPECT_EQ(text.ReadString(10), "abc");
    text.WriteString("de");
    EXPECT_EQ(text.DataString(), "abcde");
}

TEST(Streams, FileStreamModesAndErrors)
{
    const std::string path = (std::filesystem::temp_directory_path() / "veltrow_rtl_file.bin").string();
    {
        TFileStream f(path, fmCreate);
        f.WriteBuffer("0123456789", 10);
    }
    {
        TFileStream f(path, fmOpenWrite);  // existing file, not truncated
        f.Seek(0, soFromEnd);
        f.WriteBuffer("ABCDE", 5);
    }
    {
        TFileStream f(path, fmOpenRead);
        EXPECT_EQ(f.Size(), 15);
        char buf[15];
        f.ReadBuffer(buf, 15);
        EXPECT_EQ(std::string(buf, 15), "0123456789ABCDE");
        EXPECT_THROW(f.ReadBuffer(buf, 1), EReadError);
    }
    TMemoryStream m;
    m.LoadFromFile(path);
    EXPECT_EQ(std::string(m.Memory(), 15), "0123456789ABCDE");
    TMemoryStream copy;
    EXPECT_EQ(copy.CopyFrom(m, 0), 15);
    EXPECT_EQ(copy.Size(), 15);
    std::remove(path.c_str());
    EXPECT_THROW(TFileStream(path, fmOpenRead), EFOpenError);
    EXPECT_THROW(TFileStream("/nonexistent/x", fmCreate), EFCreateError);
    EXPECT_THROW(TFileStream("/tmp", fmOpenRead), EFOpenError);
}

TEST(Narrowing, OutOfRangeRaisesInsteadOfCutting)
{
    EXPECT_EQ(Narrow<uint16_t>(65535), 65535);
    EXPECT_EQ(Narrow<int16_t>(-32768), -32768);
    EXPECT_THROW(Narrow<uint16_t>(65536), ERangeError);
    EXPECT_THROW(Narrow<uint16_t>(-1), ERangeError);
    EXPECT_THROW(Narrow<int16_t>(32768), ERangeError);
    EXPECT_THROW(Narrow<uint32_t>(int64_t{-5}), ERangeError);
}
