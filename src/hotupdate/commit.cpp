#include "hotupdate/commit.h"

#include <array>
#include <mutex>

#include "acquisition/manifest_authorization.h"
#include "foundation/diagnostics.h"
#include "foundation/step_hook.h"
#include "foundation/text.h"
#include "hotupdate/desktop_app.h"
#include "hotupdate/job_status.h"
#include "hotupdate/package_contents.h"
#include "hotupdate/rollback.h"
#include "hotupdate/service_wait.h"
#include "platform/session_user.h"
#include "platform/sync.h"
#include "state/hot_update_job.h"
#include "system/file_replacement.h"
#include "system/process_discovery.h"
#include "system/session_launch.h"

namespace vovu {
namespace {

struct Replacement {
  const char16_t* installed;  // relative to the installation directory
  const char16_t* staged;     // in the payload directory
};

// The order commit replaces in.
constexpr std::array<Replacement, 3> kReplacements = {{
    {u"korvaCF.exe", u"korvaCF.exe"},
    {u"resources\\app.asar.unpacked\\Release\\addon.node", u"addon.node"},
    {u"resources\\app.asar", u"app.asar"},
}};

std::u16string Decimal(std::uint32_t value) {
  return Utf8ToWide(std::to_string(value));
}

void RejectMismatch() {
  LogDebug(u"hot-update-commit rejected: protected state mismatch");
}

// Under the lock: the record must still be the caller's and "staged"; it then becomes
// "committing" with the session commit bound it to. False when it changed (a cancel during
// the checks) or when the claim cannot be written.
bool ClaimForCommit(HotUpdateJob* job, const std::u16string& serviceJobFile,
                    const std::u16string& callerSid, const std::u16string& jobFile,
                    platform::CriticalSection& jobLock) {
  std::lock_guard lock(jobLock);
  HotUpdateJob fresh;
  if (!ReadJobFile(serviceJobFile, &fresh) || !JobOwnedByCaller(fresh, callerSid, jobFile) ||
      fresh.status != kStatusStaged || fresh.dir != job->dir) {
    RejectMismatch();
    return false;
  }
  job->status = kStatusCommitting;
  job->statusMessage.clear();
  job->updatedAt = NowMilliseconds();
  return PersistJob(*job, serviceJobFile);
}

// Polls until no process of the installation directory runs. False after more than 30 s
// of waits, or when the service is stopping.
bool WaitForApplicationExit() {
  std::uint32_t waited = 0;
  while (IsAnyAppProcessRunning()) {
    if (!WaitWhileServiceRuns(kProcessExitPollMs))
      return false;
    waited += kProcessExitPollMs;
    if (waited > kProcessExitGiveUpMs)
      return false;
  }
  return true;
}

// Replaces the files in table order. On a failure puts the earlier ones back (last first)
// and persists "rolledback" or "failed" with the reason; false then.
bool ReplaceAll(HotUpdateJob* job, const std::u16string& serviceJobFile) {
  const std::u16string installDir = GetInstallDirectory();
  for (std::size_t row = 0; row < kReplacements.size(); ++row) {
    std::u16string reason;
    if (ReplaceFileWithBackup(JoinPath(job->dir, kReplacements[row].staged),
                              JoinPath(installDir, kReplacements[row].installed), &reason,
                              static_cast<int>(row))) {
      continue;
    }
    bool allRestored = true;
    for (std::size_t back = row; back-- > 0;) {
      if (!RestoreFromBackup(JoinPath(installDir, kReplacements[back].installed)))
        allRestored = false;
    }
    if (allRestored) {
      SetJobStatus(job, serviceJobFile, kStatusRolledBack, u"replace failed: " + reason);
    } else {
      SetJobStatus(job, serviceJobFile, kStatusFailed,
                   u"replace failed: " + reason + u"; rollback incomplete");
    }
    return false;
  }
  return true;
}

// Starts the desktop application in the caller's session; the new process id, or 0.
std::uint32_t Relaunch(const std::u16string& jobFile, std::uint32_t sessionId) {
  const platform::TokenHandle token = platform::QuerySessionUserToken(sessionId);
  if (!token.valid())
    return 0;
  std::uint32_t processId = 0;
  std::u16string reason;
  if (!LaunchAsUser(FindDesktopAppExecutable(), token,
                    u"--hot-update-pending " + QuoteIfNeeded(jobFile), &processId, &reason)) {
    LogDebug(u"relaunch (caller session) failed: " + reason);
    return 0;
  }
  return processId;
}

}  // namespace

void HotUpdateCommit(const std::u16string& jobFile, const std::u16string& callerSid,
                     std::uint32_t sessionId, platform::CriticalSection& jobLock,
                     const JobSink& enqueue) {
  LogDebug(u"hot-update-commit: " + jobFile);
  std::u16string jobDir;
  std::u16string serviceJobFile;
  std::u16string reason;
  if (!DeriveJobPaths(jobFile, callerSid, &jobDir, &serviceJobFile, &reason))
    return;
  HotUpdateJob job;
  if (!ReadJobFile(serviceJobFile, &job))
    return;
  if (!JobOwnedByCaller(job, callerSid, jobFile) || job.status != kStatusStaged) {
    RejectMismatch();
    return;
  }
  if (sessionId == platform::kNoSession) {
    SetJobStatus(&job, serviceJobFile, kStatusFailed, u"commit caller session unavailable");
    return;
  }
  if (job.sessionId != sessionId) {
    LogDebug(u"hot-update commit rebinding session " + Decimal(job.sessionId) + u" -> " +
             Decimal(sessionId));
  }
  job.sessionId = sessionId;
  if (!AuthorizeHotUpdate(job, &reason)) {
    SetJobStatus(&job, serviceJobFile, kStatusFailed, u"commit authorization failed: " + reason);
    return;
  }
  if (!VerifyPackageContents(job, &reason)) {
    SetJobStatus(&job, serviceJobFile, kStatusFailed, u"commit revalidation failed: " + reason);
    return;
  }
  ReachStep(HotUpdateStep::kCommitChecked);
  if (!ClaimForCommit(&job, serviceJobFile, callerSid, jobFile, jobLock))
    return;
  ReachStep(HotUpdateStep::kCommitCommitting);

  StopKorvaCfInSession(sessionId);
  if (!WaitForApplicationExit()) {
    SetJobStatus(&job, serviceJobFile, kStatusFailed, u"timeout waiting for processes to exit");
    return;
  }
  SetJobStatus(&job, serviceJobFile, kStatusReplacing, u"");
  ReachStep(HotUpdateStep::kCommitReplacing);
  if (!ReplaceAll(&job, serviceJobFile))
    return;
  ReachStep(HotUpdateStep::kCommitFilesReplaced);

  platform::SleepMilliseconds(kRelaunchPauseMs);
  const std::uint32_t processId = Relaunch(jobFile, sessionId);
  const std::int64_t now = NowMilliseconds();
  job.pidHint = processId;
  job.startedAt = now;
  job.deadlineAt = now + kConfirmationWindowMs;
  SetJobStatus(&job, serviceJobFile, kStatusRelaunching,
               processId != 0 ? u"" : u"relaunch may have failed; rollback timer armed");
  ReachStep(HotUpdateStep::kCommitRelaunching);
  enqueue([serviceJobFile, &jobLock] { HotUpdateRollbackTimer(serviceJobFile, jobLock); });
}

}  // namespace vovu
