// The limits of one WinHTTP request (platform/http.h, LimitHttpRequest): a watcher thread
// waits for the request's stop event or the end of its total time and then closes the
// request's handle, which ends a synchronous WinHTTP call waiting on it. From then on the
// request's functions answer with the error that ended it and never pass the closed handle
// (whose value WinHTTP may give to a new handle) to WinHTTP again.
#pragma once

#include <cstdint>

#include "platform/error.h"
#include "platform/sync.h"
#include "platform/win32/windows_api.h"
// After <windows.h>.
#include <winhttp.h>

namespace vovu::platform::win32 {

// Starts the watcher of `request`. False with the thread's creation error.
[[nodiscard]] bool WatchHttpRequest(HINTERNET request, std::uint32_t totalMs, const Event* stop);

// The error that ended a watched request (12002 or 12017), 0 while it runs or when it is not
// watched.
[[nodiscard]] Win32Error HttpRequestEndedWith(HINTERNET request);

// Ends the watch of `request` before its handle is closed, waiting for the watcher. True
// when the watcher has already closed the handle (the owner must not close it again).
[[nodiscard]] bool EndHttpRequestWatch(HINTERNET request);

}  // namespace vovu::platform::win32
