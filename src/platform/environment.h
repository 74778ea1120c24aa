// Process environment, module path and clock.
#pragma once

#include <cstdint>
#include <string>

namespace vovu::platform {

// GetEnvironmentVariableW with a buffer of `capacity` characters: the value's length when it
// fits (and `*value` is set), the size needed (length + 1) when it does not, and 0 when the
// variable is missing (last error 203) or empty.
[[nodiscard]] std::uint32_t GetEnvironmentValue(const std::u16string& name, std::u16string* value,
                                                std::uint32_t capacity);

// SetEnvironmentVariableW: sets `name` to `value` for this process; an empty value removes it.
[[nodiscard]] bool SetEnvironmentValue(const std::u16string& name, const std::u16string& value);

// GetModuleFileNameW for the running executable with a buffer of `capacity` characters: the
// length of the path written to `*path`; `capacity` when it was truncated (last error 122);
// 0 on failure. The host maps its executable's location back to a Windows path.
[[nodiscard]] std::uint32_t GetModuleFileNameOfProcess(std::u16string* path,
                                                       std::uint32_t capacity);

// Tests only: make GetModuleFileNameOfProcess report `path` (empty text restores the truth),
// so that code which finds its companions beside the executable can be pointed elsewhere.
void SetModulePathForTesting(const std::u16string& path);

// The system time as a file time: 100-nanosecond ticks since 1601-01-01 00:00 UTC.
[[nodiscard]] std::int64_t GetSystemTimeAsFileTimeTicks();

}  // namespace vovu::platform
