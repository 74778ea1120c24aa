// Walking registry keys for the namespace-class mirror and the cleanup.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/native_handle.h"

namespace vovu {

// One value of a key as ForEachRegistryValue reads it.
struct RegistryValueEntry {
  std::u16string name;
  std::uint32_t type = 0;          // with data only
  std::vector<std::uint8_t> data;  // with data only: exactly the value's bytes
};

// Visits the values of `key` by index, from 0 to the count RegQueryInfoKeyW reports, reading
// each name in a buffer of the reported maximum length (and, with `withData`, its type and
// bytes), with one more try at the sizes the store asks for when they do not fit. `visit`
// gets the read's status and, when it is 0, the value; it returns false to end the walk.
// False when the key's sizes cannot be read.
[[nodiscard]] bool ForEachRegistryValue(
    platform::NativeHandle key, bool withData,
    const std::function<bool(platform::Win32Error, const RegistryValueEntry&)>& visit);

// The names of `key`'s subkeys by increasing index, each read into a 512-character buffer.
// The walk ends at the first index that fails for any reason (the end of the list, or a
// name that does not fit), so a too-long name hides the names after it.
[[nodiscard]] std::vector<std::u16string> EnumSubkeyNames(platform::NativeHandle key);

}  // namespace vovu
