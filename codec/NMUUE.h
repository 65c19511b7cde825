// Base64 and uuencode processor: turns the bytes of one stream into 7-bit
// text lines and back.
//
// Encode writes blocks of 45 bytes per line, each line ended by CR LF:
//   uuMime  standard Base64, 60 characters per full line, "=" padding;
//   uuCode  a length character, then up to 60 characters without padding,
//           and after the data a terminating line "`".
// Decode reads from the source's current position; it never raises for
// malformed text, only ever reads within the source and always ends at the
// end of the source.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/Classes.h"

class TStream;

// A fixed underlying type: a stored value outside the two methods is legal
// and simply selects nothing.
enum UUMethods : uint8_t { uuMime = 0, uuCode = 1 };

using ExchangeTable = char[64];

// Index v holds the character 32 + v, except 0, which is "`" so that a zero
// value is never written as a blank.
extern const ExchangeTable UUTABLE;
// The standard Base64 alphabet.
extern const ExchangeTable MimeTable;
// Value of the characters "+" (43) to "z" (122), indexed by code minus 43:
// alphabet characters 0 to 63, "=" 64, anything else 127.
extern const uint8_t base64Table[80];

class TNMUUProcessor : public TComponent {
public:
    explicit TNMUUProcessor(TComponent* AOwner);

    // Encodes the whole source (from position 0) into the target at the
    // target's position, then sets the target's position to 0. Stream errors
    // propagate, after the target is reset and OnEndEncode has run. The
    // source's size is asked once, before the first read.
    void Encode();
    // Decodes from the source's current position into the target at its
    // position; both streams are left where they stand.
    void Decode();

    void Base64Decode();
    void StdDecode();
    // Loads the alphabet of Method; any other value leaves the table as it is.
    void SetEncodeTable();
    static uint8_t UuDEC(uint8_t C) { return static_cast<uint8_t>((C - 32) & 63); }
    // Reads the next line (up to 200 bytes) of Stream into Line, dropping its
    // LF and the byte before it, and leaves Stream after the LF. Without an LF
    // among the bytes read, all of them form the line. Returns false when
    // nothing could be read.
    static bool ReadLnFromStream(TStream& Stream, std::string& Line);

    // The length of Encode's output for a source of Bytes bytes.
    static int64_t EncodedLength(int64_t Bytes, UUMethods Method);

    UUMethods Method = uuMime;
    // Lines that Encode reads and writes at a time. With 1 it reads 45 bytes
    // and writes each line with its own write; a large source (an attachment
    // file) goes faster in large blocks. The lines are the same either way.
    int32_t LinesPerRead = 1;
    TStream* SourceStream = nullptr;  // not owned
    TStream* TargetStream = nullptr;  // not owned

    TNotifyEvent OnBeginEncode;
    TNotifyEvent OnEndEncode;
    TNotifyEvent OnBeginDecode;
    TNotifyEvent OnEndDecode;

private:
    // Encodes Count bytes as lines of 45 bytes (the last may be shorter) into
    // Out, which has room for them; returns the characters written.
    size_t EncodeLines(const unsigned char* Bytes, int32_t Count, char* Out) const;

    ExchangeTable table_ = {};
};

// Bytes as Base64 lines through Encoder (uuMime), each line ended by CR LF;
// the encoder is left holding no stream.
std::string EncodeBase64Lines(TNMUUProcessor& Encoder, const std::string& Bytes);

