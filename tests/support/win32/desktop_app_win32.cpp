// Windows stand-ins: Korvadesk.exe is built with its version resource and copied beside the
// test binary; the test binary itself has no version resource.
#include <gtest/gtest.h>

#include <filesystem>

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/environment.h"
#include "support/desktop_app.h"
#include "support/test_machine.h"

namespace vovu::testing {
namespace {

void CopyAsKorvadesk(const std::u16string& source, const std::u16string& directory) {
  std::filesystem::copy_file(TestMachine::Native(source),
                             TestMachine::Native(JoinPath(directory, u"Korvadesk.exe")),
                             std::filesystem::copy_options::overwrite_existing);
  platform::SetModulePathForTesting(JoinPath(directory, u"vovudidavuda.exe"));
}

}  // namespace

void InstallDesktopApp(const std::u16string& directory) {
  platform::SetModulePathForTesting(u"");
  CopyAsKorvadesk(JoinPath(GetInstallDirectory(), u"Korvadesk.exe"), directory);
}

void InstallDesktopAppWithoutVersion(const std::u16string& directory) {
  platform::SetModulePathForTesting(u"");
  CopyAsKorvadesk(GetModulePath(), directory);
}

}  // namespace vovu::testing
