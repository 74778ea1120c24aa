// What one user may keep of the service's disk and queue, and the removal of old jobs.
//
// Every job directory below the hot-update directory is named by its job id and may hold a
// copy of a package (up to 2 GiB) and its extracted payload until the job is committed or
// cancelled. A user may keep kMaxStoredJobsPerUser such directories with package data; a
// further prepare is refused until one is cancelled. A user may have kMaxQueuedJobsPerUser
// prepares waiting in the worker's queue; a prepare of a job that is already waiting is
// merged into it. At every service start, jobs at rest that nobody has touched for
// kStaleJobAgeMs are removed with their directories.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/sync.h"

namespace vovu {

inline constexpr std::size_t kMaxStoredJobsPerUser = 3;
inline constexpr std::size_t kMaxQueuedJobsPerUser = 4;
inline constexpr std::int64_t kStaleJobAgeMs = 7ll * 24 * 60 * 60 * 1000;

// The refusals, as the caller sees them.
inline constexpr char16_t kTooManyStoredJobs[] =
    u"too many hot-update jobs with package data (at most 3): cancel one first";
inline constexpr char16_t kTooManyQueuedJobs[] =
    u"too many hot-update jobs queued (at most 4): wait for one to finish";

// True when the job directory holds package data: "package.zip", "package.zip.part", or
// anything in "payload".
[[nodiscard]] bool HoldsPackageData(const std::u16string& jobDir);

// The job directories whose protected record names `sid` as its owner and which hold
// package data, `exceptJobDir` (the job about to be replaced) not counted.
[[nodiscard]] std::size_t CountStoredJobsOf(const std::u16string& sid,
                                            const std::u16string& exceptJobDir);

// True when the user may keep one more job with package data besides `jobDir`.
[[nodiscard]] bool MayStoreAnotherJob(const std::u16string& sid, const std::u16string& jobDir);

// Removes, under `jobLock`, every job directory whose record is at rest ("staged", "failed",
// "cancelled") and was last updated more than kStaleJobAgeMs before `nowMs`, logging each
// ("hot-update job removed after 7 days at rest: <job id> (<status>)"). Directories without a
// readable record are left alone. Returns how many were removed.
std::size_t RemoveStaleJobs(platform::CriticalSection& jobLock, std::int64_t nowMs);

}  // namespace vovu
