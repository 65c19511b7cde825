// Private details of the socket unit, shared by its source files.
#pragma once

#include <cstdint>
#include <utility>

namespace psock {

// Message numbers: the contract between the platform's notification windows
// and the socket unit.
constexpr uint32_t WM_USER = 1024;
constexpr uint32_t WM_ASYNCHRONOUSPROCESS = WM_USER + 101;  // 1125: socket notification
constexpr uint32_t WM_WAITFORRESPONSE = WM_USER + 102;      // 1126: lookup done, alternate accept
constexpr uint32_t WM_TIMER = 275;
constexpr uint32_t WM_ACTIVATEAPP = 28;

// Socket event codes, as Windows Sockets numbers them.
constexpr uint16_t FD_READ = 1;
constexpr uint16_t FD_WRITE = 2;
constexpr uint16_t FD_OOB = 4;
constexpr uint16_t FD_ACCEPT = 8;
constexpr uint16_t FD_CONNECT = 16;
constexpr uint16_t FD_CLOSE = 32;

// Every client socket asks for everything but write readiness.
constexpr int32_t SocketEventMask = FD_READ | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

constexpr uint16_t WSAEWOULDBLOCK = 10035;
constexpr uint16_t WSAENOTCONN = 10057;

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

}  // namespace psock
