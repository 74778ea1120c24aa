#include "platform/error.h"
#include "platform/win32/windows_api.h"

namespace vovu::platform {

Win32Error LastError() {
  return ::GetLastError();
}
void SetLastErrorCode(Win32Error code) {
  ::SetLastError(code);
}

}  // namespace vovu::platform
