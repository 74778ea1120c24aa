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

// The two children are forked before the server's thread starts: a child forked while
// another thread of this process allocates can inherit the allocator's lock held (the
// sanitizers' allocator has no fork handler), and would then wait forever in its first
// allocation. Each child waits for its turn on a channel, so nothing acts before the server
// listens.
class PipeSquatterHost : public HeldPipeServer {
 protected:
  void SetUp() override {
    REQUIRE_ROOT_FOR_OTHER_USERS();
    squatter_ = ForkAsUser({}, [&] {
      CloseInherited({startSquatting_.fds[0], stopSquatting_.fds[0], squatting_.fds[1]});
      platform::SecurityDescriptor open;
      if (!platform::ConvertSddlToSecurityDescriptor(kPipeSddl, &open))
        return 2;
      if (startSquatting_.Receive() == 0)
        return 3;
      squatting_.Send();
      int made = 0;
      bool first = false;
      while (!stopSquatting_.Pending()) {
        platform::PipeInstanceSettings settings;
        settings.firstInstance = first = !first;
        if (platform::CreatePipeInstance(kPipeName, settings, &open).valid())
          ++made;
      }
      return made == 0 ? 0 : 1;
    });
    leaver_ = ForkAsUser({}, [&] {
      // Its own copy of the write end would keep it from seeing the end of the rounds.
      CloseInherited({leave_.fds[0], left_.fds[1]});
      while (leave_.Receive() != 0)
        left_.Send(OpenSilently().valid() ? 'o' : 'x');
      return 0;
    });
    HeldPipeServer::SetUp();
  }
  void TearDown() override {
    EndChildren();
    HeldPipeServer::TearDown();
  }

  // Whatever happened, the children are told to end, then waited for; once.
  void EndChildren() {
    if (ended_)
      return;
    ended_ = true;
    close(leave_.fds[1]);
    leave_.fds[1] = -1;
    startSquatting_.Send(0);
    stopSquatting_.Send();
    leaverCode_ = ExitCode(leaver_);
    squatterCode_ = ExitCode(squatter_);
  }

  Channel startSquatting_;
  Channel stopSquatting_;
  Channel squatting_;
  Channel leave_;
  Channel left_;
  pid_t squatter_ = -1;
  pid_t leaver_ = -1;
  int leaverCode_ = -1;
  int squatterCode_ = -1;
  bool ended_ = false;
};

// A process of uid 65534 connects and leaves during an exchange (the next connect then
// fails with 232), while another spins creating the pipe's name, 1000 times: the squatter
// never creates it, and the service answers after every round.
TEST_F(PipeSquatterHost, ASquatterNeverGetsTheNameWhileClientsLeaveDuringExchanges) {
  constexpr int kRounds = 1000;
  startSquatting_.Send();
  ASSERT_EQ(squatting_.Receive(), 1);
  int answered = 0;
  int opened = 0;
  for (int round = 0; round < kRounds; ++round) {
    const auto leaveNow = [&] {
      leave_.Send();
      opened += left_.Receive() == 'o' ? 1 : 0;
    };
    bool ok = false;
    if (!HoldRound(leaveNow, u"after-" + Utf8ToWide(std::to_string(round)), &ok)) {
      ADD_FAILURE() << "round " << round << ": the service did not take a request";
      break;
    }
    answered += ok ? 1 : 0;
  }
  EndChildren();
  EXPECT_EQ(leaverCode_, 0);
  EXPECT_EQ(squatterCode_, 0) << "the squatter created the service's pipe";
  EXPECT_EQ(opened, kRounds);
  EXPECT_EQ(answered, kRounds);
}

}  // namespace
}  // namespace vovu::testing
