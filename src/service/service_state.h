// The process-wide objects of the service's run, created and destroyed by ServiceMain and
// reached by the other parts through these accessors. There are no other globals.
#pragma once

#include <deque>
#include <functional>

#include "platform/sync.h"

namespace vovu {

// A queued job: owns copies of everything it needs; takes nothing, returns nothing.
using Job = std::function<void()>;

// ServiceStopEvent: manual reset, signalled once and never reset. Null while the service is
// not running (for example in the command line's own process).
[[nodiscard]] const platform::Event* ServiceStopEvent();

// Signals the stop event if it exists. Safe from the control handler's thread at any time,
// also while ServiceMain closes the event.
void SignalServiceStop();

// True when the stop event exists and is signalled (tested without waiting).
[[nodiscard]] bool ServiceStopRequested();

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
