// Puts appended bytes on the disk in a thread of its own, so that the disk's
// flush overlaps the network's round trips instead of adding to them; the
// caller decides the moment by which everything appended so far must be on
// the disk (Durable). What is written reaches the system at once, so a
// crash of this process alone loses nothing; only a power cut or a system
// crash can lose what is not yet durable.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class TFileSync {
public:
    TFileSync();
    // Waits for what was appended, without raising.
    ~TFileSync();
    TFileSync(const TFileSync&) = delete;
    TFileSync& operator=(const TFileSync&) = delete;

    // Bytes were written to Fd: flush it soon. Path names it in a failure.
    // Returns the mark of this write for Durable.
    uint64_t Appended(int Fd, const std::string& Path);
    // Returns once everything appended before the call (or up to Mark) is
    // on the disk. Raises EStreamError naming the file when a flush failed;
    // the failure stays, every later call raises it too.
    void Durable();
    void Durable(uint64_t Mark);

private:
    void Loop();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int, std::string> dirty_;  // fd → path
    uint64_t appended_ = 0;             // Appended calls so far
    uint64_t flushed_ = 0;              // of those, the ones on the disk
    std::optional<std::string> failed_;
    bool stopping_ = false;
    std::thread thread_;
};
