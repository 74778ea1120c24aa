// The shell-registration commands through the whitelist: their caller checks, and that a
// refused request writes nothing.
#include <gtest/gtest.h>

#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/identity.h"
#include "service/dispatcher.h"
#include "shell/com_registration.h"
#include "shell/registry_snapshot.h"
#include "shell/sync_root.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using platform::kRegistryLocalMachine;
using testing::KeyExists;
using testing::SnapshotTree;

constexpr char16_t kUserSid[] = u"S-1-5-21-1-2-3-1001";
constexpr char16_t kOtherSid[] = u"S-1-5-21-1-2-3-1002";

class ShellCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetModulePathForTesting(u"C:\\Korva\\vovudidavuda.exe");
    user_.userSid = kUserSid;
    system_.userSid = platform::kLocalSystemSid;
  }
  void TearDown() override {
    for (const char16_t* sid : {kUserSid, kOtherSid}) {
      (void)platform::DeleteRegistryTree(kRegistryLocalMachine,
                                         SyncRootKeyPath(SyncRootIdForSid(sid)));
    }
    std::u16string ignored;
    (void)UnregisterComServers(&ignored);
    platform::SetModulePathForTesting(u"");
  }

  static void CreateSyncRootKey(const std::u16string& sid) {
    platform::RegistryKey key;
    ASSERT_EQ(
        platform::CreateRegistryKey(kRegistryLocalMachine, SyncRootKeyPath(SyncRootIdForSid(sid)),
                                    platform::kKeyAllAccess, &key, nullptr),
        platform::kErrorSuccess);
  }

  static bool ClassRegistered() {
    return KeyExists(std::u16string(u"SOFTWARE\\Classes\\CLSID\\") + kHandlerClsids[0]);
  }

  bool Run(const std::u16string& word, const std::vector<std::u16string>& args,
           const RequestContext& context) {
    failure_.clear();
    return ExecuteWhitelistedCommand(word, args, context, &failure_);
  }

  testing::TestMachine machine_;
  RequestContext user_;
  RequestContext system_;
  std::u16string failure_;
};

TEST_F(ShellCommands, AdministrativeCommandsNeedAnAdministratorAndLocalSystemIsOne) {
  std::u16string error;
  ASSERT_TRUE(RegisterComServers(&error));
  for (const char16_t* word : {u"unregister-com", u"cleanup"}) {
    EXPECT_FALSE(Run(word, {}, user_));
    EXPECT_EQ(failure_, u"admin token required");
    EXPECT_FALSE(Run(word, {}, RequestContext()));
    EXPECT_EQ(failure_, u"admin token required");
  }
  EXPECT_TRUE(ClassRegistered());

  // LocalSystem is recognised by its SID alone; extra arguments are ignored.
  EXPECT_TRUE(Run(u"unregister-com", {u"ignored"}, system_)) << WideToUtf8(failure_);
  EXPECT_FALSE(ClassRegistered());
  ASSERT_TRUE(RegisterComServers(&error));
  EXPECT_TRUE(Run(u"cleanup", {}, system_)) << WideToUtf8(failure_);
  EXPECT_FALSE(ClassRegistered());
}

TEST_F(ShellCommands, HandlerCommandsServeOnlyTheCallersOwnSyncRoot) {
  CreateSyncRootKey(kUserSid);
  CreateSyncRootKey(kOtherSid);
  const std::u16string own = SyncRootIdForSid(kUserSid);
  const std::u16string other = SyncRootIdForSid(kOtherSid);
  for (const char16_t* word : {u"ensure-cloudfiles-handlers", u"remove-cloudfiles-handlers"}) {
    EXPECT_FALSE(Run(word, {}, user_));
    EXPECT_EQ(failure_, u"missing SyncRootId");
    EXPECT_FALSE(Run(word, {other}, user_));
    EXPECT_EQ(failure_, u"sync root id does not match caller SID");
    EXPECT_FALSE(Run(word, {own}, RequestContext()));
    EXPECT_EQ(failure_, u"caller SID is unavailable");
  }
  // Administrators get no exception to the rule.
  EXPECT_FALSE(Run(u"ensure-cloudfiles-handlers", {own}, system_));
  EXPECT_EQ(failure_, u"sync root id does not match caller SID");
  // Nothing was written by the refusals.
  EXPECT_FALSE(ClassRegistered());
  EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, SyncRootKeyPath(other)).size(), 1u);
  EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, SyncRootKeyPath(own)).size(), 1u);

  EXPECT_TRUE(Run(u"ensure-cloudfiles-handlers", {own, u"extra"}, user_)) << WideToUtf8(failure_);
  EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, SyncRootKeyPath(own)).size(), 5u);
  EXPECT_TRUE(ClassRegistered());
  EXPECT_TRUE(Run(u"remove-cloudfiles-handlers", {own}, user_)) << WideToUtf8(failure_);
  EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, SyncRootKeyPath(own)).size(), 1u);
}

}  // namespace
}  // namespace vovu
