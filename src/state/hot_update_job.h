// The hot-update job record, its id and paths, and the job file format shared by the user's
// job.json and the service's protected service-job.json.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/files.h"
#include "platform/identity.h"

namespace vovu {

inline constexpr std::uint64_t kMaxJobFileBytes = 1048576;

// One hot-update job. Strings empty and numbers 0 when fresh, except sessionId (no session).
// Times are milliseconds since 1601-01-01 UTC.
struct HotUpdateJob {
  std::u16string version;
  std::u16string packageUrl;
  std::u16string packageSha256;
  std::u16string expectedPublisher;
  double packageSize = 0;
  std::u16string currentVersion;
  std::u16string status;
  std::u16string statusMessage;
  std::u16string error;
  std::int64_t createdAt = 0;
  std::int64_t updatedAt = 0;
  std::uint32_t pidHint = 0;
  std::int64_t startedAt = 0;
  std::int64_t deadlineAt = 0;
  std::uint32_t sessionId = platform::kNoSession;
  std::u16string sid;
  std::u16string jobFile;
  std::u16string serviceDir;
  std::u16string dir;
};

// The job id: SHA-256 (64 lower-case hex digits) of the UTF-16LE units of
// callerSid + "|" + jobFile with ASCII letters lowered.
[[nodiscard]] bool ComputeJobId(const std::u16string& jobFile, const std::u16string& callerSid,
                                std::u16string* jobId);

// The job directory (hot-update directory + job id) and its service-job.json. Creates
// nothing. Failure: "cannot derive protected hot-update job id".
[[nodiscard]] bool DeriveJobPaths(const std::u16string& jobFile, const std::u16string& callerSid,
                                  std::u16string* jobDir, std::u16string* serviceJobFile,
                                  std::u16string* error);

// Reads a job file (at most 1 MiB) leniently into `job`: top-level fields always assigned,
// each section's fields only when the section member exists (emptied when it is not an
// object). False when the file is missing, too large, unreadable or not JSON. The file is
// opened once, sharing read, write and delete (the way an application should read its own
// job file: the service can replace it meanwhile), and the 1 MiB bound is on what is read.
[[nodiscard]] bool ReadJobFile(const std::u16string& path, HotUpdateJob* job);

// ReadJobFile's reading and parsing, on a file already open.
[[nodiscard]] bool ReadJobFromOpenFile(const platform::FileHandle& file, HotUpdateJob* job);

// Reads the user's job file the way the service may (state/user_file_access.h): as the
// caller (`callerToken`), on a background thread, within kUserFileLimitMs, the path opened
// once by platform::OpenUserFileForRead (no link at the last component, only a plain file,
// a pipe server behind the path cannot impersonate the reader), at most 1 MiB. So nothing
// the caller could not read is ever read. False with a short reason ("error=5", "timed out",
// ...) for the log.
[[nodiscard]] bool ReadUserJobFile(const std::u16string& jobFile, const std::u16string& callerSid,
                                   const std::shared_ptr<const platform::TokenHandle>& callerToken,
                                   HotUpdateJob* job, std::u16string* reason);

// The job file's exact text.
[[nodiscard]] std::u16string FormatJobFile(const HotUpdateJob& job);

// Writes the exact layout atomically. False on failure (the old file stays whole).
[[nodiscard]] bool WriteJobFile(const HotUpdateJob& job, const std::u16string& path);

// Writes the protected copy, then hands the text to the writer of the user's job file
// (state/job_mirror.h: as the user logged on to the job's session when that user owns the
// job, off this thread, within a bound). Never waits for the user's file, so the job lock
// may be held around it. The result is the protected write's. No session: no mirror.
[[nodiscard]] bool PersistJob(const HotUpdateJob& job, const std::u16string& serviceJobFile);

}  // namespace vovu
