#include "engine/journal/FileSync.h"

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

uint64_t TFileSync::Appended(int Fd, const std::string& Path)
{
    uint64_t mark = 0;
    {
        std::lock_guard lock(mutex_);
        dirty_.try_emplace(Fd, Path);
        mark = ++appended_;
    }
    changed_.notify_all();
    return mark;
}

void TFileSync::Durable()
{
    uint64_t wanted = 0;
    {
        std::lock_guard lock(mutex_);
        wanted = appended_;
    }
    Durable(wanted);
}

void TFileSync::Durable(uint64_t wanted)
{
    std::unique_lock lock(mutex_);
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
