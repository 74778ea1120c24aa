#include "hotupdate/rollback.h"

#include "foundation/diagnostics.h"
#include "foundation/step_hook.h"
#include "foundation/text.h"
#include "hotupdate/desktop_app.h"
#include "hotupdate/job_status.h"
#include "hotupdate/service_wait.h"
#include "hotupdate/swap_record.h"
#include "platform/process.h"
#include "platform/session_user.h"
#include "state/installed_version.h"
#include "system/file_replacement.h"
#include "system/process_discovery.h"
#include "system/session_launch.h"

namespace vovu {
namespace {

constexpr std::uint32_t kImagePathCapacity = 260;

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

bool TerminateRelaunchedApplication(const HotUpdateJob& job) {
  if (job.pidHint == 0 || job.startedAt <= 0)
    return false;
  const platform::ProcessHandle process =
      platform::OpenProcessById(job.pidHint, platform::kProcessTerminate | platform::kSynchronize |
                                                 platform::kProcessQueryLimitedInformation);
  if (!process.valid())
    return false;
  std::u16string image;
  std::uint32_t session = platform::kNoSession;
  std::int64_t startedAt = 0;
  if (!platform::QueryProcessImagePath(process, &image, kImagePathCapacity) ||
      ToLower(image) != ToLower(FindDesktopAppExecutable()) ||
      !platform::ProcessSessionId(job.pidHint, &session) || session != job.sessionId ||
      !platform::QueryProcessStartTime(process, &startedAt) || startedAt / 10000 < job.startedAt) {
    LogDebug(u"hot-update rollback: process " + Utf8ToWide(std::to_string(job.pidHint)) +
             u" is not the relaunched application; left running");
    return false;
  }
  (void)platform::TerminateProcessWithCode(process, kRolledBackExitCode);
  (void)platform::WaitForProcessExit(process, kTerminatedExitWaitMs);
  return true;
}

RollbackOutcome RollBackInstalledFiles(const HotUpdateJob& job, const std::u16string& jobDir,
                                       const std::u16string& logPrefix) {
  StopKorvaCfInSession(job.sessionId);
  (void)TerminateRelaunchedApplication(job);
  std::uint32_t waited = 0;
  while (IsAnyAppProcessRunning()) {
    if (!WaitWhileServiceRuns(kRollbackPollMs))
      return RollbackOutcome::kServiceStopping;
    waited += kRollbackPollMs;
    if (waited > kRollbackGiveUpMs)
      return RollbackOutcome::kNotRestored;
  }
  if (!RestoreSwappedRows(jobDir))
    return RollbackOutcome::kNotRestored;
  std::u16string error;
  if (!RecordConfirmedVersion(job.currentVersion, &error))
    LogDebug(logPrefix + error);
  return RollbackOutcome::kRestored;
}

SwitchResult SwitchToRollingBack(const std::u16string& serviceJobFile,
                                 const std::function<bool(const HotUpdateJob&)>& switchable,
                                 const std::u16string& message,
                                 std::unique_lock<platform::CriticalSection>* held,
                                 HotUpdateJob* job) {
  held->lock();
  HotUpdateJob fresh;
  if (!ReadJobFile(serviceJobFile, &fresh) || !switchable(fresh)) {
    held->unlock();
    return SwitchResult::kNotSwitchable;
  }
  fresh.status = kStatusRollingBack;
  fresh.statusMessage = message;
  fresh.updatedAt = NowMilliseconds();
  const bool written = PersistJob(fresh, serviceJobFile);
  *job = std::move(fresh);
  if (!written)
    return SwitchResult::kSwitchedUnwritten;
  held->unlock();
  return SwitchResult::kSwitched;
}

void FinishRollback(HotUpdateJob* job, const std::u16string& serviceJobFile,
                    const std::u16string& logPrefix, const std::u16string& restoredMessage,
                    const std::u16string& failedMessage, bool relaunch) {
  const RollbackOutcome outcome = RollBackInstalledFiles(*job, JobDirOf(serviceJobFile), logPrefix);
  ReachStep(HotUpdateStep::kRollbackFilesRestored);
  switch (outcome) {
    case RollbackOutcome::kRestored:
      if (relaunch)
        RelaunchAfterRollback(job->sessionId);
      SetJobStatus(job, serviceJobFile, kStatusRolledBack, restoredMessage);
      break;
    case RollbackOutcome::kNotRestored:
      SetJobStatus(job, serviceJobFile, kStatusFailed, failedMessage);
      break;
    case RollbackOutcome::kServiceStopping:
      break;
  }
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
  std::unique_lock held(jobLock, std::defer_lock);
  const SwitchResult switched = SwitchToRollingBack(
      serviceJobFile, [](const HotUpdateJob& fresh) { return fresh.status == kStatusRelaunching; },
      u"confirmation timeout", &held, &job);
  if (switched == SwitchResult::kNotSwitchable)
    return;
  ReachStep(HotUpdateStep::kRollbackSwitched);
  LogDebug(u"hot-update rollback timer fired");
  FinishRollback(&job, serviceJobFile, u"cannot restore installed version state after rollback: ",
                 u"rollback timer", u"rollback failed because files remained locked",
                 /*relaunch=*/true);
}

}  // namespace vovu
