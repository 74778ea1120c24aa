#include "system/file_replacement.h"

#include <gtest/gtest.h>

#include "foundation/diagnostics.h"
#include "platform/environment.h"
#include "platform/fault_injection.h"
#include "platform/files.h"
#include "support/outcome.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::Outcome;
using testing::TestMachine;

// ReplaceFileWithBackup without its step number, for Outcome.
bool Replace(const std::u16string& staged, const std::u16string& target, std::u16string* error) {
  return ReplaceFileWithBackup(staged, target, error);
}

class FileReplacement : public ::testing::Test {
 protected:
  std::u16string Target() const { return machine_.Path(u"app.asar"); }
  std::u16string Staged() const { return machine_.Path(u"staged.asar"); }
  TestMachine machine_;
};

TEST_F(FileReplacement, KeepsTheOldFileAsBackupAndConsumesTheStagedOne) {
  TestMachine::WriteBytes(Target(), "old");
  TestMachine::WriteBytes(Target() + u".bak", "older backup");
  TestMachine::WriteBytes(Staged(), "new");
  ASSERT_EQ(Outcome(Replace, Staged(), Target()), u"ok");
  EXPECT_EQ(TestMachine::ReadBytes(Target()), "new");
  EXPECT_EQ(TestMachine::ReadBytes(Target() + u".bak"), "old");
  EXPECT_FALSE(TestMachine::Exists(Staged()));

  // A missing target is simply created, with no backup.
  const std::u16string fresh = machine_.Path(u"korvaCF.exe");
  TestMachine::WriteBytes(Staged(), "helper");
  ASSERT_EQ(Outcome(Replace, Staged(), fresh), u"ok");
  EXPECT_EQ(TestMachine::ReadBytes(fresh), "helper");
  EXPECT_FALSE(TestMachine::Exists(fresh + u".bak"));
}

TEST_F(FileReplacement, AFailedStepLeavesTheOldFileInPlace) {
  TestMachine::WriteBytes(Target(), "old");
  // The copy fails: the old file is put back.
  EXPECT_EQ(Outcome(Replace, machine_.Path(u"missing.asar"), Target()),
            u"replace failed (" + Target() + u"): " + FormatWin32Error(2));
  EXPECT_EQ(TestMachine::ReadBytes(Target()), "old");
  EXPECT_FALSE(TestMachine::Exists(Target() + u".bak"));

  // The target is locked against renaming: nothing changes.
  TestMachine::WriteBytes(Staged(), "new");
  platform::InjectFault(platform::FaultPoint::kMoveFile, Target(), 32, 1);
  EXPECT_EQ(Outcome(Replace, Staged(), Target()),
            u"backup failed (" + Target() + u"): " + FormatWin32Error(32));
  EXPECT_EQ(TestMachine::ReadBytes(Target()), "old");
  EXPECT_EQ(TestMachine::ReadBytes(Staged()), "new");
  EXPECT_FALSE(TestMachine::Exists(Target() + u".bak"));

  // Only a file goes back after a failed copy: a directory that happens to have the backup's
  // name stays where it is.
  const std::u16string fresh = machine_.Path(u"korvaCF.exe");
  ASSERT_TRUE(platform::CreateDirectoryAt(fresh + u".bak"));
  std::u16string error;
  EXPECT_FALSE(ReplaceFileWithBackup(machine_.Path(u"missing.exe"), fresh, &error));
  EXPECT_FALSE(TestMachine::Exists(fresh));
  EXPECT_NE(platform::GetAttributes(fresh + u".bak") & platform::kFileAttributeDirectory, 0u);
}

TEST_F(FileReplacement, RestoreConsumesTheBackupOrDoesNothing) {
  TestMachine::WriteBytes(Target(), "new");
  EXPECT_TRUE(RestoreFromBackup(Target()));
  EXPECT_EQ(TestMachine::ReadBytes(Target()), "new");
  TestMachine::WriteBytes(Target() + u".bak", "old");
  EXPECT_TRUE(RestoreFromBackup(Target()));
  EXPECT_EQ(TestMachine::ReadBytes(Target()), "old");
  EXPECT_FALSE(TestMachine::Exists(Target() + u".bak"));
  // The target may be gone meanwhile: the backup still comes back.
  TestMachine::WriteBytes(Target() + u".bak", "again");
  ASSERT_TRUE(platform::DeleteFileAt(Target()));
  EXPECT_TRUE(RestoreFromBackup(Target()));
  EXPECT_EQ(TestMachine::ReadBytes(Target()), "again");
  TestMachine::WriteBytes(Target() + u".bak", "stuck");
  platform::InjectFault(platform::FaultPoint::kMoveFile, Target() + u".bak", 5, 1);
  EXPECT_FALSE(RestoreFromBackup(Target()));
}

}  // namespace
}  // namespace vovu
