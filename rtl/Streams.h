// Byte streams: the abstract stream and its memory, string and file kinds.
// Counts and positions are signed 32-bit, as in the components built on them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rtl/Classes.h"

enum : uint16_t { soFromBeginning = 0, soFromCurrent = 1, soFromEnd = 2 };

class TStream : public TObject {
public:
    // Returns the number of bytes delivered / taken.
    virtual int32_t Read(void* Buffer, int32_t Count) = 0;
    virtual int32_t Write(const void* Buffer, int32_t Count) = 0;
    // Origin 0 from the beginning, 1 from the current position, 2 from the end;
    // returns the new position.
    virtual int32_t Seek(int32_t Offset, uint16_t Origin) = 0;
    virtual void SetSize(int32_t NewSize);

    int32_t Position() { return Seek(0, soFromCurrent); }
    void SetPosition(int32_t Pos) { Seek(Pos, soFromBeginning); }
    int32_t Size();

    // Whole-count transfers: a short read or write raises EReadError / EWriteError.
    void ReadBuffer(void* Buffer, int32_t Count);
    void WriteBuffer(const void* Buffer, int32_t Count);
    // Copies Count bytes from Source's position; Count 0 copies all of Source
    // from its beginning. Returns the bytes copied.
    int32_t CopyFrom(TStream& Source, int32_t Count);
};

// A stream over a buffer in memory; shared by the memory and string streams.
template <typename Buffer>
class TBufferedMemory : public TStream {
public:
    int32_t Read(void* Buffer_, int32_t Count) override;
    int32_t Write(const void* Buffer_, int32_t Count) override;
    int32_t Seek(int32_t Offset, uint16_t Origin) override;
    void SetSize(int32_t NewSize) override;

protected:
    TBufferedMemory() = default;
    explicit TBufferedMemory(Buffer data) : data_(std::move(data)) {}
    Buffer data_;
    int32_t position_ = 0;
};

class TMemoryStream : public TBufferedMemory<std::vector<char>> {
public:
    void Clear();
    const char* Memory() const { return data_.data(); }
    char* Memory() { return data_.data(); }
    void LoadFromFile(const std::string& FileName);
    void SaveToFile(const std::string& FileName);
    void LoadFromStream(TStream& Source);
};

class TStringStream : public TBufferedMemory<std::string> {
public:
    explicit TStringStream(std::string Data = std::string()) : TBufferedMemory(std::move(Data)) {}
    const std::string& DataString() const { return data_; }
    std::string ReadString(int32_t Count);
    void WriteString(const std::string& Text);
};

enum : uint16_t {
    fmOpenRead = 0x0000,
    fmOpenWrite = 0x0001,
    fmOpenReadWrite = 0x0002,
    fmCreate = 0xFFFF,  // create anew, replacing an existing file
};

// A file stream. Opening fails with EFOpenError, creating with EFCreateError.
class TFileStream : public TStream {
public:
    TFileStream(const std::string& FileName, uint16_t Mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t Write(const void* Buffer, int32_t Count) override;
    int32_t Seek(int32_t Offset, uint16_t Origin) override;
    void SetSize(int32_t NewSize) override;
    const std::string& FileName() const { return fileName_; }

private:
    std::string fileName_;
    int fd_ = -1;
};
