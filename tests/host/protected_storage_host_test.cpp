// The protected directory on the host: root ownership, the Administrators group, no links,
// and the tree a user made first, with links swapped in between the service's steps.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "foundation/step_hook.h"
#include "foundation/text.h"
#include "state/protected_storage.h"
#include "support/host/other_user.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

namespace fs = std::filesystem;
using testing::OtherUser;
using testing::TestMachine;
using testing::UserChild;

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
  ASSERT_TRUE(fs::create_directory(TestMachine::Native(outside)));
  chmod(TestMachine::Native(outside).c_str(), 0755);
  TestMachine::WriteBytes(outside + u"\\keep.txt", "keep");

  // A link of the service's own where the directory should be: refused, its target's rights
  // untouched, and removed as a link.
  const std::u16string link = machine.Path(u"link");
  fs::create_directory_symlink(TestMachine::Native(outside), TestMachine::Native(link));
  std::u16string error;
  EXPECT_FALSE(EnsureProtectedDirectory(link, &error));
  EXPECT_EQ(error, u"protected hot-update path is not a normal directory: " + link);
  EXPECT_EQ(StatOf(outside).st_mode & 07777, 0755u);
  RemoveTree(link);
  EXPECT_FALSE(TestMachine::Exists(link));

  // Links inside a protected tree, to a directory and to a file, go without being followed.
  const std::u16string job = machine.Path(u"job");
  ASSERT_TRUE(EnsureProtectedDirectory(job, &error));
  fs::create_directory_symlink(TestMachine::Native(outside),
                               TestMachine::Native(job + u"\\payload"));
  fs::create_symlink(TestMachine::Native(outside + u"\\keep.txt"),
                     TestMachine::Native(job + u"\\package.zip"));
  RemoveTree(job);
  EXPECT_FALSE(TestMachine::Exists(job));
  EXPECT_EQ(TestMachine::ReadBytes(outside + u"\\keep.txt"), "keep");
}

// What the user does at the step: `path` and `target` are host paths of the machine.
struct Swap {
  const char* name;
  HotUpdateStep step;
  int index;
  // Relative to the directory the user made ("VovudIdavUda"), or to its aside name when
  // `inAside`; empty for that directory itself.
  std::string swapped;
  bool inAside;
};

// Renames `path` away (within its directory) and puts a link to `target` in its place, as
// the user who owns it.
std::string SwapForLinkAsUser(const fs::path& path, const fs::path& target) {
  UserChild child(OtherUser{}, [&] {
    std::error_code error;
    fs::rename(path, path.string() + ".gone", error);
    if (!error)
      fs::create_directory_symlink(target, path, error);
    return error ? "swap failed: " + error.message() : std::string();
  });
  return child.Finish();
}

// A user made "VovudIdavUda" first, with "hotupdate\inner\deeper" inside and a file at each
// level. Between two of the service's steps, they swap one of its folders for a link to a
// folder of root's outside the tree. Nothing outside changes, nothing of the user's stays,
// and the tree ends root's with only the protected rights.
TEST(ProtectedDirectoryHost, AUsersTreeWithAFolderSwappedForALinkBetweenStepsNeverLeadsOutside) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  const Swap swaps[] = {
      {"the directory itself, once opened", HotUpdateStep::kProtectedDirectoryOpened, 0, "", false},
      {"a folder inside, once opened", HotUpdateStep::kProtectedDirectoryOpened, 0,
       "hotupdate/inner", false},
      {"a folder inside, once moved aside", HotUpdateStep::kProtectedDirectoryMovedAside, 0,
       "hotupdate", true},
      {"a listed folder, during removal", HotUpdateStep::kTreeDirectoryListed, 1, "hotupdate/inner",
       true},
      {"a listed folder two levels down", HotUpdateStep::kTreeDirectoryListed, 2,
       "hotupdate/inner/deeper", true},
  };
  for (const Swap& swap : swaps) {
    SCOPED_TRACE(swap.name);
    TestMachine machine;
    const fs::path programData = TestMachine::Native(machine.ProgramData());
    const fs::path outside = TestMachine::Native(machine.Path(u"outside"));
    fs::create_directories(outside / "sub");
    std::ofstream(outside / "keep.txt") << "root's own";
    std::ofstream(outside / "sub" / "deep.txt") << "root's own";
    chmod(outside.c_str(), 0755);
    const fs::path mine = programData / "VovudIdavUda";
    UserChild maker(OtherUser{}, [&] {
      std::error_code error;
      fs::create_directories(mine / "hotupdate" / "inner" / "deeper", error);
      for (const fs::path& level : {mine, mine / "hotupdate", mine / "hotupdate" / "inner",
                                    mine / "hotupdate" / "inner" / "deeper"}) {
        std::ofstream(level / "file.txt") << "the user's";
      }
      return error ? error.message() : std::string();
    });
    ASSERT_EQ(maker.Finish(), "");

    bool fired = false;
    std::string swapResult = "not reached";
    SetHotUpdateStepHook([&](HotUpdateStep step, int index) {
      if (fired || step != swap.step || index != swap.index)
        return;
      fired = true;
      fs::path base = mine;
      if (swap.inAside) {
        for (const auto& entry : fs::directory_iterator(programData)) {
          if (entry.path().filename().string().find(".aside-") != std::string::npos)
            base = entry.path();
        }
      }
      swapResult = SwapForLinkAsUser(swap.swapped.empty() ? base : base / swap.swapped, outside);
    });
    std::u16string error;
    const bool ensured = EnsureHotUpdateDirectories(&error);
    SetHotUpdateStepHook({});
    EXPECT_TRUE(ensured) << WideToUtf8(error);
    EXPECT_EQ(swapResult, "");

    // Outside: untouched.
    struct stat st {};
    ASSERT_EQ(lstat(outside.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_TRUE(fs::exists(outside / "keep.txt"));
    EXPECT_TRUE(fs::exists(outside / "sub" / "deep.txt"));
    // The tree: root's, 0770, no ACL entries, and nothing but the hot-update directory.
    for (const fs::path& directory : {mine, mine / "hotupdate"}) {
      ASSERT_EQ(lstat(directory.c_str(), &st), 0) << directory;
      EXPECT_TRUE(S_ISDIR(st.st_mode)) << directory;
      EXPECT_EQ(st.st_uid, 0u) << directory;
      EXPECT_EQ(st.st_gid, 0u) << directory;
      EXPECT_EQ(st.st_mode & 07777, 0770u) << directory;
      EXPECT_LT(getxattr(directory.c_str(), "system.posix_acl_access", nullptr, 0), 0);
      EXPECT_LT(getxattr(directory.c_str(), "system.posix_acl_default", nullptr, 0), 0);
    }
    std::vector<std::string> left;
    for (const auto& entry : fs::recursive_directory_iterator(mine))
      left.push_back(fs::relative(entry.path(), mine).string());
    EXPECT_EQ(left, std::vector<std::string>{"hotupdate"});
    // What went aside was removed; only the user's own renamed leftovers may remain.
    for (const auto& entry : fs::directory_iterator(programData)) {
      const std::string name = entry.path().filename().string();
      EXPECT_EQ(name.find(".aside-"), std::string::npos) << name;
    }
  }
}

}  // namespace
}  // namespace vovu
