// Host-only helpers for waits that watch events together with other descriptors (the
// pipe's socket): taking an event's signal after poll(2) reported it, and time limits.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/sync.h"

namespace vovu::platform::host {

// After poll reported the event's descriptor readable: true when the signal is this
// waiter's. A manual-reset event stays set; an auto-reset one is reset by this call, and
// false means another waiter took the signal first.
[[nodiscard]] bool TakeEventSignal(const Event& event);

// A time limit in milliseconds (kInfiniteWait: none), measured on the monotonic clock.
class Deadline {
 public:
  explicit Deadline(std::uint32_t timeoutMs);
  // What is left, as a poll(2) time-out: -1 without limit, 0 once expired.
  [[nodiscard]] int RemainingPollTimeout() const;
  [[nodiscard]] bool Expired() const;

 private:
  bool infinite_;
  std::chrono::steady_clock::time_point end_;
};

}  // namespace vovu::platform::host
