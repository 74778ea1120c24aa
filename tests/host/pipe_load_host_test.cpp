// The running service under load: the real executable, installed and started in a fresh
// machine root, takes many concurrent clients (some of them another user's processes) that
// each send a run of requests. The service takes connections one at a time (and serves
// them side by side) and a client does not retry, so a request either gets its exact reply
// or its SendPipeRequest fails the way a client of a busy pipe fails: no instance within the
// 3000 ms wait (121), no pipe (2), or the instance taken by another client after the wait
// (231).
// Afterwards the service still runs, with the threads and descriptors it had when idle.
//
// The test reports counts only; how long anything took is the benchmark's business
// (bench/pipe_roundtrip_bench.cpp).
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/text.h"
#include "platform/error.h"
#include "platform/pipe.h"
#include "platform/service_control.h"
#include "service/pipe_client.h"
#include "support/host/installed_service.h"
#include "support/host/other_user.h"
#include "support/start_gate.h"
#include "support/test_machine.h"

namespace vovu::testing {
namespace {

constexpr int kRootClients = 24;
constexpr int kNobodyProcesses = 2;
constexpr int kClientsPerNobodyProcess = 4;
constexpr int kRequestsPerClient = 200;
constexpr int kClients = kRootClients + kNobodyProcesses * kClientsPerNobodyProcess;

enum Outcome {
  kAnswered,    // exactly the expected reply
  kWrongReply,  // a reply, but not the one for this request
  kNoInstance,  // 121: no free instance within 3000 ms
  kNoPipe,      // 2: no pipe at that moment
  kBusy,        // 231: the instance was taken between the wait and the open
  kOtherError,  // any other failure
  kOutcomeKinds
};

// What happened to a client's requests. Plain integers, so children can send them as bytes.
struct Outcomes {
  std::array<long, kOutcomeKinds> count{};
  long lastOtherCode = 0;

  void Add(const Outcomes& o) {
    for (int kind = 0; kind < kOutcomeKinds; ++kind)
      count[kind] += o.count[kind];
    if (o.count[kOtherError] != 0)
      lastOtherCode = o.lastOtherCode;
  }
  [[nodiscard]] long Total() const { return std::accumulate(count.begin(), count.end(), 0L); }
};

// One client's run: an unknown word of its own per request, so that a reply meant for
// another request is noticed.
Outcomes RunClient(int client) {
  Outcomes outcomes;
  for (int request = 0; request < kRequestsPerClient; ++request) {
    const std::u16string word =
        Utf8ToWide("load-" + std::to_string(client) + "-" + std::to_string(request));
    std::u16string reply;
    const bool sent = SendPipeRequest(word, &reply);
    const platform::Win32Error error = sent ? 0 : platform::LastError();
    const Outcome outcome =
        sent ? (reply == u"ERROR unknown command: " + word ? kAnswered : kWrongReply)
        : error == platform::kErrorSemTimeout   ? kNoInstance
        : error == platform::kErrorFileNotFound ? kNoPipe
        : error == platform::kErrorPipeBusy     ? kBusy
                                                : kOtherError;
    ++outcomes.count[outcome];
    if (outcome == kOtherError)
      outcomes.lastOtherCode = error;
  }
  return outcomes;
}

// Runs clients first..first+count-1 on threads of this process, released together; then
// calls `released` and returns their summed outcomes.
Outcomes RunClients(int first, int count, const std::function<void()>& released) {
  std::vector<Outcomes> results(static_cast<std::size_t>(count));
  {
    StartGate go(1);
    std::vector<std::jthread> threads;
    for (int i = 0; i < count; ++i)
      threads.emplace_back([&, i] {
        go.Wait();
        results[i] = RunClient(first + i);
      });
    go.Arrive();
    released();
  }
  Outcomes sum;
  for (const Outcomes& o : results)
    sum.Add(o);
  return sum;
}

// Threads and descriptors of `pid`, or -1s.
std::array<int, 2> Resources(pid_t pid) {
  return {CountProcEntries(pid, "task"), CountProcEntries(pid, "fd")};
}

// Polls until the service is idle again (an instance listens) with `idle` resources, or the
// deadline passes. Between looks it waits on the process itself, so a service that dies
// ends the wait at once.
bool WaitForResources(pid_t pid, const std::array<int, 2>& idle, std::array<int, 2>* seen) {
  const int processFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (processFd < 0)
    return false;
  const auto deadline = std::chrono::steady_clock::now() + kServicePatience;
  bool reached = false;
  while (!reached && std::chrono::steady_clock::now() < deadline) {
    *seen = Resources(pid);
    // At most what the idle service had: the start-up job may still have held a few
    // descriptors of its own when the idle count was read. One descriptor more is the second
    // place in the pipe's name kept for reuse (at most two, pipe_pool.h): the idle service,
    // having served one client at a time, kept one; clients served side by side leave two.
    const auto atMostIdle = [&](const std::array<int, 2>& now) {
      return now[0] <= idle[0] && now[1] <= idle[1] + 1;
    };
    reached = atMostIdle(*seen) && WaitForListeningInstance() && atMostIdle(Resources(pid));
    pollfd p = {processFd, POLLIN, 0};
    if (!reached && poll(&p, 1, 10) > 0)
      break;  // the service ended
  }
  close(processFd);
  return reached;
}

TEST(PipeLoadHost, ConcurrentClientsAreAnsweredOrToldTheyWaitedAndTheServiceStaysIdle) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  TestMachine machine;
  ServiceCleanup cleanup;
  const pid_t pid = InstallService(/*start=*/true);
  ASSERT_FALSE(HasFailure());
  platform::ServiceStatus status;
  std::u16string reply;
  ASSERT_TRUE(WaitForPipeAnswer(u"warm-up", &reply));
  ASSERT_EQ(reply, u"ERROR unknown command: warm-up");
  ASSERT_TRUE(WaitForListeningInstance());
  const std::array<int, 2> idle = Resources(pid);
  ASSERT_GT(idle[0], 0);
  ASSERT_GT(idle[1], 0);

  // Nobody's clients first (no thread may exist here when they are forked), each process
  // held until the gate reaches end of file; then ours; all start together.
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  std::deque<UserChild> children;
  for (int p = 0; p < kNobodyProcesses; ++p) {
    const int first = kRootClients + p * kClientsPerNobodyProcess;
    children.emplace_back(OtherUser{kNobody, kNobody, {}, false}, [&gate, first] {
      close(gate[1]);
      char byte;
      while (read(gate[0], &byte, 1) > 0) {
      }
      const Outcomes sum = RunClients(first, kClientsPerNobodyProcess, [] {});
      return std::string(reinterpret_cast<const char*>(&sum), sizeof sum);
    });
  }
  close(gate[0]);
  Outcomes total = RunClients(0, kRootClients, [&gate] { close(gate[1]); });
  Outcomes nobody;
  for (UserChild& child : children) {
    const std::string bytes = child.Finish();
    Outcomes sum;
    ASSERT_EQ(bytes.size(), sizeof sum) << bytes;
    std::memcpy(&sum, bytes.data(), sizeof sum);
    nobody.Add(sum);
  }
  total.Add(nobody);

  const std::pair<const char*, long> counts[] = {
      {"clients", kClients},
      {"requests", total.Total()},
      {"answered", total.count[kAnswered]},
      {"nobody_ok", nobody.count[kAnswered]},
      {"no_instance", total.count[kNoInstance]},
      {"no_pipe", total.count[kNoPipe]},
      {"busy", total.count[kBusy]},
      {"wrong_reply", total.count[kWrongReply]},
      {"other_error", total.count[kOtherError]},
      {"idle_threads", idle[0]},
      {"idle_fds", idle[1]},
  };
  for (const auto& [name, value] : counts) {
    RecordProperty(name, std::to_string(value));
    std::printf("[ load     ] %-12s %ld\n", name, value);
  }
  EXPECT_EQ(total.Total(), static_cast<long>(kClients) * kRequestsPerClient);
  EXPECT_EQ(total.count[kWrongReply], 0);
  EXPECT_EQ(total.count[kOtherError], 0)
      << "last error " << total.lastOtherCode << "; " << nobody.count[kOtherError]
      << " of them from nobody's clients";
  EXPECT_GT(total.count[kAnswered], 0);
  EXPECT_GT(nobody.count[kAnswered], 0);

  // Still the same running process, back to its idle threads and descriptors.
  ASSERT_TRUE(WaitForServiceState(platform::kServiceRunning, &status));
  EXPECT_EQ(status.processId, static_cast<std::uint32_t>(pid));
  std::array<int, 2> seen{};
  EXPECT_TRUE(WaitForResources(pid, idle, &seen))
      << "threads " << seen[0] << " (idle " << idle[0] << "), descriptors " << seen[1] << " (idle "
      << idle[1] << ")";
  ASSERT_TRUE(SendPipeRequest(u"after-load", &reply));
  EXPECT_EQ(reply, u"ERROR unknown command: after-load");

  ASSERT_EQ(RunServiceTool({"stop"}), 0);
  ASSERT_TRUE(WaitForServiceState(platform::kServiceStopped, &status));
  EXPECT_TRUE(WaitForProcessExit(pid));
}

}  // namespace
}  // namespace vovu::testing
