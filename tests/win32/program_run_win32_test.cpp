// The package extraction's answer on a Windows machine without tar.exe (wine has none); the
// programs' contract is tests/platform/process_test.cpp.
#include <gtest/gtest.h>

#include "acquisition/package_archive.h"
#include "foundation/text.h"
#include "support/test_machine.h"

namespace vovu::platform {
namespace {

using testing::TestMachine;

TEST(ProgramRunWin32, ExtractionWithoutTarSaysSo) {
  TestMachine machine;
  std::u16string error;
  // Wine has no tar.exe in System32; Windows 10 and later have one.
  if (TestMachine::Exists(SystemTarPath()))
    GTEST_SKIP() << "this machine has a tar.exe";
  EXPECT_FALSE(ExtractPackage(machine.Path(u"package.zip"), machine.Dir(), &error));
  EXPECT_EQ(error, u"tar.exe not found");
}

}  // namespace
}  // namespace vovu::platform
