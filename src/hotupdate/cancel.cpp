#include "hotupdate/cancel.h"

#include <mutex>

#include "hotupdate/job_status.h"
#include "hotupdate/swap_record.h"
#include "state/hot_update_job.h"
#include "state/protected_storage.h"

namespace vovu {

bool HotUpdateCancel(const std::u16string& jobFile, const RequestContext& context,
                     platform::CriticalSection& jobLock, std::u16string* failure) {
  std::lock_guard lock(jobLock);
  HotUpdateJob job;
  std::u16string jobDir;
  std::u16string serviceJobFile;
  if (!ReadCallersJob(jobFile, context.userSid, &job, &jobDir, &serviceJobFile, failure))
    return false;
  if (IsOperationStatus(job.status)) {
    *failure = u"job cannot be cancelled in status " + job.status;
    return false;
  }
  if (NeedsRestore(job, jobDir)) {
    *failure = u"job cannot be cancelled while installed files await their backups";
    return false;
  }
  job.status = kStatusCancelled;
  job.updatedAt = NowMilliseconds();
  (void)PersistJob(job, serviceJobFile);
  RemoveTree(jobDir);
  return true;
}

}  // namespace vovu
