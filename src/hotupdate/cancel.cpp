#include "hotupdate/cancel.h"

#include <mutex>

#include "hotupdate/job_status.h"
#include "state/hot_update_job.h"
#include "state/protected_storage.h"

namespace vovu {

bool HotUpdateCancel(const std::u16string& jobFile, const RequestContext& context,
                     platform::CriticalSection& jobLock, std::u16string* failure) {
  std::u16string jobDir;
  std::u16string serviceJobFile;
  if (!DeriveJobPaths(jobFile, context.userSid, &jobDir, &serviceJobFile, failure))
    return false;

  std::lock_guard lock(jobLock);
  HotUpdateJob job;
  if (!ReadJobFile(serviceJobFile, &job) || !JobOwnedByCaller(job, context.userSid, jobFile)) {
    *failure = u"protected state mismatch";
    return false;
  }
  if (IsOperationStatus(job.status)) {
    *failure = u"job cannot be cancelled in status " + job.status;
    return false;
  }
  job.status = kStatusCancelled;
  job.updatedAt = NowMilliseconds();
  (void)PersistJob(job, serviceJobFile);
  RemoveTree(jobDir);
  return true;
}

}  // namespace vovu
