// The protected directory on the host: root ownership, the Administrators group, no links.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "state/protected_storage.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::TestMachine;

struct stat StatOf(const std::u16string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(TestMachine::Native(path).c_str(), &st), 0);
  return st;
}

TEST(ProtectedDirectoryHost, OnlySystemAndAdministratorsKeepAccessEvenAfterLoosening) {
  TestMachine machine;
  const std::u16string path = machine.Path(u"job");
  std::u16string error;
  for (int pass = 0; pass < 2; ++pass) {  // made, then loosened and made again
    ASSERT_TRUE(EnsureProtectedDirectory(path, &error));
    const struct stat st = StatOf(path);
    EXPECT_EQ(st.st_mode & 07777, 0770u);
    if (geteuid() == 0) {
      EXPECT_EQ(st.st_uid, 0u);
      EXPECT_EQ(st.st_gid, 0u);
    }
    chmod(TestMachine::Native(path).c_str(), 0777);
  }
}

TEST(ProtectedDirectoryHost, LinksAreRefusedInPlaceAndRemovedFromATreeWithoutBeingFollowed) {
  TestMachine machine;
  const std::u16string outside = machine.Path(u"outside");
  ASSERT_TRUE(std::filesystem::create_directory(TestMachine::Native(outside)));
  chmod(TestMachine::Native(outside).c_str(), 0755);
  TestMachine::WriteBytes(outside + u"\\keep.txt", "keep");

  // A link where the directory should be: refused, its target's rights untouched, and
  // removed as a link.
  const std::u16string link = machine.Path(u"link");
  std::filesystem::create_directory_symlink(TestMachine::Native(outside),
                                            TestMachine::Native(link));
  std::u16string error;
  EXPECT_FALSE(EnsureProtectedDirectory(link, &error));
  EXPECT_EQ(error, u"protected hot-update path is not a normal directory: " + link);
  EXPECT_EQ(StatOf(outside).st_mode & 07777, 0755u);
  RemoveTree(link);
  EXPECT_FALSE(TestMachine::Exists(link));

  // Links inside a protected tree, to a directory and to a file, go without being followed.
  const std::u16string job = machine.Path(u"job");
  ASSERT_TRUE(EnsureProtectedDirectory(job, &error));
  std::filesystem::create_directory_symlink(TestMachine::Native(outside),
                                            TestMachine::Native(job + u"\\payload"));
  std::filesystem::create_symlink(TestMachine::Native(outside + u"\\keep.txt"),
                                  TestMachine::Native(job + u"\\package.zip"));
  RemoveTree(job);
  EXPECT_FALSE(TestMachine::Exists(job));
  EXPECT_EQ(TestMachine::ReadBytes(outside + u"\\keep.txt"), "keep");
}

}  // namespace
}  // namespace vovu
