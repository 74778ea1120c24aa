#include "platform/error.h"

namespace vovu::platform {
namespace {
thread_local Win32Error lastError = kErrorSuccess;
}

Win32Error LastError() {
  return lastError;
}
void SetLastErrorCode(Win32Error code) {
  lastError = code;
}

}  // namespace vovu::platform
