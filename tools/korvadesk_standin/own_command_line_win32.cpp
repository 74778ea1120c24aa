#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "own_command_line.h"

namespace vovu::standin {

std::string OwnCommandLine() {
  const wchar_t* line = ::GetCommandLineW();
  const int length = static_cast<int>(wcslen(line));
  if (length == 0)
    return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, line, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, line, length, out.data(), size, nullptr, nullptr);
  return out;
}

}  // namespace vovu::standin
