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

// Called by DestroyWindow once the window is gone: after it returns, no host
// lookup for that window writes its buffer or posts. Lives in Winsock.cpp.
void CancelLookupsOfWindow(win::HWND hWnd);

}  // namespace platform_detail
