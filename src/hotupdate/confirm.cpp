#include "hotupdate/confirm.h"

#include <mutex>

#include "foundation/diagnostics.h"
#include "foundation/step_hook.h"
#include "foundation/text.h"
#include "hotupdate/job_status.h"
#include "platform/files.h"
#include "state/hot_update_job.h"
#include "state/installed_version.h"
#include "state/protected_storage.h"
#include "system/file_replacement.h"

namespace vovu {

bool HotUpdateConfirm(const std::u16string& jobFile, const RequestContext& context,
                      platform::CriticalSection& jobLock, std::u16string* failure) {
  std::lock_guard lock(jobLock);
  HotUpdateJob job;
  std::u16string jobDir;
  std::u16string serviceJobFile;
  if (!ReadCallersJob(jobFile, context.userSid, &job, &jobDir, &serviceJobFile, failure))
    return false;
  if (job.status != kStatusRelaunching) {
    *failure = u"not in relaunching state (=" + job.status + u")";
    return false;
  }
  ReachStep(HotUpdateStep::kConfirmChecked);
  std::u16string reason;
  if (!RecordConfirmedVersion(job.version, &reason)) {
    *failure = u"cannot persist confirmed installed version: " + reason;
    return false;
  }
  ReachStep(HotUpdateStep::kConfirmVersionRecorded);
  job.status = kStatusDone;
  job.updatedAt = NowMilliseconds();
  if (!PersistJob(job, serviceJobFile)) {
    (void)RecordConfirmedVersion(job.currentVersion, &reason);
    *failure = u"cannot persist confirmation";
    return false;
  }
  ReachStep(HotUpdateStep::kConfirmDone);
  // The order the backups go in: app.asar, addon.node, korvaCF.exe.
  const std::u16string installDir = GetInstallDirectory();
  for (const char16_t* relative : kInstalledFiles)
    (void)platform::DeleteFileAt(BackupPathOf(JoinPath(installDir, relative)));
  LogDebug(u"hot-update confirmed done: " + job.version);
  RemoveTree(jobDir);
  return true;
}

}  // namespace vovu
