#include "service/pipe_serving.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <utility>

#include "foundation/diagnostics.h"

namespace vovu {

PipeServingPool::PipeServingPool(const platform::Event& stop, CommandDispatcher dispatch)
    : stop_(stop),
      dispatch_(dispatch),
      turns_(PipeTurnLimits{kPipeConnectionsServedPerUser, kPipeConnectionsHeldPerUser}) {}

PipeServingPool::~PipeServingPool() {
  Stop();
}

bool PipeServingPool::Start() {
  for (std::size_t i = 0; i < kPipeServingThreads; ++i) {
    platform::Thread thread;
    if (!thread.Start(u"pipe-serving", [this] { Serve(); }))
      break;
    threads_.push_back(std::move(thread));
  }
  return !threads_.empty();
}

void PipeServingPool::Hand(platform::PipeHandle instance, const std::u16string& user,
                           Clock::time_point deadline) {
  {
    std::lock_guard guard(lock_);
    if (stopping_)
      return;
    const std::uint64_t id = nextId_++;
    if (!turns_.Admit(user, id)) {
      if (overBound_.insert(user).second) {
        LogDebug(u"pipe connections of " +
                 (user.empty() ? std::u16string(u"an unknown user") : user) +
                 u" over the bound, closed");
      }
      return;  // the instance closes as it goes
    }
    pending_.emplace(id, Pending{std::move(instance), deadline});
  }
  wake_.WakeOne();
}

void PipeServingPool::Stop() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  wake_.WakeAll();
  for (platform::Thread& thread : threads_)
    thread.Join();
  threads_.clear();
  std::map<std::uint64_t, Pending> closing;
  {
    std::lock_guard guard(lock_);
    (void)turns_.DropWaiting();
    closing.swap(pending_);
  }
}

void PipeServingPool::Serve() {
  for (;;) {
    std::uint64_t id = 0;
    std::u16string user;
    Pending pending;
    {
      std::unique_lock guard(lock_);
      while (!stopping_ && !turns_.Take(&id, &user))
        (void)wake_.Wait(lock_, platform::kInfiniteWait);
      if (stopping_)
        return;
      const auto found = pending_.find(id);
      pending = std::move(found->second);
      pending_.erase(found);
    }
    // The time left of the client's bound to send its request; a request that came while
    // the connection waited for its turn is read at once even when none is left.
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(pending.deadline - Clock::now());
    const auto requestMs = static_cast<std::uint32_t>(
        std::clamp<long long>(left.count(), 0, static_cast<long long>(kPipeRequestTimeoutMs)));
    HandlePipeClient(pending.instance, stop_, dispatch_, requestMs);
    (void)platform::DisconnectPipeClient(pending.instance);
    pending.instance.reset();
    {
      std::lock_guard guard(lock_);
      turns_.Finish(user);
      if (turns_.Held(user) == 0)
        overBound_.erase(user);
    }
    // A connection of this user that waited for its share may be served now.
    wake_.WakeOne();
  }
}

}  // namespace vovu
