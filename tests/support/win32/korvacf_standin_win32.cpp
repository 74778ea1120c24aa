// Windows: korvaCF.exe, copied beside the test binary by the build.
#include <filesystem>
#include <vector>

#include "platform/win32/windows_api.h"
#include "support/korvacf_standin.h"
#include "support/test_machine.h"

namespace vovu::testing {

void PlaceHelperCopy(const std::u16string& windowsPath) {
  // The test binary's own folder, asked of the system (the module path may be redirected).
  std::vector<wchar_t> buffer(32768);
  const DWORD length =
      ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  const std::filesystem::path source =
      std::filesystem::path(std::wstring(buffer.data(), length)).parent_path() / L"korvaCF.exe";
  const std::filesystem::path target = TestMachine::Native(windowsPath);
  std::filesystem::create_directories(target.parent_path());
  std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing);
}

}  // namespace vovu::testing
