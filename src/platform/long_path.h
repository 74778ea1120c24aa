// One spelling for a path, so that two spellings of the same file compare equal as text.
//
// Windows: the `\\?\` prefix is dropped (`\\?\UNC\server` becomes `\\server`), then
// GetFullPathNameW and GetLongPathNameW, each with a 32768-character buffer (the longest
// path Windows has), so 8.3 names and relative parts become the names on disk. A path whose
// file does not exist keeps its full form.
// Host: the prefix is dropped and the path mapped into the machine and back (`.` and `..`
// resolved, each existing name in the letters it has on disk); the host has no 8.3 names.
#pragma once

#include <cstdint>
#include <string>

namespace vovu::platform {

inline constexpr std::uint32_t kLongestPath = 32768;

// False with the last error when the path cannot be made full.
[[nodiscard]] bool CanonicalLongPath(const std::u16string& path, std::u16string* canonical);

}  // namespace vovu::platform
