#include <gtest/gtest.h>

#include <random>

#include "codec/NMS_Stream.h"
#include "codec/NMUUE.h"
#include "codec/Nms_huge.h"
#include "rtl/Exception.h"

namespace {

// A memory stream that records the sizes of the reads and writes it sees and
// can be made to take only part of a write.
class RecordingStream : public TMemoryStream {
public:
    int32_t Read(void* Buffer, int32_t Count) override
    {
        reads.push_back(Count);
        return TMemoryStream::Read(Buffer, Count);
    }
    int32_t Write(const void* Buffer, int32_t Count) override
    {
        writes.push_back(Count);
        return TMemoryStream::Write(Buffer, std::min(Count, writeLimit));
    }
    std::string Data() { return std::string(Memory(), static_cast<size_t>(Size())); }

    std::vector<int32_t> reads, writes;
    int32_t writeLimit = INT32_MAX;
};

std::string Bytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng());
    return s;
}

// Sets the unit's buffer size for one test.
struct BufferSizeScope {
    explicit BufferSizeScope(int32_t size) : saved(BufferSize) { BufferSize = size; }
    ~BufferSizeScope() { BufferSize = saved; }
    int32_t saved;
};

}  // namespace

TEST(NMS_Stream, WriteSizeAndReadBack)
{
    RecordingStream inner;
    const std::string data = Bytes(100, 1);
    TS_BufferStream s(&inner);
    EXPECT_EQ(s.Write(data.data(), 100), 100);
    EXPECT_EQ(s.State(), bsWrite);
    EXPECT_EQ(s.Position(), 100);
    EXPECT_TRUE(inner.writes.empty());
    EXPECT_EQ(s.Size(), 100);
    EXPECT_EQ(inner.Data(), data);
    EXPECT_EQ(s.Seek(0, soFromBeginning), 0);
    std::string back(100, '\0');
    EXPECT_EQ(s.Read(back.data(), 100), 100);
    EXPECT_EQ(back, data);
}

TEST(NMS_Stream, WholeBlocksReachTheWrappedStream)
{
    RecordingStream inner;
    const std::string block = Bytes(static_cast<size_t>(BufferSize), 2);
    {
        TS_BufferStream s(&inner);
        EXPECT_EQ(s.Write(block.data(), BufferSize), BufferSize);
        EXPECT_EQ(inner.writes, std::vector<int32_t>{BufferSize});
        EXPECT_EQ(s.State(), bsUnknown);
        EXPECT_EQ(s.GetBufPosition(), 0);
        // Small writes are collected into one block.
        for (int i = 0; i < 1000; ++i)
            s.Write("0123456789", 10);
        EXPECT_EQ(inner.writes.size(), 1u);
    }
    EXPECT_EQ(inner.writes, (std::vector<int32_t>{BufferSize, 10000}));
    EXPECT_EQ(inner.Size(), BufferSize + 10000);

    // A read larger than the buffer is served by successive full fills.
    // Reading past the end delivers what there is.
    inner.SetPosition(0);
    TS_BufferStream r(&inner);
    EXPECT_FALSE(r.IsEof());  // nothing read yet
    std::string all(static_cast<size_t>(BufferSize) + 20000, '\0');
    EXPECT_EQ(r.Read(all.data(), static_cast<int32_t>(all.size())), BufferSize + 10000);
    EXPECT_EQ(all.substr(0, block.size()), block);
    EXPECT_EQ(inner.reads, (std::vector<int32_t>{BufferSize, BufferSize, BufferSize}));
    EXPECT_TRUE(r.IsEof());
    r.Seek(-5, soFromCurrent);
    EXPECT_FALSE(r.IsEof());
    char c[8];
    EXPECT_EQ(r.Read(c, 8), 5);
    EXPECT_EQ(std::string(c, 5), "56789");
    EXPECT_TRUE(r.IsEof());
}

TEST(NMS_Stream, PutBack)
{
    BufferSizeScope scope(16);
    RecordingStream inner;
    inner.Write("abcdefghijklmnopqrstuvwxyz", 26);
    inner.SetPosition(0);
    TS_BufferStream s(&inner);
    EXPECT_THROW(s.PutBack('x'), EStreamError);  // nothing read yet
    char buf[32] = {};
    EXPECT_EQ(s.Read(buf, 10), 10);
    for (int i = 0; i < 10; ++i)
        s.PutBack(static_cast<char>('0' + i));
    EXPECT_EQ(s.Position(), 0);
    try {
        s.PutBack('!');
        FAIL() << "11th push accepted";
    } catch (const EStreamError& e) {
        EXPECT_EQ(e.Message(), "PutBack overflow");
    }
    EXPECT_EQ(s.Read(buf, 12), 12);
    EXPECT_EQ(std::string(buf, 12), "9876543210kl");

    // Only bytes of the current fill can go back: 4 of the 20 read here.
    s.Seek(0, soFromBeginning);
    EXPECT_THROW(s.PutBack('x'), EStreamError);  // after a seek
    EXPECT_EQ(s.Read(buf, 20), 20);
    for (int i = 0; i < 4; ++i)
        s.PutBack('-');
    EXPECT_THROW(s.PutBack('-'), EStreamError);
    EXPECT_EQ(s.Position(), 16);
}

TEST(NMS_Stream, SeekOrigins)
{
    RecordingStream inner;
    inner.Write("0123456789", 10);
    inner.SetPosition(0);
    TS_BufferStream s(&inner);
    int fills = 0;
    s.OnBufferFilled = [&](TObject* sender) { fills += sender == &s; };
    EXPECT_EQ(s.Seek(0, soFromEnd), 10);
    EXPECT_EQ(s.Seek(3, soFromEnd), 7);  // a positive offset counts back from the end
    EXPECT_EQ(s.Seek(-2, soFromCurrent), 5);
    EXPECT_EQ(s.Seek(2, soFromBeginning), 2);
    char buf[4];
    EXPECT_EQ(s.Read(buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "234");
    EXPECT_EQ(fills, 1);
    // A seek to where the stream stands keeps the read-ahead.
    EXPECT_EQ(s.Seek(5, soFromBeginning), 5);
    EXPECT_EQ(s.Seek(0, soFromCurrent), 5);
    EXPECT_EQ(s.Read(buf, 2), 2);
    EXPECT_EQ(std::string(buf, 2), "56");
    EXPECT_EQ(fills, 1);
    EXPECT_EQ(s.State(), bsRead);
    try {
        s.Seek(0, 3);
        FAIL() << "origin 3 accepted";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Invalid seek origin = 3");
    }
}

TEST(NMS_Stream, WriteAfterReadLandsAtTheLogicalPosition)
{
    RecordingStream inner;
    inner.Write("0123456789", 10);
    inner.SetPosition(0);
    {
        TS_BufferStream s(&inner);
        char buf[5];
        s.Read(buf, 5);  // the whole stream is read ahead
        s.Write("AB", 2);
        EXPECT_EQ(s.Position(), 7);
        s.Read(buf, 3);
        EXPECT_EQ(std::string(buf, 3), "789");
    }
    EXPECT_EQ(inner.Data(), "01234AB789");
}

TEST(NMS_Stream, FlushOnDestroyAndFailedFlushes)
{
    RecordingStream inner;
    int flushes = 0;
    {
        TS_BufferStream s(&inner);
        s.OnBufferFlushed = [&](TObject* sender) { flushes += sender == &s; };
        s.Write("pending", 7);
        EXPECT_EQ(inner.Size(), 0);
    }
    EXPECT_EQ(inner.Data(), "pending");
    EXPECT_EQ(flushes, 1);

    BufferSizeScope scope(8);
    RecordingStream shortWriter;
    shortWriter.writeLimit = 3;
    {
        TS_BufferStream s(&shortWriter);
        // The failed flush of the first 8 bytes ends the write; they count as taken.
        EXPECT_EQ(s.Write("0123456789abcdef", 16), 8);
        EXPECT_EQ(s.GetBufPosition(), 0);
        EXPECT_EQ(s.Write("wxyz", 4), 4);
        try {
            s.Seek(0, soFromBeginning);
            FAIL() << "seek over a failed flush";
        } catch (const EStreamError& e) {
            EXPECT_EQ(e.Message(), "Seek error");
        }
        s.Write("12345", 5);
    }  // the destructor's failed flush goes unreported
    EXPECT_EQ(shortWriter.Data(), "012wxy123");
}

TEST(NMS_Stream, CarriesTheEncoderOutput)
{
    // The attachment path: encoder -> buffered stream -> memory stream.
    const std::string data = Bytes(100000, 5);
    TNMUUProcessor p(nullptr);
    TStringStream source(data), direct;
    p.SourceStream = &source;
    p.TargetStream = &direct;
    p.Encode();
    TMemoryStream memory;
    TS_BufferStream buffered(&memory);
    p.TargetStream = &buffered;
    p.Encode();
    buffered.Seek(0, soFromBeginning);
    const int32_t size = buffered.Size();
    std::string out(static_cast<size_t>(size), '\0');
    EXPECT_EQ(buffered.Read(out.data(), size), size);
    EXPECT_EQ(out, direct.DataString());
}

TEST(Nms_huge, PointerHelpersAndOverlappingCopy)
{
    char text[] = "abcdefgh";
    char* p = text;
    HugeInc(p, 5);
    EXPECT_EQ(*p, 'f');
    HugeDec(p, 2);
    EXPECT_EQ(*p, 'd');
    EXPECT_EQ(HugeOffset(p, 1), text + 4);
    HMemCpy(text + 2, text, 5);  // forward overlap
    EXPECT_STREQ(text, "ababcdeh");
    HMemCpy(text, text + 1, 6);  // backward overlap
    EXPECT_STREQ(text, "babcdeeh");
}
