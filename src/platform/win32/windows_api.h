// The one place that includes <windows.h> for the Windows implementation of the platform.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#endif

#include <windows.h>

#include <string>

namespace vovu::platform::win32 {

// Program text is UTF-16 in char16_t; Windows takes the same units as wchar_t.
inline const wchar_t* W(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}
inline std::u16string FromW(const wchar_t* text, std::size_t length) {
  return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

// Wine marks itself by an export of its ntdll. The few places where wine's implementation of
// an interface falls short of Windows' ask this, so Windows takes the documented road only.
inline bool RunsUnderWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

inline HANDLE ToHandle(std::intptr_t value) {
  return reinterpret_cast<HANDLE>(value);
}
inline std::intptr_t FromHandle(HANDLE handle) {
  return reinterpret_cast<std::intptr_t>(handle);
}

}  // namespace vovu::platform::win32
