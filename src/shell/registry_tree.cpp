#include "shell/registry_tree.h"

#include <algorithm>
#include <cstdint>

#include "platform/registry.h"

namespace vovu {
namespace {

constexpr std::uint32_t kSubkeyNameBuffer = 512;

// The name of value `index`, with a second try in a buffer of the size the store reports
// when the first does not fit. False when the index cannot be read.
bool EnumValueName(platform::NativeHandle key, std::uint32_t index, std::uint32_t capacity,
                   std::u16string* name) {
  std::vector<char16_t> buffer(capacity);
  std::uint32_t length = capacity;
  platform::Win32Error status =
      platform::EnumRegistryValue(key, index, buffer.data(), &length, nullptr, nullptr, nullptr);
  if (status == platform::kErrorMoreData) {
    buffer.resize(length + 1);
    length = static_cast<std::uint32_t>(buffer.size());
    status =
        platform::EnumRegistryValue(key, index, buffer.data(), &length, nullptr, nullptr, nullptr);
  }
  if (status != platform::kErrorSuccess)
    return false;
  name->assign(buffer.data(), length);
  return true;
}

}  // namespace

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

bool CopyRegistryTree(platform::NativeHandle source, platform::NativeHandle destination,
                      std::u16string* error) {
  platform::RegistryKeyInfo info;
  if (platform::QueryRegistryKeyInfo(source, &info) != platform::kErrorSuccess) {
    *error = u"RegQueryInfoKeyW failed while copying CLSID tree";
    return false;
  }

  for (std::uint32_t index = 0; index < info.valueCount; ++index) {
    std::u16string name;
    if (!EnumValueName(source, index, info.maxValueNameLength + 1, &name))
      continue;
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    if (platform::QueryRegistryValue(source, name, &type, nullptr, &size) !=
        platform::kErrorSuccess) {
      continue;
    }
    std::vector<std::uint8_t> data(std::max<std::uint32_t>(size, 1));
    size = static_cast<std::uint32_t>(data.size());
    if (platform::QueryRegistryValue(source, name, &type, data.data(), &size) !=
        platform::kErrorSuccess) {
      continue;
    }
    if (platform::SetRegistryValue(destination, name, type, data.data(), size) !=
        platform::kErrorSuccess) {
      *error = u"RegSetValueExW failed while copying CLSID tree";
      return false;
    }
  }

  for (const std::u16string& name : EnumSubkeyNames(source)) {
    platform::RegistryKey sourceChild;
    if (platform::OpenRegistryKey(source, name, platform::kKeyRead, &sourceChild) !=
        platform::kErrorSuccess) {
      continue;
    }
    platform::RegistryKey destinationChild;
    if (platform::CreateRegistryKey(destination, name, platform::kKeyRead | platform::kKeyWrite,
                                    &destinationChild, nullptr) != platform::kErrorSuccess) {
      *error = u"RegCreateKeyExW failed while copying CLSID tree";
      return false;
    }
    if (!CopyRegistryTree(sourceChild.get(), destinationChild.get(), error))
      return false;
  }
  return true;
}

}  // namespace vovu
