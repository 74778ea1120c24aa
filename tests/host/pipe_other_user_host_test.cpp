// Another user's processes against the command pipe served in this process (root, the
// service's account): one squats on the pipe's name while clients leave in the middle of
// exchanges, one holds many connections that never send. The service keeps its name and
// answers everybody else.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "foundation/text.h"
#include "platform/pipe.h"
#include "service/pipe_client.h"
#include "service/pipe_server.h"
#include "service/service_names.h"
#include "support/host/other_user.h"
#include "support/test_machine.h"

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

int ExitCode(pid_t pid) {
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

bool Answers(const std::u16string& word) {
  std::u16string reply;
  return SendPipeRequest(word, &reply) && reply == u"ERROR unknown command: " + word;
}

platform::PipeHandle OpenSilently() {
  if (!platform::WaitForPipeInstance(kPipeName, kPipeClientWaitMs))
    return platform::PipeHandle();
  return platform::OpenPipe(kPipeName);
}

class PipeOtherUserHost : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_ROOT_FOR_OTHER_USERS();
    ASSERT_TRUE(platform::Event::Create(true, false, &holding_));
    ASSERT_TRUE(platform::Event::Create(true, false, &released_));
    ASSERT_TRUE(platform::Event::Create(true, false, &stop_));
    current_ = this;
    server_ = std::thread([this] { RunPipeServer(stop_, Dispatch); });
    // The server makes its first instance on its own thread; until then there is no pipe.
    bool listening = false;
    for (int attempt = 0; attempt < 5000 && !listening; ++attempt) {
      listening = platform::WaitForPipeInstance(kPipeName, kPipeClientWaitMs);
      if (!listening)
        std::this_thread::yield();
    }
    ASSERT_TRUE(listening) << platform::LastError();
  }
  void TearDown() override {
    if (!server_.joinable())
      return;
    released_.Set();
    stop_.Set();
    server_.join();
    current_ = nullptr;
  }

  // "hold" is held until the test releases it; every other word is unknown.
  static bool Dispatch(const std::u16string& word, const std::vector<std::u16string>&,
                       const RequestContext&, std::u16string* failure) {
    if (word == u"hold") {
      (void)current_->holding_.Set();
      (void)current_->released_.Wait(platform::kInfiniteWait);
    }
    *failure = u"unknown command: " + word;
    return false;
  }

  static inline PipeOtherUserHost* current_ = nullptr;
  TestMachine machine_;
  platform::Event holding_;
  platform::Event released_;
  platform::Event stop_;
  std::thread server_;
};

// A process of uid 65534 connects and leaves during an exchange (the next connect then
// fails with 232), while another spins creating the pipe's name, 1000 times: the squatter
// never creates it, and the service answers after every round.
TEST_F(PipeOtherUserHost, ASquatterNeverGetsTheNameWhileClientsLeaveDuringExchanges) {
  constexpr int kRounds = 1000;
  Channel stopSquatting;
  Channel squatting;
  const pid_t squatter = ForkAsUser({}, [&] {
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
    close(leave.fds[1]);
    while (leave.Receive() != 0) {
      const bool opened = OpenSilently().valid();
      left.Send(opened ? 'o' : 'x');
    }
    return 0;
  });
  ASSERT_EQ(squatting.Receive(), 1);
  int answered = 0;
  int opened = 0;
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_TRUE(holding_.Reset() && released_.Reset());
    // The request held in dispatch, or, if it never got there, its failure ends the wait.
    std::atomic<bool> notTaken{false};
    std::thread held([this, &notTaken] {
      if (!Answers(u"hold")) {
        notTaken = true;
        (void)holding_.Set();
      }
    });
    ASSERT_EQ(holding_.Wait(30000), platform::WaitResult::kSignalled);
    if (notTaken) {
      held.join();
      ADD_FAILURE() << "round " << round << ": the service did not take a request";
      break;
    }
    leave.Send();
    opened += left.Receive() == 'o' ? 1 : 0;
    ASSERT_TRUE(released_.Set());
    held.join();
    answered += Answers(u"after-" + Utf8ToWide(std::to_string(round))) ? 1 : 0;
  }
  close(leave.fds[1]);
  leave.fds[1] = -1;
  stopSquatting.Send();
  EXPECT_EQ(ExitCode(leaver), 0);
  EXPECT_EQ(ExitCode(squatter), 0) << "the squatter created the service's pipe";
  EXPECT_EQ(opened, kRounds);
  EXPECT_EQ(answered, kRounds);
}

// uid 65534 keeps 32 connections open that never send, each opened again as soon as the
// service closes it. Root's requests are all answered meanwhile: the holder gets its own
// share of the serving threads and no more.
TEST_F(PipeOtherUserHost, SilentConnectionsOfOneUserLeaveTheOthersServed) {
  constexpr int kHeld = 32;
  constexpr int kPings = 20;
  Channel holding;
  Channel stopHolding;
  const pid_t holder = ForkAsUser({}, [&] {
    std::atomic<int> opened{0};
    for (int i = 0; i < kHeld; ++i) {
      std::thread([&] {
        for (;;) {
          platform::PipeHandle pipe = OpenSilently();
          if (!pipe.valid())
            continue;
          if (++opened == 2)
            holding.Send();
          char buffer[16];
          std::uint32_t got = 0;
          (void)platform::ReadPipeMessage(pipe, buffer, sizeof buffer, &got);
        }
      }).detach();
    }
    (void)stopHolding.Receive();
    _exit(0);
    return 0;
  });
  // Two are enough to have held a one-at-a-time server: one served, one waiting.
  ASSERT_EQ(holding.Receive(), 1);
  int answered = 0;
  for (int ping = 0; ping < kPings; ++ping)
    answered += Answers(u"ping-" + Utf8ToWide(std::to_string(ping))) ? 1 : 0;
  stopHolding.Send();
  EXPECT_EQ(ExitCode(holder), 0);
  EXPECT_EQ(answered, kPings);
}

}  // namespace
}  // namespace vovu::testing
