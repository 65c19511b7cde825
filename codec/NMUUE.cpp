#include "codec/NMUUE.h"

#include <algorithm>
#include <vector>

#include "rtl/Streams.h"

const ExchangeTable UUTABLE = {
    '`', '!', '"', '#', '$', '%', '&', '\'', '(', ')', '*', '+', ',', '-', '.', '/',
    '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', ':', ';', '<', '=', '>', '?',
    '@', 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O',
    'P', 'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', '[', '\\', ']', '^', '_'};

const ExchangeTable MimeTable = {
    'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
    'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f',
    'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v',
    'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};

const uint8_t base64Table[80] = {
    62,  127, 127, 127, 63,                                      // + , - . /
    52,  53,  54,  55,  56,  57,  58,  59,  60,  61,            // 0-9
    127, 127, 127, 64,  127, 127, 127,                          // : ; < = > ? @
    0,   1,   2,   3,   4,   5,   6,   7,   8,   9,   10,  11,  12,
    13,  14,  15,  16,  17,  18,  19,  20,  21,  22,  23,  24,  25,  // A-Z
    127, 127, 127, 127, 127, 127,                               // [ \ ] ^ _ `
    26,  27,  28,  29,  30,  31,  32,  33,  34,  35,  36,  37,  38,
    39,  40,  41,  42,  43,  44,  45,  46,  47,  48,  49,  50,  51};  // a-z

namespace {

// Both methods carry 45 bytes per line: 60 characters, well inside the
// 76-character limit of Base64 bodies and the classic uuencode line.
constexpr int32_t kBlockSize = 45;
// A length character, 60 characters, CR LF.
constexpr int32_t kMaxLineChars = 63;
// The line reader looks this far ahead for an LF.
constexpr int32_t kMaxLineRead = 200;
constexpr uint8_t kNotBase64 = 127;
constexpr uint8_t kPad = 64;

// Value of a Base64 character; characters outside "+" to "z" count as not
// Base64, like the invalid ones inside the range.
uint8_t Base64Value(char c)
{
    const auto u = static_cast<unsigned char>(c);
    if (u < '+' || u > 'z')
        return kNotBase64;
    return base64Table[u - '+'];
}

bool IsBase64Digit(char c) { return Base64Value(c) < kPad; }

void WriteByte(TStream& target, unsigned value)
{
    const char b = static_cast<char>(value & 0xFF);
    target.WriteBuffer(&b, 1);
}

// The source is used up when its position reached its size; a source
// positioned beyond its end counts as used up too.
bool AtEnd(TStream& s) { return s.Position() >= s.Size(); }

}  // namespace

TNMUUProcessor::TNMUUProcessor(TComponent* AOwner) : TComponent(AOwner) {}

void TNMUUProcessor::SetEncodeTable()
{
    switch (Method) {
    case uuMime: std::copy(std::begin(MimeTable), std::end(MimeTable), table_); break;
    case uuCode: std::copy(std::begin(UUTABLE), std::end(UUTABLE), table_); break;
    }
}

int64_t TNMUUProcessor::EncodedLength(int64_t Bytes, UUMethods Method)
{
    const bool mime = Method == uuMime;
    const bool uu = Method == uuCode;
    // A line of n bytes: its groups, then 2 or 3 characters for 1 or 2 bytes
    // left over (4 with Base64's padding), the length character, CR LF.
    const auto line = [&](int64_t n) {
        const int64_t rest = n % 3;
        const int64_t tail = rest == 0 ? 0 : mime ? 4 : rest + 1;
        return n / 3 * 4 + tail + (uu ? 1 : 0) + 2;
    };
    const int64_t full = Bytes / kBlockSize, last = Bytes % kBlockSize;
    return full * line(kBlockSize) + (last > 0 ? line(last) : 0) + (uu ? 3 : 0);
}

size_t TNMUUProcessor::EncodeLines(const unsigned char* Bytes, int32_t Count, char* Out) const
{
    // Another stored value takes on neither method's extras.
    const bool mime = Method == uuMime;
    const bool uu = Method == uuCode;
    const char* const t = table_;
    char* o = Out;
    for (int32_t at = 0; at < Count; at += kBlockSize) {
        const int32_t n = std::min(kBlockSize, Count - at);
        const unsigned char* b = Bytes + at;
        if (uu)
            *o++ = t[n & 63];
        int32_t i = 0;
        for (; i + 3 <= n; i += 3) {
            const unsigned b0 = b[i], b1 = b[i + 1], b2 = b[i + 2];
            o[0] = t[b0 >> 2];
            o[1] = t[((b0 << 4) | (b1 >> 4)) & 63];
            o[2] = t[((b1 << 2) | (b2 >> 6)) & 63];
            o[3] = t[b2 & 63];
            o += 4;
        }
        if (n - i == 1) {
            const unsigned b0 = b[i];
            *o++ = t[b0 >> 2];
            *o++ = t[(b0 << 4) & 0x30];
            if (mime) {
                *o++ = '=';
                *o++ = '=';
            }
        } else if (n - i == 2) {
            const unsigned b0 = b[i], b1 = b[i + 1];
            *o++ = t[b0 >> 2];
            *o++ = t[((b0 << 4) & 0x30) | (b1 >> 4)];
            *o++ = t[(b1 << 2) & 0x3C];
            if (mime)
                *o++ = '=';
        }
        *o++ = '\r';
        *o++ = '\n';
    }
    return static_cast<size_t>(o - Out);
}

void TNMUUProcessor::Encode()
{
    TStream& source = *SourceStream;
    TStream& target = *TargetStream;
    source.SetPosition(0);
    if (OnBeginEncode)
        OnBeginEncode(this);
    auto finish = [&] {
        target.SetPosition(0);
        if (OnEndEncode)
            OnEndEncode(this);
    };
    try {
        SetEncodeTable();
        const int32_t lines = std::max<int32_t>(LinesPerRead, 1);
        const int32_t blockBytes = lines * kBlockSize;
        std::vector<unsigned char> block(static_cast<size_t>(blockBytes));
        std::vector<char> text(static_cast<size_t>(lines) * kMaxLineChars);
        // Each Position() and Size() of a file is a system call: the size is
        // asked once and the position counted here.
        const int32_t size = source.Size();
        int32_t position = 0;
        while (position < size) {
            // One read per line, or reads until a block is full so that
            // every line but the last carries 45 bytes.
            int32_t n = 0;
            do {
                const int32_t got = source.Read(block.data() + n, std::min(blockBytes - n, size - position));
                if (got <= 0)
                    break;  // a source that delivers nothing short of its size
                n += got;
                position += got;
            } while (lines > 1 && n < blockBytes && position < size);
            if (n <= 0)
                break;
            const size_t length = EncodeLines(block.data(), n, text.data());
            target.WriteBuffer(text.data(), static_cast<int32_t>(length));
        }
        if (Method == uuCode) {
            const char last[] = {table_[0], '\r', '\n'};
            target.WriteBuffer(last, sizeof last);
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

void TNMUUProcessor::Decode()
{
    if (OnBeginDecode)
        OnBeginDecode(this);
    switch (Method) {
    case uuMime: Base64Decode(); break;
    case uuCode: StdDecode(); break;
    }
    if (OnEndDecode)
        OnEndDecode(this);
}

bool TNMUUProcessor::ReadLnFromStream(TStream& Stream, std::string& Line)
{
    const int32_t p0 = Stream.Position();
    char buf[kMaxLineRead];
    const int32_t n = Stream.Read(buf, kMaxLineRead);
    if (n <= 0) {
        Line.clear();
        return false;
    }
    const char* lf = std::find(buf, buf + n, '\n');
    if (lf == buf + n) {
        // No line end within reach: the bytes read form the line and the
        // next line starts after them, so every call moves on.
        Line.assign(buf, static_cast<size_t>(n));
        return true;
    }
    const int32_t k = static_cast<int32_t>(lf - buf) + 1;
    Line.assign(buf, static_cast<size_t>(std::max(k - 2, 0)));
    Stream.SetPosition(p0 + k);
    return true;
}

void TNMUUProcessor::Base64Decode()
{
    TStream& source = *SourceStream;
    TStream& target = *TargetStream;
    std::string line;
    while (ReadLnFromStream(source, line)) {
        const size_t len = line.size();
        bool last = false;  // decoding ends after this line
        if (len > 2 && line.compare(0, 4, "====") != 0) {
            size_t i = 0;
            bool skipLine = false;
            for (;; ++i) {
                if (i == len - 1) {
                    skipLine = true;
                    break;
                }
                const char c = line[i];
                if (c == '\r' || c == '\n' || c == '=')
                    return;
                if (IsBase64Digit(c))
                    break;
            }
            while (!skipLine && !last && i < len - 1) {
                if (Base64Value(line[i]) == kNotBase64) {
                    ++i;
                    continue;
                }
                // A group: the characters after the first are taken as they
                // stand. Bytes are written only from characters within the
                // line; a group cut short by the line's end is the last one.
                const unsigned a = Base64Value(line[i]);
                const unsigned b = Base64Value(line[i + 1]);
                WriteByte(target, (a << 2) | (b >> 4));
                if (i + 2 >= len || line[i + 2] == '=') {
                    last = true;
                    break;
                }
                const unsigned c = Base64Value(line[i + 2]);
                WriteByte(target, (b << 4) | (c >> 2));
                if (i + 3 >= len || line[i + 3] == '=') {
                    last = true;
                    break;
                }
                const unsigned d = Base64Value(line[i + 3]);
                WriteByte(target, (c << 6) | d);
                i += 4;
            }
        }
        if (last || AtEnd(source))
            return;
    }
}

void TNMUUProcessor::StdDecode()
{
    TStream& source = *SourceStream;
    TStream& target = *TargetStream;
    std::string line;
    while (ReadLnFromStream(source, line)) {
        if (line.size() > 2) {
            int n = UuDEC(static_cast<uint8_t>(line[0]));
            if (n == 0) {
                ReadLnFromStream(source, line);
            } else {
                // A line shorter than its length character announces gives
                // the bytes its characters carry.
                auto value = [&](size_t pos) { return static_cast<unsigned>(UuDEC(static_cast<uint8_t>(line[pos]))); };
                for (size_t i = 1; n > 0 && i + 1 < line.size(); i += 4, n -= 3) {
                    const unsigned a = value(i), b = value(i + 1);
                    WriteByte(target, (a << 2) | (b >> 4));
                    if (n < 2 || i + 2 >= line.size())
                        break;
                    const unsigned c = value(i + 2);
                    WriteByte(target, (b << 4) | (c >> 2));
                    if (n < 3 || i + 3 >= line.size())
                        break;
                    WriteByte(target, (c << 6) | value(i + 3));
                }
            }
        }
        if (AtEnd(source))
            return;
    }
}

std::string EncodeBase64Lines(TNMUUProcessor& Encoder, const std::string& Bytes)
{
    TStringStream source(Bytes);
    TStringStream target;
    // The streams die with this call; the component must not keep them.
    struct TRelease {
        TNMUUProcessor& e;
        ~TRelease() { e.SourceStream = e.TargetStream = nullptr; }
    } release{Encoder};
    Encoder.SourceStream = &source;
    Encoder.TargetStream = &target;
    Encoder.Method = uuMime;
    Encoder.Encode();
    return target.DataString();
}
