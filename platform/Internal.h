// Glue between the window layer and the socket layer of platform/.
#pragma once

#include <functional>

#include "platform/Windows.h"

namespace platform_detail {

// PostMessage whose message is dropped at delivery unless stillValid() holds
// then (called on the window's thread), so notifications of a closed or
// re-registered socket never arrive.
bool PostChecked(win::HWND hWnd, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam,
                 std::function<bool()> stillValid);

// What DestroyWindow calls once the window is gone, outside any lock of the
// window layer: the host lookups cancel theirs there, so that after
// DestroyWindow returns none of them writes its buffer or posts. Set once;
// the window layer itself knows nothing of sockets.
void SetWindowDestroyedHook(std::function<void(win::HWND)> hook);

// Stops the event loop's watch on a socket about to be closed, when the
// calling thread is the application's. Lives in SocketWait.cpp.
void ForgetSocket(int fd);

// Whether a released read hold can wait until the calling thread is about
// to sleep (or at the latest 50 ms): true on the application's thread, which
// then calls ApplyPendingReleases, so a hold taken again before costs nothing.
// Lives in SocketWait.cpp.
bool ReleaseWhenIdle();
// Ends the read holds released since. Lives in Connected.cpp.
void ApplyPendingReleases();

}  // namespace platform_detail
