// Windows tests (under wine) work in a fresh temporary directory.
#include "support/test_machine.h"

namespace vovu::testing {

void PrepareMachine(const std::filesystem::path& top, std::u16string* scratch,
                    std::string* savedState) {
  const std::wstring native = top.wstring();
  *scratch = std::u16string(native.begin(), native.end());
  savedState->clear();
}

void RestoreMachine(const std::string&) {}

// A temporary directory under wine already lets its user create folders.
void OpenLikeProgramData(const std::filesystem::path&) {}

std::filesystem::path TestMachine::Native(const std::u16string& windowsPath) {
  return std::filesystem::path(std::wstring(windowsPath.begin(), windowsPath.end()));
}

}  // namespace vovu::testing
