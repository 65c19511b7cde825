// A stream that puts a fixed-size buffer in front of another stream: reads
// are served from blocks read ahead, writes are handed on a buffer at a time.
// Bytes delivered from the current block can be pushed back.
#pragma once

#include <cstdint>
#include <vector>

#include "rtl/Streams.h"

enum TS_BufferState { bsUnknown, bsRead, bsWrite };

// Buffer size taken by every TS_BufferStream created from now on.
extern int32_t BufferSize;

class TS_BufferStream : public TStream {
public:
    // Stream is not owned; it must outlive the buffered stream.
    explicit TS_BufferStream(TStream* Stream);
    // Passes pending bytes on (a failed flush goes unreported).
    ~TS_BufferStream() override;
    TS_BufferStream(const TS_BufferStream&) = delete;
    TS_BufferStream& operator=(const TS_BufferStream&) = delete;

    int32_t Read(void* Buffer, int32_t Count) override;
    // Returns the bytes taken; a short write of the wrapped stream ends the
    // write early, the bytes of the failed flush counted as taken.
    int32_t Write(const void* Buffer, int32_t Count) override;
    // Origin 2 counts back from the end: a positive offset lands before it.
    // Other origins raise Exception "Invalid seek origin = %d"; a flush the
    // wrapped stream does not take raises EStreamError "Seek error".
    int32_t Seek(int32_t Offset, uint16_t Origin) override;

    // True when at least one byte was read.
    virtual bool FillBuffer();
    // Raises EStreamError "PutBack overflow" when nothing of the current
    // block has been delivered.
    virtual void PutBack(char C);
    virtual void AfterFillBuffer();
    virtual void AfterFlushBuffer();
    // True when the wrapped stream took all pending bytes.
    virtual bool FlushBuffer();

    // The logical position relative to the wrapped stream's position.
    int32_t GetBufPosition() const;
    bool IsEof();

    TS_BufferState State() const { return state_; }

    TNotifyEvent OnBufferFilled;
    TNotifyEvent OnBufferFlushed;

private:
    char* BufStart() { return buffer_.data(); }
    char* BufEnd() { return buffer_.data() + buffer_.size(); }

    TStream* stream_;
    std::vector<char> buffer_;
    char* cursor_ = nullptr;  // none until the first fill or write
    char* dataEnd_;
    TS_BufferState state_ = bsUnknown;
};
