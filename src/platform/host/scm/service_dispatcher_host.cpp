// The emulated service control manager, the service process's side.
//
// The dispatcher runs in a process the manager started (the marker variable names the
// service; the dispatcher removes it from its environment). It blocks SIGTERM and SIGPWR
// before it starts the service's main function on a new thread, so that every thread of the
// service inherits the mask and the signals reach only the dispatcher, which takes them from
// a signalfd and calls the registered handler with the stop or shutdown control on its own
// thread. An eventfd tells it that the main function has returned. Threads started before
// the dispatcher do not have the mask; the program calls the dispatcher first.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/host/core/unique_fd.h"
#include "platform/host/scm/service_records.h"
#include "platform/service_control.h"
#include "platform/text_codec.h"

namespace vovu::platform {
namespace {

// The one service this process runs. Its address is the status handle.
struct DispatcherState {
  std::mutex mutex;
  bool running = false;
  std::string recordName;
  ServiceHandlerFunction handler = nullptr;
  void* context = nullptr;
};

DispatcherState& State() {
  static DispatcherState state;
  return state;
}

NativeHandle StatusHandle() {
  return reinterpret_cast<NativeHandle>(&State());
}

sigset_t ControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGPWR);
  return set;
}

void CallHandler(std::uint32_t control) {
  ServiceHandlerFunction handler = nullptr;
  void* context = nullptr;
  {
    std::lock_guard lock(State().mutex);
    handler = State().handler;
    context = State().context;
  }
  if (handler != nullptr)
    (void)handler(control, 0, nullptr, context);
}

// Waits for control signals until the main function's end is announced on `doneFd`.
void ControlLoop(int signalFd, int doneFd) {
  for (;;) {
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {doneFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    if ((fds[1].revents & POLLIN) != 0)
      return;
    if ((fds[0].revents & POLLIN) != 0) {
      signalfd_siginfo info;
      if (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        CallHandler(info.ssi_signo == SIGPWR ? kServiceControlShutdown : kServiceControlStop);
      }
    }
  }
}

// Takes control signals that arrived too late, so that restoring the mask does not end
// the process.
void DiscardPendingControls(const sigset_t& set) {
  const timespec now = {0, 0};
  while (sigtimedwait(&set, nullptr, &now) > 0) {
  }
}

}  // namespace

bool RunServiceDispatcher(const std::u16string& name, ServiceMainFunction main) {
  (void)name;  // an own-process service: the manager's name for it is the marker's
  const char* variable = std::getenv(host::kServiceMarkerVariable);
  if (variable == nullptr || *variable == '\0') {
    SetLastErrorCode(kErrorFailedServiceControllerConnect);
    return false;
  }
  DispatcherState& state = State();
  {
    std::lock_guard lock(state.mutex);
    if (state.running) {
      SetLastErrorCode(kErrorServiceAlreadyRunning);
      return false;
    }
    state.running = true;
    state.recordName = variable;
    state.handler = nullptr;
    state.context = nullptr;
  }
  // The marker is the manager's word to this process only: programs the service starts
  // are not services.
  const std::string marker = state.recordName;
  unsetenv(host::kServiceMarkerVariable);

  const sigset_t controls = ControlSignals();
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &controls, &previous);
  const host::UniqueFd signals(signalfd(-1, &controls, SFD_CLOEXEC));
  const host::UniqueFd done(eventfd(0, EFD_CLOEXEC));
  const int signalFd = signals.get();
  const int doneFd = done.get();
  bool ok = signals.valid() && done.valid();
  if (ok) {
    std::u16string argument = MultiByteUtf8ToWide(marker.data(), marker.size());
    char16_t* argv[] = {argument.data(), nullptr};
    try {
      std::thread serviceThread([main, &argv, doneFd] {
        main(1, argv);
        const std::uint64_t one = 1;
        (void)!write(doneFd, &one, sizeof one);
      });
      ControlLoop(signalFd, doneFd);
      serviceThread.join();
    } catch (const std::system_error&) {
      ok = false;
    }
  }
  if (!ok)
    SetLastErrorCode(kErrorNotEnoughMemory);
  DiscardPendingControls(controls);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  std::lock_guard lock(state.mutex);
  state.running = false;
  state.handler = nullptr;
  state.context = nullptr;
  return ok;
}

NativeHandle RegisterServiceHandler(const std::u16string& name, ServiceHandlerFunction handler,
                                    void* context) {
  (void)name;
  DispatcherState& state = State();
  std::lock_guard lock(state.mutex);
  if (!state.running) {
    SetLastErrorCode(kErrorFailedServiceControllerConnect);
    return 0;
  }
  if (handler == nullptr) {
    SetLastErrorCode(kErrorInvalidParameter);
    return 0;
  }
  state.handler = handler;
  state.context = context;
  return StatusHandle();
}

bool ReportServiceStatus(NativeHandle statusHandle, const ServiceStatus& status) {
  if (statusHandle != StatusHandle()) {
    SetLastErrorCode(kErrorInvalidHandle);
    return false;
  }
  if (status.currentState < kServiceStopped || status.currentState > 7) {
    SetLastErrorCode(kErrorInvalidData);
    return false;
  }
  std::string recordName;
  {
    std::lock_guard lock(State().mutex);
    if (!State().running) {
      SetLastErrorCode(kErrorInvalidHandle);
      return false;
    }
    recordName = State().recordName;
  }
  host::ServiceRecordStatus record;
  record.status = status;
  record.status.processId = static_cast<std::uint32_t>(getpid());
  record.processStartTime = host::ProcessStartTime(getpid());
  if (!host::WriteServiceStatus(recordName, record))
    return false;
  if (status.currentState == kServiceStopped && host::IsMarkedForDelete(recordName)) {
    host::ServiceManagerLock lock;
    if (lock.held())
      host::RemoveServiceRecord(recordName);
  }
  return true;
}

}  // namespace vovu::platform
