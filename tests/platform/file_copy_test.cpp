// The copy commit writes its new files with, and the free space it checks first, on both
// targets.
#include <gtest/gtest.h>

#include "foundation/text.h"
#include "platform/fault_injection.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::TestMachine;

// Without replacing, a name that exists is never written: the copy fails with 80 and the file
// there keeps its bytes. Replacing writes over it; a missing source writes nothing.
TEST(FileCopy, CreatesNewUnlessAskedToReplace) {
  TestMachine machine;
  const std::u16string source = machine.Path(u"source.bin");
  const std::u16string target = machine.Path(u"target.bin");
  const std::string bytes(3 << 20, 'n');  // more than one pass of the copy's buffer
  TestMachine::WriteBytes(source, bytes);
  ASSERT_TRUE(platform::CopyFileTo(source, target, /*failIfExists=*/true));
  EXPECT_EQ(TestMachine::ReadBytes(target), bytes);

  TestMachine::WriteBytes(target, "already there");
  EXPECT_FALSE(platform::CopyFileTo(source, target, true));
  EXPECT_EQ(platform::LastError(), platform::kErrorFileExists);
  EXPECT_EQ(TestMachine::ReadBytes(target), "already there");
  ASSERT_TRUE(platform::CopyFileTo(source, target, false));
  EXPECT_EQ(TestMachine::ReadBytes(target), bytes);

  const std::u16string fresh = machine.Path(u"fresh.bin");
  EXPECT_FALSE(platform::CopyFileTo(machine.Path(u"missing.bin"), fresh, true));
  EXPECT_FALSE(TestMachine::Exists(fresh));
}

// A stop set ends the copy with 995 and leaves no part of it; one not set lets it finish.
TEST(FileCopy, AStopEndsTheCopyWithNothingLeft) {
  TestMachine machine;
  const std::u16string source = machine.Path(u"source.bin");
  const std::u16string target = machine.Path(u"target.bin");
  const std::string bytes(3 << 20, 's');
  TestMachine::WriteBytes(source, bytes);
  platform::Event stop;
  ASSERT_TRUE(platform::Event::Create(/*manualReset=*/true, /*initiallySet=*/false, &stop));
  ASSERT_TRUE(platform::CopyFileTo(source, target, /*failIfExists=*/true, &stop));
  EXPECT_EQ(TestMachine::ReadBytes(target), bytes);

  ASSERT_TRUE(stop.Set());
  EXPECT_FALSE(platform::CopyFileTo(source, target, /*failIfExists=*/false, &stop));
  EXPECT_EQ(platform::LastError(), platform::kErrorOperationAborted);
  EXPECT_FALSE(TestMachine::Exists(target));
}

TEST(FileCopy, FreeSpaceOfTheVolumeAndItsSeam) {
  TestMachine machine;
  std::uint64_t free = 0;
  ASSERT_TRUE(platform::GetFreeDiskBytes(machine.Dir(), &free));
  EXPECT_GT(free, 0u);
  EXPECT_FALSE(platform::GetFreeDiskBytes(machine.Path(u"no such folder"), &free));

  platform::InjectFreeDiskBytes(machine.Dir(), 12345);
  ASSERT_TRUE(platform::GetFreeDiskBytes(machine.Dir(), &free));
  EXPECT_EQ(free, 12345u);
  platform::ClearFaults();
  platform::InjectFault(platform::FaultPoint::kDiskFreeSpace, machine.Dir(), 21);
  EXPECT_FALSE(platform::GetFreeDiskBytes(machine.Dir(), &free));
  EXPECT_EQ(platform::LastError(), 21u);
  platform::ClearFaults();
}

}  // namespace
}  // namespace vovu
