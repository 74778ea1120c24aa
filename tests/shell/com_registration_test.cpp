// The handler classes in HKLM's class registry, in both views. Under wine these tests write
// the prefix's real class keys and remove them again.
#include "shell/com_registration.h"

#include <gtest/gtest.h>

#include "platform/environment.h"
#include "shell/registry_snapshot.h"
#include "support/machine_rights.h"
#include "support/outcome.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using platform::kKeyWow64_32Key;
using platform::kKeyWow64_64Key;
using platform::kRegistryLocalMachine;
using testing::Outcome;
using testing::SnapshotTree;
using testing::SzValue;
using testing::TreeSnapshot;

std::u16string ClassPath(const char16_t* clsid) {
  return std::u16string(u"SOFTWARE\\Classes\\CLSID\\") + clsid;
}

class ComRegistration : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_MACHINE_KEY_RIGHTS();
    platform::SetModulePathForTesting(u"C:\\A\\B\\svc.exe");
  }
  void TearDown() override {
    std::u16string ignored;
    (void)UnregisterComServers(&ignored);
  }

  // Every class key in both views, 64-bit first.
  static std::vector<TreeSnapshot> AllClasses() {
    std::vector<TreeSnapshot> trees;
    for (const char16_t* clsid : kHandlerClsids) {
      for (std::uint32_t view : kClassViews)
        trees.push_back(SnapshotTree(kRegistryLocalMachine, ClassPath(clsid), view));
    }
    return trees;
  }

  testing::TestMachine machine_;
};

TEST_F(ComRegistration, RegisteringTwiceLeavesWhatOnceLeavesAndUnregisteringRemovesBothViews) {
  // Nothing there yet: removing succeeds.
  ASSERT_EQ(Outcome(UnregisterComServers), u"ok");

  EXPECT_EQ(ComServerCommandLine(), u"\"C:\\A\\B\\korvaCF.exe\" -Embedding");
  ASSERT_EQ(Outcome(RegisterComServers), u"ok");
  const std::vector<TreeSnapshot> once = AllClasses();
  const TreeSnapshot expected = {
      {u"\\", {}},
      {u"|", SzValue(u"KorvaCF Cloud Files Handler")},
      {u"LocalServer32\\", {}},
      {u"LocalServer32|", SzValue(u"\"C:\\A\\B\\korvaCF.exe\" -Embedding")},
  };
  for (const TreeSnapshot& tree : once)
    EXPECT_EQ(tree, expected);
  ASSERT_EQ(Outcome(RegisterComServers), u"ok");
  EXPECT_EQ(AllClasses(), once);

  // The 32-bit view is its own key: removing one view leaves the other.
  ASSERT_EQ(Outcome(UnregisterComServer, kHandlerClsids[0], kKeyWow64_64Key), u"ok");
  EXPECT_TRUE(
      SnapshotTree(kRegistryLocalMachine, ClassPath(kHandlerClsids[0]), kKeyWow64_64Key).empty());
  EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, ClassPath(kHandlerClsids[0]), kKeyWow64_32Key),
            expected);

  ASSERT_EQ(Outcome(UnregisterComServers), u"ok");
  for (const TreeSnapshot& tree : AllClasses())
    EXPECT_TRUE(tree.empty());

  // What is registered is the quoted helper beside the service as it runs now.
  platform::SetModulePathForTesting(u"C:\\Program Files\\Korva Sync\\vovudidavuda.exe");
  const std::u16string moved = u"\"C:\\Program Files\\Korva Sync\\korvaCF.exe\" -Embedding";
  EXPECT_EQ(ComServerCommandLine(), moved);
  ASSERT_EQ(Outcome(RegisterComServer, kHandlerClsids[3], kKeyWow64_32Key), u"ok");
  EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, ClassPath(kHandlerClsids[3]),
                         kKeyWow64_32Key)[u"LocalServer32|"],
            SzValue(moved));
}

}  // namespace
}  // namespace vovu
