#include "foundation/file_io.h"

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/fault_injection.h"
#include "platform/files.h"
#include "support/outcome.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::ErrorAfter;
using testing::TestMachine;

TEST(ReadFile, WholeFileBytesAndUtf8TextWithoutBomHandling) {
  TestMachine machine;
  const std::u16string path = machine.Path(u"doc.json");
  TestMachine::WriteBytes(path, std::string("\xEF\xBB\xBF{\"a\":\"\xC3\xA9\"}\0x", 16));
  std::vector<char> bytes;
  ASSERT_TRUE(ReadFileBytes(path, &bytes));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
            std::string("\xEF\xBB\xBF{\"a\":\"\xC3\xA9\"}\0x", 16));
  std::u16string text;
  ASSERT_TRUE(ReadUtf8TextFile(path, &text));
  EXPECT_EQ(text, std::u16string(u"\uFEFF{\"a\":\"\u00E9\"}\0x", 13));

  TestMachine::WriteBytes(path, "");
  ASSERT_TRUE(ReadFileBytes(path, &bytes));
  EXPECT_TRUE(bytes.empty());

  EXPECT_EQ(ErrorAfter(ReadFileBytes(machine.Path(u"missing"), &bytes)),
            platform::kErrorFileNotFound);
  EXPECT_EQ(ErrorAfter(ReadFileBytes(machine.Path(u"no\\such\\dir"), &bytes)),
            platform::kErrorPathNotFound);
}

TEST(AtomicWrite, ReplacesTheTargetLeavesNoTemporaryAndFailsWithoutHarm) {
  TestMachine machine;
  const std::u16string path = machine.Path(u"state.json");
  ASSERT_TRUE(WriteFileAtomic(path, std::string("first")));
  ASSERT_TRUE(WriteFileAtomic(path, std::string("second, longer")));
  EXPECT_EQ(TestMachine::ReadBytes(path), "second, longer");
  EXPECT_FALSE(TestMachine::Exists(path + u".tmp"));
  // An older temporary left by a failed write is replaced, not appended to.
  TestMachine::WriteBytes(path + u".tmp", "stale stale stale stale");
  ASSERT_TRUE(WriteFileAtomic(path, std::string("third")));
  EXPECT_EQ(TestMachine::ReadBytes(path), "third");

  // Every failed step leaves the old file whole.
  platform::InjectFault(platform::FaultPoint::kCreateFileForWrite, path + u".tmp", 5, 1);
  EXPECT_EQ(ErrorAfter(WriteFileAtomic(path, std::string("new"))), 5u);
  EXPECT_FALSE(TestMachine::Exists(path + u".tmp"));

  // A failed write leaves its temporary file behind; the target is untouched.
  platform::InjectFault(platform::FaultPoint::kWriteFile, u"", 112, 1);
  EXPECT_EQ(ErrorAfter(WriteFileAtomic(path, std::string("new"))), 112u);
  EXPECT_TRUE(TestMachine::Exists(path + u".tmp"));

  platform::InjectFault(platform::FaultPoint::kMoveFile, path, 32, 1);
  EXPECT_EQ(ErrorAfter(WriteFileAtomic(path, std::string("new"))), 32u);
  EXPECT_EQ(TestMachine::ReadBytes(path), "third");

  // Writing into a folder that does not exist fails at the temporary file.
  EXPECT_EQ(ErrorAfter(WriteFileAtomic(machine.Path(u"absent\\state.json"), std::string("x"))),
            platform::kErrorPathNotFound);
}

}  // namespace
}  // namespace vovu
