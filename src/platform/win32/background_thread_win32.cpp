// Background threads on Windows: CreateThread, and CancelSynchronousIo through the thread's
// handle, which the state keeps open until its last owner goes (so the handle never names
// another thread).
#include "platform/background_thread.h"
#include "platform/fault_injection.h"
#include "platform/win32/windows_api.h"

namespace vovu::platform {

struct BackgroundThread::State {
  std::function<void()> work;
  HANDLE thread = nullptr;
  ~State() {
    if (thread != nullptr)
      ::CloseHandle(thread);
  }
};

namespace {

DWORD WINAPI RunBackground(void* argument) {
  auto* held = static_cast<std::shared_ptr<BackgroundThread::State>*>(argument);
  std::shared_ptr<BackgroundThread::State> state = std::move(*held);
  delete held;
  state->work();
  state->work = nullptr;  // what the work owned goes now, not with the last owner
  return 0;
}

}  // namespace

bool BackgroundThread::Start(std::function<void()> work, BackgroundThread* thread) {
  if (FaultDue(FaultPoint::kCreateThread, u"background"))
    return false;
  auto state = std::make_shared<State>();
  state->work = std::move(work);
  auto* argument = new std::shared_ptr<State>(state);
  // Created suspended, so the handle is stored before the thread can end.
  HANDLE handle = ::CreateThread(nullptr, 0, RunBackground, argument, CREATE_SUSPENDED, nullptr);
  if (handle == nullptr) {
    const DWORD error = ::GetLastError();
    delete argument;
    ::SetLastError(error);
    return false;
  }
  state->thread = handle;
  ::ResumeThread(handle);
  thread->state_ = std::move(state);
  return true;
}

void BackgroundThread::CancelBlockingCall() const {
  if (state_ && state_->thread != nullptr)
    (void)::CancelSynchronousIo(state_->thread);
}

}  // namespace vovu::platform
