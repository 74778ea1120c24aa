// The one string write the shell registration shares: a REG_SZ value with its NUL.
#pragma once

#include <string>

#include "platform/native_handle.h"

namespace vovu {

// Writes `text` as REG_SZ under `valueName` ("" is the default value) of the open `key`, its
// size counting the terminating NUL. On a non-zero status `*error` becomes
// "RegSetValueEx failed: error=<status>" and the result is false.
[[nodiscard]] bool SetRegistryString(platform::NativeHandle key, const std::u16string& valueName,
                                     const std::u16string& text, std::u16string* error);

}  // namespace vovu
