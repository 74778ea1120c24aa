#include <vector>

#include "platform/profile.h"
#include "platform/win32/windows_api.h"
// After <windows.h>.
#include <userenv.h>

namespace vovu::platform {

bool GetUserProfileDirectoryOf(const TokenHandle& token, std::u16string* directory,
                               std::uint32_t capacity) {
  std::vector<wchar_t> buffer(capacity, L'\0');
  DWORD size = capacity;
  if (!::GetUserProfileDirectoryW(win32::ToHandle(token.get()), buffer.data(), &size)) {
    return false;
  }
  *directory = reinterpret_cast<const char16_t*>(buffer.data());
  return true;
}

}  // namespace vovu::platform
