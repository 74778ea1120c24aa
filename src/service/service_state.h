// The process-wide objects of the service's run, created and destroyed by ServiceMain and
// reached by the other parts through these accessors. There are no other globals.
#pragma once

#include <deque>
#include <functional>

#include "foundation/service_stop.h"
#include "platform/sync.h"

namespace vovu {

// A queued job: owns copies of everything it needs; takes nothing, returns nothing.
using Job = std::function<void()>;

// ServiceStopEvent, SignalServiceStop and ServiceStopRequested are in
// foundation/service_stop.h, so that the waits of the layers below reach them too.

// JobQueueLock (spin count 1024), JobQueueSignal and JobQueue. The lock and the signal
// exist only while the service's queue is set up (see ServiceObjects).
[[nodiscard]] platform::CriticalSection* JobQueueLock();
[[nodiscard]] platform::ConditionVariable* JobQueueSignal();
[[nodiscard]] std::deque<Job>& JobQueue();

// Owns the process-wide objects for the lifetime of one service run (or one test): the
// constructor installs them, the destructor removes them. Only one may exist at a time.
class ServiceObjects {
 public:
  ServiceObjects() = default;
  ~ServiceObjects();
  ServiceObjects(const ServiceObjects&) = delete;
  ServiceObjects& operator=(const ServiceObjects&) = delete;

  // Creates ServiceStopEvent; false with the last error set on failure.
  [[nodiscard]] bool CreateStopEvent();
  // Creates JobQueueLock and JobQueueSignal.
  void CreateQueue();
  // Deletes JobQueueLock and JobQueueSignal, dropping any job still queued.
  void DeleteQueue();
  // Closes and empties ServiceStopEvent.
  void CloseStopEvent();
};

}  // namespace vovu
