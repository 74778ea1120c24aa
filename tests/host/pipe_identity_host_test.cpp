// The host's pipes among several users: who a client is, who is an administrator, and who
// may create or open a pipe. Clients of other users are forked children that drop to that
// user before connecting.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/core/machine_root.h"
#include "platform/identity.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "support/host/other_user.h"
#include "support/test_machine.h"

namespace vovu::platform {
namespace {

using testing::CreateTestPipeInstance;
using testing::ExchangeOnce;
using testing::kNobody;
using testing::kNobodySid;
using testing::ServeOne;
using testing::TestMachine;
using testing::UserChild;

constexpr char16_t kPipeName[] = u"\\\\.\\pipe\\VovuHostTest";

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

// Who may create what: every user a new name; further instances only the name's owner;
// the first instance only when the name is free. The name lives while an instance is open.
TEST(PipeNamesHost, AnyUserCreatesNewNamesOnlyTheOwnerAddsInstancesAndFirstMeansFree) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  TestMachine machine;
  const std::string pipes = host::MachineRoot() + "/pipes";
  PipeInstanceSettings first;
  first.firstInstance = true;
  // What uid 65534 gets when it creates an instance of `name`: "ok" or the error. With
  // `crash`, its process ends without closing the instance.
  const auto nobodyCreates = [](const std::u16string& name, bool asFirst, bool crash = false) {
    return UserChild({},
                     [name, asFirst, crash] {
                       PipeInstanceSettings settings;
                       settings.firstInstance = asFirst;
                       PipeHandle made = CreatePipeInstance(name, settings, nullptr);
                       const std::string result = made.valid() ? "ok" : std::to_string(LastError());
                       if (crash)
                         (void)made.release();
                       return result;
                     })
        .Finish();
  };
  {
    PipeHandle one = CreatePipeInstance(kPipeName, first, nullptr);
    ASSERT_TRUE(one.valid()) << LastError();
    // A second instance of root's own name: only when not asked to be the first.
    EXPECT_FALSE(CreatePipeInstance(kPipeName, first, nullptr).valid());
    EXPECT_EQ(LastError(), kErrorAccessDenied);
    PipeHandle two = CreatePipeInstance(kPipeName, PipeInstanceSettings{}, nullptr);
    EXPECT_TRUE(two.valid()) << LastError();
    // Nobody adds no instance to it, first or not, and its own new name is its own.
    EXPECT_EQ(nobodyCreates(kPipeName, false), std::to_string(kErrorAccessDenied));
    EXPECT_EQ(nobodyCreates(kPipeName, true), std::to_string(kErrorAccessDenied));
    EXPECT_EQ(nobodyCreates(u"\\\\.\\pipe\\NobodysOwn", true), "ok");
  }
  // Every instance closed: the name is free again, for anybody's first instance.
  PipeHandle again = CreatePipeInstance(kPipeName, first, nullptr);
  EXPECT_TRUE(again.valid()) << LastError();
  again.reset();

  // A name whose holder has gone (only its directory is left) is no name: root takes it
  // over, and nothing of what was left in it stays.
  ASSERT_EQ(nobodyCreates(u"\\\\.\\pipe\\Left", true, /*crash=*/true), "ok");
  PipeHandle taken = CreatePipeInstance(u"\\\\.\\pipe\\Left", first, nullptr);
  ASSERT_TRUE(taken.valid()) << LastError();
  EXPECT_EQ(nobodyCreates(u"\\\\.\\pipe\\Left", false), std::to_string(kErrorAccessDenied));

  // Default security: only the creator's user and group may open an instance.
  PipeHandle closed = CreatePipeInstance(kPipeName, first, nullptr);
  EXPECT_EQ(UserChild({}, [] { return ExchangeOnce(kPipeName); }).Finish(),
            std::to_string(kErrorAccessDenied));
  closed.reset();

  // A namespace of another user is refused by servers and clients alike.
  ASSERT_EQ(chown(pipes.c_str(), kNobody, kNobody), 0);
  EXPECT_FALSE(CreatePipeInstance(kPipeName, PipeInstanceSettings{}, nullptr).valid());
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  EXPECT_FALSE(OpenPipe(kPipeName).valid());
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  EXPECT_FALSE(WaitForPipeInstance(kPipeName, 0));
  EXPECT_EQ(LastError(), kErrorAccessDenied);
}

// A client allows the server to identify it, or to act as it; only the second gives a token
// that a primary one can be made of. The client asks who serves the pipe.
TEST(PipeLevelsHost, IdentificationTokensMakeNoPrimaryTokenAndClientsSeeTheirServer) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  TestMachine machine;
  for (const PipeClientLevel level :
       {PipeClientLevel::kIdentification, PipeClientLevel::kImpersonation}) {
    PipeHandle instance = CreateTestPipeInstance(kPipeName, true);
    UserChild child({}, [level] {
      PipeHandle client = OpenPipe(kPipeName, level);
      bool service = false;
      const bool asked = client.valid() && IsPipeServerTheSystemService(client, &service);
      char reply[8];
      std::uint32_t read = 0;
      const bool replied = asked && WritePipeMessage(client, "w\0", 2) &&
                           ReadPipeMessage(client, reply, sizeof reply, &read);
      return replied ? (service ? "service" : "other") : std::to_string(LastError());
    });
    Win32Error duplicated = 0;
    EXPECT_TRUE(testing::ServeOne(instance, [&] {
      ASSERT_TRUE(ImpersonatePipeClient(instance));
      TokenHandle token = OpenCurrentThreadToken();
      EXPECT_TRUE(RevertToSelfIdentity());
      const TokenHandle primary = DuplicatePrimaryToken(token);
      duplicated = primary.valid() ? 0 : LastError();
    }));
    EXPECT_EQ(child.Finish(), "service");
    EXPECT_EQ(duplicated,
              level == PipeClientLevel::kIdentification ? kErrorBadImpersonationLevel : 0u);
  }

  // A server of another user is not the system's service.
  static constexpr char16_t kNobodysPipe[] = u"\\\\.\\pipe\\NobodyServes";
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  UserChild server({}, [&gate] {
    close(gate[0]);
    PipeHandle mine = CreateTestPipeInstance(kNobodysPipe, true);
    close(gate[1]);  // listening now
    return testing::ServeOne(mine, [] {}) ? std::string("served") : std::string("not served");
  });
  close(gate[1]);
  char byte;
  while (read(gate[0], &byte, 1) > 0) {
  }
  close(gate[0]);
  PipeHandle client = OpenPipe(kNobodysPipe);
  ASSERT_TRUE(client.valid()) << LastError();
  bool service = true;
  ASSERT_TRUE(IsPipeServerTheSystemService(client, &service));
  EXPECT_FALSE(service);
  ASSERT_TRUE(WritePipeMessage(client, "w\0", 2));
  char reply[8];
  std::uint32_t got = 0;
  EXPECT_TRUE(ReadPipeMessage(client, reply, sizeof reply, &got));
  client.reset();
  EXPECT_EQ(server.Finish(), "served");
}

TEST(PipeHost, NamesNeedThePrefixImpersonationNeedsAMessageAndAReplyToAGoneClientFails) {
  TestMachine machine;
  EXPECT_FALSE(CreatePipeInstance(u"\\\\.\\mailslot\\x", PipeInstanceSettings{}, nullptr).valid());
  EXPECT_EQ(LastError(), kErrorInvalidName);
  EXPECT_FALSE(OpenPipe(u"\\\\.\\pipe\\").valid());
  EXPECT_EQ(LastError(), kErrorInvalidName);

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

constexpr char16_t kKeptName[] = u"\\\\.\\pipe\\VovuKeptTest";

// What `name` gives a client of uid 65534: "0" after a reply, else the error.
std::string NobodysExchange(const std::u16string& name) {
  return UserChild({}, [name] { return ExchangeOnce(name); }).Finish();
}

// A server that closes a served instance while another instance of the same name stays open
// keeps the closed one's place in the name for its next instance (platform/host/ipc/
// pipe_pool.h). What must hold all the same: nothing of the closed instance can be reached,
// the next instance has the security it is made with, a first instance still finds the name
// taken, and the name ends with the process's last open instance.
TEST(PipeNamesHost, AClosedInstancesPlaceServesTheNextAndTheNameEndsWithTheLast) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  TestMachine machine;
  PipeInstanceSettings first;
  first.firstInstance = true;

  // As the service serves: the next instance is made while a client is served, then the
  // served one is closed.
  PipeHandle served = CreateTestPipeInstance(kKeptName, /*open=*/true);
  PipeHandle next;
  std::string reply;
  std::thread client([&] { reply = ExchangeOnce(kKeptName); });
  EXPECT_TRUE(ServeOne(served, [&] { next = CreateTestPipeInstance(kKeptName, /*open=*/true); }));
  client.join();
  EXPECT_EQ(reply, "0");
  served.reset();
  // The name stays taken by the next instance.
  EXPECT_FALSE(CreatePipeInstance(kKeptName, first, nullptr).valid());
  EXPECT_EQ(LastError(), kErrorAccessDenied);

  // The kept place gives an instance with the default security, which nobody may open; it
  // serves root's clients.
  PipeHandle third = CreatePipeInstance(kKeptName, PipeInstanceSettings{}, nullptr);
  ASSERT_TRUE(third.valid()) << LastError();
  next.reset();
  EXPECT_EQ(NobodysExchange(kKeptName), std::to_string(kErrorAccessDenied));
  std::thread rootClient([&] { reply = ExchangeOnce(kKeptName); });
  EXPECT_TRUE(ServeOne(third, [] {}));
  rootClient.join();
  EXPECT_EQ(reply, "0");

  // The last instance's close ends the name: nothing listens, and anybody may take it.
  third.reset();
  EXPECT_FALSE(WaitForPipeInstance(kKeptName, 0));
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_EQ(UserChild({},
                      [] {
                        PipeInstanceSettings asFirst;
                        asFirst.firstInstance = true;
                        return CreatePipeInstance(kKeptName, asFirst, nullptr).valid()
                                   ? std::string("ok")
                                   : std::to_string(LastError());
                      })
                .Finish(),
            "ok");
}

// A name whose first instance grants everybody the right to create instances of it
// (FILE_APPEND_DATA, in GA or GW) takes further instances of any user, root included; a
// first instance never, and a name granting only reading and writing its data takes none.
// A joined instance keeps the name alive after its owner's instances have gone.
TEST(PipeNamesHost, AnotherUsersNameTakesFurtherInstancesOnlyWhenItsFirstGrantsThem) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  TestMachine machine;
  constexpr char16_t kGranting[] = u"\\\\.\\pipe\\Granting";
  const testing::OtherUser third{65533, 65533, {}, true};
  // What `user` gets when it creates an instance of the name: "ok" or the error.
  const auto createsAs = [&](const testing::OtherUser& user, bool asFirst) {
    return UserChild(user,
                     [&kGranting, asFirst] {
                       PipeInstanceSettings settings;
                       settings.firstInstance = asFirst;
                       return CreatePipeInstance(kGranting, settings, nullptr).valid()
                                  ? std::string("ok")
                                  : std::to_string(LastError());
                     })
        .Finish();
  };
  const struct {
    const char16_t* sddl;  // of nobody's first instance; null: the default security
    bool grants;
  } cases[] = {
      {u"D:(A;;GA;;;WD)", true},
      {u"D:(A;;GW;;;BU)", true},
      {u"D:(A;;0x4;;;AU)", true},
      // Reading and writing data without FILE_APPEND_DATA, as the service grants users.
      {u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;IU)(A;;0x12019b;;;BU)", false},
      {u"D:(A;;GRGX;;;WD)", false},
      {nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sddl != nullptr
                     ? std::string(c.sddl, c.sddl + std::char_traits<char16_t>::length(c.sddl))
                     : "default");
    int made[2];
    int release[2];
    ASSERT_EQ(pipe2(made, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(release, O_CLOEXEC), 0);
    const pid_t holder = testing::ForkAsUser({}, [&] {
      SecurityDescriptor descriptor;
      PipeInstanceSettings settings;
      settings.firstInstance = true;
      if (c.sddl != nullptr && !ConvertSddlToSecurityDescriptor(c.sddl, &descriptor))
        return 2;
      const PipeHandle instance =
          CreatePipeInstance(kGranting, settings, c.sddl != nullptr ? &descriptor : nullptr);
      const char byte = instance.valid() ? 1 : 0;
      (void)!write(made[1], &byte, 1);
      if (!instance.valid())
        return 3;
      (void)!read(release[0], const_cast<char*>(&byte), 1);
      return 0;
    });
    close(made[1]);
    close(release[0]);
    char byte = 0;
    ASSERT_EQ(read(made[0], &byte, 1), 1);
    ASSERT_EQ(byte, 1);
    const std::string further = c.grants ? "ok" : std::to_string(kErrorAccessDenied);
    PipeInstanceSettings asFirst;
    asFirst.firstInstance = true;
    EXPECT_FALSE(CreatePipeInstance(kGranting, asFirst, nullptr).valid());
    EXPECT_EQ(LastError(), kErrorAccessDenied);
    PipeHandle joined = CreatePipeInstance(kGranting, PipeInstanceSettings{}, nullptr);
    EXPECT_EQ(joined.valid() ? "ok" : std::to_string(LastError()), further);
    EXPECT_EQ(createsAs(third, false), further);
    EXPECT_EQ(createsAs(third, true), std::to_string(kErrorAccessDenied));

    (void)!write(release[1], &byte, 1);
    close(release[1]);
    close(made[0]);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    if (joined.valid()) {
      // Root's instance holds the name now; its close frees it for anybody.
      EXPECT_EQ(createsAs(third, true), std::to_string(kErrorAccessDenied));
      joined.reset();
    }
    EXPECT_EQ(createsAs(third, true), "ok");
  }
}

}  // namespace
}  // namespace vovu::platform
