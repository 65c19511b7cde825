#include "rtl/Streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "rtl/Exception.h"

namespace {

// CopyFrom moves the bytes through a stack buffer of this size: 60 KiB, so a
// large copy takes few reads and writes while the buffer still fits the stack
// comfortably.
constexpr int32_t CopyBufferSize = 61440;

// Shared position arithmetic of the in-memory streams.
int32_t SeekTarget(int32_t position, int32_t size, int32_t offset, uint16_t origin)
{
    int64_t target;
    switch (origin) {
    case soFromBeginning: target = offset; break;
    case soFromCurrent: target = static_cast<int64_t>(position) + offset; break;
    case soFromEnd: target = static_cast<int64_t>(size) + offset; break;
    default: throw EStreamError(Format("Invalid seek origin = %d", origin));
    }
    if (target < 0 || target > INT32_MAX)
        throw EStreamError("Seek error");
    return static_cast<int32_t>(target);
}

}  // namespace

void TStream::SetSize(int32_t) { throw EStreamError("Stream size cannot be changed"); }

int32_t TStream::Size()
{
    const int32_t pos = Seek(0, soFromCurrent);
    const int32_t size = Seek(0, soFromEnd);
    Seek(pos, soFromBeginning);
    return size;
}

void TStream::ReadBuffer(void* Buffer, int32_t Count)
{
    if (Count != 0 && Read(Buffer, Count) != Count)
        throw EReadError();
}

void TStream::WriteBuffer(const void* Buffer, int32_t Count)
{
    if (Count != 0 && Write(Buffer, Count) != Count)
        throw EWriteError();
}

int32_t TStream::CopyFrom(TStream& Source, int32_t Count)
{
    if (Count == 0) {
        Source.SetPosition(0);
        Count = Source.Size();
    }
    const int32_t total = Count;
    char buf[CopyBufferSize];
    while (Count > 0) {
        const int32_t n = std::min<int32_t>(Count, sizeof buf);
        Source.ReadBuffer(buf, n);
        WriteBuffer(buf, n);
        Count -= n;
    }
    return total;
}

// ---- TBufferedMemory ----

template <typename Buffer>
int32_t TBufferedMemory<Buffer>::Read(void* Buffer_, int32_t Count)
{
    const int32_t size = static_cast<int32_t>(data_.size());
    if (Count <= 0 || position_ >= size)
        return 0;
    const int32_t n = std::min(Count, size - position_);
    std::memcpy(Buffer_, data_.data() + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
}

template <typename Buffer>
int32_t TBufferedMemory<Buffer>::Write(const void* Buffer_, int32_t Count)
{
    if (Count <= 0)
        return 0;
    const int64_t end = static_cast<int64_t>(position_) + Count;
    if (end > INT32_MAX)
        throw EWriteError();
    if (static_cast<size_t>(end) > data_.size())
        data_.resize(static_cast<size_t>(end));
    std::memcpy(data_.data() + position_, Buffer_, static_cast<size_t>(Count));
    position_ = static_cast<int32_t>(end);
    return Count;
}

template <typename Buffer>
int32_t TBufferedMemory<Buffer>::Seek(int32_t Offset, uint16_t Origin)
{
    position_ = SeekTarget(position_, static_cast<int32_t>(data_.size()), Offset, Origin);
    return position_;
}

template <typename Buffer>
void TBufferedMemory<Buffer>::SetSize(int32_t NewSize)
{
    if (NewSize < 0)
        throw ERangeError();
    data_.resize(static_cast<size_t>(NewSize));
    position_ = std::min(position_, NewSize);
}

template class TBufferedMemory<std::vector<char>>;
template class TBufferedMemory<std::string>;

// ---- TMemoryStream ----

void TMemoryStream::Clear()
{
    data_.clear();
    position_ = 0;
}

void TMemoryStream::LoadFromStream(TStream& Source)
{
    Source.SetPosition(0);
    const int32_t size = Source.Size();
    SetSize(size);
    position_ = 0;
    if (size > 0)
        Source.ReadBuffer(data_.data(), size);
}

void TMemoryStream::LoadFromFile(const std::string& FileName)
{
    TFileStream file(FileName, fmOpenRead);
    LoadFromStream(file);
}

void TMemoryStream::SaveToFile(const std::string& FileName)
{
    TFileStream file(FileName, fmCreate);
    file.WriteBuffer(data_.data(), static_cast<int32_t>(data_.size()));
}

// ---- TStringStream ----

std::string TStringStream::ReadString(int32_t Count)
{
    std::string out(static_cast<size_t>(std::max(Count, 0)), '\0');
    out.resize(static_cast<size_t>(Read(out.data(), Count)));
    return out;
}

void TStringStream::WriteString(const std::string& Text)
{
    Write(Text.data(), static_cast<int32_t>(Text.size()));
}

// ---- TFileStream ----

TFileStream::TFileStream(const std::string& FileName, uint16_t Mode) : fileName_(FileName)
{
    if (Mode == fmCreate) {
        fd_ = ::open(FileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0)
            throw EFCreateError(FileName);
        return;
    }
    int flags = O_RDONLY;
    if ((Mode & 3) == fmOpenWrite)
        flags = O_WRONLY;
    else if ((Mode & 3) == fmOpenReadWrite)
        flags = O_RDWR;
    fd_ = ::open(FileName.c_str(), flags | O_CLOEXEC);
    if (fd_ < 0)
        throw EFOpenError(FileName);
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        throw EFOpenError(FileName);
    }
}

TFileStream::~TFileStream()
{
    if (fd_ >= 0)
        ::close(fd_);
}

namespace {
// Whole-count read or write that retries after signals and partial transfers;
// stops at the end of the file or at an error.
template <typename Io, typename Ptr>
int32_t TransferAll(Io io, int fd, Ptr buffer, int32_t count)
{
    int32_t done = 0;
    while (done < count) {
        const ssize_t n = io(fd, buffer + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<int32_t>(n);
    }
    return done;
}
}  // namespace

int32_t TFileStream::Read(void* Buffer, int32_t Count)
{
    return TransferAll(::read, fd_, static_cast<char*>(Buffer), Count);
}

int32_t TFileStream::Write(const void* Buffer, int32_t Count)
{
    return TransferAll(::write, fd_, static_cast<const char*>(Buffer), Count);
}

int32_t TFileStream::Seek(int32_t Offset, uint16_t Origin)
{
    int whence;
    switch (Origin) {
    case soFromBeginning: whence = SEEK_SET; break;
    case soFromCurrent: whence = SEEK_CUR; break;
    case soFromEnd: whence = SEEK_END; break;
    default: throw EStreamError(Format("Invalid seek origin = %d", Origin));
    }
    const off_t pos = ::lseek(fd_, Offset, whence);
    if (pos < 0 || pos > INT32_MAX)
        throw EStreamError("Seek error");
    return static_cast<int32_t>(pos);
}

void TFileStream::SetSize(int32_t NewSize)
{
    if (NewSize < 0 || ::ftruncate(fd_, NewSize) != 0)
        throw EWriteError();
    if (Position() > NewSize)
        SetPosition(NewSize);
}
