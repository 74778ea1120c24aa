// The host's pipes among several users: who a client is, who is an administrator, and who
// may create or open a pipe. Clients of other users are forked children that drop to that
// user before connecting.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/host/machine_root.h"
#include "platform/identity.h"
#include "platform/pipe.h"
#include "support/test_machine.h"

namespace vovu::platform {
namespace {

using testing::TestMachine;

constexpr char16_t kPipeName[] = u"\\\\.\\pipe\\VovuHostTest";
constexpr char16_t kPipeSddl[] = u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;IU)(A;;GRGW;;;BU)";
constexpr uid_t kNobody = 65534;

#define REQUIRE_ROOT() \
  if (geteuid() != 0)  \
  GTEST_SKIP() << "single-user mode: the emulation needs root to act as other users"

PipeHandle CreateInstance(bool withSecurity) {
  SecurityDescriptor descriptor;
  EXPECT_TRUE(ConvertSddlToSecurityDescriptor(kPipeSddl, &descriptor));
  PipeHandle instance =
      CreatePipeInstance(kPipeName, PipeInstanceSettings{}, withSecurity ? &descriptor : nullptr);
  EXPECT_TRUE(instance.valid()) << "error=" << LastError();
  return instance;
}

// One request and reply as the given user, in a forked child of its own session. The
// child's exit status is 0 after a reply, else the Win32 error that stopped it.
pid_t ForkClient(uid_t uid, gid_t gid, std::vector<gid_t> groups) {
  const pid_t child = fork();
  if (child != 0)
    return child;
  setsid();
  if (setgroups(groups.size(), groups.data()) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
    _exit(100);
  PipeHandle client = OpenPipe(kPipeName);
  char reply[64];
  std::uint32_t read = 0;
  if (!client.valid() || !WritePipeMessage(client, "w\0", 2) ||
      !ReadPipeMessage(client, reply, sizeof reply, &read)) {
    _exit(static_cast<int>(LastError() & 0xFF));
  }
  _exit(0);
}

int ExitCodeOf(pid_t child) {
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct CallerSeen {
  std::u16string sid;
  bool hasSession = false;
  std::uint32_t session = 0;
  bool admin = false;
  bool fileCreatedAsCaller = false;
};

// Serves one client: reads its request, identifies it while impersonating it (trying to
// create `probeFile` meanwhile), then replies.
void ServeOne(const PipeHandle& instance, const std::string& probeFile, CallerSeen* seen) {
  Event stop;
  ASSERT_TRUE(Event::Create(true, false, &stop));
  ASSERT_TRUE(ConnectPipeClient(instance, stop));
  char buffer[64];
  std::uint32_t read = 0;
  ASSERT_TRUE(ReadPipeMessageWithin(instance, buffer, sizeof buffer, &read, 30000, stop));
  ASSERT_TRUE(ImpersonatePipeClient(instance));
  TokenHandle token = OpenCurrentThreadToken();
  const int fd = open(probeFile.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  seen->fileCreatedAsCaller = fd >= 0;
  if (fd >= 0) {
    close(fd);
    unlink(probeFile.c_str());
  }
  EXPECT_TRUE(RevertToSelfIdentity());
  ASSERT_TRUE(token.valid());
  EXPECT_TRUE(GetTokenUserSidString(token, &seen->sid));
  seen->hasSession = GetTokenSessionId(token, &seen->session);
  EXPECT_TRUE(CheckAdministratorsMembership(token, &seen->admin));
  EXPECT_TRUE(WritePipeMessageWithin(instance, "O\0K\0", 4, 30000, stop));
  FlushPipe(instance);
  DisconnectPipeClient(instance);
}

TEST(PipeIdentityHost, UsersAreNamedByUidAndAdministratorsByUidOrRootGroup) {
  REQUIRE_ROOT();
  TestMachine machine;
  // A directory only root may write to: the impersonated client's rights decide.
  const std::string rootOnly = host::MachineRoot() + "/root-only";
  ASSERT_EQ(mkdir(rootOnly.c_str(), 0755), 0);
  const std::string probe = rootOnly + "/probe";

  struct Case {
    const char* what;
    std::vector<gid_t> groups;
    gid_t gid;
    const char16_t* sid;
    bool admin;
  };
  const Case cases[] = {
      {"nobody", {}, kNobody, u"S-1-5-21-1000-1000-1000-65534", false},
      {"nobody in the root group", {0}, kNobody, u"S-1-5-21-1000-1000-1000-65534", true},
      {"nobody with the root group as primary", {}, 0, u"S-1-5-21-1000-1000-1000-65534", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PipeHandle instance = CreateInstance(true);
    CallerSeen seen;
    std::thread server([&] { ServeOne(instance, probe, &seen); });
    const pid_t child = ForkClient(kNobody, c.gid, c.groups);
    server.join();
    EXPECT_EQ(ExitCodeOf(child), 0);
    EXPECT_EQ(seen.sid, c.sid);
    EXPECT_EQ(seen.admin, c.admin);
    // The child leads a session of its own.
    EXPECT_TRUE(seen.hasSession);
    EXPECT_EQ(seen.session, static_cast<std::uint32_t>(child));
    EXPECT_FALSE(seen.fileCreatedAsCaller);
  }

  // Root is LocalSystem and an administrator; its session is the test's own.
  PipeHandle instance = CreateInstance(true);
  CallerSeen seen;
  std::thread server([&] { ServeOne(instance, probe, &seen); });
  {
    PipeHandle client = OpenPipe(kPipeName);
    ASSERT_TRUE(client.valid());
    ASSERT_TRUE(WritePipeMessage(client, "r\0", 2));
    char reply[8];
    std::uint32_t read = 0;
    EXPECT_TRUE(ReadPipeMessage(client, reply, sizeof reply, &read));
  }
  server.join();
  EXPECT_EQ(seen.sid, kLocalSystemSid);
  EXPECT_TRUE(seen.admin);
  EXPECT_EQ(seen.session, static_cast<std::uint32_t>(getsid(0)));
  EXPECT_TRUE(seen.fileCreatedAsCaller);

  // The process token is a primary token: the membership test refuses it, as on Windows.
  TokenHandle self = OpenCurrentProcessToken();
  bool member = true;
  EXPECT_FALSE(CheckAdministratorsMembership(self, &member));
  EXPECT_EQ(LastError(), kErrorNoImpersonationToken);
  EXPECT_TRUE(member);
}

TEST(PipeIdentityHost, ImpersonationWaitsForTheFirstMessage) {
  TestMachine machine;
  PipeHandle instance = CreateInstance(true);
  Event stop;
  ASSERT_TRUE(Event::Create(true, false, &stop));
  std::thread client([] {
    PipeHandle pipe = OpenPipe(kPipeName);
    ASSERT_TRUE(pipe.valid());
    char reply[8];
    std::uint32_t read = 0;
    EXPECT_FALSE(ReadPipeMessage(pipe, reply, sizeof reply, &read));
  });
  ASSERT_TRUE(ConnectPipeClient(instance, stop));
  EXPECT_FALSE(ImpersonatePipeClient(instance));
  EXPECT_EQ(LastError(), kErrorCannotImpersonate);
  EXPECT_FALSE(OpenCurrentThreadToken().valid());
  EXPECT_EQ(LastError(), kErrorNoToken);
  DisconnectPipeClient(instance);
  client.join();
}

TEST(PipeDirectoryHost, SocketsLieInARootOwnedDirectoryThatOnlyTheServerWrites) {
  REQUIRE_ROOT();
  TestMachine machine;
  const std::string directory = host::MachineRoot() + "/pipes";
  const std::string socketPath = directory + "/vovuhosttest";
  {
    PipeHandle instance = CreateInstance(true);
    struct stat st;
    ASSERT_EQ(lstat(directory.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    // The descriptor lets every user open the pipe.
    ASSERT_EQ(lstat(socketPath.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
    EXPECT_EQ(st.st_mode & 0777, 0777u);
  }
  {
    // Default security: only the server's user and group may open it.
    PipeHandle instance = CreateInstance(false);
    const pid_t child = ForkClient(kNobody, kNobody, {});
    EXPECT_EQ(ExitCodeOf(child), static_cast<int>(kErrorAccessDenied));
  }
  // A directory others could write is closed again by the next server.
  ASSERT_EQ(chmod(directory.c_str(), 0777), 0);
  {
    PipeHandle instance = CreateInstance(true);
    struct stat st;
    ASSERT_EQ(lstat(directory.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
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

TEST(PipeHost, NamesNeedThePipePrefixAndAReplyToAClientThatLeftFails) {
  TestMachine machine;
  EXPECT_FALSE(CreatePipeInstance(u"\\\\.\\mailslot\\x", PipeInstanceSettings{}, nullptr).valid());
  EXPECT_EQ(LastError(), kErrorInvalidName);
  EXPECT_FALSE(OpenPipe(u"\\\\.\\pipe\\").valid());
  EXPECT_EQ(LastError(), kErrorInvalidName);

  // A stale socket of a server that is gone counts as no pipe.
  {
    PipeHandle instance = CreateInstance(true);
    const std::string socketPath = host::MachineRoot() + "/pipes/vovuhosttest";
    ASSERT_EQ(link(socketPath.c_str(), (socketPath + ".stale").c_str()), 0);
    instance.reset();
    ASSERT_EQ(rename((socketPath + ".stale").c_str(), socketPath.c_str()), 0);
    EXPECT_FALSE(OpenPipe(kPipeName).valid());
    EXPECT_EQ(LastError(), kErrorFileNotFound);
  }

  // Windows accepts a write to a client that has closed its end only under wine.
  PipeHandle instance = CreateInstance(true);
  Event stop;
  ASSERT_TRUE(Event::Create(true, false, &stop));
  {
    PipeHandle client;
    std::thread opener([&] { client = OpenPipe(kPipeName); });
    ASSERT_TRUE(ConnectPipeClient(instance, stop));
    opener.join();
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
