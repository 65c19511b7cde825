#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "codec/NMUUE.h"
#include "rtl/Exception.h"
#include "rtl/Streams.h"

namespace {

// Runs Encode or Decode over text in memory; returns the target's text.
std::string Process(const std::string& text, UUMethods method, void (TNMUUProcessor::*operation)())
{
    TNMUUProcessor p(nullptr);
    TStringStream source(text), target;
    p.Method = method;
    p.SourceStream = &source;
    p.TargetStream = &target;
    (p.*operation)();
    return target.DataString();
}

std::string EncodeText(const std::string& data, UUMethods method) { return Process(data, method, &TNMUUProcessor::Encode); }
std::string DecodeText(const std::string& text, UUMethods method) { return Process(text, method, &TNMUUProcessor::Decode); }

std::string RandomBytes(std::mt19937& rng, size_t n)
{
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng() & 0xFF);
    return s;
}

std::string Hex(const std::string& s)
{
    static const char digits[] = "0123456789abcdef";
    std::string h;
    for (unsigned char c : s) {
        h += digits[c >> 4];
        h += digits[c & 15];
    }
    return h;
}

// A string stream that refuses to read after a set number of bytes.
class FailingStream : public TStringStream {
public:
    using TStringStream::TStringStream;
    int32_t Read(void* Buffer, int32_t Count) override
    {
        if (Position() >= 45)
            throw EReadError();
        return TStringStream::Read(Buffer, Count);
    }
};

// Counts reads so that a decoder that does not move on fails instead of hanging.
class BoundedStream : public TStringStream {
public:
    explicit BoundedStream(std::string data, int maxReads) : TStringStream(std::move(data)), left_(maxReads) {}
    int32_t Read(void* Buffer, int32_t Count) override
    {
        if (--left_ < 0)
            throw std::runtime_error("decoder does not reach the end of its source");
        return TStringStream::Read(Buffer, Count);
    }

private:
    int left_;
};

// Counts seeks and reads, and delivers at most MaxRead bytes per read, as a
// pipe or a slow device might.
class CountingStream : public TStringStream {
public:
    CountingStream(std::string data, int32_t maxRead) : TStringStream(std::move(data)), maxRead_(maxRead) {}
    int32_t Read(void* Buffer, int32_t Count) override
    {
        ++reads;
        return TStringStream::Read(Buffer, std::min(Count, maxRead_));
    }
    int32_t Seek(int32_t Offset, uint16_t Origin) override
    {
        ++seeks;
        return TStringStream::Seek(Offset, Origin);
    }
    int reads = 0, seeks = 0;

private:
    int32_t maxRead_;
};

}  // namespace

TEST(NMUUE, Tables)
{
    EXPECT_EQ(UUTABLE[0], '`');
    for (int v = 1; v < 64; ++v)
        EXPECT_EQ(UUTABLE[v], 32 + v);
    // base64Table is the inverse of MimeTable over "+" to "z".
    for (int c = '+'; c <= 'z'; ++c) {
        const char* hit = std::find(std::begin(MimeTable), std::end(MimeTable), static_cast<char>(c));
        const int expected = hit != std::end(MimeTable) ? static_cast<int>(hit - MimeTable) : c == '=' ? 64 : 127;
        EXPECT_EQ(base64Table[c - '+'], expected) << static_cast<char>(c);
    }
    EXPECT_EQ(TNMUUProcessor::UuDEC('`'), 0);
    EXPECT_EQ(TNMUUProcessor::UuDEC(' '), 0);
    EXPECT_EQ(TNMUUProcessor::UuDEC('M'), 45);
}

TEST(NMUUE, EncodeLineFormats)
{
    const std::string b45(45, 'x'), b46(46, 'x');
    std::string mime45, uu45;  // "xxx" is "eHh4" in Base64 and ">'AX" in uuencode
    for (int i = 0; i < 15; ++i) {
        mime45 += "eHh4";
        uu45 += ">'AX";
    }
    struct Case {
        UUMethods method;
        std::string in, out;
    } cases[] = {
        {uuCode, "abc", "#86)C\r\n`\r\n"},
        {uuCode, "ab", "\"86(\r\n`\r\n"},
        {uuCode, "a", "!80\r\n`\r\n"},
        {uuCode, "", "`\r\n"},
        {uuCode, std::string(3, '\0'), "#````\r\n`\r\n"},  // zero is never a blank
        {uuCode, b45, "M" + uu45 + "\r\n`\r\n"},
        {uuCode, b46, "M" + uu45 + "\r\n!>`\r\n`\r\n"},
        {uuMime, "", ""},
        {uuMime, "a", "YQ==\r\n"},
        {uuMime, "ab", "YWI=\r\n"},
        {uuMime, "abc", "YWJj\r\n"},
        {uuMime, "\xff\xfe\xfd", "//79\r\n"},
        {uuMime, b45, mime45 + "\r\n"},
        {uuMime, b46, mime45 + "\r\neA==\r\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EncodeText(c.in, c.method), c.out) << "method " << int(c.method) << " input " << Hex(c.in);
}

TEST(NMUUE, StreamsPositionsAndEvents)
{
    TNMUUProcessor p(nullptr);
    EXPECT_EQ(p.Method, uuMime);
    TStringStream source("abcdef"), target("XY");
    source.Seek(3, soFromBeginning);
    target.Seek(0, soFromEnd);  // output goes at the target's position, nothing is cleared
    p.SourceStream = &source;
    p.TargetStream = &target;
    std::string log;
    p.OnBeginEncode = [&](TObject* s) { log += s == &p ? "BE " : "?"; };
    p.OnEndEncode = [&](TObject* s) { log += s == &p ? "EE " : "?"; };
    p.OnBeginDecode = [&](TObject* s) { log += s == &p ? "BD " : "?"; };
    p.OnEndDecode = [&](TObject* s) { log += s == &p ? "ED " : "?"; };
    p.Encode();
    EXPECT_EQ(target.DataString(), "XYYWJjZGVm\r\n");
    EXPECT_EQ(target.Position(), 0);
    EXPECT_EQ(source.Position(), source.Size());

    // Decode starts where the source stands.
    TStringStream encoded("garbage line\r\nYWJj\r\n"), decoded;
    encoded.Seek(14, soFromBeginning);
    p.SourceStream = &encoded;
    p.TargetStream = &decoded;
    p.Decode();
    EXPECT_EQ(decoded.DataString(), "abc");
    EXPECT_EQ(log, "BE EE BD ED ");

    // A failing source still resets the target and reports the end.
    log.clear();
    FailingStream failing(std::string(100, 'z'));
    TStringStream out;
    p.SourceStream = &failing;
    p.TargetStream = &out;
    EXPECT_THROW(p.Encode(), EReadError);
    EXPECT_EQ(log, "BE EE ");
    EXPECT_EQ(out.Position(), 0);
    EXPECT_EQ(out.Size(), 62);  // the first line made it

    // A failing decode leaves without OnEndDecode.
    log.clear();
    std::string lines;
    for (int i = 0; i < 20; ++i)
        lines += "YWJj\r\n";
    FailingStream failingText(lines);
    p.SourceStream = &failingText;
    EXPECT_THROW(p.Decode(), EReadError);
    EXPECT_EQ(log, "BD ");

    // An unknown method keeps the previous alphabet and takes on neither
    // method's extras: no length character, no padding, no terminating line.
    p.Method = uuCode;
    p.SetEncodeTable();
    p.Method = static_cast<UUMethods>(7);
    TStringStream s2("abcd"), t2;
    p.SourceStream = &s2;
    p.TargetStream = &t2;
    p.Encode();
    EXPECT_EQ(t2.DataString(), "86)C9`\r\n");
}

// Base64 is compared with Python's encoder, and Python's uudecoder reads
// our uuencoded lines back: two independent implementations.
TEST(NMUUE, AgreesWithPython)
{
    std::mt19937 rng(20240601);
    std::vector<std::string> inputs;
    for (int n : {0, 1, 2, 3, 44, 45, 46, 89, 90, 91, 135, 300})
        inputs.push_back(RandomBytes(rng, static_cast<size_t>(n)));
    for (int i = 0; i < 60; ++i)
        inputs.push_back(RandomBytes(rng, rng() % 301));

    const auto dir = std::filesystem::temp_directory_path();
    const std::string dataPath = (dir / ("veltrow_codec_py_" + std::to_string(getpid()) + ".txt")).string();
    const std::string scriptPath = (dir / ("veltrow_codec_py_" + std::to_string(getpid()) + ".py")).string();
    {
        std::ofstream data(dataPath);
        for (const auto& in : inputs)
            data << Hex(in) << ' ' << Hex(EncodeText(in, uuCode)) << '\n';
        std::ofstream script(scriptPath);
        script << R"(import base64, binascii, sys
for row in open(sys.argv[1]):
    raw, uu = (bytes.fromhex(f) for f in row.split(' '))
    b = base64.b64encode(raw)
    mime = b''.join(b[i:i + 60] + b'\r\n' for i in range(0, len(b), 60))
    back = b''.join(binascii.a2b_uu(l) for l in uu.split(b'\r\n') if l)
    print(mime.hex(), back.hex())
)";
    }
    const std::string cmd = std::string(VELTROW_PYTHON) + " " + scriptPath + " " + dataPath;
    FILE* pipe = popen(cmd.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;)
        output.append(buf, n);
    EXPECT_EQ(pclose(pipe), 0);
    std::filesystem::remove(dataPath);
    std::filesystem::remove(scriptPath);

    std::istringstream lines(output);
    std::string line;
    size_t i = 0;
    for (; std::getline(lines, line) && i < inputs.size(); ++i) {
        const size_t blank = line.find(' ');
        ASSERT_NE(blank, std::string::npos) << line;
        EXPECT_EQ(line.substr(0, blank), Hex(EncodeText(inputs[i], uuMime))) << "input " << i;
        EXPECT_EQ(line.substr(blank + 1), Hex(inputs[i])) << "input " << i;
    }
    EXPECT_EQ(i, inputs.size());
}

TEST(NMUUE, DecodeInvertsEncode)
{
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    std::mt19937 rng(7);
    std::vector<std::string> inputs = {"", "a", all, all + all + "x"};
    for (int i = 0; i < 50; ++i)
        inputs.push_back(RandomBytes(rng, rng() % 400));
    for (UUMethods m : {uuMime, uuCode}) {
        for (const auto& in : inputs) {
            // Encode leaves the target at 0, ready to be decoded as it stands.
            TNMUUProcessor p(nullptr);
            TStringStream source(in), encoded, decoded;
            p.Method = m;
            p.SourceStream = &source;
            p.TargetStream = &encoded;
            p.Encode();
            p.SourceStream = &encoded;
            p.TargetStream = &decoded;
            p.Decode();
            EXPECT_EQ(Hex(decoded.DataString()), Hex(in)) << "method " << int(m);
        }
    }
}

TEST(NMUUE, ReadLnFromStream)
{
    struct Case {
        std::string data, line;
        int32_t position;
    } cases[] = {
        {"abc\r\ndef", "abc", 5},
        {"abc\ndef", "ab", 4},  // a lone LF costs the line's last character
        {"\ndef", "", 1},
        {"xyz", "xyz", 3},  // a last line without a line end
        {std::string(250, 'q'), std::string(200, 'q'), 200},
        {std::string(198, 'q') + "\r\n", std::string(198, 'q'), 200},
    };
    for (const auto& c : cases) {
        TStringStream s(c.data);
        std::string line = "old";
        EXPECT_TRUE(TNMUUProcessor::ReadLnFromStream(s, line));
        EXPECT_EQ(line, c.line);
        EXPECT_EQ(s.Position(), c.position);
    }
    TStringStream empty;
    std::string line = "old";
    EXPECT_FALSE(TNMUUProcessor::ReadLnFromStream(empty, line));
    EXPECT_EQ(line, "");
}

TEST(NMUUE, DecoderRules)
{
    struct Case {
        UUMethods method;
        const char* name;
        std::string text, bytes;
    } cases[] = {
        {uuMime, "==== line skipped", "====\r\nYWJj\r\n", "abc"},
        {uuMime, "line starting with = ends", "=YWJj\r\nYWJj\r\n", ""},
        {uuMime, "= before first digit ends", "-=YWJj\r\nYWJj\r\n", ""},
        {uuMime, "CR before first digit ends", "\rYWJj\r\nYWJj\r\n", ""},
        {uuMime, "non-digit line skipped", "!!!! ----\r\nYWJj\r\n", "abc"},
        {uuMime, "short lines skipped", "\r\nab\r\nYWJj\r\n", "abc"},
        {uuMime, "leading blanks skipped", "  \tYWJj\r\n", "abc"},
        {uuMime, "- between groups skipped", "YWJj-YWJj\r\n", "abcabc"},
        {uuMime, "- inside a group is 127", "YW-j\r\n", "a\x7f\xe3"},
        {uuMime, "character below + inside a group is 127", "YW*j\r\n", "a\x7f\xe3"},
        {uuMime, "padding ends after the line", "YQ==\r\nYWJj\r\n", "a"},
        {uuMime, "text after padding ignored", "YWI=YWJj\r\nYWJj\r\n", "ab"},
        {uuMime, "last line without line end", "YWJj\r\nYWJj", "abcabc"},
        {uuMime, "group cut short on last line", "YWJjYWJ", "abcab"},
        {uuMime, "group cut short ends decoding", "YWJjYW\r\nYWJj\r\n", "abca"},
        {uuMime, "lone LF costs the last character", "YWJjYWJj\n", "abcab"},
        {uuMime, "last character never starts a group", "YWJjY\r\n", "abc"},
        {uuCode, "terminating line ignored", "#86)C\r\n`\r\n#86)C\r\n", "abcabc"},
        {uuCode, "zero length discards the next line", "`xx\r\n#86)C\r\n!80\r\n", "a"},
        {uuCode, "blank length is zero too", " 86)C\r\n#86)C\r\n!80\r\n", "a"},
        {uuCode, "line shorter than announced", "#86\r\n!80\r\n", "aa"},
        {uuCode, "length larger than the groups", "M86)C\r\n", "abc"},
        {uuCode, "length shorter than the groups", "!86)C86)C\r\n", "a"},
        {uuCode, "last line without line end", "!80\r\n#86)C", "aabc"},
        {uuCode, "lone LF costs the last character", "#86)CX\n", "abc"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Hex(DecodeText(c.text, c.method)), Hex(c.bytes)) << c.name << " (method " << int(c.method) << ")";

    // Unbroken Base64 longer than a line is read in pieces of a multiple of
    // four characters, so it still decodes.
    std::mt19937 rng(3);
    const std::string data = RandomBytes(rng, 1000);
    std::string flat = EncodeText(data, uuMime);
    std::erase(flat, '\r');
    std::erase(flat, '\n');
    EXPECT_EQ(Hex(DecodeText(flat, uuMime)), Hex(data));
    EXPECT_EQ(Hex(DecodeText(flat + "\r\n", uuMime)), Hex(data));
}

// Random, truncated and overlong-line text: both decoders end at the end of
// the source, never write more than the source holds, and (under the
// sanitizers) never touch memory outside their buffers.
TEST(NMUUE, DecodersSurviveArbitraryInput)
{
    std::mt19937 rng(1234567);
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=`!\"#$%&'()*,-.:;<>?@[\\]^_ \t\r\n";
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        switch (round % 5) {
        case 0:  // arbitrary bytes
            text = RandomBytes(rng, rng() % 700);
            break;
        case 1:  // encoder output cut at a random point
            text = EncodeText(RandomBytes(rng, rng() % 500), round % 2 ? uuCode : uuMime);
            text.resize(rng() % (text.size() + 1));
            break;
        case 2:  // lines of any length, some far beyond the line reader's reach
            for (int lines = rng() % 6; lines >= 0; --lines) {
                const size_t n = rng() % 3 == 0 ? 150 + rng() % 900 : rng() % 120;
                for (size_t i = 0; i < n; ++i)
                    text += alphabet[rng() % (alphabet.size() - 4)];
                if (rng() % 4)
                    text += rng() % 3 ? "\r\n" : "\n";
            }
            break;
        case 3:  // alphabet soup with line ends
            for (size_t n = rng() % 800; n > 0; --n)
                text += alphabet[rng() % alphabet.size()];
            break;
        case 4:  // encoder output with random damage
            text = EncodeText(RandomBytes(rng, rng() % 500), round % 2 ? uuCode : uuMime);
            for (int k = rng() % 8; k > 0 && !text.empty(); --k)
                text[rng() % text.size()] = static_cast<char>(rng());
            break;
        }
        const int32_t size = static_cast<int32_t>(text.size());
        // Start anywhere, the end and beyond it included.
        const int32_t start = rng() % 4 ? 0 : static_cast<int32_t>(rng() % (text.size() + 3));
        for (UUMethods m : {uuMime, uuCode}) {
            TNMUUProcessor p(nullptr);
            BoundedStream source(text, size + 2);
            TMemoryStream target;
            source.Seek(start, soFromBeginning);
            p.Method = m;
            p.SourceStream = &source;
            p.TargetStream = &target;
            ASSERT_NO_THROW(p.Decode()) << "round " << round << " method " << int(m);
            EXPECT_LE(target.Size(), std::max(size - start, 0));
            EXPECT_LE(source.Position(), std::max(size, start));
        }
    }
}

// Large reads give the lines of 45-byte reads, whatever the reads deliver;
// the size is asked once, however long the source; EncodedLength is the
// output's length.
TEST(NMUUE, BlockReadsGiveTheSameLines)
{
    std::mt19937 rng(99);
    const int32_t block = 4 * 45;  // four lines per read
    for (UUMethods m : {uuMime, uuCode, static_cast<UUMethods>(7)}) {
        for (int n : {0, 1, 44, 45, 46, block - 1, block, block + 1, 3 * block + 14, 20000}) {
            const std::string in = RandomBytes(rng, static_cast<size_t>(n));
            const std::string reference = EncodeText(in, m);
            for (int32_t maxRead : {1 << 30, 7, block + 1}) {
                for (int32_t lines : {1, 4}) {
                    if (lines == 1 && maxRead < 45)
                        continue;  // one read per line: short reads make short lines
                    TNMUUProcessor p(nullptr);
                    CountingStream source(in, maxRead);
                    TStringStream target;
                    p.Method = m;
                    p.LinesPerRead = lines;
                    p.SourceStream = &source;
                    p.TargetStream = &target;
                    p.Encode();
                    const std::string where = "method " + std::to_string(int(m)) + " bytes " + std::to_string(n) +
                                              " lines " + std::to_string(lines) + " max read " + std::to_string(maxRead);
                    EXPECT_EQ(target.DataString(), reference) << where;
                    EXPECT_EQ(TNMUUProcessor::EncodedLength(n, m), static_cast<int64_t>(reference.size())) << where;
                    // SetPosition(0) and Size(): four seeks for any length.
                    EXPECT_EQ(source.seeks, 4) << where;
                    if (maxRead > block) {
                        EXPECT_EQ(source.reads, (n + lines * 45 - 1) / (lines * 45)) << where;
                    }
                }
            }
        }
    }
    // The lengths that a body has to make room for, without encoding them.
    // 50,000,000 = 1,111,111 lines of 45 and 5 bytes: one group and a padded one.
    EXPECT_EQ(TNMUUProcessor::EncodedLength(50000000, uuMime), 1111111 * 62 + 4 + 4 + 2);
    // 2^31 - 1 = 47,721,858 lines of 45 and 37 bytes: a length character,
    // twelve groups and two characters for the last byte; then the "`" line.
    EXPECT_EQ(TNMUUProcessor::EncodedLength(INT32_MAX, uuCode), int64_t{47721858} * 63 + 1 + 12 * 4 + 2 + 2 + 3);
}
