// Command-pipe round trip: one unknown-word request through the running service with
// SendPipeRequest, against plain SOCK_SEQPACKET echo servers in the same run.
//
// The service takes one connection per request (connect, one message, one reply,
// disconnect), serves connections side by side but runs their commands one at a time, so
// the fair reference is an echo server that also takes a connection per request and answers
// one connection at a time; an echo over one persistent connection is printed as the floor
// of what a message round trip costs at all.
// Each side is measured with one client sending requests one after another, and then with
// 8 and 32 clients (threads) sending at once; each side is warmed up first. Prints p50 and p99
// latency and requests per second, the service's ratios to the references, and how often a
// service request had to be sent again because the pipe had no instance (2) or every
// instance was busy (231).
//
// The service part installs and starts the real executable in a machine root of its own
// (with a stamped stand-in Korvadesk.exe, as an installation has) and needs root; without
// root only the references are measured. Interrupted (Ctrl-C, SIGTERM, SIGHUP) while the
// service runs, it still stops and uninstalls the service and removes its machine root.
//
// Usage: pipe_roundtrip_bench [requests]   (default 20000 per mode)
//
// With --silent [connections] [pings] (default 32 and 200) it measures instead how another
// user's request fares while one user holds the service's connections: a process of uid
// 65534 keeps `connections` connections open that never send anything, each opened again as
// soon as the service closes it, and meanwhile this process (root) sends `pings` requests
// one after another with SendPipeRequest (its 3000 ms wait, no retries). Prints how many were
// answered and the p50 and p99 time of the answered ones, and how many connections the
// holder opened.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "foundation/text.h"
#include "platform/error.h"
#include "platform/host/core/machine_root.h"
#include "platform/pipe.h"
#include "service/pipe_client.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kWarmUp = 500;
// How long one request may keep being sent again before the run counts it as failed.
constexpr auto kRetryLimit = std::chrono::seconds(10);
constexpr char16_t kWord[] = u"bench-unknown-word";

// Set by a signal while the service is being measured; the measurement then ends early and
// the service is taken down as after a normal run.
volatile sig_atomic_t interrupted = 0;

void OnInterrupt(int) {
  interrupted = 1;
}

void HandleInterrupts(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  for (int signal : {SIGINT, SIGTERM, SIGHUP})
    sigaction(signal, &action, nullptr);
}

// The client counts measured: one, then two groups sending at once.
constexpr int kClientCounts[] = {1, 8, 32};
constexpr std::size_t kModes = std::size(kClientCounts);

struct Result {
  bool measured = false;
  double p50Us = 0;
  double p99Us = 0;
  double perSecond = 0;
  std::atomic<long> retriesNoPipe{0};  // requests sent again after 2: no instance at that moment
  std::atomic<long> retriesBusy{0};    // after 231: every instance busy
  std::atomic<long> retriesWaited{0};  // after 121: no instance within the client's 3 s wait
  std::atomic<long> lost{0};           // requests not answered within kRetryLimit
};

// Times `count` calls of `roundTrip`, spread over `clients` threads that start together,
// after kWarmUp untimed calls; false when a warm-up call failed, the run was interrupted or
// no call succeeded. A call that fails is counted as lost. Latency is per answered call,
// throughput is answered calls over the wall time of the whole run.
bool Measure(int count, int clients, const std::function<bool()>& roundTrip, Result* result) {
  for (int i = 0; i < kWarmUp; ++i) {
    if (interrupted || !roundTrip())
      return false;
  }
  const int perClient = std::max(1, count / clients);
  std::vector<std::vector<double>> micros(static_cast<std::size_t>(clients));
  std::atomic<bool> failed{false};
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      std::vector<double>& mine = micros[static_cast<std::size_t>(c)];
      mine.reserve(static_cast<std::size_t>(perClient));
      ++ready;
      while (!go)
        std::this_thread::yield();
      for (int i = 0; i < perClient && !failed; ++i) {
        if (interrupted) {
          failed = true;
          return;
        }
        const auto before = Clock::now();
        if (!roundTrip()) {
          // A request lost (not answered within the retry limit) is counted, not timed.
          if (interrupted) {
            failed = true;
            return;
          }
          ++result->lost;
          continue;
        }
        mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
      }
    });
  }
  while (ready < clients)
    std::this_thread::yield();
  const auto start = Clock::now();
  go = true;
  for (std::thread& thread : threads)
    thread.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  for (const std::vector<double>& mine : micros)
    all.insert(all.end(), mine.begin(), mine.end());
  if (failed || all.empty())
    return false;
  std::sort(all.begin(), all.end());
  result->measured = true;
  result->p50Us = all[all.size() / 2];
  result->p99Us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  result->perSecond = static_cast<double>(all.size()) / seconds;
  return true;
}

std::string RequestBytes() {
  std::string bytes;
  for (char16_t unit : std::u16string(kWord)) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

// ---- The service ----

// Runs `program` with `args` and this process's environment; its exit code or -1.
int Run(const std::string& program, std::vector<std::string> args) {
  args.insert(args.begin(), program);
  std::vector<char*> argv;
  for (std::string& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
    return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

// A machine root of its own with the service installed in C:\Program Files\Korva.
bool PrepareMachine(const fs::path& top, std::string* executable) {
  const fs::path root = top / "machine";
  const fs::path install = root / "drive_c" / "Program Files" / "Korva";
  std::error_code error;
  fs::create_directories(install, error);
  fs::create_directories(root / "drive_c" / "ProgramData", error);
  if (error)
    return false;
  setenv(vovu::platform::host::kMachineRootVariable, root.c_str(), 1);
  setenv("ProgramData", "C:\\ProgramData", 1);
  *executable = (install / "vovudidavuda.exe").string();
  const std::string desktop = (install / "Korvadesk.exe").string();
  // Another build of the service (an earlier one, to compare) may be named instead.
  const char* service = std::getenv("VOVU_BENCH_SERVICE_EXECUTABLE");
  fs::copy_file(service != nullptr ? service : VOVU_SERVICE_EXECUTABLE_PATH, *executable, error);
  if (!error)
    fs::copy_file(VOVU_KORVADESK_STANDIN_PATH, desktop, error);
  return !error && chmod(executable->c_str(), 0755) == 0 &&
         Run(VOVU_STAMP_VERSION_PATH, {desktop, "2.10.0.999", "9.9.9.9"}) == 0;
}

// A service installed and started in a machine root of its own for one measurement, then
// stopped and uninstalled, and its machine root removed.
class BenchService {
 public:
  BenchService() {
    char pattern[] = "/tmp/vovu-pipe-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      failed_ = "making the machine root";
      return;
    }
    top_ = pattern;
    // Other users (the silent holder) reach the machine root's pipes through it.
    if (chmod(top_.c_str(), 0755) != 0 || !PrepareMachine(top_, &executable_)) {
      failed_ = "preparing the machine root";
    } else if (Run(executable_, {"install"}) != 0) {
      failed_ = "vovudidavuda install";
    } else if (Run(executable_, {"start"}) != 0) {
      failed_ = "vovudidavuda start";
    } else {
      // The service answers once its pipe thread has made the first instance.
      std::u16string first;
      const auto deadline = Clock::now() + std::chrono::seconds(10);
      bool answered;
      while (!(answered = vovu::SendPipeRequest(kWord, &first)) && Clock::now() < deadline &&
             !interrupted)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (!answered || first != u"ERROR unknown command: " + std::u16string(kWord))
        failed_ = "the first request";
    }
  }
  ~BenchService() {
    if (!executable_.empty()) {
      (void)Run(executable_, {"stop"});
      (void)Run(executable_, {"uninstall"});
    }
    std::error_code ignored;
    if (!top_.empty())
      fs::remove_all(top_, ignored);
    if (failed_ != nullptr)
      std::fprintf(stderr, "service: %s failed\n", failed_);
  }
  BenchService(const BenchService&) = delete;
  BenchService& operator=(const BenchService&) = delete;

  [[nodiscard]] bool ok() const { return failed_ == nullptr; }
  void Fail(const char* what) { failed_ = what; }

 private:
  fs::path top_;
  std::string executable_;
  const char* failed_ = nullptr;
};

// Measures the installed, running service with each client count.
bool MeasureService(int count, Result (&results)[kModes]) {
  BenchService service;
  const std::u16string expected = u"ERROR unknown command: " + std::u16string(kWord);
  // A request that finds no instance (2) or every instance busy (231) fails at once, and a
  // client sends it again. A round trip is the time until the reply, such retries
  // included; how often they happened is counted.
  for (std::size_t mode = 0; mode < kModes && service.ok(); ++mode) {
    Result* result = &results[mode];
    const auto roundTrip = [&] {
      std::u16string reply;
      const auto giveUp = Clock::now() + kRetryLimit;
      while (Clock::now() < giveUp) {
        if (vovu::SendPipeRequest(kWord, &reply))
          return reply == expected;
        const auto error = vovu::platform::LastError();
        if (error == vovu::platform::kErrorFileNotFound) {
          ++result->retriesNoPipe;
        } else if (error == vovu::platform::kErrorPipeBusy) {
          ++result->retriesBusy;
        } else if (error == vovu::platform::kErrorSemTimeout) {
          ++result->retriesWaited;
        } else {
          std::fprintf(stderr, "service: request failed with %u\n", error);
          return false;
        }
      }
      return false;
    };
    if (!Measure(count, kClientCounts[mode], roundTrip, result)) {
      std::fprintf(stderr, "service: a request failed with %d client(s) at once\n",
                   kClientCounts[mode]);
      service.Fail("a measured request");
    }
  }
  return service.ok();
}

// ---- Another user's requests while one user holds silent connections ----

constexpr uid_t kHolderUid = 65534;
constexpr char16_t kPipeName[] = u"\\\\.\\pipe\\VovudIdavUda";

// The holder's process: becomes uid 65534 in a session of its own and keeps `connections`
// connections open that never send, each opened again once the service has closed it. It
// writes one byte to `readyFd` after its first open, and when `stopFd` is readable writes
// how many connections it opened to `countFd` and exits.
[[noreturn]] void HoldSilently(int connections, int readyFd, int stopFd, int countFd) {
  if (setsid() < 0 || setgroups(0, nullptr) != 0 || setgid(kHolderUid) != 0 ||
      setuid(kHolderUid) != 0) {
    _exit(100);
  }
  std::atomic<long> opened{0};
  for (int i = 0; i < connections; ++i) {
    std::thread([&opened, readyFd] {
      for (;;) {
        if (!vovu::platform::WaitForPipeInstance(kPipeName, 1000))
          continue;
        vovu::platform::PipeHandle pipe = vovu::platform::OpenPipe(kPipeName);
        if (!pipe.valid())
          continue;
        if (++opened == 1)
          (void)!write(readyFd, "r", 1);
        // Blocks until the service closes the connection.
        char buffer[64];
        std::uint32_t got = 0;
        (void)vovu::platform::ReadPipeMessage(pipe, buffer, sizeof buffer, &got);
      }
    }).detach();
  }
  char byte;
  while (read(stopFd, &byte, 1) < 0 && errno == EINTR) {
  }
  const long count = opened.load();
  (void)!write(countFd, &count, sizeof count);
  _exit(0);
}

struct SilentHoldResult {
  int answered = 0;
  double p50Ms = 0;
  double p99Ms = 0;
  long holderOpens = 0;
};

// `pings` requests one after another while the holder runs; latency of the answered ones.
bool MeasureUnderSilentHold(int connections, int pings, SilentHoldResult* result) {
  BenchService service;
  if (!service.ok())
    return false;
  int ready[2], stop[2], count[2];
  if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(stop, O_CLOEXEC) != 0 || pipe2(count, O_CLOEXEC) != 0)
    return false;
  const pid_t holder = fork();
  if (holder == 0) {
    // Its own copies of the other ends would keep it from seeing the end of the run.
    close(ready[0]);
    close(stop[1]);
    close(count[0]);
    HoldSilently(connections, ready[1], stop[0], count[1]);
  }
  close(ready[1]);
  close(stop[0]);
  close(count[1]);
  char byte;
  const bool holding = holder > 0 && read(ready[0], &byte, 1) == 1;
  // Time for the holder's other connections to open (or to queue up for an instance).
  std::this_thread::sleep_for(std::chrono::seconds(2));
  std::vector<double> millis;
  for (int i = 0; holding && i < pings && !interrupted; ++i) {
    const std::u16string word = u"bench-ping-" + vovu::Utf8ToWide(std::to_string(i));
    std::u16string reply;
    const auto before = Clock::now();
    const bool sent = vovu::SendPipeRequest(word, &reply);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - before).count();
    if (sent && reply == u"ERROR unknown command: " + word)
      millis.push_back(ms);
  }
  close(stop[1]);
  long opens = 0;
  if (holder > 0 && read(count[0], &opens, sizeof opens) == sizeof opens)
    result->holderOpens = opens;
  close(ready[0]);
  close(count[0]);
  if (holder > 0)
    (void)waitpid(holder, nullptr, 0);
  if (!holding) {
    service.Fail("starting the holder");
    return false;
  }
  std::sort(millis.begin(), millis.end());
  result->answered = static_cast<int>(millis.size());
  if (!millis.empty()) {
    result->p50Ms = millis[millis.size() / 2];
    result->p99Ms = millis[std::min(millis.size() - 1, millis.size() * 99 / 100)];
  }
  return true;
}

int RunSilentHold(int connections, int pings) {
  if (geteuid() != 0) {
    std::printf("silent hold: skipped (installing a service and acting as uid 65534 need root)\n");
    return 0;
  }
  HandleInterrupts(OnInterrupt);
  SilentHoldResult result;
  const bool measured = MeasureUnderSilentHold(connections, pings, &result);
  HandleInterrupts(SIG_DFL);
  if (!measured)
    return 1;
  std::printf("uid 65534 holds %d silent connections (%ld opened in all)\n", connections,
              result.holderOpens);
  std::printf("root's requests: %d of %d answered (%.1f%%), p50 %.1f ms, p99 %.1f ms\n",
              result.answered, pings, 100.0 * result.answered / pings, result.p50Ms, result.p99Ms);
  return 0;
}

// ---- The references ----

sockaddr_un AddressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

int Listen(const std::string& path) {
  unlink(path.c_str());
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  const sockaddr_un address = AddressOf(path);
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 16) != 0) {
    return -1;
  }
  return fd;
}

int Connect(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  const sockaddr_un address = AddressOf(path);
  if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Echoes messages on `connection` until the client closes it.
void EchoUntilClosed(int connection) {
  char buffer[8192];
  ssize_t n;
  while ((n = recv(connection, buffer, sizeof buffer, 0)) > 0) {
    if (send(connection, buffer, static_cast<std::size_t>(n), 0) != n)
      break;
  }
  close(connection);
}

// One message and its echo; true when the echo is the message.
bool Exchange(int fd, const std::string& message) {
  char buffer[4096];
  if (send(fd, message.data(), message.size(), 0) != static_cast<ssize_t>(message.size()))
    return false;
  const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
  return n == static_cast<ssize_t>(message.size()) && std::memcmp(buffer, message.data(), n) == 0;
}

// An echo server that serves connections one after another, each until its client closes it.
bool MeasureEcho(const std::string& path, int count, int clients, bool perRequest, Result* result) {
  const int listener = Listen(path);
  if (listener < 0)
    return false;
  std::atomic<bool> done{false};
  std::thread server([listener, &done] {
    while (!done) {
      const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0)
        return;
      EchoUntilClosed(connection);
    }
  });
  const std::string message = RequestBytes();
  bool ok;
  if (perRequest) {
    ok = Measure(
        count, clients,
        [&] {
          const int fd = Connect(path);
          const bool exchanged = fd >= 0 && Exchange(fd, message);
          if (fd >= 0)
            close(fd);
          return exchanged;
        },
        result);
  } else {
    const int fd = Connect(path);
    ok = fd >= 0 && Measure(
                        count, 1, [&] { return Exchange(fd, message); }, result);
    if (fd >= 0)
      close(fd);
  }
  // The server waits for one more connection; this one ends it.
  done = true;
  const int last = Connect(path);
  if (last >= 0)
    close(last);
  server.join();
  close(listener);
  unlink(path.c_str());
  return ok;
}

void Print(const char* name, const Result& r) {
  if (!r.measured) {
    std::printf("%-34s %10s %10s %12s\n", name, "-", "-", "-");
    return;
  }
  std::printf("%-34s %10.1f %10.1f %12.0f\n", name, r.p50Us, r.p99Us, r.perSecond);
}

void PrintRatio(const char* name, const Result& service, const Result& reference) {
  if (!service.measured || !reference.measured)
    return;
  std::printf("service / %-24s p50 %.2fx  p99 %.2fx  throughput %.2fx\n", name,
              service.p50Us / reference.p50Us, service.p99Us / reference.p99Us,
              service.perSecond / reference.perSecond);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--silent") == 0) {
    const int connections = argc > 2 ? std::max(1, std::atoi(argv[2])) : 32;
    const int pings = argc > 3 ? std::max(1, std::atoi(argv[3])) : 200;
    return RunSilentHold(connections, pings);
  }
  const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
  Result service[kModes];
  Result perConnection[kModes];
  Result persistent;
  if (geteuid() != 0) {
    std::printf("service: skipped (installing and starting a service needs root)\n");
  } else {
    HandleInterrupts(OnInterrupt);
    const bool measured = MeasureService(count, service);
    HandleInterrupts(SIG_DFL);
    if (interrupted) {
      std::fprintf(stderr, "interrupted: the service was stopped and uninstalled\n");
      return 130;
    }
    if (!measured) {
      std::fprintf(stderr, "service: the round trip failed\n");
      return 1;
    }
  }
  const std::string socket = (fs::temp_directory_path() / "vovu-pipe-bench-echo.sock").string();
  for (std::size_t mode = 0; mode < kModes; ++mode) {
    if (!MeasureEcho(socket, count, kClientCounts[mode], /*perRequest=*/true,
                     &perConnection[mode])) {
      std::fprintf(stderr, "echo: the round trip failed\n");
      return 1;
    }
  }
  if (!MeasureEcho(socket, count, 1, /*perRequest=*/false, &persistent)) {
    std::fprintf(stderr, "echo: the round trip failed\n");
    return 1;
  }

  std::printf("%d round trips of a %zu-byte request per mode\n", count,
              std::u16string(kWord).size() * 2);
  for (std::size_t mode = 0; mode < kModes; ++mode) {
    const int clients = kClientCounts[mode];
    std::printf("\n%d client%s at once\n", clients, clients == 1 ? "" : "s");
    std::printf("%-34s %10s %10s %12s\n", "", "p50 us", "p99 us", "requests/s");
    Print("service (SendPipeRequest)", service[mode]);
    Print("echo, connection per request", perConnection[mode]);
    if (mode == 0)
      Print("echo, persistent connection", persistent);
    if (service[mode].measured) {
      std::printf("service requests sent again: %ld after 2 (no instance), %ld after 231 (busy)\n",
                  service[mode].retriesNoPipe.load(), service[mode].retriesBusy.load());
      std::printf(
          "service requests sent again after 121 (no instance within 3 s): %ld; lost: %ld\n",
          service[mode].retriesWaited.load(), service[mode].lost.load());
    }
    PrintRatio("echo per connection", service[mode], perConnection[mode]);
    if (mode == 0)
      PrintRatio("echo persistent", service[mode], persistent);
  }
  return 0;
}
