// Command-pipe round trip: one unknown-word request through the running service with
// SendPipeRequest, against plain SOCK_SEQPACKET echo servers in the same run.
//
// The service takes one connection per request (connect, one message, one reply,
// disconnect) and one client at a time, so the fair reference is an echo server that also
// takes a connection per request; an echo over one persistent connection is printed as the
// floor of what a message round trip costs at all. One client, sequential requests; each
// side is warmed up first. Prints p50 and p99 latency and requests per second of all three,
// and the service's ratios to both references.
//
// The service part installs and starts the real executable in a machine root of its own
// (with a stamped stand-in Korvadesk.exe, as an installation has) and needs root; without
// root only the references are measured. Interrupted (Ctrl-C, SIGTERM, SIGHUP) while the
// service runs, it still stops and uninstalls the service and removes its machine root.
//
// Usage: pipe_roundtrip_bench [requests]   (default 20000)
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
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
constexpr int kMaxAttempts = 1000;
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

struct Result {
  bool measured = false;
  double p50Us = 0;
  double p99Us = 0;
  double perSecond = 0;
  long retriesNoPipe = 0;  // requests sent again after 2: no instance at that moment
  long retriesBusy = 0;    // after 231: the instance still busy
};

// Times `count` calls of `roundTrip` after kWarmUp untimed ones; false when any call failed.
bool Measure(int count, const std::function<bool()>& roundTrip, Result* result) {
  for (int i = 0; i < kWarmUp; ++i) {
    if (interrupted || !roundTrip())
      return false;
  }
  std::vector<double> micros(static_cast<std::size_t>(count));
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const auto before = Clock::now();
    if (interrupted || !roundTrip())
      return false;
    micros[static_cast<std::size_t>(i)] =
        std::chrono::duration<double, std::micro>(Clock::now() - before).count();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::sort(micros.begin(), micros.end());
  result->measured = true;
  result->p50Us = micros[micros.size() / 2];
  result->p99Us = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  result->perSecond = count / seconds;
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
  fs::copy_file(VOVU_SERVICE_EXECUTABLE_PATH, *executable, error);
  if (!error)
    fs::copy_file(VOVU_KORVADESK_STANDIN_PATH, desktop, error);
  return !error && chmod(executable->c_str(), 0755) == 0 &&
         Run(VOVU_STAMP_VERSION_PATH, {desktop, "2.10.0.999", "9.9.9.9"}) == 0;
}

// Installs and starts the service, measures it, stops and uninstalls it.
bool MeasureService(int count, Result* result) {
  char pattern[] = "/tmp/vovu-pipe-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr)
    return false;
  const fs::path top = pattern;
  std::string executable;
  const char* failed = nullptr;
  if (!PrepareMachine(top, &executable)) {
    failed = "preparing the machine root";
  } else if (Run(executable, {"install"}) != 0) {
    failed = "vovudidavuda install";
  } else if (Run(executable, {"start"}) != 0) {
    failed = "vovudidavuda start";
  } else {
    // The service answers once its pipe thread has made the first instance.
    const std::u16string expected = u"ERROR unknown command: " + std::u16string(kWord);
    std::u16string reply;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    bool answered;
    while (!(answered = vovu::SendPipeRequest(kWord, &reply)) && Clock::now() < deadline &&
           !interrupted)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // Between two exchanges the service has no pipe instance for a moment, and a request
    // that meets that moment fails at once (2, or 231 when the instance is still busy): a
    // client sends it again. A round trip is the time until the reply, such retries
    // included; how often they happened is counted.
    const auto roundTrip = [&] {
      for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        if (vovu::SendPipeRequest(kWord, &reply))
          return reply == expected;
        const auto error = vovu::platform::LastError();
        if (error == vovu::platform::kErrorFileNotFound) {
          ++result->retriesNoPipe;
        } else if (error == vovu::platform::kErrorPipeBusy) {
          ++result->retriesBusy;
        } else {
          return false;
        }
      }
      return false;
    };
    if (!answered || reply != expected) {
      failed = "the first request";
    } else if (!Measure(count, roundTrip, result)) {
      failed = "a measured request";
    }
  }
  if (!executable.empty()) {
    (void)Run(executable, {"stop"});
    (void)Run(executable, {"uninstall"});
  }
  std::error_code ignored;
  fs::remove_all(top, ignored);
  if (failed != nullptr)
    std::fprintf(stderr, "service: %s failed\n", failed);
  return failed == nullptr;
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
bool MeasureEcho(const std::string& path, int count, bool perRequest, Result* result) {
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
        count,
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
                        count, [&] { return Exchange(fd, message); }, result);
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
  const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
  Result service;
  Result perConnection;
  Result persistent;
  if (geteuid() != 0) {
    std::printf("service: skipped (installing and starting a service needs root)\n");
  } else {
    HandleInterrupts(OnInterrupt);
    const bool measured = MeasureService(count, &service);
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
  if (!MeasureEcho(socket, count, /*perRequest=*/true, &perConnection) ||
      !MeasureEcho(socket, count, /*perRequest=*/false, &persistent)) {
    std::fprintf(stderr, "echo: the round trip failed\n");
    return 1;
  }

  std::printf("%d sequential round trips of a %zu-byte request, one client\n\n", count,
              std::u16string(kWord).size() * 2);
  std::printf("%-34s %10s %10s %12s\n", "", "p50 us", "p99 us", "requests/s");
  Print("service (SendPipeRequest)", service);
  Print("echo, connection per request", perConnection);
  Print("echo, persistent connection", persistent);
  std::printf("\n");
  if (service.measured) {
    std::printf("service requests sent again: %ld after 2 (no instance), %ld after 231 (busy)\n",
                service.retriesNoPipe, service.retriesBusy);
  }
  PrintRatio("echo per connection", service, perConnection);
  PrintRatio("echo persistent", service, persistent);
  return 0;
}
