#include "service/service_main.h"

#include <system_error>
#include <thread>

#include "hotupdate/recovery.h"
#include "platform/error.h"
#include "platform/service_control.h"
#include "service/pipe_server.h"
#include "service/service_names.h"
#include "service/service_state.h"
#include "service/work_queue.h"

namespace vovu {
namespace {

constexpr std::uint32_t kControlsWhileRunning = platform::kServiceAcceptStop |
                                                platform::kServiceAcceptShutdown |
                                                platform::kServiceAcceptSessionChange;
constexpr std::uint32_t kStartWaitHintMs = 3000;
constexpr std::uint32_t kStopWaitHintMs = 120000;

// The status handle and record. Both the service thread and the control handler write the
// record, as the control manager's own examples do; reports are not checked.
platform::NativeHandle statusHandle = 0;
platform::ServiceStatus statusRecord;

void Report(std::uint32_t state, std::uint32_t exitCode, std::uint32_t waitHint) {
  statusRecord.serviceType = platform::kServiceWin32OwnProcess;
  statusRecord.currentState = state;
  statusRecord.controlsAccepted = state == platform::kServiceRunning ? kControlsWhileRunning : 0;
  statusRecord.win32ExitCode = exitCode;
  statusRecord.serviceSpecificExitCode = 0;
  statusRecord.checkPoint = 0;
  statusRecord.waitHint = waitHint;
  (void)platform::ReportServiceStatus(statusHandle, statusRecord);
}

// Starts `procedure` on a new thread; false with the last error set when that fails.
bool StartThread(unsigned (*procedure)(), std::thread* thread) {
  try {
    *thread = std::thread([procedure] { (void)procedure(); });
    return true;
  } catch (const std::system_error&) {
    platform::SetLastErrorCode(platform::kErrorNotEnoughMemory);
    return false;
  }
}

}  // namespace

void ServiceMain(std::uint32_t, char16_t**) {
  statusHandle = platform::RegisterServiceHandler(kServiceName, ServiceCtrlHandler, nullptr);
  if (statusHandle == 0)
    return;
  Report(platform::kServiceStartPending, 0, kStartWaitHintMs);

  ServiceObjects objects;
  if (!objects.CreateStopEvent()) {
    Report(platform::kServiceStopped, platform::LastError(), 0);
    return;
  }
  objects.CreateQueue();

  std::uint32_t exitCode = 0;
  std::thread worker;
  if (!StartThread(WorkerThread, &worker)) {
    exitCode = platform::LastError();
    objects.DeleteQueue();
    objects.CloseStopEvent();
    Report(platform::kServiceStopped, exitCode, 0);
    return;
  }
  // The first job of every run settles the hot updates an earlier run left unfinished.
  EnqueueJob([] { RecoverHotUpdatesAtStartup(*JobQueueLock()); });

  std::thread pipeThread;
  if (!StartThread(PipeServerThread, &pipeThread)) {
    exitCode = platform::LastError();
    ServiceStopEvent()->Set();
    JobQueueSignal()->WakeAll();
    worker.join();
    objects.DeleteQueue();
    objects.CloseStopEvent();
    Report(platform::kServiceStopped, exitCode, 0);
    return;
  }

  Report(platform::kServiceRunning, 0, 0);
  (void)ServiceStopEvent()->Wait(platform::kInfiniteWait);

  pipeThread.join();
  JobQueueSignal()->WakeAll();
  worker.join();
  objects.DeleteQueue();
  objects.CloseStopEvent();
  Report(platform::kServiceStopped, 0, 0);
}

std::uint32_t ServiceCtrlHandler(std::uint32_t control, std::uint32_t, void*, void*) {
  switch (control) {
    case platform::kServiceControlStop:
    case platform::kServiceControlShutdown:
      Report(platform::kServiceStopPending, 0, kStopWaitHintMs);
      SignalServiceStop();
      return 0;
    case platform::kServiceControlSessionChange:
      return 0;
    default:
      return platform::kErrorCallNotImplemented;
  }
}

}  // namespace vovu
