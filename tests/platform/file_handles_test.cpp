// Files and directories by handle, on both targets: what the protected tree's removal and
// the moving aside of another user's directory rely on.
#include "platform/file_handles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "foundation/text.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::TestMachine;

std::vector<std::u16string> Names(const platform::FileHandle& directory) {
  std::vector<platform::FindData> entries;
  EXPECT_TRUE(platform::ListDirectoryByHandle(directory, &entries));
  std::vector<std::u16string> names;
  for (const platform::FindData& entry : entries)
    names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(FileHandles, ADirectoryIsRenamedListedAndDeletedThroughItsHandleOnly) {
  TestMachine machine;
  const std::u16string top = machine.Path(u"top");
  ASSERT_TRUE(platform::CreateDirectoryAt(top));
  ASSERT_TRUE(platform::CreateDirectoryAt(top + u"\\sub"));
  TestMachine::WriteBytes(top + u"\\file.txt", "x");
  TestMachine::WriteBytes(machine.Path(u"taken"), "someone else's");

  const platform::FileHandle handle = platform::OpenEntryNoFollow(top);
  const platform::FileHandle parent = platform::OpenDirectoryForNames(machine.Dir());
  ASSERT_TRUE(handle);
  ASSERT_TRUE(parent);
  EXPECT_EQ(platform::GetHandleAttributes(handle) & platform::kFileAttributeDirectory,
            platform::kFileAttributeDirectory);
  EXPECT_EQ(Names(handle), (std::vector<std::u16string>{u"file.txt", u"sub"}));

  // A taken name is never replaced; a free one is taken in the same folder.
  EXPECT_FALSE(platform::RenameByHandle(handle, parent, u"taken"));
  EXPECT_EQ(platform::LastError(), platform::kErrorAlreadyExists);
  EXPECT_EQ(TestMachine::ReadBytes(machine.Path(u"taken")), "someone else's");
  ASSERT_TRUE(platform::RenameByHandle(handle, parent, u"aside"));
  EXPECT_FALSE(TestMachine::Exists(top));
  EXPECT_TRUE(TestMachine::Exists(machine.Path(u"aside\\file.txt")));

  // Children by name relative to the handle; names that would leave it are refused.
  for (const char16_t* bad : {u"..", u".", u"sub\\..\\..", u""}) {
    EXPECT_FALSE(platform::OpenChildNoFollow(handle, bad)) << WideToUtf8(bad);
    EXPECT_EQ(platform::LastError(), platform::kErrorInvalidName) << WideToUtf8(bad);
  }
  EXPECT_FALSE(platform::DeleteByHandle(handle, machine.Path(u"aside")));
  EXPECT_EQ(platform::LastError(), platform::kErrorDirNotEmpty);
  for (const char16_t* name : {u"file.txt", u"sub"}) {
    const platform::FileHandle child = platform::OpenChildNoFollow(handle, name);
    ASSERT_TRUE(child) << WideToUtf8(name);
    EXPECT_TRUE(platform::DeleteByHandle(child, machine.Path(u"aside\\") + name));
  }
  EXPECT_TRUE(Names(handle).empty());
  EXPECT_TRUE(platform::DeleteByHandle(handle, machine.Path(u"aside")));
}

}  // namespace
}  // namespace vovu
