// The objects of one run of the service: ServiceStopEvent, the work queue (with JobQueueLock
// and JobQueueSignal), the worker thread and the pipe thread. ServiceMain owns one runtime for
// the length of the run and ends the run by letting it go out of scope.
#pragma once

#include "platform/sync.h"
#include "service/pipe_server.h"
#include "service/work_queue.h"

namespace vovu {

class ServiceRuntime {
 public:
  // `dispatch` carries out the pipe's requests (ExecuteWhitelistedCommand in the service).
  explicit ServiceRuntime(CommandDispatcher dispatch);
  // Sets the stop event and joins both threads (the pipe thread first, then the worker,
  // which finishes its current job; queued jobs are dropped).
  ~ServiceRuntime();
  ServiceRuntime(const ServiceRuntime&) = delete;
  ServiceRuntime& operator=(const ServiceRuntime&) = delete;

  // Creates ServiceStopEvent (manual reset, not set) and publishes it (foundation/
  // service_stop.h) until the runtime ends. False with the last error.
  [[nodiscard]] bool CreateStopEvent();

  // Starts the worker, queues `startupJob` (when there is one) as the first job, and starts
  // the pipe thread. False with the failing thread creation's own error as the last error;
  // the worker, if it started, has then been stopped and joined (the start-up job may have
  // run). Requires the stop event.
  [[nodiscard]] bool Start(Job startupJob);

  // Waits without limit for the stop event (set by the control handler, or by Stop).
  void WaitForStop() const;

  // Sets the stop event.
  void Stop() const;

  [[nodiscard]] const platform::Event& StopEvent() const { return stop_; }
  // The queue, published as ServiceWorkQueue while the runtime exists.
  [[nodiscard]] WorkQueue& Queue() { return queue_; }

 private:
  void JoinThreads();

  CommandDispatcher dispatch_;
  platform::Event stop_;
  WorkQueue queue_;
  PublishedWorkQueue publishedQueue_{queue_};
  platform::Thread worker_;
  platform::Thread pipe_;
};

}  // namespace vovu
