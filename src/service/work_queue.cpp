#include "service/work_queue.h"

#include <atomic>
#include <mutex>

#include "foundation/diagnostics.h"

namespace vovu {
namespace {
constexpr std::uint32_t kJobQueueSpinCount = 1024;
std::atomic<WorkQueue*> publishedQueue{nullptr};
}  // namespace

WorkQueue::WorkQueue(const platform::Event& stop) : stop_(stop), lock_(kJobQueueSpinCount) {}

bool WorkQueue::StopRequested() const {
  return stop_.Wait(0) == platform::WaitResult::kSignalled;
}

void WorkQueue::Enqueue(Job job) {
  {
    std::lock_guard lock(lock_);
    jobs_.push_back(std::move(job));
  }
  signal_.WakeOne();
}

void WorkQueue::WakeWorker() {
  // Taking the lock orders this wake-up after a worker's look at the stop event: either the
  // worker sees the event set, or it already sleeps and this wakes it.
  { std::lock_guard lock(lock_); }
  signal_.WakeAll();
}

std::size_t WorkQueue::QueuedCount() {
  std::lock_guard lock(lock_);
  return jobs_.size();
}

void WorkQueue::RunWorker() {
  for (;;) {
    Job job;
    {
      std::lock_guard lock(lock_);
      while (jobs_.empty() && !StopRequested())
        (void)signal_.Wait(lock_, platform::kInfiniteWait);
      if (StopRequested())
        return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    try {
      job();
    } catch (...) {
      LogDebug(u"hot-update job threw");
    }
  }
}

WorkQueue* ServiceWorkQueue() {
  return publishedQueue.load();
}

platform::CriticalSection* JobQueueLock() {
  WorkQueue* queue = ServiceWorkQueue();
  return queue == nullptr ? nullptr : &queue->Lock();
}

bool EnqueueJob(Job job) {
  WorkQueue* queue = ServiceWorkQueue();
  if (queue == nullptr)
    return false;
  queue->Enqueue(std::move(job));
  return true;
}

PublishedWorkQueue::PublishedWorkQueue(WorkQueue& queue) {
  publishedQueue.store(&queue);
}

PublishedWorkQueue::~PublishedWorkQueue() {
  publishedQueue.store(nullptr);
}

}  // namespace vovu
