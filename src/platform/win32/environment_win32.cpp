#include <vector>

#include "platform/common/module_path_override.h"
#include "platform/environment.h"
#include "platform/win32/windows_api.h"

namespace vovu::platform {

using win32::FromW;
using win32::W;

std::uint32_t GetEnvironmentValue(const std::u16string& name, std::u16string* value,
                                  std::uint32_t capacity) {
  std::vector<wchar_t> buffer(capacity);
  const DWORD length = ::GetEnvironmentVariableW(W(name), buffer.data(), capacity);
  if (length > 0 && length < capacity)
    *value = FromW(buffer.data(), length);
  return length;
}

bool SetEnvironmentValue(const std::u16string& name, const std::u16string& value) {
  return ::SetEnvironmentVariableW(W(name), value.empty() ? nullptr : W(value)) != FALSE;
}

std::uint32_t GetModuleFileNameOfProcess(std::u16string* path, std::uint32_t capacity) {
  std::u16string overridden;
  if (ModulePathOverride(&overridden)) {
    if (overridden.size() >= capacity) {
      ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return capacity;
    }
    *path = overridden;
    return static_cast<std::uint32_t>(overridden.size());
  }
  std::vector<wchar_t> buffer(capacity);
  const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), capacity);
  if (length > 0 && length < capacity)
    *path = FromW(buffer.data(), length);
  return length;
}

std::int64_t GetSystemTimeAsFileTimeTicks() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
                                   now.dwLowDateTime);
}

}  // namespace vovu::platform
