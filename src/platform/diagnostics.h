// Debugger output and the system's texts for Win32 error codes.
#pragma once

#include <cstdint>
#include <string>

namespace vovu::platform {

// OutputDebugStringW. On the host the text goes, as UTF-8, to the listener socket of the
// machine root when one is bound, and is dropped otherwise.
void OutputDebugText(const std::u16string& text);

// FormatMessageW from the system message table in the default language, inserts ignored:
// the text exactly as the system gives it (trailing CR LF included), or false when the
// system has none. The host answers from a table of the English Windows texts.
[[nodiscard]] bool GetSystemErrorText(std::uint32_t code, std::u16string* text);

}  // namespace vovu::platform
