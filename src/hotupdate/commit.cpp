#include "hotupdate/commit.h"

#include <array>
#include <mutex>

#include "acquisition/manifest_authorization.h"
#include "foundation/diagnostics.h"
#include "foundation/step_hook.h"
#include "foundation/text.h"
#include "hotupdate/desktop_app.h"
#include "hotupdate/job_status.h"
#include "hotupdate/new_copies.h"
#include "hotupdate/package_contents.h"
#include "hotupdate/rollback.h"
#include "hotupdate/service_wait.h"
#include "hotupdate/swap_record.h"
#include "platform/files.h"
#include "platform/session_user.h"
#include "platform/sync.h"
#include "state/hot_update_job.h"
#include "system/file_replacement.h"
#include "system/process_discovery.h"
#include "system/session_launch.h"

namespace vovu {
namespace {

std::u16string Decimal(std::uint32_t value) {
  return Utf8ToWide(std::to_string(value));
}

void RejectMismatch() {
  LogDebug(u"hot-update-commit rejected: protected state mismatch");
}

// Under the lock: the record must still be the one commit checked, byte for byte (a cancel,
// a new prepare or another commit during the checks changes or removes it).
bool StillTheCheckedRecord(const HotUpdateJob& checked, const std::u16string& serviceJobFile) {
  HotUpdateJob fresh;
  return ReadJobFile(serviceJobFile, &fresh) && FormatJobFile(fresh) == FormatJobFile(checked);
}

// A failure found by the checks before the claim: written only while the record is still the
// one checked, under the lock, so a job cancelled meanwhile gets no later status, in the
// protected copy or in the user's mirror.
void FailUnlessChanged(const HotUpdateJob& checked, HotUpdateJob* job,
                       const std::u16string& serviceJobFile, platform::CriticalSection& jobLock,
                       const std::u16string& message) {
  std::lock_guard lock(jobLock);
  if (!StillTheCheckedRecord(checked, serviceJobFile)) {
    RejectMismatch();
    return;
  }
  SetJobStatus(job, serviceJobFile, kStatusFailed, message);
}

// Under the lock: the record must still be the one checked; it then becomes "committing"
// with the session commit bound it to. While another job swaps, awaits confirmation of or
// restores the installed files, the job stays "staged" with the refusal as its message and
// nothing else is touched. False when the job is not claimed.
bool ClaimForCommit(const HotUpdateJob& checked, HotUpdateJob* job,
                    const std::u16string& serviceJobFile, platform::CriticalSection& jobLock) {
  std::lock_guard lock(jobLock);
  if (!StillTheCheckedRecord(checked, serviceJobFile)) {
    RejectMismatch();
    return false;
  }
  if (AnotherSwapUnsettled(JobDirOf(serviceJobFile))) {
    LogDebug(std::u16string(u"hot-update-commit refused: ") + kAnotherUpdateInProgress);
    HotUpdateJob refused = checked;
    SetJobStatus(&refused, serviceJobFile, kStatusStaged, kAnotherUpdateInProgress);
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

// The row of kInstalledFiles naming `relative`.
std::size_t InstalledRow(const char16_t* relative) {
  for (std::size_t row = 0; row < kInstalledFiles.size(); ++row) {
    if (std::u16string(kInstalledFiles[row]) == relative)
      return row;
  }
  return kInstalledFiles.size();
}

// After a failed commit: its copies go; one that cannot is logged and left to the next
// commit or start, which remove it before anything else.
void DiscardCopiesAfterFailure() {
  std::u16string reason;
  if (!DiscardNewCopies(&reason))
    LogDebug(u"hot-update-commit: " + reason);
}

// Swaps one file: a ".bak" already there is nobody's (no other job holds rows, the claim
// made sure), so it goes first; then the row is recorded, and only then is the installed
// file moved to its ".bak" and its ".new" copy renamed into its place. A crash at any point
// leaves nothing a restore could mistake for this job's backup.
bool ReplaceOne(const std::u16string& jobDir, const Replacement& entry, int position,
                std::u16string* reason) {
  const std::u16string target = JoinPath(GetInstallDirectory(), entry.installed);
  const std::u16string backup = BackupPathOf(target);
  if (platform::GetAttributes(backup) != platform::kInvalidFileAttributes &&
      !platform::DeleteFileAt(backup)) {
    *reason = u"stale backup cannot be removed (" + backup + u"): " +
              FormatWin32Error(platform::LastError());
    return false;
  }
  if (!RecordSwapRow(jobDir, InstalledRow(entry.installed))) {
    *reason = u"cannot record the swap of " + target;
    return false;
  }
  return SwapInNewCopy(target, reason, position);
}

// Replaces the files in table order. On a failure puts back the rows recorded so far (last
// first), removes the ".new" copies not yet renamed and persists "rolledback" or "failed"
// with the reason; false then.
bool ReplaceAll(HotUpdateJob* job, const std::u16string& serviceJobFile) {
  const std::u16string jobDir = JobDirOf(serviceJobFile);
  for (std::size_t row = 0; row < kReplacements.size(); ++row) {
    std::u16string reason;
    if (ReplaceOne(jobDir, kReplacements[row], static_cast<int>(row), &reason))
      continue;
    DiscardCopiesAfterFailure();
    if (RestoreSwappedRows(jobDir)) {
      SetJobStatus(job, serviceJobFile, kStatusRolledBack, u"replace failed: " + reason);
    } else {
      SetJobStatus(job, serviceJobFile, kStatusFailed,
                   u"replace failed: " + reason + u"; rollback incomplete");
    }
    return false;
  }
  return true;
}

// Writes the new files beside the installed ones while the application still runs. Earlier
// copies (a crash, a failed commit) go first, so the space check counts what is really free.
// A volume too small leaves the job "staged" with the refusal, to be committed again once
// there is room; a failed copy fails the job. Either way no installed file is touched and no
// copy is left. Once the copies are checked the staged files are not needed any more (a
// commit that ends now cannot be committed again): they go before the application stops,
// so the space is free early and the deletes are no part of its downtime. False when the
// commit must end.
bool PrepareNewCopies(HotUpdateJob* job, const std::u16string& serviceJobFile) {
  std::u16string reason;
  if (!DiscardNewCopies(&reason)) {
    SetJobStatus(job, serviceJobFile, kStatusFailed, u"cannot copy the new files: " + reason);
    return false;
  }
  if (!EnoughSpaceForNewCopies(*job, &reason)) {
    LogDebug(u"hot-update-commit refused: " + reason);
    SetJobStatus(job, serviceJobFile, kStatusStaged, reason);
    return false;
  }
  if (!PlaceNewCopies(*job, &reason)) {
    DiscardCopiesAfterFailure();
    SetJobStatus(job, serviceJobFile, kStatusFailed, u"cannot copy the new files: " + reason);
    return false;
  }
  for (const Replacement& entry : kReplacements)
    (void)platform::DeleteFileAt(JoinPath(job->dir, entry.staged));
  // The application's cue that its exit now costs it the renames and the pause only.
  if (!SetJobStatus(job, serviceJobFile, kStatusCommitting, kNewFilesReady)) {
    DiscardCopiesAfterFailure();
    SetJobStatus(job, serviceJobFile, kStatusFailed, u"cannot persist committing");
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
  HotUpdateJob checked;
  if (!ReadJobFile(serviceJobFile, &checked))
    return;
  if (!JobOwnedByCaller(checked, callerSid, jobFile) || checked.status != kStatusStaged) {
    RejectMismatch();
    return;
  }
  HotUpdateJob job = checked;
  if (sessionId == platform::kNoSession) {
    FailUnlessChanged(checked, &job, serviceJobFile, jobLock, u"commit caller session unavailable");
    return;
  }
  if (job.sessionId != sessionId) {
    LogDebug(u"hot-update commit rebinding session " + Decimal(job.sessionId) + u" -> " +
             Decimal(sessionId));
  }
  job.sessionId = sessionId;
  if (!AuthorizeHotUpdate(job, &reason)) {
    FailUnlessChanged(checked, &job, serviceJobFile, jobLock,
                      u"commit authorization failed: " + reason);
    return;
  }
  ReachStep(HotUpdateStep::kCommitAuthorized);
  if (!VerifyPackageContents(job, &reason)) {
    FailUnlessChanged(checked, &job, serviceJobFile, jobLock,
                      u"commit revalidation failed: " + reason);
    return;
  }
  ReachStep(HotUpdateStep::kCommitChecked);
  if (!ClaimForCommit(checked, &job, serviceJobFile, jobLock))
    return;
  ReachStep(HotUpdateStep::kCommitCommitting);
  if (!PrepareNewCopies(&job, serviceJobFile))
    return;
  ReachStep(HotUpdateStep::kCommitNewFilesReady);

  // The application is down from here to the relaunch: the renames and the pause.
  StopKorvaCfInSession(sessionId);
  if (!WaitForApplicationExit()) {
    DiscardCopiesAfterFailure();
    SetJobStatus(&job, serviceJobFile, kStatusFailed, u"timeout waiting for processes to exit");
    return;
  }
  // Without "replacing" on record a crash during the swap would read as "committing", which
  // the next start only fails: no file is touched unless it is written.
  if (!SetJobStatus(&job, serviceJobFile, kStatusReplacing, u"")) {
    DiscardCopiesAfterFailure();
    SetJobStatus(&job, serviceJobFile, kStatusFailed, u"cannot persist replacing");
    return;
  }
  ReachStep(HotUpdateStep::kCommitReplacing);
  if (!ReplaceAll(&job, serviceJobFile))
    return;
  ReachStep(HotUpdateStep::kCommitFilesReplaced);

  platform::SleepMilliseconds(kRelaunchPauseMs);
  // Taken before the launch: the rollback ends only a process started no earlier.
  const std::int64_t launchedAt = NowMilliseconds();
  const std::uint32_t processId = Relaunch(jobFile, sessionId);
  job.pidHint = processId;
  job.startedAt = launchedAt;
  job.deadlineAt = launchedAt + kConfirmationWindowMs;
  // Without "relaunching" on record the timer would stop at its first look and a confirm
  // would be refused: the new files go back at once instead.
  if (!SetJobStatus(&job, serviceJobFile, kStatusRelaunching,
                    processId != 0 ? u"" : u"relaunch may have failed; rollback timer armed")) {
    FinishRollback(&job, serviceJobFile, u"cannot restore installed version state after rollback: ",
                   u"cannot persist relaunch", u"cannot persist relaunch; rollback incomplete",
                   /*relaunch=*/true);
    return;
  }
  ReachStep(HotUpdateStep::kCommitRelaunching);
  enqueue([serviceJobFile, &jobLock] { HotUpdateRollbackTimer(serviceJobFile, jobLock); });
}

}  // namespace vovu
