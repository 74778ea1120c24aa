// Registry value types and data as reg.exe spells them on its command line and in its
// output: type names (REG_SZ, ...), the data text of `add /d` turned into the value's bytes,
// and a value's bytes turned back into one line of text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vovu::tools {

// The type named by `name` in any letter case (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ,
// REG_DWORD, REG_QWORD, REG_BINARY, REG_NONE); nothing for any other name.
[[nodiscard]] std::optional<std::uint32_t> RegistryTypeFromName(const std::string& name);

// "REG_SZ", ...; "REG_TYPE_<n>" for a type without a name.
[[nodiscard]] std::string RegistryTypeName(std::uint32_t type);

// The bytes stored for `data` of `type`, as `reg add` stores them: strings in UTF-16LE with
// their NUL; REG_MULTI_SZ split at `separator` (reg's default is the two characters "\0"),
// each string with its NUL and one more NUL at the end; REG_DWORD and REG_QWORD from decimal
// or 0x-hexadecimal text that fits; REG_BINARY and REG_NONE from pairs of hexadecimal
// digits. False, with the reason in `problem`, for data the type cannot hold.
[[nodiscard]] bool EncodeRegistryData(std::uint32_t type, const std::string& data,
                                      const std::string& separator,
                                      std::vector<std::uint8_t>* bytes, std::string* problem);

// One value's data as `reg query` shows it: strings as text (REG_MULTI_SZ joined with
// "\0"), numbers as 0x-hexadecimal, anything else as upper-case hexadecimal digits.
[[nodiscard]] std::string RegistryDataText(std::uint32_t type,
                                           const std::vector<std::uint8_t>& data);

}  // namespace vovu::tools
