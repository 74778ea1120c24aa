// The host's pipes among several users: who a client is, who is an administrator, and who
// may create or open a pipe. Clients of other users are forked children that drop to that
// user before connecting.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/host/core/machine_root.h"
#include "platform/identity.h"
#include "platform/pipe.h"
#include "support/host/other_user.h"
#include "support/test_machine.h"

namespace vovu::platform {
namespace {

using testing::CreateTestPipeInstance;
using testing::ExchangeOnce;
using testing::kNobody;
using testing::TestMachine;
using testing::UserChild;

constexpr char16_t kPipeName[] = u"\\\\.\\pipe\\VovuHostTest";
constexpr char16_t kNobodySid[] = u"S-1-5-21-1000-1000-1000-65534";

TEST(PipeIdentityHost, UsersAreNamedByUidAndAdministratorsByUidOrRootGroup) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  TestMachine machine;
  // A directory only root may write to: the impersonated client's rights decide.
  const std::string rootOnly = host::MachineRoot() + "/root-only";
  ASSERT_EQ(mkdir(rootOnly.c_str(), 0755), 0);
  const std::string probe = rootOnly + "/probe";

  const struct {
    const char* what;
    testing::OtherUser user;
    const char16_t* sid;
    bool admin;
  } cases[] = {
      {"nobody", {kNobody, kNobody, {}}, kNobodySid, false},
      {"nobody in the root group", {kNobody, kNobody, {0}}, kNobodySid, true},
      {"nobody with the root group as primary", {kNobody, 0, {}}, kNobodySid, true},
      // Root is LocalSystem; it stays in the test's own session.
      {"root", {0, 0, {0}, false}, kLocalSystemSid, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PipeHandle instance = CreateTestPipeInstance(kPipeName, true);
    UserChild child(c.user, [] { return ExchangeOnce(kPipeName); });
    std::u16string sid;
    std::uint32_t session = 0;
    bool hasSession = false;
    bool admin = !c.admin;
    bool createdProbe = false;
    EXPECT_TRUE(testing::ServeOne(instance, [&] {
      ASSERT_TRUE(ImpersonatePipeClient(instance));
      TokenHandle token = OpenCurrentThreadToken();
      const int fd = open(probe.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
      createdProbe = fd >= 0 && close(fd) == 0 && unlink(probe.c_str()) == 0;
      EXPECT_TRUE(RevertToSelfIdentity());
      ASSERT_TRUE(token.valid());
      EXPECT_TRUE(GetTokenUserSidString(token, &sid));
      hasSession = GetTokenSessionId(token, &session);
      EXPECT_TRUE(CheckAdministratorsMembership(token, &admin));
    }));
    const pid_t pid = child.pid();
    EXPECT_EQ(child.Finish(), "0");
    EXPECT_EQ(sid, c.sid);
    EXPECT_EQ(admin, c.admin);
    EXPECT_TRUE(hasSession);
    EXPECT_EQ(session, static_cast<std::uint32_t>(c.user.newSession ? pid : getsid(0)));
    EXPECT_EQ(createdProbe, c.user.uid == 0);
  }

  // The process token is a primary token: the membership test refuses it, as on Windows.
  TokenHandle self = OpenCurrentProcessToken();
  bool member = true;
  EXPECT_FALSE(CheckAdministratorsMembership(self, &member));
  EXPECT_EQ(LastError(), kErrorNoImpersonationToken);
  EXPECT_TRUE(member);
}

TEST(PipeDirectoryHost, SocketsLieInARootOwnedDirectoryThatOnlyTheServerWrites) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  TestMachine machine;
  const std::string directory = host::MachineRoot() + "/pipes";
  const auto status = [](const std::string& path) {
    struct stat st = {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
  };
  {
    PipeHandle instance = CreateTestPipeInstance(kPipeName, true);
    struct stat st = status(directory);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    // The descriptor lets every user open the pipe.
    st = status(directory + "/vovuhosttest");
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
    EXPECT_EQ(st.st_mode & 0777, 0777u);
  }
  {
    // Default security: only the server's user and group may open it.
    PipeHandle instance = CreateTestPipeInstance(kPipeName, false);
    EXPECT_EQ(UserChild({}, [] { return ExchangeOnce(kPipeName); }).Finish(),
              std::to_string(kErrorAccessDenied));
  }
  // A directory others could write is closed again by the next server.
  ASSERT_EQ(chmod(directory.c_str(), 0777), 0);
  {
    PipeHandle instance = CreateTestPipeInstance(kPipeName, true);
    EXPECT_EQ(status(directory).st_mode & 07777, 0755u);
  }
  // A directory of another user is refused by servers and clients alike.
  ASSERT_EQ(chown(directory.c_str(), kNobody, kNobody), 0);
  EXPECT_FALSE(CreatePipeInstance(kPipeName, PipeInstanceSettings{}, nullptr).valid());
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  EXPECT_FALSE(OpenPipe(kPipeName).valid());
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  EXPECT_FALSE(WaitForPipeInstance(kPipeName, 0));
  EXPECT_EQ(LastError(), kErrorAccessDenied);
}

TEST(PipeHost, NamesNeedThePrefixImpersonationNeedsAMessageAndAReplyToAGoneClientFails) {
  TestMachine machine;
  EXPECT_FALSE(CreatePipeInstance(u"\\\\.\\mailslot\\x", PipeInstanceSettings{}, nullptr).valid());
  EXPECT_EQ(LastError(), kErrorInvalidName);
  EXPECT_FALSE(OpenPipe(u"\\\\.\\pipe\\").valid());
  EXPECT_EQ(LastError(), kErrorInvalidName);

  // A stale socket of a server that is gone counts as no pipe.
  {
    PipeHandle instance = CreateTestPipeInstance(kPipeName, true);
    const std::string socketPath = host::MachineRoot() + "/pipes/vovuhosttest";
    ASSERT_EQ(link(socketPath.c_str(), (socketPath + ".stale").c_str()), 0);
    instance.reset();
    ASSERT_EQ(rename((socketPath + ".stale").c_str(), socketPath.c_str()), 0);
    EXPECT_FALSE(OpenPipe(kPipeName).valid());
    EXPECT_EQ(LastError(), kErrorFileNotFound);
  }

  // Windows accepts a write to a client that has closed its end only under wine.
  PipeHandle instance = CreateTestPipeInstance(kPipeName, true);
  Event stop;
  ASSERT_TRUE(Event::Create(true, false, &stop));
  {
    PipeHandle client;
    std::thread opener([&] { client = OpenPipe(kPipeName); });
    ASSERT_TRUE(ConnectPipeClient(instance, stop));
    opener.join();
    // Before the client's first message there is nobody to impersonate.
    EXPECT_FALSE(ImpersonatePipeClient(instance));
    EXPECT_EQ(LastError(), kErrorCannotImpersonate);
    EXPECT_FALSE(OpenCurrentThreadToken().valid());
    EXPECT_EQ(LastError(), kErrorNoToken);
    ASSERT_TRUE(WritePipeMessage(client, "x\0", 2));
  }
  char buffer[8];
  std::uint32_t read = 0;
  ASSERT_TRUE(ReadPipeMessageWithin(instance, buffer, sizeof buffer, &read, 30000, stop));
  EXPECT_FALSE(WritePipeMessageWithin(instance, "O\0K\0", 4, 30000, stop));
  EXPECT_EQ(LastError(), kErrorNoData);
}

}  // namespace
}  // namespace vovu::platform
