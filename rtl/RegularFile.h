// A file opened for reading where the user may have named anything: the
// open never waits (a FIFO would wait there for a writer) and never makes a
// terminal the controlling one, and what the path is can be seen before a
// byte is read, since anything but a regular file may never end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

class TRegularFile {
public:
    explicit TRegularFile(const std::string& Path);
    ~TRegularFile();
    TRegularFile(const TRegularFile&) = delete;
    TRegularFile& operator=(const TRegularFile&) = delete;

    // The errno of the open or fstat that failed; 0 once the file is open.
    int Error() const { return error_; }
    // The file's type bits (S_ISDIR and the like) and size; 0 after a failure.
    mode_t Mode() const { return mode_; }
    int64_t Size() const { return size_; }
    // Open, and a regular file: reading it ends.
    bool Regular() const;

    // Up to Count bytes, read again when a signal cut the read short: the
    // bytes read, 0 at the end, -1 on an error.
    ssize_t Read(char* Buffer, size_t Count);

private:
    int fd_ = -1;
    int error_ = 0;
    mode_t mode_ = 0;
    int64_t size_ = 0;
};
