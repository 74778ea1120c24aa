// A minimal service for the host's service-control tests: it reports running with stop and
// shutdown accepted, waits for one of them, reports stop pending and then stopped with Win32
// exit code 0 and, as its service-specific exit code, the control that stopped it (so a
// test can tell that shutdown arrived as shutdown). Run from a console it exits with 1063.
#include <condition_variable>
#include <mutex>

#include "platform/error.h"
#include "platform/service_control.h"

namespace {

using namespace vovu::platform;

std::mutex mutex;
std::condition_variable controlArrived;
std::uint32_t stopControl = 0;
NativeHandle statusHandle = 0;

void Report(std::uint32_t state, std::uint32_t controls = 0, std::uint32_t specificExitCode = 0) {
  ServiceStatus status;
  status.serviceType = kServiceWin32OwnProcess;
  status.currentState = state;
  status.controlsAccepted = controls;
  status.serviceSpecificExitCode = specificExitCode;
  (void)ReportServiceStatus(statusHandle, status);
}

std::uint32_t Handler(std::uint32_t control, std::uint32_t, void*, void*) {
  if (control != kServiceControlStop && control != kServiceControlShutdown)
    return kErrorCallNotImplemented;
  Report(kServiceStopPending);
  std::lock_guard lock(mutex);
  stopControl = control;
  controlArrived.notify_one();
  return 0;
}

void Main(std::uint32_t, char16_t**) {
  if ((statusHandle = RegisterServiceHandler(u"VovuScmTestService", Handler, nullptr)) == 0)
    return;
  Report(kServiceStartPending);
  Report(kServiceRunning, kServiceAcceptStop | kServiceAcceptShutdown);
  std::unique_lock lock(mutex);
  controlArrived.wait(lock, [] { return stopControl != 0; });
  Report(kServiceStopped, 0, stopControl);
}

}  // namespace

int main() {
  return RunServiceDispatcher(u"VovuScmTestService", Main) ? 0 : static_cast<int>(LastError());
}
