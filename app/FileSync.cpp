#include "app/FileSync.h"

#include <unistd.h>

#include "rtl/Exception.h"

TFileSync::TFileSync() : thread_([this] { Loop(); }) {}

TFileSync::~TFileSync()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void TFileSync::Appended(int Fd, const std::string& Path)
{
    {
        std::lock_guard lock(mutex_);
        dirty_.try_emplace(Fd, Path);
        ++appended_;
    }
    changed_.notify_all();
}

void TFileSync::Durable()
{
    std::unique_lock lock(mutex_);
    const uint64_t wanted = appended_;
    changed_.wait(lock, [&] { return flushed_ >= wanted || failed_; });
    if (failed_)
        throw EStreamError(Format("送信記録 %s に書き込めません", failed_->c_str()));
}

void TFileSync::Loop()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return !dirty_.empty() || stopping_; });
        // Stopping flushes what is left first.
        if (dirty_.empty())
            return;
        const std::map<int, std::string> batch = std::move(dirty_);
        dirty_.clear();
        const uint64_t upTo = appended_;
        lock.unlock();
        std::optional<std::string> failed;
        for (const auto& [fd, path] : batch)
            if (::fsync(fd) != 0 && !failed)
                failed = path;
        lock.lock();
        if (failed && !failed_)
            failed_ = failed;
        flushed_ = upTo;
        changed_.notify_all();
    }
}
