// A gate that releases every thread waiting at it once it is opened, for tests that start
// threads together. A mutex and a condition variable: the standard latch's wait and notify
// can lose a wake-up in mingw-w64's library on winpthreads, which hung the Windows suite.
#pragma once

#include <condition_variable>
#include <mutex>

namespace vovu::testing {

class StartGate {
 public:
  // Opens the gate for `count` arrivals: the last of them opens it for all.
  explicit StartGate(int count) : remaining_(count) {}

  // Counts this arrival and waits until every arrival has been counted.
  void ArriveAndWait() {
    std::unique_lock lock(mutex_);
    if (--remaining_ <= 0)
      opened_.notify_all();
    else
      opened_.wait(lock, [this] { return remaining_ <= 0; });
  }

  // Counts one arrival without waiting.
  void Arrive() {
    std::lock_guard lock(mutex_);
    if (--remaining_ <= 0)
      opened_.notify_all();
  }

  // Waits until every arrival has been counted, counting none.
  void Wait() {
    std::unique_lock lock(mutex_);
    opened_.wait(lock, [this] { return remaining_ <= 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  int remaining_;
};

}  // namespace vovu::testing
