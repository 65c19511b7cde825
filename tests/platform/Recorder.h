// A hidden window that records what reaches it, and a bounded pump.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "platform/Windows.h"
#include "platform/Winsock.h"
#include "tests/support/ScriptedPeer.h"

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
    // Processes events until a witness window has had what this one was due
    // by now: a message posted after everything queued so far, and Ticks
    // ticks of a timer as long as the one under test (IntervalMs), set now.
    bool PumpUntilWitnessed(int IntervalMs, int Ticks = 3)
    {
        bool marked = false;
        int ticks = 0;
        const win::HWND witness = win::CreateHiddenWindow([&](win::HWND, win::UINT m, win::WPARAM, win::LPARAM) {
            marked = marked || m == win::WM_USER;
            ticks += m == win::WM_TIMER;
            return win::LRESULT(0);
        });
        win::PostMessage(witness, win::WM_USER, 0, 0);
        win::SetTimer(witness, 1, static_cast<win::UINT>(IntervalMs));
        const bool seen = PumpUntil([&] { return marked && ticks >= Ticks; });
        win::DestroyWindow(witness);
        return seen;
    }

    // Processes events until the socket notifier has gone through a whole
    // round begun after this call, so every notice it owed the sockets of
    // this window by now has been handled: a witness connection turns
    // readable, its notice comes, and a recv on it waits for the notifier's
    // lock, under which a round posts all of its notices. The witness's own
    // notice is taken out of got again.
    bool SettleSockets()
    {
        constexpr win::UINT kWitnessMsg = win::WM_USER + 0x700;
        testsupport::ScriptedPeer peer;
        peer.Send("w").ExpectClose();
        peer.Start();
        const winsock::SOCKET w = winsock::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = winsock::htons(peer.Port());
        a.sin_addr.s_addr = winsock::inet_addr("127.0.0.1");
        bool seen = winsock::connect(w, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                    winsock::WSAAsyncSelect(w, hwnd, kWitnessMsg, winsock::FD_READ) == 0 &&
                    PumpUntil([&] { return Count(kWitnessMsg, winsock::FD_READ) == 1; });
        char c;
        seen = seen && winsock::recv(w, &c, 1, 0) == 1;
        Process();
        std::erase_if(got, [](const Received& r) { return r.msg == kWitnessMsg; });
        winsock::closesocket(w);
        return seen && peer.WaitDone();
    }

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
