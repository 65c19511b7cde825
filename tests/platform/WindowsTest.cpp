#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/Windows.h"
#include "tests/platform/Recorder.h"

using platformtest::Recorder;

namespace {

// True while thread Tid of this process is blocked in the kernel (waiting
// on a lock or a condition), by its state in /proc.
bool Blocked(pid_t Tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(Tid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t at = text.rfind(") ");
    return Tid != 0 && at != std::string::npos && at + 2 < text.size() && (text[at + 2] == 'S' || text[at + 2] == 'D');
}

}  // namespace

TEST(Windows, PostedMessagesArriveInOrderOnlyWhileEventsAreProcessed)
{
    Recorder r;
    ASSERT_NE(r.hwnd, 0u);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(win::PostMessage(r.hwnd, win::WM_USER + 100 + i, i, -i));
    EXPECT_TRUE(r.got.empty());
    r.Process();
    ASSERT_EQ(r.got.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(r.got[i].msg, win::WM_USER + 100 + i);
        EXPECT_EQ(r.got[i].wParam, win::WPARAM(i));
        EXPECT_EQ(r.got[i].lParam, -i);
    }
}

TEST(Windows, DestroyedWindowReceivesNothingAlreadyQueued)
{
    Recorder r;
    int value = 7;
    win::SetWindowPointer(r.hwnd, &value);
    EXPECT_EQ(win::GetWindowPointer(r.hwnd), &value);
    ASSERT_TRUE(win::PostMessage(r.hwnd, 1125, 1, 1));
    ASSERT_TRUE(win::SetTimer(r.hwnd, 1, 1));
    ASSERT_TRUE(win::DestroyWindow(r.hwnd));
    EXPECT_FALSE(win::IsWindow(r.hwnd));
    EXPECT_FALSE(win::PostMessage(r.hwnd, 1125, 2, 2));
    EXPECT_EQ(win::GetWindowPointer(r.hwnd), nullptr);
    EXPECT_EQ(win::SetTimer(r.hwnd, 1, 1), 0u);
    EXPECT_FALSE(win::DestroyWindow(r.hwnd));
    ASSERT_TRUE(r.PumpUntilWitnessed(1));
    EXPECT_TRUE(r.got.empty());
    // Handles are not reused, so a stale one never reaches a newer window.
    Recorder other;
    EXPECT_NE(other.hwnd, r.hwnd);
    r.hwnd = 0;
}

TEST(Windows, TimerTicksPeriodicallyUntilKilled)
{
    Recorder r;
    EXPECT_FALSE(win::KillTimer(r.hwnd, 1));
    ASSERT_EQ(win::SetTimer(r.hwnd, 1, 5), 1u);
    ASSERT_TRUE(r.PumpUntil([&] { return r.got.size() >= 3; }));
    for (const auto& m : r.got) {
        EXPECT_EQ(m.msg, win::WM_TIMER);
        EXPECT_EQ(m.msg, 275u);
        EXPECT_EQ(m.wParam, 1u);
    }
    EXPECT_TRUE(win::KillTimer(r.hwnd, 1));
    const size_t ticks = r.got.size();
    ASSERT_TRUE(r.PumpUntilWitnessed(5));
    EXPECT_EQ(r.got.size(), ticks);

    // Setting a running timer again restarts it rather than adding a second one.
    r.got.clear();
    ASSERT_TRUE(win::SetTimer(r.hwnd, 2, 1000));
    ASSERT_TRUE(win::SetTimer(r.hwnd, 2, 5));
    ASSERT_TRUE(r.PumpUntil([&] { return r.got.size() >= 2; }));
    EXPECT_TRUE(win::KillTimer(r.hwnd, 2));
    EXPECT_FALSE(win::KillTimer(r.hwnd, 2));
}

TEST(Windows, KillTimerFromAnotherThreadStopsTicks)
{
    Recorder r;
    ASSERT_TRUE(win::SetTimer(r.hwnd, 1, 2));
    ASSERT_TRUE(r.PumpUntil([&] { return !r.got.empty(); }));
    std::thread([&] { EXPECT_TRUE(win::KillTimer(r.hwnd, 1)); }).join();
    const size_t ticks = r.got.size();
    ASSERT_TRUE(r.PumpUntilWitnessed(2));
    EXPECT_EQ(r.got.size(), ticks);
    std::thread([&] { EXPECT_TRUE(win::SetTimer(r.hwnd, 3, 2)); }).join();
    ASSERT_TRUE(r.PumpUntil([&] { return r.got.size() > ticks && r.got.back().wParam == 3; }));
}

TEST(Windows, PostsFromOtherThreadsArriveOnTheOwnerThreadInOrder)
{
    Recorder r;
    constexpr int kThreads = 4, kEach = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                win::PostMessage(r.hwnd, win::WM_USER + t, i, 0);
        });
    for (auto& t : threads)
        t.join();
    ASSERT_TRUE(r.PumpUntil([&] { return r.got.size() == kThreads * kEach; }));
    int next[kThreads] = {};
    for (const auto& m : r.got) {
        const int t = static_cast<int>(m.msg - win::WM_USER);
        ASSERT_EQ(m.wParam, win::WPARAM(next[t])) << "thread " << t;
        ++next[t];
    }
}

TEST(Windows, SendMessageRunsTheProcedureOnTheOwnerThread)
{
    const auto owner = std::this_thread::get_id();
    std::thread::id ranOn;
    win::HWND h = win::CreateHiddenWindow([&](win::HWND, win::UINT m, win::WPARAM w, win::LPARAM l) {
        ranOn = std::this_thread::get_id();
        return win::LRESULT(m + w + l);
    });
    EXPECT_EQ(win::SendMessage(h, 1000, 20, 3), 1023);
    EXPECT_EQ(ranOn, owner);

    std::atomic<win::LRESULT> result{0};
    std::atomic<bool> done{false};
    std::thread sender([&] {
        result = win::SendMessage(h, 2000, 1, 1);
        done = true;
    });
    Recorder pump;
    EXPECT_TRUE(pump.PumpUntil([&] { return done.load(); }));
    sender.join();
    EXPECT_EQ(result.load(), 2002);
    EXPECT_EQ(ranOn, owner);
    win::DestroyWindow(h);
    EXPECT_EQ(win::SendMessage(h, 1, 1, 1), 0);
}

TEST(Windows, DestroyFromAnotherThreadWaitsForTheRunningProcedure)
{
    std::atomic<bool> entered{false}, destroying{false}, returned{false}, finished{false}, finishedAtReturn{false};
    std::atomic<pid_t> destroyerTid{0};
    win::HWND h = win::CreateHiddenWindow([&](win::HWND, win::UINT, win::WPARAM, win::LPARAM) {
        entered = true;
        for (int i = 0; i < 5000 && !destroying; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // Until the destroyer either waits for this procedure or, not
        // waiting, has returned already.
        for (int i = 0; i < 5000 && !returned && !Blocked(destroyerTid); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        finished = true;
        return win::LRESULT(0);
    });
    std::thread destroyer([&] {
        destroyerTid = ::gettid();
        while (!entered)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        destroying = true;
        EXPECT_TRUE(win::DestroyWindow(h));
        finishedAtReturn = finished.load();
        returned = true;
    });
    win::PostMessage(h, 1, 0, 0);
    Recorder pump;
    pump.PumpUntil([&] { return finished.load(); });
    destroyer.join();
    EXPECT_TRUE(finishedAtReturn);
    EXPECT_FALSE(win::IsWindow(h));
}

TEST(Windows, HandleExceptionGoesToTheInstalledHandler)
{
    std::string seen;
    win::SetExceptionHandler([&](const std::exception& e) { seen = e.what(); });
    win::HandleException(std::runtime_error("No Timer"));
    EXPECT_EQ(seen, "No Timer");
    win::SetExceptionHandler(nullptr);
}

TEST(Windows, EmptyProcedureIsRefused)
{
    EXPECT_EQ(win::CreateHiddenWindow(nullptr), 0u);
}

static size_t Ticks(const Recorder& r, win::UINT_PTR id)
{
    size_t n = 0;
    for (const auto& m : r.got)
        n += m.msg == win::WM_TIMER && m.wParam == id;
    return n;
}

TEST(Windows, NestedProcessingDeliversMessagesAndTicks)
{
    // Operations wait inside handlers (a command, a tick) and still need
    // their own notifications and time-out ticks delivered meanwhile.
    Recorder inner;
    bool nestedOk = false;
    bool tickNestedOk = false;
    win::HWND outer = win::CreateHiddenWindow([&](win::HWND h, win::UINT m, win::WPARAM w, win::LPARAM) {
        if (m == 1000) {
            win::PostMessage(inner.hwnd, 2000, 0, 0);
            win::SetTimer(inner.hwnd, 7, 2);
            nestedOk = inner.PumpUntil([&] { return inner.Count(2000, 0) == 1 && Ticks(inner, 7) >= 1; });
            win::KillTimer(inner.hwnd, 7);
        } else if (m == win::WM_TIMER && w == 1) {
            win::KillTimer(h, 1);
            win::PostMessage(inner.hwnd, 3000, 0, 0);
            win::SetTimer(inner.hwnd, 8, 2);
            tickNestedOk = inner.PumpUntil([&] { return inner.Count(3000, 0) == 1 && Ticks(inner, 8) >= 1; });
            win::KillTimer(inner.hwnd, 8);
        }
        return win::LRESULT(0);
    });
    win::PostMessage(outer, 1000, 0, 0);
    inner.PumpUntil([&] { return nestedOk; }, 6000);
    EXPECT_TRUE(nestedOk);
    win::SetTimer(outer, 1, 2);
    inner.PumpUntil([&] { return tickNestedOk; }, 6000);
    EXPECT_TRUE(tickNestedOk);
    win::DestroyWindow(outer);
}
