// A hidden window that records what reaches it, and a bounded pump.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "platform/Windows.h"

namespace platformtest {

struct Received {
    win::UINT msg;
    win::WPARAM wParam;
    win::LPARAM lParam;
};

class Recorder {
public:
    Recorder()
    {
        hwnd = win::CreateHiddenWindow([this](win::HWND h, win::UINT m, win::WPARAM w, win::LPARAM l) {
            EXPECT_EQ(h, hwnd);
            EXPECT_EQ(std::this_thread::get_id(), owner) << "delivered on a foreign thread";
            EXPECT_TRUE(processing) << "delivered outside ProcessMessages";
            got.push_back({m, w, l});
            return win::LRESULT(0);
        });
    }
    ~Recorder()
    {
        if (hwnd)
            win::DestroyWindow(hwnd);
    }

    // Processes events until pred holds or timeoutMs passed; true when it held.
    bool PumpUntil(const std::function<bool()>& pred, int timeoutMs = 5000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (true) {
            Process();
            if (pred())
                return true;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    // Processes events for a quiet period in which nothing is expected.
    void PumpFor(int ms) { PumpUntil([] { return false; }, ms); }

    void Process()
    {
        const bool outer = processing;  // nested inside another Process
        processing = true;
        win::ProcessMessages();
        processing = outer;
    }

    size_t Count(win::UINT msg, unsigned lowWord) const
    {
        size_t n = 0;
        for (const auto& r : got)
            n += r.msg == msg && (static_cast<unsigned>(r.lParam) & 0xFFFF) == lowWord;
        return n;
    }

    win::HWND hwnd = 0;
    std::thread::id owner = std::this_thread::get_id();
    bool processing = false;
    std::vector<Received> got;
};

}  // namespace platformtest
