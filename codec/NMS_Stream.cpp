#include "codec/NMS_Stream.h"

#include <algorithm>

#include "codec/Nms_huge.h"
#include "rtl/Exception.h"
#include "rtl/Narrow.h"

int32_t BufferSize = 32768;

TS_BufferStream::TS_BufferStream(TStream* Stream)
    : stream_(Stream), buffer_(static_cast<size_t>(std::max<int32_t>(BufferSize, 1)))
{
    dataEnd_ = BufEnd();
}

TS_BufferStream::~TS_BufferStream()
{
    if (state_ == bsWrite) {
        try {
            FlushBuffer();
        } catch (...) {
            // Nothing can report a failure from here.
        }
    }
}

int32_t TS_BufferStream::GetBufPosition() const
{
    switch (state_) {
    case bsRead: return static_cast<int32_t>(cursor_ - dataEnd_);
    case bsWrite: return static_cast<int32_t>(cursor_ - buffer_.data());
    case bsUnknown: break;
    }
    return 0;
}

bool TS_BufferStream::FillBuffer()
{
    const int32_t n = std::max<int32_t>(stream_->Read(BufStart(), static_cast<int32_t>(buffer_.size())), 0);
    cursor_ = BufStart();
    dataEnd_ = HugeOffset(cursor_, n);
    state_ = n > 0 ? bsRead : bsUnknown;
    AfterFillBuffer();
    return n > 0;
}

bool TS_BufferStream::FlushBuffer()
{
    const int32_t pending = cursor_ ? static_cast<int32_t>(cursor_ - BufStart()) : 0;
    const int32_t written = pending > 0 ? stream_->Write(BufStart(), pending) : 0;
    cursor_ = BufStart();
    dataEnd_ = BufEnd();
    state_ = bsUnknown;
    AfterFlushBuffer();
    return written == pending;
}

void TS_BufferStream::AfterFillBuffer()
{
    if (OnBufferFilled)
        OnBufferFilled(this);
}

void TS_BufferStream::AfterFlushBuffer()
{
    if (OnBufferFlushed)
        OnBufferFlushed(this);
}

int32_t TS_BufferStream::Read(void* Buffer, int32_t Count)
{
    if (Count <= 0)
        return 0;
    if (state_ == bsWrite)
        FlushBuffer();
    char* dest = static_cast<char*>(Buffer);
    int32_t delivered = 0;
    while (delivered < Count) {
        // Only read-ahead bytes can be delivered; after a flush or a seek the
        // buffer holds nothing for the current position.
        int32_t available = state_ == bsRead && cursor_ ? static_cast<int32_t>(dataEnd_ - cursor_) : 0;
        if (available <= 0) {
            if (!FillBuffer())
                break;
            available = static_cast<int32_t>(dataEnd_ - cursor_);
        }
        const int32_t n = std::min(Count - delivered, available);
        HMemCpy(HugeOffset(dest, delivered), cursor_, n);
        HugeInc(cursor_, n);
        delivered += n;
    }
    return delivered;
}

int32_t TS_BufferStream::Write(const void* Buffer, int32_t Count)
{
    if (Count <= 0)
        return 0;
    if (state_ == bsRead) {
        stream_->Seek(GetBufPosition(), soFromCurrent);
        state_ = bsUnknown;
    }
    if (state_ != bsWrite) {
        cursor_ = BufStart();
        dataEnd_ = BufEnd();
    }
    const char* src = static_cast<const char*>(Buffer);
    int32_t taken = 0;
    while (taken < Count) {
        const int32_t n = std::min(Count - taken, static_cast<int32_t>(BufEnd() - cursor_));
        HMemCpy(cursor_, HugeOffset(src, taken), n);
        HugeInc(cursor_, n);
        taken += n;
        if (cursor_ == BufEnd() && !FlushBuffer())
            break;
    }
    if (cursor_ != BufStart())
        state_ = bsWrite;
    return taken;
}

int32_t TS_BufferStream::Seek(int32_t Offset, uint16_t Origin)
{
    const int64_t p = static_cast<int64_t>(stream_->Position()) + GetBufPosition();
    int64_t target;
    switch (Origin) {
    case soFromBeginning: target = Offset; break;
    case soFromCurrent: target = p + Offset; break;
    case soFromEnd:
        if (state_ == bsWrite && !FlushBuffer())
            throw EStreamError("Seek error");
        target = static_cast<int64_t>(stream_->Size()) - Offset;
        break;
    default: throw Exception(Format("Invalid seek origin = %d", Origin));
    }
    if (target == p)
        return static_cast<int32_t>(target);
    const int32_t to = Narrow<int32_t>(target);
    if (state_ == bsWrite && !FlushBuffer())
        throw EStreamError("Seek error");
    stream_->Seek(to, soFromBeginning);
    cursor_ = nullptr;
    dataEnd_ = BufEnd();
    state_ = bsUnknown;
    return to;
}

void TS_BufferStream::PutBack(char C)
{
    if (!cursor_ || cursor_ == BufStart())
        throw EStreamError("PutBack overflow");
    HugeDec(cursor_, 1);
    *cursor_ = C;
}

bool TS_BufferStream::IsEof()
{
    return cursor_ && cursor_ == dataEnd_ && stream_->Position() == stream_->Size();
}
