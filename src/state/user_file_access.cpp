#include "state/user_file_access.h"

#include <map>
#include <mutex>
#include <span>

#include "foundation/service_stop.h"
#include "platform/background_thread.h"
#include "platform/sync.h"

namespace vovu {
namespace {

// The abandoned operations still running, per user. Never destroyed: a thread left behind
// may end while the process exits.
struct AbandonedCount {
  std::mutex mutex;
  std::map<std::u16string, int> byOwner;
};

AbandonedCount& Abandoned() {
  static auto* count = new AbandonedCount();
  return *count;
}

// What the waiting thread and the worker share.
struct Shared {
  platform::Event done;
  std::mutex mutex;
  bool abandoned = false;  // the waiter gave up; the worker's end releases the count
};

}  // namespace

BoundedOutcome RunWithinBound(const std::u16string& owner, std::uint32_t limitMs,
                              std::function<void()> work, platform::BackgroundThread* abandoned) {
  {
    AbandonedCount& count = Abandoned();
    std::lock_guard lock(count.mutex);
    const auto found = count.byOwner.find(owner);
    if (found != count.byOwner.end() && found->second >= kMaxAbandonedPerUser)
      return BoundedOutcome::kNotStarted;
  }
  auto shared = std::make_shared<Shared>();
  if (!platform::Event::Create(/*manualReset=*/true, /*initiallySet=*/false, &shared->done))
    return BoundedOutcome::kNotStarted;
  platform::BackgroundThread thread;
  const bool started = platform::BackgroundThread::Start(
      [shared, owner, work = std::move(work)] {
        work();
        std::lock_guard lock(shared->mutex);
        (void)shared->done.Set();
        if (shared->abandoned) {
          AbandonedCount& count = Abandoned();
          std::lock_guard countLock(count.mutex);
          if (--count.byOwner[owner] <= 0)
            count.byOwner.erase(owner);
        }
      },
      &thread);
  if (!started)
    return BoundedOutcome::kNotStarted;

  const platform::Event* stop = ServiceStopEvent();
  const platform::Event* events[] = {&shared->done, stop};
  std::size_t index = 0;
  const std::size_t count = stop != nullptr ? 2 : 1;
  const platform::WaitResult waited =
      platform::WaitForAnyEvent(std::span(events, count), limitMs, &index);
  std::lock_guard lock(shared->mutex);
  if (waited == platform::WaitResult::kSignalled && index == 0)
    return BoundedOutcome::kFinished;
  if (shared->done.Wait(0) == platform::WaitResult::kSignalled)
    return BoundedOutcome::kFinished;  // it ended just as the wait gave up
  shared->abandoned = true;
  {
    AbandonedCount& count = Abandoned();
    std::lock_guard countLock(count.mutex);
    ++count.byOwner[owner];
  }
  thread.CancelBlockingCall();
  if (abandoned != nullptr)
    *abandoned = thread;
  return waited == platform::WaitResult::kSignalled ? BoundedOutcome::kStopped
                                                    : BoundedOutcome::kTimedOut;
}

std::u16string DescribeOutcome(BoundedOutcome outcome) {
  switch (outcome) {
    case BoundedOutcome::kFinished:
      return u"done";
    case BoundedOutcome::kTimedOut:
      return u"timed out";
    case BoundedOutcome::kStopped:
      return u"service stopping";
    case BoundedOutcome::kNotStarted:
      break;
  }
  return u"not started (earlier operations of the user still pending)";
}

}  // namespace vovu
