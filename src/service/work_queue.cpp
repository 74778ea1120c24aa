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
    jobs_.push_back(Entry{std::move(job), std::u16string(), std::u16string()});
  }
  signal_.WakeOne();
}

WorkQueue::Outcome WorkQueue::EnqueueOwned(Job job, const std::u16string& owner,
                                           const std::u16string& key, std::size_t maxPerOwner) {
  {
    std::lock_guard lock(lock_);
    std::size_t owned = 0;
    for (const Entry& entry : jobs_) {
      if (entry.owner != owner)
        continue;
      if (!key.empty() && entry.key == key)
        return Outcome::kMerged;
      ++owned;
    }
    if (owned >= maxPerOwner)
      return Outcome::kOwnerFull;
    jobs_.push_back(Entry{std::move(job), owner, key});
  }
  signal_.WakeOne();
  return Outcome::kQueued;
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

std::size_t WorkQueue::QueuedCountOf(const std::u16string& owner) {
  std::lock_guard lock(lock_);
  std::size_t count = 0;
  for (const Entry& entry : jobs_)
    count += entry.owner == owner ? 1 : 0;
  return count;
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
      job = std::move(jobs_.front().job);
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
