// The hidden notification windows, the decoding of socket notifications and
// the window-message timer.

#include "net/Psock.h"
#include "net/Psock_p.h"

namespace {

TMessage MakeMessage(win::UINT msg, win::WPARAM wParam, win::LPARAM lParam)
{
    TMessage m;
    m.Msg = msg;
    m.WParam = static_cast<uint32_t>(wParam);
    m.LParam = static_cast<uint32_t>(lParam);
    m.Result = 0;
    return m;
}

// Window procedure of a socket window ("PsockWindowClass").
win::LRESULT PsockWindowProc(win::HWND hWnd, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam)
{
    auto* obj = static_cast<TPowersock*>(win::GetWindowPointer(hWnd));
    if (obj != nullptr && msg >= psock::WM_ASYNCHRONOUSPROCESS) {
        TMessage m = MakeMessage(msg, wParam, lParam);
        obj->Wndproc(m);
        return m.Result;
    }
    return win::DefWindowProc(hWnd, msg, wParam, lParam);
}

// Window procedure of a timer window ("TmrWindowClass").
win::LRESULT TmrWindowProc(win::HWND hWnd, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam)
{
    auto* obj = static_cast<TThreadTimer*>(win::GetWindowPointer(hWnd));
    if (obj == nullptr)
        return win::DefWindowProc(hWnd, msg, wParam, lParam);
    TMessage m = MakeMessage(msg, wParam, lParam);
    if (msg != win::WM_ACTIVATEAPP)
        obj->Wndproc(m);
    return m.Result;
}

HWND AllocateHWnd(win::WNDPROC proc, void* obj)
{
    const HWND window = win::CreateHiddenWindow(std::move(proc));
    if (window != 0 && obj != nullptr)
        win::SetWindowPointer(window, obj);
    return window;
}

}  // namespace

HWND PsockAllocateHWnd(TPowersock* Obj)
{
    return AllocateHWnd(PsockWindowProc, Obj);
}

HWND TmrAllocateHWnd(TThreadTimer* Obj)
{
    return AllocateHWnd(TmrWindowProc, Obj);
}

// ---------------------------------------------------------------------------

void TPowersock::Wndproc(TMessage& Message)
{
    try {
        LastEventOk = Message.LParamHi() == 0;
        if (Message.Msg == psock::WM_ASYNCHRONOUSPROCESS) {
            switch (Message.LParamLo()) {
            case winsock::FD_READ:
                if (OnReadReady) {
                    try {
                        OnReadReady(this);
                    } catch (...) {
                    }
                }
                break;
            case winsock::FD_ACCEPT:
                Connected = true;
                if (OnAcceptReady)
                    OnAcceptReady(this);
                break;
            case winsock::FD_CONNECT:
                if (LastEventOk) {
                    ++connectsNotified_;
                    Connected = true;
                    if (OnConnect)
                        OnConnect(this);
                }
                break;
            case winsock::FD_CLOSE:
                // Unread data keeps the connection until it has been read.
                if (!DataAvailable()) {
                    RequestCloseSocket();
                    closedByPeer_ = true;
                }
                break;
            default:
                break;
            }
        } else if (Message.Msg == psock::WM_WAITFORRESPONSE) {
            EventArrived = true;
            if (Message.LParamLo() == winsock::FD_ACCEPT) {
                Connected = true;
                if (!IsDestroying() && OnDisconnect)
                    OnDisconnect(this);
            }
        }
    } catch (...) {
        // A notification has no caller to report to.
    }
}

// ---------------------------------------------------------------------------
// TThreadTimer

TThreadTimer::TThreadTimer(TComponent* AOwner) : TComponent(AOwner)
{
    windowHandle_ = TmrAllocateHWnd(this);
}

TThreadTimer::~TThreadTimer()
{
    enabled_ = false;
    try {
        UpdateTimer();
    } catch (...) {
    }
    if (windowHandle_ != 0)
        win::DestroyWindow(windowHandle_);
}

void TThreadTimer::SetEnabled(bool Value)
{
    if (Value != enabled_) {
        enabled_ = Value;
        UpdateTimer();
    }
}

void TThreadTimer::SetInterval(uint32_t Value)
{
    if (Value != interval_) {
        interval_ = Value;
        UpdateTimer();
    }
}

void TThreadTimer::SetOnTimer(TNotifyEvent Handler)
{
    onTimer_ = std::move(Handler);
    UpdateTimer();
}

void TThreadTimer::UpdateTimer()
{
    win::KillTimer(windowHandle_, psock::TimerId);
    if (interval_ != 0 && enabled_ && onTimer_) {
        if (win::SetTimer(windowHandle_, psock::TimerId, interval_) == 0)
            throw Exception("No Timer");
    }
}

void TThreadTimer::Wndproc(TMessage& Message)
{
    if (Message.Msg == win::WM_TIMER) {
        try {
            Timer();
        } catch (const std::exception& e) {
            win::HandleException(e);
        } catch (...) {
            // Not an exception of ours; the timer goes on all the same.
        }
    } else {
        Message.Result = static_cast<int32_t>(
            win::DefWindowProc(windowHandle_, Message.Msg, Message.WParam, Message.LParam));
    }
}

void TThreadTimer::Timer()
{
    if (onTimer_)
        onTimer_(this);
}
