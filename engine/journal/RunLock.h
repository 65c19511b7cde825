// Keeps two Veltrows from sending from one folder at once: both would take
// the same unfinished run for theirs and send its entries twice.
#pragma once

#include <string>

// Name of the lock file in the folder.
extern const char* const RunLockName;  // ".veltrow.lock"

// An advisory lock (flock) on the lock file in Folder, held while the object
// lives; the system releases it when the process ends, however it ends, so a
// crash leaves nothing stale behind.
class TRunLock {
public:
    // Raises Exception saying that another Veltrow is sending from Folder
    // when someone holds the lock, EFCreateError when the file cannot be made.
    explicit TRunLock(const std::string& Folder);
    ~TRunLock();
    TRunLock(const TRunLock&) = delete;
    TRunLock& operator=(const TRunLock&) = delete;

private:
    int fd_ = -1;
};
