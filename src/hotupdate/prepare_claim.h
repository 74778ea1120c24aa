// The first half of prepare: taking a requested job under the service's protection.
//
// The claim runs under JobQueueLock from the moment it looks at the job's previous record
// until the new job's first status is persisted. Cancel takes the same lock around its read
// and removal, so a cancel never acts on a job directory that a prepare is replacing: it sees
// either the previous record (and the prepare then starts from nothing) or the new job's
// first status ("verifying", which it refuses, or "failed").
//
// A previous job of the same caller and job file whose installed files are being swapped or
// awaiting confirmation ("replacing", "relaunching", "rollingback") is not discarded: its
// record is the only way to confirm or roll back those files and their ".bak" copies. The
// claim then leaves everything as it is, mirrors that record back into the user's job file
// (so the application sees why nothing started) and logs the refusal. Once the swap is
// settled (confirmed, rolled back or failed), a new prepare starts over as usual.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/sync.h"
#include "state/hot_update_job.h"

namespace vovu {

// What the rest of prepare works with once the job is claimed.
struct ClaimedJob {
  HotUpdateJob job;
  std::u16string serviceJobFile;  // the protected job file
  std::u16string packageFile;     // package.zip in the job directory
};

// The request's own form: `version` of 1 to 64 characters from A-Z, a-z, 0-9, '.', '-' and
// '_' without ".."; `packageSha256` of 64 hexadecimal digits; `packageSize` above 0, at most
// 2 GiB and whole.
[[nodiscard]] bool IsValidRequestMetadata(const HotUpdateJob& job);

// Reads the user's job file as the caller (`callerToken`; see ReadUserJobFile: one open, a
// bounded read, within kUserFileLimitMs, outside the job lock), derives the job's protected paths,
// makes sure the protected tree exists and, under `jobLock`, replaces the job directory with a new
// one holding an empty payload directory, fills in the owner and staging fields and persists the
// first status. True when the job is "verifying" ("official manifest") and prepare goes on;
// false when prepare has ended: the user's file could not be read as the caller, is a link
// or is not a plain file ("hot-update-prepare: load job failed: <reason>", nothing written), no job
// id (nothing written), a protected directory failed ("hot-update-prepare: " + reason, nothing
// persisted), the previous job is swapping files (see above), or the metadata is invalid ("failed"
// / "invalid hot-update request metadata" persisted).
[[nodiscard]] bool ClaimJobForPrepare(const std::u16string& jobFile,
                                      const std::u16string& callerSid, std::uint32_t sessionId,
                                      std::shared_ptr<const platform::TokenHandle> callerToken,
                                      platform::CriticalSection& jobLock, ClaimedJob* claimed);

}  // namespace vovu
