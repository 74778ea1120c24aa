// Walking and copying registry trees for the namespace-class mirror and the cleanup.
#pragma once

#include <string>
#include <vector>

#include "platform/native_handle.h"

namespace vovu {

// The names of `key`'s subkeys by increasing index, each read into a 512-character buffer.
// The walk ends at the first index that fails for any reason (the end of the list, or a
// name that does not fit), so a too-long name hides the names after it.
[[nodiscard]] std::vector<std::u16string> EnumSubkeyNames(platform::NativeHandle key);

// Copies every value (same name, type and bytes; the default value too) and every subkey of
// `source` into `destination`, recursively. Values already at the destination are
// overwritten, others there stay. Values and subkeys of the source that cannot be read are
// skipped. Failures, after which the part already copied stays: "RegQueryInfoKeyW failed
// while copying CLSID tree", "RegSetValueExW failed while copying CLSID tree",
// "RegCreateKeyExW failed while copying CLSID tree".
[[nodiscard]] bool CopyRegistryTree(platform::NativeHandle source,
                                    platform::NativeHandle destination, std::u16string* error);

}  // namespace vovu
