#include "service/work_queue.h"

#include <mutex>

#include "foundation/diagnostics.h"

namespace vovu {
namespace {
constexpr std::uint32_t kIdleWaitMs = 1000;
}  // namespace

void EnqueueJob(Job job) {
  {
    std::lock_guard lock(*JobQueueLock());
    JobQueue().push_back(std::move(job));
  }
  JobQueueSignal()->WakeOne();
}

unsigned WorkerThread() {
  for (;;) {
    Job job;
    {
      std::lock_guard lock(*JobQueueLock());
      // The bounded sleep also bounds how long a lost wake-up or a stop can go unnoticed.
      while (JobQueue().empty() && !ServiceStopRequested()) {
        (void)JobQueueSignal()->Wait(*JobQueueLock(), kIdleWaitMs);
      }
      if (ServiceStopRequested())
        return 0;
      job = std::move(JobQueue().front());
      JobQueue().pop_front();
    }
    try {
      job();
    } catch (...) {
      LogDebug(u"hot-update job threw");
    }
  }
}

}  // namespace vovu
