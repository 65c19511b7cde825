// Private details of the socket unit, shared by its source files.
#pragma once

#include <cstdint>
#include <utility>

#include "platform/Windows.h"
#include "platform/Winsock.h"

namespace psock {

// Message numbers: the contract between the platform's notification windows
// and the socket unit, in the platform's private range (its own numbers, such
// as WM_TIMER, and the event codes FD_* come from the platform headers).
constexpr win::UINT WM_ASYNCHRONOUSPROCESS = win::WM_USER + 101;  // 1125: socket notification
constexpr win::UINT WM_WAITFORRESPONSE = win::WM_USER + 102;      // 1126: lookup done, alternate accept

// Every client socket asks for everything but write readiness.
constexpr long SocketEventMask =
    winsock::FD_READ | winsock::FD_OOB | winsock::FD_ACCEPT | winsock::FD_CONNECT | winsock::FD_CLOSE;

// The timer's identifier with the window manager.
constexpr uint32_t TimerId = 1;

// Runs f on every way out of a scope (a timed step stops its time-out); what
// f raises there is dropped, as the step's own failure matters more.
template <typename F>
class OnExit {
public:
    explicit OnExit(F f) : f_(std::move(f)) {}
    ~OnExit()
    {
        try {
            f_();
        } catch (...) {
        }
    }
    OnExit(const OnExit&) = delete;
    OnExit& operator=(const OnExit&) = delete;

private:
    F f_;
};

// The one chance an event with a Handled flag gets to repair a failure: true
// when its handler asks for a retry. Used is set by the first call, so a
// second failure is final; an unassigned handler never asks.
template <typename Handler, typename... Args>
bool OneChance(bool& Used, const Handler& handler, Args&&... args)
{
    if (Used || !handler)
        return false;
    Used = true;
    bool handled = false;
    handler(handled, std::forward<Args>(args)...);
    return handled;
}

}  // namespace psock
