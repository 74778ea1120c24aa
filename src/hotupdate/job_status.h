// The hot-update job's states, the guards that refuse a request in the wrong state or from
// the wrong caller, and the check that a job-file path lies in the caller's own folder.
#pragma once

#include <string>

#include "caller/request_context.h"
#include "state/hot_update_job.h"

namespace vovu {

inline constexpr char16_t kStatusVerifying[] = u"verifying";
inline constexpr char16_t kStatusDownloading[] = u"downloading";
inline constexpr char16_t kStatusStaged[] = u"staged";
inline constexpr char16_t kStatusCommitting[] = u"committing";
inline constexpr char16_t kStatusReplacing[] = u"replacing";
inline constexpr char16_t kStatusRelaunching[] = u"relaunching";
inline constexpr char16_t kStatusRollingBack[] = u"rollingback";
inline constexpr char16_t kStatusRolledBack[] = u"rolledback";
inline constexpr char16_t kStatusDone[] = u"done";
inline constexpr char16_t kStatusFailed[] = u"failed";
inline constexpr char16_t kStatusCancelled[] = u"cancelled";

// Every status a job can have, in the order of a job's life (docs/integration.md lists them
// so).
inline constexpr const char16_t* kJobStatuses[] = {
    kStatusVerifying, kStatusDownloading, kStatusStaged,      kStatusCommitting,
    kStatusReplacing, kStatusRelaunching, kStatusRollingBack, kStatusRolledBack,
    kStatusDone,      kStatusFailed,      kStatusCancelled};

// The per-user job folder below the profile directory.
inline constexpr char16_t kHotUpdateJobDirName[] = u"\\.zodezevadororuza\\updates\\hotupdate\\";

// True for the statuses in which an operation is under way (cancel is refused in them).
[[nodiscard]] bool IsOperationStatus(const std::u16string& status);

// The job-file path must be non-empty, free of "..", end in "\job.json" and lie in the
// caller's own hot-update folder (any case). Failures, in this order: "empty jobFile",
// "jobFile contains path traversal", "jobFile must end with job.json", "cannot validate
// caller profile for jobFile", "jobFile outside caller profile".
[[nodiscard]] bool ValidateJobFile(const std::u16string& jobFile, const RequestContext& context,
                                   std::u16string* failure);

// The job's sid equals the caller's exactly and its jobFile equals the path ignoring case.
[[nodiscard]] bool JobOwnedByCaller(const HotUpdateJob& job, const std::u16string& callerSid,
                                    const std::u16string& jobFile);

// Reads the protected record of the caller's job at `jobFile` (the `jobDir` and
// `serviceJobFile` derived from it): it must exist and be the caller's. Failures: the job-id
// message, "protected state mismatch". Takes no lock: a caller that goes on to change the
// record holds the job lock around this read and the change.
[[nodiscard]] bool ReadCallersJob(const std::u16string& jobFile, const std::u16string& callerSid,
                                  HotUpdateJob* job, std::u16string* jobDir,
                                  std::u16string* serviceJobFile, std::u16string* failure);

// The protected record of the caller's job must exist, be the caller's and have `expected`
// as its status. Failures: the job-id message, "protected state mismatch", "job status is
// <status>, expected <expected>". Writes nothing.
[[nodiscard]] bool CheckJobStatus(const std::u16string& jobFile, const std::u16string& callerSid,
                                  const std::u16string& expected, std::u16string* failure);

// Sets status and message, stamps updatedAt and persists the job (protected copy, then the
// user's mirror). True when the protected copy was written.
bool SetJobStatus(HotUpdateJob* job, const std::u16string& serviceJobFile,
                  const std::u16string& status, const std::u16string& message);

// Milliseconds since 1601-01-01 UTC.
[[nodiscard]] std::int64_t NowMilliseconds();

}  // namespace vovu
