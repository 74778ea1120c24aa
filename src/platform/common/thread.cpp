// The thread object's ownership, the same on both targets: it owns one native thread, which
// it joins before it lets go of it (destruction, or a move over a running one).
#include "platform/sync.h"

namespace vovu::platform {

Thread::~Thread() {
  Join();
}

Thread::Thread(Thread&& other) noexcept : native_(other.native_) {
  other.native_ = 0;
}

Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    Join();
    native_ = other.native_;
    other.native_ = 0;
  }
  return *this;
}

}  // namespace vovu::platform
