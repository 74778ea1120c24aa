// The background work queue: jobs run one at a time, in the order queued, on one worker.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>

#include "platform/sync.h"

namespace vovu {

// A queued job: owns copies of everything it needs; takes nothing, returns nothing.
using Job = std::function<void()>;

// JobQueue with its lock (JobQueueLock, spin count 1024) and condition variable
// (JobQueueSignal), bound to the run's stop event. Owned by the service's runtime; tests
// make their own.
class WorkQueue {
 public:
  explicit WorkQueue(const platform::Event& stop);
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  // EnqueueJob: appends `job` at the back under the lock and wakes the worker. Callable from
  // any thread, a running job included.
  void Enqueue(Job job);

  // How EnqueueOwned ended.
  enum class Outcome {
    kQueued,     // appended at the back
    kMerged,     // a job with the same key is still waiting: it stands for this one too
    kOwnerFull,  // `owner` already has `maxPerOwner` jobs waiting: nothing queued
  };

  // Appends `job` on behalf of `owner` (a user's SID) under `key` (the job id), unless a job
  // with the same key is still waiting (not yet taken by the worker) or the owner already has
  // `maxPerOwner` jobs waiting. Jobs of other owners and untagged jobs are not counted.
  [[nodiscard]] Outcome EnqueueOwned(Job job, const std::u16string& owner,
                                     const std::u16string& key, std::size_t maxPerOwner);

  // The worker's loop: runs queued jobs front first, each without the lock held, until the
  // stop event is set; jobs still queued then are never run. A job that throws is abandoned
  // with the debugger line "hot-update job threw". While the queue is empty the worker
  // sleeps on the condition variable without a time limit: an enqueue or WakeWorker ends
  // the sleep.
  void RunWorker();

  // Makes a sleeping worker look at the stop event again. Called after the stop event is
  // set; the lock is taken first, so a worker between its look and its sleep cannot miss it.
  void WakeWorker();

  // JobQueueLock, also held by the steps that read and rewrite a job record (confirm,
  // cancel, the rollback timer's switch), so that they never interleave with one another.
  [[nodiscard]] platform::CriticalSection& Lock() { return lock_; }

  // How many jobs wait in the queue, in all and on behalf of `owner`.
  [[nodiscard]] std::size_t QueuedCount();
  [[nodiscard]] std::size_t QueuedCountOf(const std::u16string& owner);

 private:
  [[nodiscard]] bool StopRequested() const;

  const platform::Event& stop_;
  platform::CriticalSection lock_;
  platform::ConditionVariable signal_;
  struct Entry {
    Job job;
    std::u16string owner;  // empty for the service's own jobs
    std::u16string key;
  };
  std::deque<Entry> jobs_;
};

// The running service's queue, for the dispatcher's hot-update words: published by the
// service's runtime for the length of its run (PublishedWorkQueue), null in a process that
// serves no pipe (the command line's own run of a command).
[[nodiscard]] WorkQueue* ServiceWorkQueue();

// JobQueueLock of the running service's queue; null when there is none.
[[nodiscard]] platform::CriticalSection* JobQueueLock();

// EnqueueJob on the running service's queue; false when there is none.
[[nodiscard]] bool EnqueueJob(Job job);

// Publishes `queue` as ServiceWorkQueue while this object lives. Made before the threads that
// use it start, and ended after they have been joined.
class PublishedWorkQueue {
 public:
  explicit PublishedWorkQueue(WorkQueue& queue);
  ~PublishedWorkQueue();
  PublishedWorkQueue(const PublishedWorkQueue&) = delete;
  PublishedWorkQueue& operator=(const PublishedWorkQueue&) = delete;
};

}  // namespace vovu
