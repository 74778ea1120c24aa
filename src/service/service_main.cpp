#include "service/service_main.h"

#include <mutex>

#include "foundation/service_stop.h"
#include "hotupdate/job_status.h"
#include "hotupdate/job_storage.h"
#include "hotupdate/recovery.h"
#include "platform/error.h"
#include "platform/service_control.h"
#include "service/dispatcher.h"
#include "service/installation_folder.h"
#include "service/service_names.h"
#include "service/service_runtime.h"

namespace vovu {
namespace {

constexpr std::uint32_t kControlsWhileRunning = platform::kServiceAcceptStop |
                                                platform::kServiceAcceptShutdown |
                                                platform::kServiceAcceptSessionChange;
constexpr std::uint32_t kStartWaitHintMs = 3000;
constexpr std::uint32_t kStopWaitHintMs = 120000;

// What the control handler must reach, and nothing else, is process-wide: the status handle
// and record (under this lock, as the handler runs on the dispatcher's thread at any time),
// and the running service's stop event, which its runtime publishes only while it exists
// (foundation/service_stop.h).
std::mutex controlMutex;
platform::NativeHandle statusHandle = 0;
platform::ServiceStatus statusRecord;

void Report(std::uint32_t state, std::uint32_t exitCode, std::uint32_t waitHint) {
  std::lock_guard lock(controlMutex);
  statusRecord.serviceType = platform::kServiceWin32OwnProcess;
  statusRecord.currentState = state;
  statusRecord.controlsAccepted = state == platform::kServiceRunning ? kControlsWhileRunning : 0;
  statusRecord.win32ExitCode = exitCode;
  statusRecord.serviceSpecificExitCode = 0;
  statusRecord.checkPoint = 0;
  statusRecord.waitHint = waitHint;
  (void)platform::ReportServiceStatus(statusHandle, statusRecord);
}

// Runs the service between start pending and the stopped report; the exit code of that
// report.
std::uint32_t Run() {
  // The hot update trusts the installation folder; this run refuses it when it is open.
  CheckInstallationFolderAtStart();
  ServiceRuntime runtime(ExecuteWhitelistedCommand);
  if (!runtime.CreateStopEvent())
    return platform::LastError();
  // The first job of every run settles the hot updates an earlier run left unfinished, then
  // removes the jobs left at rest for a week.
  WorkQueue& queue = runtime.Queue();
  if (!runtime.Start([&queue] {
        RecoverHotUpdatesAtStartup(queue.Lock());
        (void)RemoveStaleJobs(queue.Lock(), NowMilliseconds());
      }))
    return platform::LastError();
  Report(platform::kServiceRunning, 0, 0);
  runtime.WaitForStop();
  return 0;
}

}  // namespace

void ServiceMain(std::uint32_t, char16_t**) {
  const platform::NativeHandle handle =
      platform::RegisterServiceHandler(kServiceName, ServiceCtrlHandler, nullptr);
  if (handle == 0)
    return;
  {
    std::lock_guard lock(controlMutex);
    statusHandle = handle;
  }
  Report(platform::kServiceStartPending, 0, kStartWaitHintMs);
  const std::uint32_t exitCode = Run();
  Report(platform::kServiceStopped, exitCode, 0);
}

std::uint32_t ServiceCtrlHandler(std::uint32_t control, std::uint32_t, void*, void*) {
  switch (control) {
    case platform::kServiceControlStop:
    case platform::kServiceControlShutdown: {
      Report(platform::kServiceStopPending, 0, kStopWaitHintMs);
      SignalServiceStop();
      return 0;
    }
    case platform::kServiceControlSessionChange:
      return 0;
    // The manager keeps the last reported status itself: an interrogation only needs the
    // handler to answer that it is there.
    case platform::kServiceControlInterrogate:
      return 0;
    default:
      return platform::kErrorCallNotImplemented;
  }
}

}  // namespace vovu
