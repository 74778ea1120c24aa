#include "hotupdate/recovery.h"

#include <chrono>
#include <mutex>
#include <vector>

#include "foundation/diagnostics.h"
#include "foundation/step_hook.h"
#include "foundation/text.h"
#include "hotupdate/job_status.h"
#include "hotupdate/new_copies.h"
#include "hotupdate/rollback.h"
#include "hotupdate/swap_record.h"
#include "platform/files.h"
#include "state/hot_update_job.h"
#include "state/job_mirror.h"
#include "state/protected_storage.h"
#include "state/user_file_access.h"

namespace vovu {
namespace {

bool IsRollBackStatus(const std::u16string& status) {
  return status == kStatusReplacing || status == kStatusRelaunching || status == kStatusRollingBack;
}

bool IsMidOperationStatus(const std::u16string& status) {
  return status == kStatusCommitting || status == kStatusDownloading || status == kStatusVerifying;
}

bool IsFile(const std::u16string& path) {
  const std::uint32_t attributes = platform::GetAttributes(path);
  return attributes != platform::kInvalidFileAttributes &&
         (attributes & platform::kFileAttributeDirectory) == 0;
}

// A job whose installed files are not settled: caught swapping, awaiting confirmation or
// restoring, or ended (a rollback that gave up, a swap that could not put everything back)
// with rows whose ".bak" still has to go back.
bool NeedsRollBack(const HotUpdateJob& job, const std::u16string& jobDir) {
  return IsRollBackStatus(job.status) || NeedsRestore(job, jobDir);
}

// Rolls the job back. The switch to "rollingback" is made under the lock, so a confirm either
// came first (and there is nothing left to roll back) or comes later and is refused. When
// that switch cannot be written the lock is kept for the whole rollback instead: the record
// still reads as confirmable.
void RollBackAtStart(const std::u16string& jobDir, const std::u16string& serviceJobFile,
                     platform::CriticalSection& jobLock) {
  HotUpdateJob job;
  std::unique_lock held(jobLock, std::defer_lock);
  const SwitchResult switched = SwitchToRollingBack(
      serviceJobFile, [&](const HotUpdateJob& fresh) { return NeedsRollBack(fresh, jobDir); },
      u"service restart", &held, &job);
  if (switched == SwitchResult::kNotSwitchable)
    return;
  ReachStep(HotUpdateStep::kRollbackSwitched);
  FinishRollback(&job, serviceJobFile,
                 u"cannot restore installed version state after service restart rollback: ",
                 u"service restart", u"service restart rollback failed", /*relaunch=*/false);
}

}  // namespace

void RecoverHotUpdatesAtStartup(platform::CriticalSection& jobLock) {
  const std::u16string dir = GetHotUpdateDir();
  const std::size_t last = dir.find_last_of(u"\\/");
  std::u16string ignored;
  if (last != std::u16string::npos && !EnsureProtectedDirectory(dir.substr(0, last), &ignored))
    return;
  if (!EnsureProtectedDirectory(dir, &ignored))
    return;
  RecoverHotUpdateJobs(dir, jobLock);
}

void RecoverHotUpdateJobs(const std::u16string& hotUpdateDir, platform::CriticalSection& jobLock) {
  std::vector<std::u16string> mirrored;
  ForEachJobDirectory(
      hotUpdateDir, [&](const std::u16string& jobDir, const std::u16string& serviceJobFile) {
        HotUpdateJob job;
        if (!IsFile(serviceJobFile) || !ReadJobFile(serviceJobFile, &job))
          return;
        if (NeedsRollBack(job, jobDir)) {
          ReachStep(HotUpdateStep::kRecoveryJobFound);
          RollBackAtStart(jobDir, serviceJobFile, jobLock);
        } else if (IsMidOperationStatus(job.status)) {
          SetJobStatus(&job, serviceJobFile, kStatusFailed, u"service restarted mid-operation");
        } else {
          // The record is the truth; the user's copy may have missed its last status when the
          // service ended between the two writes. It is written again from the record, but
          // only over the job's own request: the application may have written a new one.
          RepostJobMirrorOverItsRequest(job);
        }
        if (!job.jobFile.empty())
          mirrored.push_back(job.jobFile);
      });
  // A commit that ended with the service left its ".new" copies: no job uses them any more
  // (the rollbacks above restore from ".bak" only, and no commit runs before this job ends).
  std::u16string reason;
  if (!DiscardNewCopies(&reason))
    LogDebug(u"hot-update recovery: " + reason);
  // The user's copies within one bound in all, so a user who holds their files delays the
  // start-up job by that bound at most.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kUserFileLimitMs);
  for (const std::u16string& jobFile : mirrored) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !AwaitJobMirror(jobFile, static_cast<std::uint32_t>(left.count())))
      break;
  }
}

}  // namespace vovu
