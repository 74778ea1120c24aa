#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform/host/core/machine_root.h"
#include "support/debug_capture.h"

namespace vovu::testing {

struct DebugCapture::Impl {
  int fd = -1;
  std::string path;
};

DebugCapture::DebugCapture() : impl_(std::make_unique<Impl>()) {
  impl_->path = platform::host::MachineRoot() + "/" + platform::host::kDebugSocketName;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (impl_->path.size() >= sizeof(address.sun_path))
    return;
  std::memcpy(address.sun_path, impl_->path.c_str(), impl_->path.size() + 1);
  unlink(impl_->path.c_str());
  impl_->fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (impl_->fd >= 0 &&
      bind(impl_->fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(impl_->fd);
    impl_->fd = -1;
  }
}

DebugCapture::~DebugCapture() {
  if (impl_->fd >= 0) {
    close(impl_->fd);
    unlink(impl_->path.c_str());
  }
}

bool DebugCapture::Supported() {
  return true;
}

bool DebugCapture::Available() const {
  return impl_->fd >= 0;
}

std::vector<std::string> DebugCapture::Lines() {
  std::vector<std::string> lines;
  char buffer[65536];
  for (;;) {
    const ssize_t n = recv(impl_->fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n < 0)
      break;
    lines.emplace_back(buffer, static_cast<std::size_t>(n));
  }
  return lines;
}

}  // namespace vovu::testing
