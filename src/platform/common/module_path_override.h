// Shared by both implementations of GetModuleFileNameOfProcess: the path a test asked for.
#pragma once

#include <string>

namespace vovu::platform {

// True and `*path` set when a test has overridden the module path.
[[nodiscard]] bool ModulePathOverride(std::u16string* path);

}  // namespace vovu::platform
