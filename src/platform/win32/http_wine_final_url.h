// The address a WinHTTP response came from, for wine only. Wine's WinHTTP (8.0) refuses
// WINHTTP_OPTION_URL on a request with ERROR_INVALID_PARAMETER, so there the platform keeps
// the address itself: the connection's host and port and the request's object name when the
// request is opened, then each redirect target that WinHTTP announces
// (WINHTTP_CALLBACK_STATUS_REDIRECT) and follows, resolved by wine's own rule: a target that
// WinHttpCrackUrl accepts replaces the address, any other stays on the same scheme, host and
// port. On Windows every function here does nothing and the option is asked as documented.
#pragma once

#include <string>

#include "platform/win32/windows_api.h"
// After <windows.h>.
#include <winhttp.h>

namespace vovu::platform::win32 {

// Notes a connection's host and port (wine only).
void TrackHttpConnection(HINTERNET connection, const std::u16string& host, INTERNET_PORT port);

// Notes a request's starting address and follows its redirects (wine only).
void TrackHttpRequest(HINTERNET connection, HINTERNET request, const std::u16string& objectName,
                      bool secure);

// Forgets a handle noted above; called as the handle closes.
void ForgetHttpHandle(HINTERNET handle);

// The tracked address of a request's response; false when the request is not tracked (on
// Windows, never).
[[nodiscard]] bool TrackedHttpFinalUrl(HINTERNET request, std::u16string* url);

}  // namespace vovu::platform::win32
