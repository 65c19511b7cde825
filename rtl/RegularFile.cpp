#include "rtl/RegularFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TRegularFile::TRegularFile(const std::string& Path)
{
    fd_ = ::open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = errno;
        return;
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        error_ = errno;
        return;
    }
    mode_ = st.st_mode;
    size_ = st.st_size;
}

TRegularFile::~TRegularFile()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool TRegularFile::Regular() const { return error_ == 0 && S_ISREG(mode_); }

ssize_t TRegularFile::Read(char* Buffer, size_t Count)
{
    if (error_ != 0)
        return -1;
    for (;;) {
        const ssize_t n = ::read(fd_, Buffer, Count);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}
