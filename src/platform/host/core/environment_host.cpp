#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/common/module_path_override.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/host/core/machine_root.h"
#include "platform/text_codec.h"

extern char** environ;

namespace vovu::platform {
namespace {

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

// Windows variable names ignore case; an exact match wins, then the first caseless one.
const char* FindVariable(const std::string& name) {
  const char* exact = getenv(name.c_str());
  if (exact != nullptr)
    return exact;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char* eq = std::strchr(*entry, '=');
    if (eq == nullptr || static_cast<std::size_t>(eq - *entry) != name.size())
      continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      same = LowerAscii((*entry)[i]) == LowerAscii(name[i]);
    }
    if (same)
      return eq + 1;
  }
  return nullptr;
}

std::uint32_t ReturnInBuffer(const std::u16string& text, std::u16string* out,
                             std::uint32_t capacity) {
  if (text.size() >= capacity) {
    SetLastErrorCode(kErrorInsufficientBuffer);
    return capacity;
  }
  *out = text;
  return static_cast<std::uint32_t>(text.size());
}

}  // namespace

std::uint32_t GetEnvironmentValue(const std::u16string& name, std::u16string* value,
                                  std::uint32_t capacity) {
  const char* raw = FindVariable(WideToMultiByteUtf8(name));
  if (raw == nullptr || *raw == '\0') {
    SetLastErrorCode(raw == nullptr ? kErrorEnvVarNotFound : kErrorSuccess);
    return 0;
  }
  const std::u16string text = MultiByteUtf8ToWide(raw, std::strlen(raw));
  if (text.size() >= capacity)
    return static_cast<std::uint32_t>(text.size() + 1);
  *value = text;
  return static_cast<std::uint32_t>(text.size());
}

bool SetEnvironmentValue(const std::u16string& name, const std::u16string& value) {
  const std::string key = WideToMultiByteUtf8(name);
  const int result = value.empty() ? unsetenv(key.c_str())
                                   : setenv(key.c_str(), WideToMultiByteUtf8(value).c_str(), 1);
  if (result != 0)
    SetLastErrorCode(kErrorInvalidParameter);
  return result == 0;
}

std::uint32_t GetModuleFileNameOfProcess(std::u16string* path, std::uint32_t capacity) {
  std::u16string overridden;
  if (ModulePathOverride(&overridden))
    return ReturnInBuffer(overridden, path, capacity);
  std::vector<char> buffer(4096);
  const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) {
    SetLastErrorCode(kErrorFileNotFound);
    return 0;
  }
  return ReturnInBuffer(host::ToWindowsPath(std::string(buffer.data(), n)), path, capacity);
}

std::int64_t GetSystemTimeAsFileTimeTicks() {
  // 11644473600 seconds separate 1601-01-01 from 1970-01-01.
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<std::int64_t>(now.tv_sec) + 11644473600LL) * 10000000LL + now.tv_nsec / 100;
}

}  // namespace vovu::platform
