// The executable's Unicode entry point on Windows (linked with -municode).
#include <vector>

#include "platform/program_entry.h"
#include "platform/win32/windows_api.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::u16string> args;
  for (int i = 0; i < argc; ++i) {
    args.push_back(reinterpret_cast<const char16_t*>(argv[i]));
  }
  return vovu::ProgramMain(args);
}
