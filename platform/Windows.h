// The bit of a window manager the socket component needs, over Qt's event
// loop: hidden notification windows with a window procedure and one stored
// pointer, posted and sent messages, periodic window timers, Sleep and the
// processing of pending events.
//
// A window belongs to the thread that created it (the user-interface thread);
// its messages and timer ticks are handled there, only while that thread
// processes events, in the order they were posted. PostMessage, KillTimer,
// SetTimer and DestroyWindow may be called from any thread. A destroyed window
// receives nothing more, not even what was already queued for it.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>

namespace win {

using HWND = uintptr_t;  // 0 means none; never reused within a process
using UINT = uint32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using UINT_PTR = uintptr_t;

constexpr UINT WM_ACTIVATEAPP = 0x001C;  // 28
constexpr UINT WM_TIMER = 0x0113;        // 275; wParam is the timer identifier
constexpr UINT WM_USER = 0x0400;         // 1024; first number free for private messages

using WNDPROC = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

// Creates the QCoreApplication when none exists yet (a GUI program creates its
// QApplication first). Call on the user-interface thread.
void EnsureApplication();

// A hidden window of the calling thread whose messages go to proc; 0 when
// proc is empty. Ensures the application exists.
HWND CreateHiddenWindow(WNDPROC proc);
// Destroys the window with its timers and unfinished host lookups. From
// another thread it waits until a running call of the window procedure ends.
bool DestroyWindow(HWND hWnd);
bool IsWindow(HWND hWnd);
void SetWindowPointer(HWND hWnd, void* value);   // the one stored pointer
void* GetWindowPointer(HWND hWnd);               // nullptr when unset or no window
LRESULT DefWindowProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);  // 0

// Queues a message for the window; false when there is no such window.
bool PostMessage(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Calls the window procedure and returns its result (0 when there is no such
// window). From another thread it waits until the owner thread handled it.
LRESULT SendMessage(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Starts (or restarts, when it runs already) the periodic timer nIDEvent of
// the window: WM_TIMER with wParam nIDEvent every elapseMs milliseconds
// (at least 1). Returns nIDEvent (1 when nIDEvent is 0), or 0 when refused.
UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT elapseMs);
// Stops the timer; no tick follows. False when it did not run.
bool KillTimer(HWND hWnd, UINT_PTR nIDEvent);

// Suspends the calling thread.
void Sleep(uint32_t ms);
// Handles every pending event of the calling thread (messages, timer ticks,
// socket notifications, user input) and returns; does nothing on a thread
// without an event loop.
void ProcessMessages();

// The application's standard handling of an exception that left an event
// handler (a tick, a command): the GUI installs one that shows the message in
// an error box; without one the text goes to standard error.
using TExceptionHandler = std::function<void(const std::exception&)>;
void SetExceptionHandler(TExceptionHandler handler);
void HandleException(const std::exception& e);

}  // namespace win
