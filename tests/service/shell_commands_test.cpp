// The shell-registration commands through the whitelist: their caller checks, and that a
// refused request writes nothing.
#include <gtest/gtest.h>

#include "platform/environment.h"
#include "platform/identity.h"
#include "service/dispatcher.h"
#include "shell/com_registration.h"
#include "shell/registry_snapshot.h"
#include "shell/sync_root.h"
#include "support/machine_rights.h"
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
    REQUIRE_MACHINE_KEY_RIGHTS();
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

  // "OK", or the reason the whitelist gave for refusing.
  static std::u16string Run(const std::u16string& word, const std::vector<std::u16string>& args,
                            const RequestContext& context) {
    std::u16string failure;
    return ExecuteWhitelistedCommand(word, args, context, &failure) ? u"OK" : failure;
  }

  testing::TestMachine machine_;
  RequestContext user_;
  RequestContext system_;
};

TEST_F(ShellCommands, AdministrativeCommandsNeedAnAdministratorAndLocalSystemIsOne) {
  std::u16string error;
  ASSERT_TRUE(RegisterComServers(&error));
  for (const char16_t* word : {u"unregister-com", u"cleanup"}) {
    EXPECT_EQ(Run(word, {}, user_), u"admin token required");
    EXPECT_EQ(Run(word, {}, RequestContext()), u"admin token required");
  }
  EXPECT_TRUE(ClassRegistered());

  // LocalSystem is recognised by its SID alone; extra arguments are ignored.
  EXPECT_EQ(Run(u"unregister-com", {u"ignored"}, system_), u"OK");
  EXPECT_FALSE(ClassRegistered());
  ASSERT_TRUE(RegisterComServers(&error));
  EXPECT_EQ(Run(u"cleanup", {}, system_), u"OK");
  EXPECT_FALSE(ClassRegistered());
}

TEST_F(ShellCommands, HandlerCommandsServeOnlyTheCallersOwnSyncRoot) {
  CreateSyncRootKey(kUserSid);
  CreateSyncRootKey(kOtherSid);
  const std::u16string own = SyncRootIdForSid(kUserSid);
  const std::u16string other = SyncRootIdForSid(kOtherSid);
  for (const char16_t* word : {u"ensure-cloudfiles-handlers", u"remove-cloudfiles-handlers"}) {
    EXPECT_EQ(Run(word, {}, user_), u"missing SyncRootId");
    EXPECT_EQ(Run(word, {other}, user_), u"sync root id does not match caller SID");
    EXPECT_EQ(Run(word, {own}, RequestContext()), u"caller SID is unavailable");
  }
  // Administrators get no exception to the rule.
  EXPECT_EQ(Run(u"ensure-cloudfiles-handlers", {own}, system_),
            u"sync root id does not match caller SID");
  // Nothing was written by the refusals.
  EXPECT_FALSE(ClassRegistered());
  EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, SyncRootKeyPath(other)).size(), 1u);
  EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, SyncRootKeyPath(own)).size(), 1u);

  EXPECT_EQ(Run(u"ensure-cloudfiles-handlers", {own, u"extra"}, user_), u"OK");
  EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, SyncRootKeyPath(own)).size(), 5u);
  EXPECT_TRUE(ClassRegistered());
  EXPECT_EQ(Run(u"remove-cloudfiles-handlers", {own}, user_), u"OK");
  EXPECT_EQ(SnapshotTree(kRegistryLocalMachine, SyncRootKeyPath(own)).size(), 1u);
}

}  // namespace
}  // namespace vovu
