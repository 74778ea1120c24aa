#include "support/host/private_network.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vovu::testing {

PrivateNetwork::~PrivateNetwork() {
  if (original_ >= 0) {
    (void)setns(original_, CLONE_NEWNET);
    close(original_);
  }
}

bool PrivateNetwork::Enter(std::string* reason) {
  original_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (original_ < 0) {
    *reason = std::string("cannot open this thread's network namespace: ") + std::strerror(errno);
    return false;
  }
  if (unshare(CLONE_NEWNET) != 0) {
    *reason = std::string("cannot make a network namespace (unshare): ") + std::strerror(errno);
    close(original_);
    original_ = -1;
    return false;
  }
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  const bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &request) == 0 &&
                  (request.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &request) == 0);
  if (!up)
    *reason = std::string("cannot bring the loopback up: ") + std::strerror(errno);
  if (s >= 0)
    close(s);
  return up;
}

}  // namespace vovu::testing
