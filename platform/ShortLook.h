// A short look at a socket before the wait sleeps on it. A peer on the same
// host or network answers within tens of microseconds, sooner than the
// processor can go to sleep and be woken again; on virtual machines the sleep
// and the wake-up also cost more processor time than the look. Whether to
// look adapts, so that a far or silent peer costs almost nothing.
#pragma once

#include <chrono>

namespace platform_detail {

// How long one look lasts at most.
constexpr std::chrono::microseconds ShortLookBudget{60};

// Which waits look first. After a look that found nothing the next 1, 3, 7
// ... 63 waits sleep at once (a server further away than the budget), and
// the first look that finds something starts over. One per thread.
class TShortLookPolicy {
public:
    bool ShouldLook()
    {
        if (skip_ == 0)
            return true;
        --skip_;
        return false;
    }
    void Looked(bool found)
    {
        if (found) {
            misses_ = 0;
            return;
        }
        if (misses_ < kMaxMisses)
            ++misses_;
        skip_ = (1 << misses_) - 1;
    }

private:
    static constexpr int kMaxMisses = 6;
    int misses_ = 0;
    int skip_ = 0;
};

// Looks at fd for up to ShortLookBudget, as the calling thread's policy
// says: true when fd has one of the poll events in want by then.
bool ShortLook(int fd, short want);

}  // namespace platform_detail
