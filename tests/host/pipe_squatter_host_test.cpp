// Another user's processes against the command pipe served in this process (root, the
// service's account): one squats on the pipe's name while another's clients leave in the
// middle of exchanges. The service keeps its name and answers after every round.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>

#include "foundation/text.h"
#include "platform/pipe.h"
#include "platform/security.h"
#include "support/held_pipe_server.h"
#include "support/host/other_user.h"

namespace vovu::testing {
namespace {

// Bytes between this test and a child, through a pipe both hold.
struct Channel {
  int fds[2] = {-1, -1};
  Channel() { EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0); }
  ~Channel() {
    close(fds[0]);
    close(fds[1]);
  }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;
  void Send(char byte = 1) const { (void)!write(fds[1], &byte, 1); }
  // The next byte, or 0 when the other side has closed.
  [[nodiscard]] char Receive() const {
    char byte = 0;
    ssize_t n;
    while ((n = read(fds[0], &byte, 1)) < 0 && errno == EINTR) {
    }
    return n == 1 ? byte : 0;
  }
  [[nodiscard]] bool Pending() const {
    pollfd p = {fds[0], POLLIN, 0};
    return poll(&p, 1, 0) == 1;
  }
};

// A forked child shares the open file descriptions of the server's instances in this
// process, and with them their locks of the name; it closes every descriptor but `keep`
// so that it holds nothing of the server's.
void CloseInherited(std::initializer_list<int> keep) {
  for (int fd = 3; fd < 1024; ++fd) {
    if (std::find(keep.begin(), keep.end(), fd) == keep.end())
      close(fd);
  }
}

int ExitCode(pid_t pid) {
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

class PipeSquatterHost : public HeldPipeServer {
 protected:
  void SetUp() override {
    REQUIRE_ROOT_FOR_OTHER_USERS();
    HeldPipeServer::SetUp();
  }
};

// A process of uid 65534 connects and leaves during an exchange (the next connect then
// fails with 232), while another spins creating the pipe's name, 1000 times: the squatter
// never creates it, and the service answers after every round.
TEST_F(PipeSquatterHost, ASquatterNeverGetsTheNameWhileClientsLeaveDuringExchanges) {
  constexpr int kRounds = 1000;
  Channel stopSquatting;
  Channel squatting;
  const pid_t squatter = ForkAsUser({}, [&] {
    CloseInherited({stopSquatting.fds[0], squatting.fds[1]});
    platform::SecurityDescriptor open;
    if (!platform::ConvertSddlToSecurityDescriptor(kPipeSddl, &open))
      return 2;
    squatting.Send();
    int made = 0;
    bool first = false;
    while (!stopSquatting.Pending()) {
      platform::PipeInstanceSettings settings;
      settings.firstInstance = first = !first;
      if (platform::CreatePipeInstance(kPipeName, settings, &open).valid())
        ++made;
    }
    return made == 0 ? 0 : 1;
  });
  Channel leave;
  Channel left;
  const pid_t leaver = ForkAsUser({}, [&] {
    // Its own copy of the write end would keep it from seeing the end of the rounds.
    CloseInherited({leave.fds[0], left.fds[1]});
    while (leave.Receive() != 0)
      left.Send(OpenSilently().valid() ? 'o' : 'x');
    return 0;
  });
  ASSERT_EQ(squatting.Receive(), 1);
  int answered = 0;
  int opened = 0;
  for (int round = 0; round < kRounds; ++round) {
    const auto leaveNow = [&] {
      leave.Send();
      opened += left.Receive() == 'o' ? 1 : 0;
    };
    bool ok = false;
    if (!HoldRound(leaveNow, u"after-" + Utf8ToWide(std::to_string(round)), &ok)) {
      ADD_FAILURE() << "round " << round << ": the service did not take a request";
      break;
    }
    answered += ok ? 1 : 0;
  }
  close(leave.fds[1]);
  leave.fds[1] = -1;
  stopSquatting.Send();
  EXPECT_EQ(ExitCode(leaver), 0);
  EXPECT_EQ(ExitCode(squatter), 0) << "the squatter created the service's pipe";
  EXPECT_EQ(opened, kRounds);
  EXPECT_EQ(answered, kRounds);
}

}  // namespace
}  // namespace vovu::testing
