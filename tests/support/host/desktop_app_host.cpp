// Host stand-ins: the ELF stand-in, stamped by the stamp-version tool.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "foundation/text.h"
#include "platform/environment.h"
#include "support/desktop_app.h"
#include "support/test_machine.h"

namespace vovu::testing {
namespace {

std::filesystem::path CopyStandin(const std::u16string& directory) {
  const std::filesystem::path target = TestMachine::Native(JoinPath(directory, u"Korvadesk.exe"));
  std::filesystem::copy_file(VOVU_KORVADESK_STANDIN_PATH, target,
                             std::filesystem::copy_options::overwrite_existing);
  platform::SetModulePathForTesting(JoinPath(directory, u"vovudidavuda.exe"));
  return target;
}

}  // namespace

void InstallDesktopApp(const std::u16string& directory) {
  const std::filesystem::path target = CopyStandin(directory);
  const std::string command = std::string("'") + VOVU_STAMP_VERSION_PATH + "' '" + target.string() +
                              "' " + WideToUtf8(kStandinProductVersion) + " 9.9.9.9";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

void InstallDesktopAppWithoutVersion(const std::u16string& directory) {
  CopyStandin(directory);
}

}  // namespace vovu::testing
