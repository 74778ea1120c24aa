// Background threads on the host: detached pthreads, and a signal that interrupts the blocking
// system call one of them is in (see platform/background_thread.h).
#include <pthread.h>
#include <signal.h>

#include <mutex>

#include "platform/background_thread.h"
#include "platform/error.h"
#include "platform/fault_injection.h"

namespace vovu::platform {

struct BackgroundThread::State {
  std::function<void()> work;
  std::mutex mutex;
  pthread_t thread{};
  bool running = false;  // set before the thread may run, cleared by the thread as it ends
};

namespace {

// A real-time signal that nothing else in the program uses.
int CancelSignal() {
  return SIGRTMIN + 6;
}

void IgnoreCancelSignal(int) {}

void InstallCancelHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_handler = IgnoreCancelSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the interrupted call fails with EINTR
    sigaction(CancelSignal(), &action, nullptr);
  });
}

void* RunBackground(void* argument) {
  auto* held = static_cast<std::shared_ptr<BackgroundThread::State>*>(argument);
  std::shared_ptr<BackgroundThread::State> state = std::move(*held);
  delete held;
  sigset_t cancel;
  sigemptyset(&cancel);
  sigaddset(&cancel, CancelSignal());
  pthread_sigmask(SIG_UNBLOCK, &cancel, nullptr);
  state->work();
  state->work = nullptr;  // what the work owned goes now, not with the last owner
  std::lock_guard lock(state->mutex);
  state->running = false;
  return nullptr;
}

}  // namespace

bool BackgroundThread::Start(std::function<void()> work, BackgroundThread* thread) {
  if (FaultDue(FaultPoint::kCreateThread, u"background"))
    return false;
  InstallCancelHandler();
  auto state = std::make_shared<State>();
  state->work = std::move(work);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  auto* argument = new std::shared_ptr<State>(state);
  std::unique_lock lock(state->mutex);
  const int result = pthread_create(&state->thread, &attributes, RunBackground, argument);
  pthread_attr_destroy(&attributes);
  if (result != 0) {
    delete argument;
    SetLastErrorCode(static_cast<Win32Error>(result));
    return false;
  }
  state->running = true;
  lock.unlock();
  thread->state_ = std::move(state);
  return true;
}

void BackgroundThread::CancelBlockingCall() const {
  if (!state_)
    return;
  // While `running` holds under the lock the thread has not ended, so its id is still its own.
  std::lock_guard lock(state_->mutex);
  if (state_->running)
    pthread_kill(state_->thread, CancelSignal());
}

}  // namespace vovu::platform
