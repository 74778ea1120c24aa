#include "hotupdate/rollback.h"

#include <mutex>

#include "foundation/diagnostics.h"
#include "foundation/step_hook.h"
#include "hotupdate/desktop_app.h"
#include "hotupdate/job_status.h"
#include "hotupdate/service_wait.h"
#include "platform/process.h"
#include "platform/session_user.h"
#include "state/installed_version.h"
#include "system/file_replacement.h"
#include "system/process_discovery.h"
#include "system/session_launch.h"

namespace vovu {
namespace {

// Ends the relaunched application by its process id; every failure is ignored.
void TerminateRelaunched(std::uint32_t pidHint) {
  if (pidHint == 0)
    return;
  const platform::ProcessHandle process =
      platform::OpenProcessById(pidHint, platform::kProcessTerminate | platform::kSynchronize);
  if (!process.valid())
    return;
  (void)platform::TerminateProcessWithCode(process, kRolledBackExitCode);
  (void)platform::WaitForProcessExit(process, kTerminatedExitWaitMs);
}

// Starts the desktop application in `sessionId` with "--hot-update-rolledback"; the outcome
// is not looked at.
void RelaunchAfterRollback(std::uint32_t sessionId) {
  if (sessionId == platform::kNoSession)
    return;
  const platform::TokenHandle token = platform::QuerySessionUserToken(sessionId);
  if (!token.valid())
    return;
  std::u16string ignored;
  (void)LaunchAsUser(FindDesktopAppExecutable(), token, u"--hot-update-rolledback", nullptr,
                     &ignored);
}

}  // namespace

bool RollBackInstalledFiles(const HotUpdateJob& job, const std::u16string& logPrefix) {
  StopKorvaCfInSession(job.sessionId);
  TerminateRelaunched(job.pidHint);
  bool restored = false;
  std::uint32_t waited = 0;
  for (;;) {
    if (!IsAnyAppProcessRunning()) {
      restored = RestoreInstalledFiles();
      break;
    }
    if (!WaitWhileServiceRuns(kRollbackPollMs))
      break;
    waited += kRollbackPollMs;
    if (waited > kRollbackGiveUpMs)
      break;
  }
  if (restored) {
    std::u16string error;
    if (!RecordConfirmedVersion(job.currentVersion, &error))
      LogDebug(logPrefix + error);
  }
  return restored;
}

bool SwitchToRollingBack(const std::u16string& serviceJobFile,
                         std::initializer_list<const char16_t*> from, const std::u16string& message,
                         platform::CriticalSection& jobLock, HotUpdateJob* job) {
  std::lock_guard lock(jobLock);
  HotUpdateJob fresh;
  if (!ReadJobFile(serviceJobFile, &fresh))
    return false;
  bool switchable = false;
  for (const char16_t* status : from)
    switchable = switchable || fresh.status == status;
  if (!switchable)
    return false;
  fresh.status = kStatusRollingBack;
  fresh.statusMessage = message;
  fresh.updatedAt = NowMilliseconds();
  if (!PersistJob(fresh, serviceJobFile))
    return false;
  *job = std::move(fresh);
  return true;
}

void HotUpdateRollbackTimer(const std::u16string& serviceJobFile,
                            platform::CriticalSection& jobLock) {
  for (int wait = 0; wait < kConfirmationWaits; ++wait) {
    if (!WaitWhileServiceRuns(kConfirmationWaitMs))
      return;
    HotUpdateJob job;
    if (!ReadJobFile(serviceJobFile, &job) || job.status != kStatusRelaunching)
      return;
  }
  ReachStep(HotUpdateStep::kTimerChecksDone);
  HotUpdateJob job;
  if (!SwitchToRollingBack(serviceJobFile, {kStatusRelaunching}, u"confirmation timeout", jobLock,
                           &job)) {
    return;
  }
  ReachStep(HotUpdateStep::kRollbackSwitched);
  LogDebug(u"hot-update rollback timer fired");
  const bool restored =
      RollBackInstalledFiles(job, u"cannot restore installed version state after rollback: ");
  ReachStep(HotUpdateStep::kRollbackFilesRestored);
  if (restored) {
    RelaunchAfterRollback(job.sessionId);
    SetJobStatus(&job, serviceJobFile, kStatusRolledBack, u"rollback timer");
  } else {
    SetJobStatus(&job, serviceJobFile, kStatusFailed,
                 u"rollback failed because files remained locked");
  }
}

}  // namespace vovu
