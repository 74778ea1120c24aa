#include "shell/registry_tree.h"

#include <algorithm>
#include <cstdint>

#include "platform/registry.h"

namespace vovu {
namespace {

constexpr std::uint32_t kSubkeyNameBuffer = 512;

}  // namespace

bool ForEachRegistryValue(
    platform::NativeHandle key, bool withData,
    const std::function<bool(platform::Win32Error, const RegistryValueEntry&)>& visit) {
  platform::RegistryKeyInfo info;
  if (platform::QueryRegistryKeyInfo(key, &info) != platform::kErrorSuccess)
    return false;
  std::vector<char16_t> name(info.maxValueNameLength + 1);
  std::vector<std::uint8_t> data(withData ? std::max<std::uint32_t>(info.maxValueDataSize, 1) : 0);
  for (std::uint32_t index = 0; index < info.valueCount; ++index) {
    RegistryValueEntry entry;
    std::uint32_t length = 0;
    std::uint32_t size = 0;
    platform::Win32Error status = platform::kErrorMoreData;
    for (int attempt = 0; attempt < 2 && status == platform::kErrorMoreData; ++attempt) {
      if (attempt > 0) {
        // A value changed since the sizes were read: once more, with room for what it is now.
        name.resize(std::max<std::size_t>(name.size(), std::size_t{length} + 1));
        data.resize(withData ? std::max<std::size_t>(data.size(), size) : 0);
      }
      length = static_cast<std::uint32_t>(name.size());
      size = static_cast<std::uint32_t>(data.size());
      status = platform::EnumRegistryValue(
          key, index, name.data(), &length, withData ? &entry.type : nullptr,
          withData ? data.data() : nullptr, withData ? &size : nullptr);
    }
    if (status == platform::kErrorSuccess) {
      entry.name.assign(name.data(), length);
      if (withData)
        entry.data.assign(data.begin(), data.begin() + size);
    }
    if (!visit(status, entry))
      break;
  }
  return true;
}

std::vector<std::u16string> EnumSubkeyNames(platform::NativeHandle key) {
  std::vector<std::u16string> names;
  char16_t buffer[kSubkeyNameBuffer];
  for (std::uint32_t index = 0;; ++index) {
    std::uint32_t length = kSubkeyNameBuffer;
    if (platform::EnumRegistrySubKey(key, index, buffer, &length) != platform::kErrorSuccess)
      break;
    names.emplace_back(buffer, length);
  }
  return names;
}

}  // namespace vovu
