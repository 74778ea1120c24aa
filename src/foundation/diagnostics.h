// The service's only diagnostics: Win32 error texts and debugger-output lines.
#pragma once

#include <cstdint>
#include <string>

namespace vovu {

// "error=" + the code as unsigned decimal, then, when the system message table has text for
// it, one blank and that text exactly as the system gives it (trailing line break kept).
// Callers put a prefix naming the failed call in front ("OpenService failed: ").
[[nodiscard]] std::u16string FormatWin32Error(std::uint32_t code);

// One debugger-output string: "[VovudIdavUda] " + text + LF.
void LogDebug(const std::u16string& text);

// The full path of the running executable asked of the system with a 32768-character
// buffer; empty when the call fails, returns 0 or more than 32767 characters.
[[nodiscard]] std::u16string GetModulePath();

// The installation directory: the module path up to its last '\' or '/', or empty.
[[nodiscard]] std::u16string GetInstallDirectory();

// The cloud-files helper beside this executable: the installation directory joined with
// "korvaCF.exe".
[[nodiscard]] std::u16string KorvaCfPath();

}  // namespace vovu
