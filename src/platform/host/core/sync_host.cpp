// Synchronisation objects on the host: eventfd events polled with poll(2), std::mutex and
// std::condition_variable.
//
// An event's eventfd counter is non-zero exactly while the event is set. Set adds one (the
// counter only grows, so setting twice is still one signal), Reset and the wait released by
// an auto-reset event read it back to zero. The descriptor is non-blocking: of two threads
// released by one auto-reset signal, the one that reads zero goes back to waiting.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/host/core/event_wait.h"
#include "platform/sync.h"

namespace vovu::platform {
namespace {

int FdOf(const Event& event) {
  return static_cast<int>(event.native());
}

}  // namespace

void EventHandleTraits::Close(Type h) {
  close(static_cast<int>(h));
}

bool Event::Create(bool manualReset, bool initiallySet, Event* event) {
  int fd = eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd >= 0 && fd <= 2) {
    // Keeps descriptors 0-2 free, so a handle is never mistaken for "no handle" (0).
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    fd = moved;
  }
  if (fd < 0) {
    SetLastErrorCode(errno == EMFILE || errno == ENFILE ? 4 /* ERROR_TOO_MANY_OPEN_FILES */
                                                        : kErrorNotEnoughMemory);
    return false;
  }
  event->handle_.reset(fd);
  event->manualReset_ = manualReset;
  return true;
}

bool Event::Set() const {
  if (!valid()) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  const std::uint64_t one = 1;
  // EAGAIN only when the counter is about to overflow, which means it is set already.
  if (write(FdOf(*this), &one, sizeof one) < 0 && errno != EAGAIN) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  return true;
}

bool Event::Reset() const {
  if (!valid()) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  std::uint64_t count = 0;
  if (read(FdOf(*this), &count, sizeof count) < 0 && errno != EAGAIN) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  return true;
}

WaitResult Event::Wait(std::uint32_t timeoutMs) const {
  const Event* self = this;
  std::size_t index = 0;
  return WaitForAnyEvent(std::span<const Event* const>(&self, 1), timeoutMs, &index);
}

namespace host {

bool TakeEventSignal(const Event& event) {
  if (event.manualReset()) {
    pollfd p{FdOf(event), POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
  }
  std::uint64_t count = 0;
  return read(FdOf(event), &count, sizeof count) == sizeof count;
}

Deadline::Deadline(std::uint32_t timeoutMs)
    : infinite_(timeoutMs == kInfiniteWait),
      end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)) {}

int Deadline::RemainingPollTimeout() const {
  if (infinite_)
    return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      end_ - std::chrono::steady_clock::now());
  if (left.count() <= 0)
    return 0;
  // Round up, so that a wait never ends a fraction of a millisecond early.
  return static_cast<int>(left.count()) + 1;
}

bool Deadline::Expired() const {
  return !infinite_ && std::chrono::steady_clock::now() >= end_;
}

}  // namespace host

WaitResult WaitForAnyEvent(std::span<const Event* const> events, std::uint32_t timeoutMs,
                           std::size_t* index) {
  if (events.empty() || events.size() > 64) {
    SetLastErrorCode(kErrorInvalidParameter);
    return WaitResult::kFailed;
  }
  std::vector<pollfd> fds;
  for (const Event* event : events) {
    if (event == nullptr || !event->valid()) {
      SetLastErrorCode(kErrorInvalidHandle);
      return WaitResult::kFailed;
    }
    fds.push_back({FdOf(*event), POLLIN, 0});
  }
  const host::Deadline deadline(timeoutMs);
  for (;;) {
    const int ready = poll(fds.data(), fds.size(), deadline.RemainingPollTimeout());
    if (ready < 0 && errno != EINTR) {
      SetLastErrorCode(kErrorInvalidHandle);
      return WaitResult::kFailed;
    }
    if (ready > 0) {
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if ((fds[i].revents & POLLIN) != 0 && host::TakeEventSignal(*events[i])) {
          *index = i;
          return WaitResult::kSignalled;
        }
      }
    }
    if (deadline.Expired()) {
      SetLastErrorCode(kErrorWaitTimeout);
      return WaitResult::kTimeout;
    }
  }
}

void SleepMilliseconds(std::uint32_t milliseconds) {
  if (milliseconds == kInfiniteWait) {
    for (;;)
      pause();
  }
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

struct CriticalSection::Impl {
  std::mutex mutex;
};

CriticalSection::CriticalSection(std::uint32_t) : impl_(std::make_unique<Impl>()) {}
CriticalSection::~CriticalSection() = default;
void CriticalSection::lock() {
  impl_->mutex.lock();
}
void CriticalSection::unlock() {
  impl_->mutex.unlock();
}

struct ConditionVariable::Impl {
  std::condition_variable condition;
};

ConditionVariable::ConditionVariable() : impl_(std::make_unique<Impl>()) {}
ConditionVariable::~ConditionVariable() = default;

bool ConditionVariable::Wait(CriticalSection& lock, std::uint32_t timeoutMs) {
  // The caller holds the lock; borrow it for the wait and hand it back held.
  std::unique_lock<std::mutex> held(lock.impl()->mutex, std::adopt_lock);
  bool woken = true;
  if (timeoutMs == kInfiniteWait) {
    impl_->condition.wait(held);
  } else {
    woken = impl_->condition.wait_for(held, std::chrono::milliseconds(timeoutMs)) ==
            std::cv_status::no_timeout;
  }
  held.release();
  if (!woken)
    SetLastErrorCode(kErrorTimeout);
  return woken;
}

void ConditionVariable::WakeOne() {
  impl_->condition.notify_one();
}
void ConditionVariable::WakeAll() {
  impl_->condition.notify_all();
}

namespace {

void* RunThreadProcedure(void* argument) {
  std::unique_ptr<std::function<void()>> procedure(static_cast<std::function<void()>*>(argument));
  (*procedure)();
  return nullptr;
}

}  // namespace

bool Thread::Start(const std::u16string& name, std::function<void()> procedure) {
  if (FaultDue(FaultPoint::kCreateThread, name))
    return false;
  Join();
  auto owned = std::make_unique<std::function<void()>>(std::move(procedure));
  pthread_t thread;
  const int result = pthread_create(&thread, nullptr, RunThreadProcedure, owned.get());
  if (result != 0) {
    // EAGAIN: the system lacked the resources (or hit a limit), as CreateThread's 8.
    SetLastErrorCode(result == EAGAIN || result == ENOMEM ? kErrorNotEnoughMemory
                                                          : kErrorInvalidParameter);
    return false;
  }
  owned.release();
  native_ = static_cast<NativeHandle>(thread);
  return true;
}

void Thread::Join() {
  if (native_ == 0)
    return;
  pthread_join(static_cast<pthread_t>(native_), nullptr);
  native_ = 0;
}

}  // namespace vovu::platform
