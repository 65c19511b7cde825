#include "engine/journal/RunLock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "rtl/Exception.h"
#include "rtl/SysUtils.h"

const char* const RunLockName = ".veltrow.lock";

TRunLock::TRunLock(const std::string& Folder)
{
    const std::string path = Folder + "/" + RunLockName;
    // Neither through someone's symbolic link nor waiting at a FIFO.
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd_ < 0)
        throw EFCreateError(path);
    // flock, not fcntl: its lock belongs to this open file, so that a second
    // window of the same process is kept out as well, and no close of another
    // descriptor of the file drops it.
    int result;
    do
        result = ::flock(fd_, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        ::close(fd_);
        if (error == EWOULDBLOCK)
            throw Exception(Format("別の Veltrow がこのフォルダー (%s) から送信しています。"
                                   "その送信が終わってから、もう一度送信してください。",
                                   Folder.c_str()));
        throw EFCreateError(path);
    }
}

TRunLock::~TRunLock()
{
    ::close(fd_);
}
