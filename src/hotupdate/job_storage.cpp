#include "hotupdate/job_storage.h"

#include <mutex>
#include <vector>

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "hotupdate/job_status.h"
#include "platform/files.h"
#include "state/hot_update_job.h"
#include "state/protected_storage.h"

namespace vovu {
namespace {

constexpr char16_t kServiceJobFileName[] = u"service-job.json";

bool Exists(const std::u16string& path) {
  return platform::GetAttributes(path) != platform::kInvalidFileAttributes;
}

// The names of the plain directories directly in `dir` ("." and ".." left out).
std::vector<std::u16string> SubdirectoriesOf(const std::u16string& dir) {
  std::vector<std::u16string> names;
  platform::FindData entry;
  platform::FindHandle find = platform::FindFirstEntry(JoinPath(dir, u"*"), &entry);
  if (!find)
    return names;
  do {
    const bool directory = (entry.attributes & platform::kFileAttributeDirectory) != 0 &&
                           (entry.attributes & platform::kFileAttributeReparsePoint) == 0;
    if (directory && entry.name != u"." && entry.name != u"..")
      names.push_back(entry.name);
  } while (platform::FindNextEntry(find, &entry));
  return names;
}

bool HasAnyEntry(const std::u16string& dir) {
  platform::FindData entry;
  platform::FindHandle find = platform::FindFirstEntry(JoinPath(dir, u"*"), &entry);
  if (!find)
    return false;
  do {
    if (entry.name != u"." && entry.name != u"..")
      return true;
  } while (platform::FindNextEntry(find, &entry));
  return false;
}

bool IsAtRest(const std::u16string& status) {
  return status == kStatusStaged || status == kStatusFailed || status == kStatusCancelled;
}

}  // namespace

bool HoldsPackageData(const std::u16string& jobDir) {
  return Exists(JoinPath(jobDir, u"package.zip")) ||
         Exists(JoinPath(jobDir, u"package.zip.part")) || HasAnyEntry(JoinPath(jobDir, u"payload"));
}

std::size_t CountStoredJobsOf(const std::u16string& sid, const std::u16string& exceptJobDir) {
  const std::u16string root = GetHotUpdateDir();
  std::size_t count = 0;
  for (const std::u16string& name : SubdirectoriesOf(root)) {
    const std::u16string jobDir = JoinPath(root, name);
    if (ToLower(jobDir) == ToLower(exceptJobDir))
      continue;
    HotUpdateJob job;
    if (ReadJobFile(JoinPath(jobDir, kServiceJobFileName), &job) && job.sid == sid &&
        HoldsPackageData(jobDir)) {
      ++count;
    }
  }
  return count;
}

bool MayStoreAnotherJob(const std::u16string& sid, const std::u16string& jobDir) {
  return CountStoredJobsOf(sid, jobDir) < kMaxStoredJobsPerUser;
}

std::size_t RemoveStaleJobs(platform::CriticalSection& jobLock, std::int64_t nowMs) {
  const std::u16string root = GetHotUpdateDir();
  std::size_t removed = 0;
  for (const std::u16string& name : SubdirectoriesOf(root)) {
    const std::u16string jobDir = JoinPath(root, name);
    std::lock_guard lock(jobLock);
    // Read again under the lock: a confirm or cancel may have moved the job meanwhile.
    HotUpdateJob job;
    if (!ReadJobFile(JoinPath(jobDir, kServiceJobFileName), &job) || !IsAtRest(job.status) ||
        nowMs - job.updatedAt <= kStaleJobAgeMs) {
      continue;
    }
    RemoveTree(jobDir);
    ++removed;
    LogDebug(u"hot-update job removed after 7 days at rest: " + name + u" (" + job.status + u")");
  }
  return removed;
}

}  // namespace vovu
