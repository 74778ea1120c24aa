// The background work queue: jobs run one at a time, in the order queued, on one worker.
#pragma once

#include "service/service_state.h"

namespace vovu {

// Appends `job` at the back of JobQueue under JobQueueLock and wakes the worker. Callable
// from any thread, a running job included. Requires the queue to exist (ServiceObjects).
void EnqueueJob(Job job);

// The worker thread's procedure: runs queued jobs front first until ServiceStopEvent is
// signalled; jobs still queued then are never run. A job that throws is abandoned with the
// debugger line "hot-update job threw". Returns 0.
unsigned WorkerThread();

}  // namespace vovu
