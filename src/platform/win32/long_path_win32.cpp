#include <vector>

#include "platform/long_path.h"
#include "platform/win32/windows_api.h"

namespace vovu::platform {
namespace {

std::u16string WithoutPrefix(const std::u16string& path) {
  if (path.rfind(u"\\\\?\\UNC\\", 0) == 0)
    return u"\\\\" + path.substr(8);
  if (path.rfind(u"\\\\?\\", 0) == 0)
    return path.substr(4);
  return path;
}

}  // namespace

bool CanonicalLongPath(const std::u16string& path, std::u16string* canonical) {
  std::vector<wchar_t> buffer(kLongestPath);
  const std::u16string plain = WithoutPrefix(path);
  DWORD length = ::GetFullPathNameW(win32::W(plain), kLongestPath, buffer.data(), nullptr);
  if (length == 0 || length >= kLongestPath)
    return false;
  const std::u16string full = win32::FromW(buffer.data(), length);
  length = ::GetLongPathNameW(win32::W(full), buffer.data(), kLongestPath);
  *canonical = length == 0 || length >= kLongestPath
                   ? full
                   : WithoutPrefix(win32::FromW(buffer.data(), length));
  return true;
}

}  // namespace vovu::platform
