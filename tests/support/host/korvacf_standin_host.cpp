// Host: the ELF stand-in built as korvacf-standin.
#include <filesystem>

#include "support/korvacf_standin.h"
#include "support/test_machine.h"

namespace vovu::testing {

void PlaceHelperCopy(const std::u16string& windowsPath) {
  const std::filesystem::path target = TestMachine::Native(windowsPath);
  std::filesystem::create_directories(target.parent_path());
  std::filesystem::copy_file(VOVU_KORVACF_STANDIN_PATH, target,
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::permissions(target, std::filesystem::perms(0755));
}

}  // namespace vovu::testing
