// The shell-registration commands for callers identified from real pipe clients: forked
// children that drop to another user in a session of their own.
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/environment.h"
#include "platform/pipe.h"
#include "service/dispatcher.h"
#include "shell/com_registration.h"
#include "shell/registry_snapshot.h"
#include "shell/sync_root.h"
#include "support/host/other_user.h"
#include "support/outcome.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::kNobody;

constexpr char16_t kPipeName[] = u"\\\\.\\pipe\\VovuShellCommandsTest";

// The context the service builds for a client running as nobody with primary group `gid`.
RequestContext ContextOfClient(gid_t gid) {
  const platform::PipeHandle instance = testing::CreateTestPipeInstance(kPipeName, true);
  testing::UserChild child({kNobody, gid, {}}, [] { return testing::ExchangeOnce(kPipeName); });
  RequestContext context;
  EXPECT_TRUE(testing::ServeOne(instance, [&] { context = BuildPipeCallerContext(instance); }));
  EXPECT_EQ(child.Finish(), "0");
  return context;
}

// The whitelisted command's outcome for `context`, as testing::Outcome gives it.
std::u16string Command(const std::u16string& word, const std::vector<std::u16string>& args,
                       const RequestContext& context) {
  return testing::Outcome(ExecuteWhitelistedCommand, word, args, context);
}

TEST(ShellCommandsHost, AnOrdinaryUserIsServedItsOwnSyncRootAndOnlyTheRootGroupCleansUp) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  testing::TestMachine machine;
  platform::SetModulePathForTesting(u"C:\\Korva\\vovudidavuda.exe");
  const RequestContext nobody = ContextOfClient(kNobody);
  ASSERT_EQ(nobody.userSid, testing::kNobodySid);
  ASSERT_TRUE(nobody.hasToken);

  // Its own sync root: the service writes what the user itself may not.
  const std::u16string own = SyncRootIdForSid(nobody.userSid);
  (void)testing::CreateKey(platform::kRegistryLocalMachine, SyncRootKeyPath(own));
  EXPECT_EQ(Command(u"ensure-cloudfiles-handlers", {own}, nobody), u"ok");
  EXPECT_EQ(testing::SnapshotTree(platform::kRegistryLocalMachine, SyncRootKeyPath(own)).size(),
            5u);
  // A real token of an ordinary user is no administrator's (each word's refusal is the
  // command suite's).
  EXPECT_EQ(Command(u"cleanup", {}, nobody), u"admin token required");
  EXPECT_TRUE(testing::KeyExists(SyncRootKeyPath(own)));

  // The same user in the root group is an administrator.
  EXPECT_EQ(Command(u"cleanup", {}, ContextOfClient(0)), u"ok");
  EXPECT_FALSE(testing::KeyExists(SyncRootKeyPath(own)));
  platform::SetModulePathForTesting(u"");
}

}  // namespace
}  // namespace vovu
