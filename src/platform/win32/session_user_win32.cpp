#include "platform/session_user.h"
#include "platform/win32/windows_api.h"
// After <windows.h>.
#include <wtsapi32.h>

namespace vovu::platform {

TokenHandle QuerySessionUserToken(std::uint32_t sessionId) {
  HANDLE token = nullptr;
  if (!::WTSQueryUserToken(sessionId, &token))
    return TokenHandle();
  return TokenHandle(win32::FromHandle(token));
}

std::uint32_t ActiveConsoleSessionId() {
  return ::WTSGetActiveConsoleSessionId();
}

bool ImpersonateLoggedOnUserToken(const TokenHandle& token) {
  return ::ImpersonateLoggedOnUser(win32::ToHandle(token.get())) != FALSE;
}

}  // namespace vovu::platform
