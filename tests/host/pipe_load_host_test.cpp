// The running service under load: the real executable, installed and started in a fresh
// machine root, takes many concurrent clients (some of them another user's processes) that
// each send a run of requests. The service serves one connection at a time and a client
// does not retry, so a request either gets its exact reply or its SendPipeRequest fails the
// way a client of a busy pipe fails: no instance within the 3000 ms wait (121), no pipe
// between two exchanges (2), or the instance taken by another client after the wait (231).
// Afterwards the service still runs, with the threads and descriptors it had when idle.
//
// The test reports counts only; how long anything took is the benchmark's business
// (bench/pipe_roundtrip_bench.cpp).
#include <grp.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/text.h"
#include "platform/error.h"
#include "platform/pipe.h"
#include "platform/service_control.h"
#include "service/pipe_client.h"
#include "service/service_names.h"
#include "support/host/installed_service.h"
#include "support/test_machine.h"

namespace vovu::testing {
namespace {

constexpr uid_t kNobody = 65534;
constexpr int kRootClients = 24;
constexpr int kNobodyProcesses = 2;
constexpr int kClientsPerNobodyProcess = 4;
constexpr int kRequestsPerClient = 200;
constexpr int kClients = kRootClients + kNobodyProcesses * kClientsPerNobodyProcess;

#define REQUIRE_ROOT() \
  if (geteuid() != 0)  \
  GTEST_SKIP() << "single-user mode: installing a service and acting as another user need root"

// What happened to a client's requests. Plain integers, so children can send them as bytes.
struct Outcomes {
  long answered = 0;    // exactly the expected reply
  long wrongReply = 0;  // a reply, but not the one for this request
  long noInstance = 0;  // 121: no free instance within 3000 ms
  long noPipe = 0;      // 2: no pipe at that moment
  long busy = 0;        // 231: the instance was taken between the wait and the open
  long otherError = 0;  // any other failure
  long lastOtherCode = 0;

  void Add(const Outcomes& o) {
    answered += o.answered;
    wrongReply += o.wrongReply;
    noInstance += o.noInstance;
    noPipe += o.noPipe;
    busy += o.busy;
    otherError += o.otherError;
    if (o.otherError != 0)
      lastOtherCode = o.lastOtherCode;
  }
  [[nodiscard]] long Total() const {
    return answered + wrongReply + noInstance + noPipe + busy + otherError;
  }
};

// One client's run: an unknown word of its own per request, so that a reply meant for
// another request is noticed.
Outcomes RunClient(int client) {
  Outcomes outcomes;
  for (int request = 0; request < kRequestsPerClient; ++request) {
    const std::u16string word =
        Utf8ToWide("load-" + std::to_string(client) + "-" + std::to_string(request));
    std::u16string reply;
    if (SendPipeRequest(word, &reply)) {
      if (reply == u"ERROR unknown command: " + word) {
        ++outcomes.answered;
      } else {
        ++outcomes.wrongReply;
      }
      continue;
    }
    switch (platform::LastError()) {
      case platform::kErrorSemTimeout:
        ++outcomes.noInstance;
        break;
      case platform::kErrorFileNotFound:
        ++outcomes.noPipe;
        break;
      case platform::kErrorPipeBusy:
        ++outcomes.busy;
        break;
      default:
        ++outcomes.otherError;
        outcomes.lastOtherCode = platform::LastError();
        break;
    }
  }
  return outcomes;
}

// Runs clients first..first+count-1 on threads of this process once `go` is released.
class ClientThreads {
 public:
  ClientThreads(int first, int count) : results_(static_cast<std::size_t>(count)) {
    for (int i = 0; i < count; ++i) {
      threads_.emplace_back([this, first, i] {
        {
          std::unique_lock lock(mutex_);
          released_.wait(lock, [this] { return go_; });
        }
        results_[static_cast<std::size_t>(i)] = RunClient(first + i);
      });
    }
  }
  void Go() {
    {
      std::lock_guard lock(mutex_);
      go_ = true;
    }
    released_.notify_all();
  }
  Outcomes Join() {
    Outcomes sum;
    for (std::thread& thread : threads_)
      thread.join();
    for (const Outcomes& o : results_)
      sum.Add(o);
    return sum;
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool go_ = false;
  std::vector<Outcomes> results_;
  std::vector<std::thread> threads_;
};

// A process of user nobody running clients first..first+count-1 once `gate` reaches end of
// file; it writes its summed Outcomes to `result`. Forked before this process starts any
// thread of its own.
pid_t ForkNobodyClients(int first, int count, int gate, int gateWriter, int result) {
  const pid_t child = fork();
  if (child != 0)
    return child;
  close(gateWriter);
  if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
    _exit(2);
  char byte;
  while (read(gate, &byte, 1) > 0) {
  }
  ClientThreads threads(first, count);
  threads.Go();
  const Outcomes sum = threads.Join();
  const bool sent = write(result, &sum, sizeof sum) == static_cast<ssize_t>(sizeof sum);
  _exit(sent ? 0 : 3);
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
  while (std::chrono::steady_clock::now() < deadline) {
    *seen = Resources(pid);
    if (*seen == idle && WaitForListeningInstance() && Resources(pid) == idle) {
      reached = true;
      break;
    }
    pollfd p = {processFd, POLLIN, 0};
    if (poll(&p, 1, 10) > 0)
      break;  // the service ended
  }
  close(processFd);
  return reached;
}

void Report(const char* name, long value) {
  ::testing::Test::RecordProperty(name, std::to_string(value));
  std::printf("[ load     ] %-12s %ld\n", name, value);
}

TEST(PipeLoadHost, ConcurrentClientsAreAnsweredOrToldTheyWaitedAndTheServiceStaysIdle) {
  REQUIRE_ROOT();
  TestMachine machine;
  ServiceCleanup cleanup;
  PlaceServiceExecutable();
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_EQ(RunServiceTool({"install"}), 0);
  ASSERT_EQ(RunServiceTool({"start"}), 0);
  platform::ServiceStatus status;
  ASSERT_TRUE(WaitForServiceState(platform::kServiceRunning, &status));
  const pid_t pid = static_cast<pid_t>(status.processId);
  std::u16string reply;
  ASSERT_TRUE(WaitForPipeAnswer(u"warm-up", &reply));
  ASSERT_EQ(reply, u"ERROR unknown command: warm-up");
  ASSERT_TRUE(WaitForListeningInstance());
  const std::array<int, 2> idle = Resources(pid);
  ASSERT_GT(idle[0], 0);
  ASSERT_GT(idle[1], 0);

  // Nobody's clients first (no thread may exist here when they are forked), then ours; all
  // start together.
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  std::vector<pid_t> children;
  std::vector<int> results;
  for (int p = 0; p < kNobodyProcesses; ++p) {
    int result[2];
    ASSERT_EQ(pipe(result), 0);
    const int first = kRootClients + p * kClientsPerNobodyProcess;
    children.push_back(
        ForkNobodyClients(first, kClientsPerNobodyProcess, gate[0], gate[1], result[1]));
    close(result[1]);
    results.push_back(result[0]);
  }
  close(gate[0]);
  Outcomes total;
  Outcomes nobody;
  {
    ClientThreads threads(0, kRootClients);
    threads.Go();
    close(gate[1]);
    total = threads.Join();
  }
  for (std::size_t p = 0; p < children.size(); ++p) {
    Outcomes child;
    EXPECT_EQ(read(results[p], &child, sizeof child), static_cast<ssize_t>(sizeof child));
    close(results[p]);
    int childStatus = 0;
    ASSERT_EQ(waitpid(children[p], &childStatus, 0), children[p]);
    EXPECT_TRUE(WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0) << childStatus;
    nobody.Add(child);
  }
  total.Add(nobody);

  Report("clients", kClients);
  Report("requests", total.Total());
  Report("answered", total.answered);
  Report("nobody_ok", nobody.answered);
  Report("no_instance", total.noInstance);
  Report("no_pipe", total.noPipe);
  Report("busy", total.busy);
  Report("wrong_reply", total.wrongReply);
  Report("other_error", total.otherError);
  Report("idle_threads", idle[0]);
  Report("idle_fds", idle[1]);
  EXPECT_EQ(total.Total(), static_cast<long>(kClients) * kRequestsPerClient);
  EXPECT_EQ(total.wrongReply, 0);
  EXPECT_EQ(total.otherError, 0) << "last error " << total.lastOtherCode << "; "
                                 << nobody.otherError << " of them from nobody's clients";
  EXPECT_GT(total.answered, 0);
  EXPECT_GT(nobody.answered, 0);

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
  ASSERT_EQ(RunServiceTool({"uninstall"}), 0);
  std::uint32_t error = 0;
  EXPECT_FALSE(QueryInstalledService(&status, &error));
  EXPECT_EQ(error, platform::kErrorServiceDoesNotExist);
}

}  // namespace
}  // namespace vovu::testing
