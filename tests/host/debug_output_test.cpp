// Debugger output on the host reaches a listener bound in the machine root.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "foundation/diagnostics.h"
#include "platform/error.h"
#include "platform/host/machine_root.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

TEST(DebugOutputHost, LogDebugSendsOnePrefixedLineAndKeepsTheLastError) {
  testing::TestMachine machine;
  LogDebug(u"nobody listens");  // dropped without a listener

  const std::string path = platform::host::MachineRoot() + "/" + platform::host::kDebugSocketName;
  const int listener = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);

  platform::SetLastErrorCode(1063);
  LogDebug(u"cannot persist: \u00E9");
  EXPECT_EQ(platform::LastError(), 1063u);
  char buffer[256];
  const ssize_t n = recv(listener, buffer, sizeof(buffer), 0);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buffer, n), "[VovudIdavUda] cannot persist: \xC3\xA9\n");
  close(listener);
}

}  // namespace
}  // namespace vovu
