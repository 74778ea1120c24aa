#include "state/protected_storage.h"

#include <gtest/gtest.h>

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/fault_injection.h"
#include "platform/files.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::TestMachine;

TEST(HotUpdateDir, FollowsProgramDataWithoutDoubledSeparators) {
  TestMachine machine;
  ASSERT_TRUE(platform::SetEnvironmentValue(u"ProgramData", u"D:\\Data\\"));
  EXPECT_EQ(GetHotUpdateDir(), u"D:\\Data\\VovudIdavUda\\hotupdate");
  EXPECT_EQ(GetProtectedRootDir(), u"D:\\Data\\VovudIdavUda");
  ASSERT_TRUE(platform::SetEnvironmentValue(u"ProgramData", u"E:\\State"));
  EXPECT_EQ(GetHotUpdateDir(), u"E:\\State\\VovudIdavUda\\hotupdate");
  ASSERT_TRUE(platform::SetEnvironmentValue(u"ProgramData", u""));
  EXPECT_EQ(GetHotUpdateDir(), u"C:\\ProgramData\\VovudIdavUda\\hotupdate");
}

TEST(ProtectedDirectory, CreatesOnlyTheLastComponentAndRefusesWhatIsNotAPlainDirectory) {
  TestMachine machine;
  std::u16string error;
  ASSERT_TRUE(EnsureHotUpdateDirectories(&error)) << WideToUtf8(error);
  const std::uint32_t attributes = platform::GetAttributes(GetHotUpdateDir());
  ASSERT_NE(attributes, platform::kInvalidFileAttributes);
  EXPECT_NE(attributes & platform::kFileAttributeDirectory, 0u);
  // Every call applies the protection again.
  EXPECT_TRUE(EnsureProtectedDirectory(GetHotUpdateDir(), &error));
  EXPECT_TRUE(EnsureHotUpdateDirectories(&error));

  const std::u16string path = machine.Path(u"hotupdate");
  TestMachine::WriteBytes(path, "not a directory");
  EXPECT_FALSE(EnsureProtectedDirectory(path, &error));
  EXPECT_EQ(error, u"protected hot-update path is not a normal directory: " + path);
  EXPECT_EQ(TestMachine::ReadBytes(path), "not a directory");

  const std::u16string deep = machine.Path(u"missing\\job");
  EXPECT_FALSE(EnsureProtectedDirectory(deep, &error));
  EXPECT_EQ(error, u"CreateDirectory failed (" + deep + u"): " + FormatWin32Error(3));
}

TEST(ProtectedDirectory, SecurityFailuresNameTheirStep) {
  TestMachine machine;
  const std::u16string path = machine.Path(u"job");
  std::u16string error;
  platform::InjectFault(platform::FaultPoint::kConvertSddl, u"", 1336, 1);
  EXPECT_FALSE(EnsureProtectedDirectory(path, &error));
  EXPECT_EQ(error, u"security descriptor creation failed: " + FormatWin32Error(1336));
  // The descriptor comes first: nothing is created that could exist without it.
  EXPECT_EQ(platform::GetAttributes(path), platform::kInvalidFileAttributes);

  platform::InjectFault(platform::FaultPoint::kSetFileSecurity, path, 5, 1);
  EXPECT_FALSE(EnsureProtectedDirectory(path, &error));
  EXPECT_EQ(error, u"SetFileSecurity failed (" + path + u"): " + FormatWin32Error(5));
  EXPECT_TRUE(EnsureProtectedDirectory(path, &error));
}

TEST(RemoveTree, RemovesNestedContentButKeepsAnUndeletableEntryWithTheDirectoriesAboveIt) {
  TestMachine machine;
  const std::u16string top = machine.Path(u"job");
  ASSERT_TRUE(platform::CreateDirectoryAt(top));
  ASSERT_TRUE(platform::CreateDirectoryAt(top + u"\\payload"));
  ASSERT_TRUE(platform::CreateDirectoryAt(top + u"\\payload\\resources"));
  TestMachine::WriteBytes(top + u"\\service-job.json", "{}");
  TestMachine::WriteBytes(top + u"\\payload\\locked.bin", "x");
  TestMachine::WriteBytes(top + u"\\payload\\resources\\app.asar", "asar");
  platform::InjectFault(platform::FaultPoint::kDeleteFile, top + u"\\payload\\locked.bin", 32);
  RemoveTree(top);
  EXPECT_TRUE(TestMachine::Exists(top + u"\\payload\\locked.bin"));
  EXPECT_FALSE(TestMachine::Exists(top + u"\\service-job.json"));
  EXPECT_FALSE(TestMachine::Exists(top + u"\\payload\\resources"));
  platform::ClearFaults();
  RemoveTree(top);
  EXPECT_FALSE(TestMachine::Exists(top));
  RemoveTree(top);  // nothing there: nothing happens
  RemoveTree(machine.Path(u"never\\existed"));

  const std::u16string file = machine.Path(u"single.txt");
  TestMachine::WriteBytes(file, "x");
  RemoveTree(file);
  EXPECT_FALSE(TestMachine::Exists(file));
}

}  // namespace
}  // namespace vovu
