// debug-view: the host's debugger-output viewer.
//
//   debug-view [--count N]
//
// Binds the listener socket of the machine root ($VOVU_MACHINE_ROOT) and prints every debug
// string the programs of that machine send, as it arrives. Without a listener those strings
// are dropped, as on Windows without a debugger. As on Windows, where any process's debugger
// output reaches a debugger, every local user may send: the socket is made writable for
// all, so a user's failing command line is seen too. Says on standard error where it
// listens. Stops after N strings when asked, else on a signal; the socket is removed on the
// way out. Exit code 0; 1 when it cannot listen; 2 for a usage error.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/host/core/machine_root.h"
#include "tool_common.h"

namespace {

constexpr char kUsage[] =
    "usage: debug-view [--count N]\n"
    "Prints the debugger output of every program of the machine root as it arrives, until\n"
    "N strings were shown or it is interrupted. Exit code 0; 1 when it cannot listen; 2 for\n"
    "a usage error.\n";

volatile sig_atomic_t stopping = 0;
void Stop(int) {
  stopping = 1;
}
}  // namespace

int main(int argc, char** argv) {
  long count = -1;
  if (argc == 2 && vovu::tools::IsHelpArgument(argv[1]))
    return vovu::tools::ShowUsage(kUsage);
  if (argc == 3 && std::strcmp(argv[1], "--count") == 0) {
    char* end = nullptr;
    count = std::strtol(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || count <= 0)
      return vovu::tools::UsageError("debug-view", "N must be a positive number", kUsage);
  } else if (argc != 1) {
    return vovu::tools::UsageError("debug-view", "unexpected arguments", kUsage);
  }
  vovu::tools::NoteMachineRoot("debug-view");
  const std::string path =
      vovu::platform::host::MachineRoot() + "/" + vovu::platform::host::kDebugSocketName;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    std::fprintf(stderr, "debug-view: socket path too long: %s\n", path.c_str());
    return 1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  unlink(path.c_str());
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    std::perror("debug-view: bind");
    return 1;
  }
  // Any local user's program may write its lines here (bind made the socket as the umask
  // allows, typically not writable for others).
  if (chmod(path.c_str(), 0666) != 0) {
    std::perror("debug-view: chmod");
    return 1;
  }
  std::fprintf(stderr, "debug-view: listening on %s\n", path.c_str());
  struct sigaction action {};
  action.sa_handler = Stop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::fflush(stdout);
  char buffer[65536];
  while (!stopping && count != 0) {
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n < 0)
      continue;  // interrupted by a signal
    std::fwrite(buffer, 1, static_cast<std::size_t>(n), stdout);
    std::fflush(stdout);
    if (count > 0)
      --count;
  }
  close(fd);
  unlink(path.c_str());
  return 0;
}
