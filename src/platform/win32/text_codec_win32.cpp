#include "platform/text_codec.h"
#include "platform/win32/windows_api.h"

namespace vovu::platform {

std::u16string MultiByteUtf8ToWide(const char* bytes, std::size_t length) {
  if (bytes == nullptr || length == 0 || length > 0x7FFFFFFF)
    return {};
  const int size = ::MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(length), nullptr, 0);
  if (size <= 0)
    return {};
  std::u16string text(static_cast<std::size_t>(size), u'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(length),
                        reinterpret_cast<wchar_t*>(text.data()), size);
  return text;
}

std::string WideToMultiByteUtf8(const std::u16string& text) {
  if (text.empty() || text.size() > 0x7FFFFFFF)
    return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int length = static_cast<int>(text.size());
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0)
    return {};
  std::string bytes(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide, length, bytes.data(), size, nullptr, nullptr);
  return bytes;
}

}  // namespace vovu::platform
