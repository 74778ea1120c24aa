// A server that closes a served instance while another instance of the same name stays open
// keeps the closed one's place in the name for its next instance (platform/host/ipc/
// pipe_pool.h). What must hold all the same: nothing of the closed instance can be reached,
// the next instance has the security it is made with, a first instance still finds the name
// taken, and the name ends with the process's last open instance.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <thread>

#include "platform/host/core/machine_root.h"
#include "platform/pipe.h"
#include "support/host/other_user.h"
#include "support/test_machine.h"

namespace vovu::platform {
namespace {

using testing::CreateTestPipeInstance;
using testing::ExchangeOnce;
using testing::ServeOne;
using testing::TestMachine;
using testing::UserChild;

constexpr char16_t kName[] = u"\\\\.\\pipe\\VovuKeptTest";

int SocketsIn(const std::string& directory) {
  int sockets = 0;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr)
    return -1;
  while (dirent* entry = readdir(dir)) {
    struct stat st;
    const std::string path = directory + "/" + entry->d_name;
    if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
      ++sockets;
  }
  closedir(dir);
  return sockets;
}

// What `name` gives a client of uid 65534: "0" after a reply, else the error.
std::string NobodysExchange(const std::u16string& name) {
  return UserChild({}, [name] { return ExchangeOnce(name); }).Finish();
}

TEST(PipeKeptPlacesHost, AClosedInstancesPlaceServesTheNextAndTheNameEndsWithTheLast) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  TestMachine machine;
  const std::string directory = host::MachineRoot() + "/pipes/vovukepttest";
  PipeInstanceSettings first;
  first.firstInstance = true;

  // As the service serves: the next instance is made while a client is served, then the
  // served one is closed.
  PipeHandle served = CreateTestPipeInstance(kName, /*open=*/true);
  PipeHandle next;
  std::string reply;
  std::thread client([&] { reply = ExchangeOnce(kName); });
  EXPECT_TRUE(ServeOne(served, [&] { next = CreateTestPipeInstance(kName, /*open=*/true); }));
  client.join();
  EXPECT_EQ(reply, "0");
  served.reset();
  // Only the next instance's socket is left; the closed one is gone, busy name and all.
  EXPECT_EQ(SocketsIn(directory), 1);
  EXPECT_FALSE(CreatePipeInstance(kName, first, nullptr).valid());
  EXPECT_EQ(LastError(), kErrorAccessDenied);

  // The kept place gives an instance with the default security, which nobody may open; it
  // serves root's clients.
  PipeHandle third = CreatePipeInstance(kName, PipeInstanceSettings{}, nullptr);
  ASSERT_TRUE(third.valid()) << LastError();
  next.reset();
  EXPECT_EQ(SocketsIn(directory), 1);
  EXPECT_EQ(NobodysExchange(kName), std::to_string(kErrorAccessDenied));
  std::thread rootClient([&] { reply = ExchangeOnce(kName); });
  EXPECT_TRUE(ServeOne(third, [] {}));
  rootClient.join();
  EXPECT_EQ(reply, "0");

  // The last instance's close ends the name: nothing listens, and anybody may take it.
  third.reset();
  struct stat gone;
  EXPECT_NE(lstat(directory.c_str(), &gone), 0);
  EXPECT_FALSE(WaitForPipeInstance(kName, 0));
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_EQ(UserChild({},
                      [] {
                        PipeInstanceSettings asFirst;
                        asFirst.firstInstance = true;
                        return CreatePipeInstance(kName, asFirst, nullptr).valid()
                                   ? std::string("ok")
                                   : std::to_string(LastError());
                      })
                .Finish(),
            "ok");
}

}  // namespace
}  // namespace vovu::platform
