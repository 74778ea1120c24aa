// Finding the desktop application's executable in the installation directory.
#include "hotupdate/desktop_app.h"

#include <gtest/gtest.h>

#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::TestMachine;

TEST(DesktopAppLookup, KorvadeskFirstThenTheFirstOrdinaryExecutableThenKorvadeskRegardless) {
  TestMachine machine;
  const std::u16string dir = machine.Path(u"App");
  const std::u16string korvadesk = dir + u"\\Korvadesk.exe";
  platform::SetModulePathForTesting(dir + u"\\vovudidavuda.exe");

  // No installation directory at all, then an empty one: the Korvadesk.exe path regardless.
  EXPECT_EQ(FindDesktopAppExecutable(), korvadesk);
  ASSERT_TRUE(platform::CreateDirectoryAt(dir));
  EXPECT_EQ(FindDesktopAppExecutable(), korvadesk);

  // Executables that are never the application, a folder named like one and other files.
  for (const char16_t* name : {u"setup.exe", u"Uninstall.exe", u"SETUP-2.exe", u"korvaCF.exe",
                               u"VovudIdavUda.exe", u"notes.txt", u"viewer.exe.txt"}) {
    TestMachine::WriteBytes(JoinPath(dir, name), "x");
  }
  ASSERT_TRUE(platform::CreateDirectoryAt(dir + u"\\Tools.exe"));
  EXPECT_EQ(FindDesktopAppExecutable(), korvadesk);

  // An ordinary executable is taken, spelled as on disk, any case of its extension; a
  // Korvadesk.exe that is a folder does not count.
  TestMachine::WriteBytes(dir + u"\\Viewer.EXE", "x");
  ASSERT_TRUE(platform::CreateDirectoryAt(korvadesk));
  EXPECT_EQ(FindDesktopAppExecutable(), dir + u"\\Viewer.EXE");

  ASSERT_TRUE(platform::RemoveDirectoryAt(korvadesk));
  TestMachine::WriteBytes(korvadesk, "x");
  EXPECT_EQ(FindDesktopAppExecutable(), korvadesk);
}

}  // namespace
}  // namespace vovu
