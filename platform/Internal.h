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

}  // namespace platform_detail
