// A private network namespace for the calling thread, with its own loopback, so that tests
// may bind port 443 on 127.0.0.x without touching the machine's network. Needs root (or
// CAP_SYS_ADMIN); threads and processes the thread starts afterwards share it.
#pragma once

#include <string>

namespace vovu::testing {

class PrivateNetwork {
 public:
  PrivateNetwork() = default;
  ~PrivateNetwork();  // takes the thread back to the namespace it came from
  PrivateNetwork(const PrivateNetwork&) = delete;
  PrivateNetwork& operator=(const PrivateNetwork&) = delete;

  // Moves the calling thread into a new network namespace and brings its loopback up. False
  // with the reason when the namespace cannot be made.
  [[nodiscard]] bool Enter(std::string* reason);

 private:
  int original_ = -1;
};

}  // namespace vovu::testing
