// debug-view: the host's debugger-output viewer.
//
//   debug-view [--count N]
//
// Binds the listener socket of the machine root ($VOVU_MACHINE_ROOT) and prints every debug
// string the programs of that machine send, as it arrives. Without a listener those strings
// are dropped, as on Windows without a debugger. Stops after N strings when asked, else on
// a signal; the socket is removed on the way out.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/host/core/machine_root.h"

namespace {
volatile sig_atomic_t stopping = 0;
void Stop(int) {
  stopping = 1;
}
}  // namespace

int main(int argc, char** argv) {
  long count = -1;
  if (argc == 3 && std::strcmp(argv[1], "--count") == 0) {
    count = std::strtol(argv[2], nullptr, 10);
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: debug-view [--count N]\n");
    return 2;
  }
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
