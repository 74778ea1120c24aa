// Which running programs count as the application's: real processes started from copies of
// the stand-in helper in scratch folders around a pretend installation directory.
#include "system/process_discovery.h"

#include <gtest/gtest.h>

#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/fault_injection.h"
#include "platform/process.h"
#include "support/korvacf_standin.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::TestMachine;

class ProcessDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    app_ = machine_.Path(u"App");
    platform::SetModulePathForTesting(JoinPath(app_, u"vovudidavuda.exe"));
  }

  std::uint32_t Run(const std::u16string& path) { return helpers_.Start(path); }
  void Stop(std::uint32_t pid) { helpers_.Stop(pid); }

  TestMachine machine_;
  std::u16string app_;
  testing::RunningHelpers helpers_;
};

TEST_F(ProcessDiscovery, OnlyProgramsInsideTheInstallationDirectoryCount) {
  EXPECT_FALSE(IsAnyAppProcessRunning());

  // A sibling folder whose name starts like the installation directory's.
  const std::uint32_t sibling = Run(machine_.Path(u"App2\\y.exe"));
  EXPECT_FALSE(IsAnyAppProcessRunning());

  const std::uint32_t nested = Run(JoinPath(app_, u"resources\\x.exe"));
  EXPECT_TRUE(IsAnyAppProcessRunning());
  Stop(nested);
  EXPECT_FALSE(IsAnyAppProcessRunning());

  Run(JoinPath(app_, u"Korvadesk.exe"));
  EXPECT_TRUE(IsAnyAppProcessRunning());
  Stop(sibling);
  EXPECT_TRUE(IsAnyAppProcessRunning());
}

TEST_F(ProcessDiscovery, CopiesOfTheServiceDoNotCountAndLetterCaseIsIgnored) {
  Run(JoinPath(app_, u"vovudidavuda.exe"));
  Run(JoinPath(app_, u"tools\\VovudIdavUda.EXE"));
  EXPECT_FALSE(IsAnyAppProcessRunning());

  platform::SetModulePathForTesting(ToLower(JoinPath(app_, u"vovudidavuda.exe")));
  Run(JoinPath(app_, u"KORVADESK.EXE"));
  EXPECT_TRUE(IsAnyAppProcessRunning());
  // A process list that cannot be taken reads as nothing running.
  platform::InjectFault(platform::FaultPoint::kProcessSnapshot, u"", platform::kErrorAccessDenied,
                        1);
  EXPECT_FALSE(IsAnyAppProcessRunning());
  EXPECT_TRUE(IsAnyAppProcessRunning());
}

// The installation reached through the `\\?\` form of its path still finds the programs
// running from it.
TEST_F(ProcessDiscovery, TheLongFormOfTheInstallationsPathMatches) {
  platform::SetModulePathForTesting(u"\\\\?\\" + JoinPath(app_, u"vovudidavuda.exe"));
  const std::uint32_t pid = Run(JoinPath(app_, u"Korvadesk.exe"));
  EXPECT_TRUE(IsAnyAppProcessRunning());
  Stop(pid);
  EXPECT_FALSE(IsAnyAppProcessRunning());
}

// An image path longer than the classic 260 characters is read whole and matched.
TEST_F(ProcessDiscovery, AnImagePathOfMoreThan260CharactersMatches) {
  const std::u16string folder =
      JoinPath(app_, std::u16string(120, u'l') + u"\\" + std::u16string(120, u'm'));
  platform::SetModulePathForTesting(JoinPath(folder, u"vovudidavuda.exe"));
  const std::uint32_t pid = helpers_.TryStart(JoinPath(folder, u"Korvadesk.exe"));
  if (pid == 0) {
    GTEST_SKIP() << "no program starts from a path this long here (wine: error "
                 << platform::LastError() << ")";
  }
  EXPECT_TRUE(IsAnyAppProcessRunning());
  Stop(pid);
  EXPECT_FALSE(IsAnyAppProcessRunning());
}

}  // namespace
}  // namespace vovu
