#include "hotupdate/prepare_claim.h"

#include <mutex>

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "hotupdate/job_status.h"
#include "hotupdate/job_storage.h"
#include "hotupdate/package_contents.h"
#include "hotupdate/swap_record.h"
#include "platform/files.h"
#include "state/protected_storage.h"

namespace vovu {
namespace {

constexpr std::size_t kMaxVersionLength = 64;
constexpr char16_t kLogPrefix[] = u"hot-update-prepare: ";

bool IsVersionChar(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
         c == u'.' || c == u'-' || c == u'_';
}

bool IsValidVersionText(const std::u16string& version) {
  if (version.empty() || version.size() > kMaxVersionLength ||
      version.find(u"..") != std::u16string::npos) {
    return false;
  }
  for (char16_t c : version) {
    if (!IsVersionChar(c))
      return false;
  }
  return true;
}

// The statuses in which the installed files are being swapped or wait for confirmation: the
// record of such a job must survive until the swap is settled.
bool IsSwapUnsettled(const std::u16string& status) {
  return status == kStatusReplacing || status == kStatusRelaunching || status == kStatusRollingBack;
}

// What the user's job file may decide: the request. Every value only the service sets (the
// status and its message, the owner, the service's own paths and the relaunch values a rollback
// acts on) starts empty, whatever the file says.
HotUpdateJob KeepRequestOnly(const HotUpdateJob& requested) {
  HotUpdateJob job;
  job.version = requested.version;
  job.packageUrl = requested.packageUrl;
  job.packageSha256 = requested.packageSha256;
  job.expectedPublisher = requested.expectedPublisher;
  job.packageSize = requested.packageSize;
  job.currentVersion = requested.currentVersion;
  job.error = requested.error;
  job.createdAt = requested.createdAt;
  return job;
}

// Replaces the job directory with a fresh one and persists the job's first status. Runs
// under the job lock.
bool ReplaceJobDirectory(const std::u16string& jobDir, ClaimedJob* claimed) {
  HotUpdateJob previous;
  if (ReadJobFile(claimed->serviceJobFile, &previous) &&
      (IsSwapUnsettled(previous.status) || NeedsRestore(previous, jobDir))) {
    (void)PersistJob(previous, claimed->serviceJobFile);
    LogDebug(kLogPrefix + (u"job is " + previous.status + u", previous update not settled"));
    return false;
  }
  std::u16string error;
  RemoveTree(jobDir);
  if (!EnsureProtectedDirectory(jobDir, &error)) {
    LogDebug(kLogPrefix + error);
    return false;
  }
  HotUpdateJob& job = claimed->job;
  job.serviceDir = jobDir;
  job.dir = JoinPath(jobDir, u"payload");
  if (!EnsureProtectedDirectory(job.dir, &error)) {
    LogDebug(kLogPrefix + error);
    return false;
  }
  if (!IsValidRequestMetadata(job)) {
    SetJobStatus(&job, claimed->serviceJobFile, kStatusFailed,
                 u"invalid hot-update request metadata");
    return false;
  }
  // The pipe refuses a prepare beyond the bound already; prepares queued together are
  // counted here, one at a time.
  if (!MayStoreAnotherJob(job.sid, jobDir)) {
    SetJobStatus(&job, claimed->serviceJobFile, kStatusFailed, kTooManyStoredJobs);
    return false;
  }
  SetJobStatus(&job, claimed->serviceJobFile, kStatusVerifying, u"official manifest");
  return true;
}

}  // namespace

bool IsValidRequestMetadata(const HotUpdateJob& job) {
  return IsValidVersionText(job.version) && IsSha256Hex(job.packageSha256) &&
         IsWholeSizeUpTo2GiB(job.packageSize);
}

bool ClaimJobForPrepare(const std::u16string& jobFile, const std::u16string& callerSid,
                        std::uint32_t sessionId,
                        std::shared_ptr<const platform::TokenHandle> callerToken,
                        platform::CriticalSection& jobLock, ClaimedJob* claimed) {
  LogDebug(kLogPrefix + jobFile);
  claimed->job = HotUpdateJob();
  HotUpdateJob requested;
  std::u16string readFailure;
  if (!ReadUserJobFile(jobFile, callerSid, callerToken, &requested, &readFailure)) {
    LogDebug(u"hot-update-prepare: load job failed: " + readFailure);
    return false;
  }
  claimed->job = KeepRequestOnly(requested);
  std::u16string jobDir;
  std::u16string error;
  if (!DeriveJobPaths(jobFile, callerSid, &jobDir, &claimed->serviceJobFile, &error))
    return false;
  if (!EnsureHotUpdateDirectories(&error)) {
    LogDebug(kLogPrefix + error);
    return false;
  }
  claimed->packageFile = JoinPath(jobDir, u"package.zip");
  claimed->job.sid = callerSid;
  claimed->job.sessionId = sessionId;
  claimed->job.jobFile = jobFile;

  std::lock_guard lock(jobLock);
  return ReplaceJobDirectory(jobDir, claimed);
}

}  // namespace vovu
