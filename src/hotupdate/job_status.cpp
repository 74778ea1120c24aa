#include "hotupdate/job_status.h"

#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/profile.h"

namespace vovu {
namespace {

constexpr std::uint32_t kProfileCapacity = 260;
constexpr char16_t kJobFileSuffix[] = u"\\job.json";

bool Fail(std::u16string* failure, const char16_t* message) {
  *failure = message;
  return false;
}

}  // namespace

bool IsOperationStatus(const std::u16string& status) {
  return status == kStatusDownloading || status == kStatusVerifying ||
         status == kStatusCommitting || status == kStatusReplacing ||
         status == kStatusRelaunching || status == kStatusRollingBack;
}

bool ValidateJobFile(const std::u16string& jobFile, const RequestContext& context,
                     std::u16string* failure) {
  if (jobFile.empty())
    return Fail(failure, u"empty jobFile");
  const std::u16string lower = ToLower(jobFile);
  if (lower.find(u"..") != std::u16string::npos) {
    return Fail(failure, u"jobFile contains path traversal");
  }
  const std::u16string suffix = kJobFileSuffix;
  if (lower.size() < suffix.size() ||
      lower.compare(lower.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return Fail(failure, u"jobFile must end with job.json");
  }
  std::u16string profile;
  if (!context.hasToken || !context.token.valid() ||
      !platform::GetUserProfileDirectoryOf(context.token, &profile, kProfileCapacity)) {
    return Fail(failure, u"cannot validate caller profile for jobFile");
  }
  const std::u16string prefix = ToLower(profile) + kHotUpdateJobDirName;
  if (lower.compare(0, prefix.size(), prefix) != 0) {
    return Fail(failure, u"jobFile outside caller profile");
  }
  return true;
}

bool JobOwnedByCaller(const HotUpdateJob& job, const std::u16string& callerSid,
                      const std::u16string& jobFile) {
  return job.sid == callerSid && ToLower(job.jobFile) == ToLower(jobFile);
}

bool ReadCallersJob(const std::u16string& jobFile, const std::u16string& callerSid,
                    HotUpdateJob* job, std::u16string* jobDir, std::u16string* serviceJobFile,
                    std::u16string* failure) {
  if (!DeriveJobPaths(jobFile, callerSid, jobDir, serviceJobFile, failure))
    return false;
  if (!ReadJobFile(*serviceJobFile, job) || !JobOwnedByCaller(*job, callerSid, jobFile))
    return Fail(failure, u"protected state mismatch");
  return true;
}

bool CheckJobStatus(const std::u16string& jobFile, const std::u16string& callerSid,
                    const std::u16string& expected, std::u16string* failure) {
  HotUpdateJob job;
  std::u16string jobDir;
  std::u16string serviceJobFile;
  if (!ReadCallersJob(jobFile, callerSid, &job, &jobDir, &serviceJobFile, failure))
    return false;
  if (job.status != expected) {
    *failure = u"job status is " + job.status + u", expected " + expected;
    return false;
  }
  return true;
}

std::int64_t NowMilliseconds() {
  return platform::GetSystemTimeAsFileTimeTicks() / 10000;
}

bool SetJobStatus(HotUpdateJob* job, const std::u16string& serviceJobFile,
                  const std::u16string& status, const std::u16string& message) {
  job->status = status;
  job->statusMessage = message;
  job->updatedAt = NowMilliseconds();
  return PersistJob(*job, serviceJobFile);
}

}  // namespace vovu
