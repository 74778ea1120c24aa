#include "platform/diagnostics.h"
#include "platform/win32/windows_api.h"

namespace vovu::platform {

void OutputDebugText(const std::u16string& text) {
  ::OutputDebugStringW(win32::W(text));
}

bool GetSystemErrorText(std::uint32_t code, std::u16string* text) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  const bool found = length > 0 && buffer != nullptr;
  if (found)
    *text = win32::FromW(buffer, length);
  if (buffer != nullptr)
    ::LocalFree(buffer);
  return found;
}

}  // namespace vovu::platform
