#include "hotupdate/recovery.h"

#include <mutex>

#include "foundation/step_hook.h"
#include "foundation/text.h"
#include "hotupdate/job_status.h"
#include "hotupdate/rollback.h"
#include "platform/files.h"
#include "state/hot_update_job.h"
#include "state/protected_storage.h"

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

// Rolls back a job found swapping, awaiting confirmation or restoring. The switch to
// "rollingback" is made under the lock, so a confirm either came first (and there is nothing
// left to roll back) or comes later and is refused. When that switch cannot be written the
// lock is kept for the whole rollback instead: the record still reads as confirmable.
void RollBackAtStart(const std::u16string& serviceJobFile, platform::CriticalSection& jobLock) {
  std::unique_lock lock(jobLock);
  HotUpdateJob job;
  if (!ReadJobFile(serviceJobFile, &job) || !IsRollBackStatus(job.status))
    return;
  job.status = kStatusRollingBack;
  job.statusMessage = u"service restart";
  job.updatedAt = NowMilliseconds();
  if (PersistJob(job, serviceJobFile))
    lock.unlock();
  ReachStep(HotUpdateStep::kRollbackSwitched);
  const bool restored = RollBackInstalledFiles(
      job, u"cannot restore installed version state after service restart rollback: ");
  ReachStep(HotUpdateStep::kRollbackFilesRestored);
  if (restored) {
    SetJobStatus(&job, serviceJobFile, kStatusRolledBack, u"service restart");
  } else {
    SetJobStatus(&job, serviceJobFile, kStatusFailed, u"service restart rollback failed");
  }
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
  platform::FindData entry;
  platform::FindHandle find = platform::FindFirstEntry(JoinPath(hotUpdateDir, u"*"), &entry);
  if (!find)
    return;
  do {
    if ((entry.attributes & platform::kFileAttributeDirectory) == 0 || entry.name == u"." ||
        entry.name == u"..") {
      continue;
    }
    const std::u16string serviceJobFile =
        JoinPath(JoinPath(hotUpdateDir, entry.name), u"service-job.json");
    if (!IsFile(serviceJobFile))
      continue;
    HotUpdateJob job;
    if (!ReadJobFile(serviceJobFile, &job))
      continue;
    if (IsRollBackStatus(job.status)) {
      ReachStep(HotUpdateStep::kRecoveryJobFound);
      RollBackAtStart(serviceJobFile, jobLock);
    } else if (IsMidOperationStatus(job.status)) {
      SetJobStatus(&job, serviceJobFile, kStatusFailed, u"service restarted mid-operation");
    }
  } while (platform::FindNextEntry(find, &entry));
}

}  // namespace vovu
