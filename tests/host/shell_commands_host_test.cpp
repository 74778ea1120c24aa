// The shell-registration commands for callers identified from real pipe clients: forked
// children that drop to another user in a session of their own.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/pipe.h"
#include "platform/security.h"
#include "platform/sync.h"
#include "service/dispatcher.h"
#include "shell/com_registration.h"
#include "shell/registry_snapshot.h"
#include "shell/sync_root.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

constexpr char16_t kPipeName[] = u"\\\\.\\pipe\\VovuShellCommandsTest";
constexpr char16_t kPipeSddl[] = u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;IU)(A;;GRGW;;;BU)";
constexpr uid_t kNobody = 65534;

// The context the service builds for a client running as `uid` with primary group `gid`.
RequestContext ContextOfClient(uid_t uid, gid_t gid) {
  platform::SecurityDescriptor descriptor;
  EXPECT_TRUE(platform::ConvertSddlToSecurityDescriptor(kPipeSddl, &descriptor));
  platform::PipeHandle instance =
      platform::CreatePipeInstance(kPipeName, platform::PipeInstanceSettings{}, &descriptor);
  EXPECT_TRUE(instance.valid());
  const pid_t child = fork();
  if (child == 0) {
    setsid();
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
      _exit(100);
    platform::PipeHandle client = platform::OpenPipe(kPipeName);
    char reply[8];
    std::uint32_t read = 0;
    if (!client.valid() || !platform::WritePipeMessage(client, "w\0", 2) ||
        !platform::ReadPipeMessage(client, reply, sizeof reply, &read)) {
      _exit(1);
    }
    _exit(0);
  }
  RequestContext context;
  platform::Event stop;
  EXPECT_TRUE(platform::Event::Create(true, false, &stop));
  char buffer[8];
  std::uint32_t read = 0;
  if (platform::ConnectPipeClient(instance, stop) &&
      platform::ReadPipeMessageWithin(instance, buffer, sizeof buffer, &read, 30000, stop)) {
    context = BuildPipeCallerContext(instance);
    EXPECT_TRUE(platform::WritePipeMessageWithin(instance, "O\0K\0", 4, 30000, stop));
    platform::FlushPipe(instance);
  }
  platform::DisconnectPipeClient(instance);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return context;
}

TEST(ShellCommandsHost, AnOrdinaryUserServesOnlyItsOwnSyncRootAndCannotCleanUp) {
  if (geteuid() != 0)
    GTEST_SKIP() << "single-user mode: the emulation needs root to act as other users";
  testing::TestMachine machine;
  platform::SetModulePathForTesting(u"C:\\Korva\\vovudidavuda.exe");
  const RequestContext nobody = ContextOfClient(kNobody, kNobody);
  ASSERT_EQ(nobody.userSid, u"S-1-5-21-1000-1000-1000-65534");
  ASSERT_TRUE(nobody.hasToken);

  const std::u16string own = SyncRootIdForSid(nobody.userSid);
  const std::u16string rootsOwn = SyncRootIdForSid(platform::kLocalSystemSid);
  for (const std::u16string& id : {own, rootsOwn}) {
    platform::RegistryKey key;
    ASSERT_EQ(platform::CreateRegistryKey(platform::kRegistryLocalMachine, SyncRootKeyPath(id),
                                          platform::kKeyAllAccess, &key, nullptr),
              platform::kErrorSuccess);
  }

  std::u16string failure;
  for (const char16_t* word : {u"unregister-com", u"cleanup"}) {
    failure.clear();
    EXPECT_FALSE(ExecuteWhitelistedCommand(word, {}, nobody, &failure));
    EXPECT_EQ(failure, u"admin token required");
  }
  EXPECT_FALSE(
      ExecuteWhitelistedCommand(u"ensure-cloudfiles-handlers", {rootsOwn}, nobody, &failure));
  EXPECT_EQ(failure, u"sync root id does not match caller SID");
  EXPECT_EQ(
      testing::SnapshotTree(platform::kRegistryLocalMachine, SyncRootKeyPath(rootsOwn)).size(), 1u);
  EXPECT_FALSE(
      testing::KeyExists(std::u16string(u"SOFTWARE\\Classes\\CLSID\\") + kHandlerClsids[0]));

  // Its own sync root: the service writes what the user itself may not.
  failure.clear();
  EXPECT_TRUE(ExecuteWhitelistedCommand(u"ensure-cloudfiles-handlers", {own}, nobody, &failure))
      << WideToUtf8(failure);
  EXPECT_EQ(testing::SnapshotTree(platform::kRegistryLocalMachine, SyncRootKeyPath(own)).size(),
            5u);

  // The same user in the root group is an administrator.
  const RequestContext admin = ContextOfClient(kNobody, 0);
  failure.clear();
  EXPECT_TRUE(ExecuteWhitelistedCommand(u"cleanup", {}, admin, &failure)) << WideToUtf8(failure);
  EXPECT_FALSE(testing::KeyExists(SyncRootKeyPath(own)));
  platform::SetModulePathForTesting(u"");
}

}  // namespace
}  // namespace vovu
