#include "system/file_replacement.h"

#include <gtest/gtest.h>

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/fault_injection.h"
#include "platform/files.h"
#include "support/outcome.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::Outcome;
using testing::TestMachine;

// SwapInNewCopy without its step number, for Outcome.
bool Swap(const std::u16string& target, std::u16string* error) {
  return SwapInNewCopy(target, error);
}

class FileReplacement : public ::testing::Test {
 protected:
  std::u16string Target() const { return machine_.Path(u"app.asar"); }
  std::u16string Fresh() const { return NewCopyPathOf(Target()); }
  TestMachine machine_;
};

TEST_F(FileReplacement, KeepsTheOldFileAsBackupAndRenamesTheNewCopyIn) {
  TestMachine::WriteBytes(Target(), "old");
  TestMachine::WriteBytes(Target() + u".bak", "older backup");
  TestMachine::WriteBytes(Fresh(), "new");
  ASSERT_EQ(Outcome(Swap, Target()), u"ok");
  EXPECT_EQ(TestMachine::ReadBytes(Target()), "new");
  EXPECT_EQ(TestMachine::ReadBytes(Target() + u".bak"), "old");
  EXPECT_FALSE(TestMachine::Exists(Fresh()));

  // A missing target is simply created, with no backup.
  const std::u16string fresh = machine_.Path(u"korvaCF.exe");
  TestMachine::WriteBytes(NewCopyPathOf(fresh), "helper");
  ASSERT_EQ(Outcome(Swap, fresh), u"ok");
  EXPECT_EQ(TestMachine::ReadBytes(fresh), "helper");
  EXPECT_FALSE(TestMachine::Exists(fresh + u".bak"));
}

TEST_F(FileReplacement, AFailedStepLeavesTheOldFileInPlace) {
  TestMachine::WriteBytes(Target(), "old");
  // No new copy, or a folder of its name: nothing moves.
  EXPECT_EQ(Outcome(Swap, Target()), u"replace failed (" + Target() + u"): " + FormatWin32Error(2));
  ASSERT_TRUE(platform::CreateDirectoryAt(Fresh()));
  EXPECT_EQ(Outcome(Swap, Target()), u"replace failed (" + Target() + u"): " + FormatWin32Error(5));
  ASSERT_TRUE(platform::RemoveDirectoryAt(Fresh()));
  EXPECT_EQ(TestMachine::ReadBytes(Target()), "old");
  EXPECT_FALSE(TestMachine::Exists(Target() + u".bak"));

  // The rename of the new copy fails: the old file is put back, the copy stays.
  TestMachine::WriteBytes(Fresh(), "new");
  platform::InjectFault(platform::FaultPoint::kMoveFile, Fresh(), 32, 1);
  EXPECT_EQ(Outcome(Swap, Target()),
            u"replace failed (" + Target() + u"): " + FormatWin32Error(32));
  EXPECT_EQ(TestMachine::ReadBytes(Target()), "old");
  EXPECT_EQ(TestMachine::ReadBytes(Fresh()), "new");
  EXPECT_FALSE(TestMachine::Exists(Target() + u".bak"));

  // The target is locked against renaming: nothing changes.
  platform::InjectFault(platform::FaultPoint::kMoveFile, Target(), 32, 1);
  EXPECT_EQ(Outcome(Swap, Target()), u"backup failed (" + Target() + u"): " + FormatWin32Error(32));
  EXPECT_EQ(TestMachine::ReadBytes(Target()), "old");
  EXPECT_EQ(TestMachine::ReadBytes(Fresh()), "new");
  EXPECT_FALSE(TestMachine::Exists(Target() + u".bak"));
}

// A copy left by a crash goes; a failed removal says which and why. (A link of that name is
// the commit's host test: it goes as itself.)
TEST_F(FileReplacement, DiscardingTheNewCopy) {
  std::u16string error;
  EXPECT_TRUE(DiscardNewCopy(Target(), &error));  // nothing there
  TestMachine::WriteBytes(Fresh(), "left by a crash");
  platform::InjectFault(platform::FaultPoint::kDeleteFile, Fresh(), 5, 1);
  EXPECT_FALSE(DiscardNewCopy(Target(), &error));
  EXPECT_EQ(error, u"cannot remove " + Fresh() + u": " + FormatWin32Error(5));
  EXPECT_TRUE(DiscardNewCopy(Target(), &error)) << WideToUtf8(error);
  EXPECT_FALSE(TestMachine::Exists(Fresh()));
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
