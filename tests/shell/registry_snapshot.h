// Reading registry trees back in the tests of the shell registration, straight through the
// platform's registry calls.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace vovu::testing {

struct StoredValue {
  std::uint32_t type = 0;
  std::string bytes;
  bool operator==(const StoredValue&) const = default;
};

// Every key and value of a tree: a key as "<relative path>\", a value as
// "<relative path>|<name>", the tree's own key as "".
using TreeSnapshot = std::map<std::u16string, StoredValue>;

inline void SnapshotInto(platform::NativeHandle key, const std::u16string& prefix,
                         TreeSnapshot* out) {
  (*out)[prefix + u"\\"] = StoredValue{};
  platform::RegistryKeyInfo info;
  if (platform::QueryRegistryKeyInfo(key, &info) != platform::kErrorSuccess)
    return;
  for (std::uint32_t i = 0; i < info.valueCount; ++i) {
    std::vector<char16_t> name(info.maxValueNameLength + 1);
    std::uint32_t nameLength = static_cast<std::uint32_t>(name.size());
    std::string data(info.maxValueDataSize + 2, '\0');
    std::uint32_t size = static_cast<std::uint32_t>(data.size());
    std::uint32_t type = 0;
    if (platform::EnumRegistryValue(key, i, name.data(), &nameLength, &type, data.data(), &size) !=
        platform::kErrorSuccess) {
      continue;
    }
    (*out)[prefix + u"|" + std::u16string(name.data(), nameLength)] =
        StoredValue{type, data.substr(0, size)};
  }
  for (std::uint32_t i = 0;; ++i) {
    char16_t name[512];
    std::uint32_t length = 512;
    if (platform::EnumRegistrySubKey(key, i, name, &length) != platform::kErrorSuccess)
      break;
    const std::u16string child(name, length);
    platform::RegistryKey sub;
    if (platform::OpenRegistryKey(key, child, platform::kKeyRead, &sub) == platform::kErrorSuccess)
      SnapshotInto(sub.get(), prefix.empty() ? child : prefix + u"\\" + child, out);
  }
}

// The tree at HKLM\`path` in `view`; empty when the key does not open.
inline TreeSnapshot SnapshotTree(platform::NativeHandle root, const std::u16string& path,
                                 std::uint32_t view = platform::kKeyWow64_64Key) {
  TreeSnapshot snapshot;
  platform::RegistryKey key;
  if (platform::OpenRegistryKey(root, path, platform::kKeyRead | view, &key) ==
      platform::kErrorSuccess) {
    SnapshotInto(key.get(), u"", &snapshot);
  }
  return snapshot;
}

inline bool KeyExists(const std::u16string& path, std::uint32_t view = platform::kKeyWow64_64Key,
                      platform::NativeHandle root = platform::kRegistryLocalMachine) {
  platform::RegistryKey key;
  return platform::OpenRegistryKey(root, path, platform::kKeyRead | view, &key) ==
         platform::kErrorSuccess;
}

// The UTF-16 bytes of `text`, with its NUL when `withNul`.
inline std::string WideBytes(const std::u16string& text, bool withNul = true) {
  const std::size_t units = text.size() + (withNul ? 1 : 0);
  return std::string(reinterpret_cast<const char*>(text.c_str()), units * sizeof(char16_t));
}

inline StoredValue SzValue(const std::u16string& text) {
  return StoredValue{platform::kRegSz, WideBytes(text)};
}

// Creates (or opens) `path` below `parent` with every right, in `view`. A failure fails the
// test and gives an invalid key.
inline platform::RegistryKey CreateKey(platform::NativeHandle parent, const std::u16string& path,
                                       std::uint32_t view = platform::kKeyWow64_64Key) {
  platform::RegistryKey key;
  EXPECT_EQ(
      platform::CreateRegistryKey(parent, path, platform::kKeyAllAccess | view, &key, nullptr),
      platform::kErrorSuccess);
  return key;
}

// Stores `value` as value `name` of `key`. A failure fails the test.
inline void SetValue(platform::NativeHandle key, const std::u16string& name,
                     const StoredValue& value) {
  EXPECT_EQ(platform::SetRegistryValue(key, name, value.type, value.bytes.data(),
                                       static_cast<std::uint32_t>(value.bytes.size())),
            platform::kErrorSuccess);
}

}  // namespace vovu::testing
