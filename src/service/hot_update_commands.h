// The hot-update commands of the whitelist, each with its checks in order. They have the
// dispatcher's command shape: only the first argument (the job-file path) is read; true when
// performed or queued, false with the reason in `failure`.
//
// The checks every hot-update word starts with: the argument is there ("missing jobFile"),
// it lies in the caller's own hot-update folder (ValidateJobFile's message) and the caller's
// SID is known ("caller SID unavailable").
//
// "hot-update-prepare" and "hot-update-commit" are refused after those checks, with the
// service's InstallationFolderRefusal() as the reason, while the service found its
// installation folder open to non-administrators at its start.
//
// A process without the service's queue (the command line never runs them itself) answers
// a hot-update word that passed its checks as an unknown word ("unknown command: <word>").
#pragma once

#include <string>
#include <vector>

#include "caller/request_context.h"

namespace vovu {

// "hot-update-prepare": after the checks, queues HotUpdatePrepare with copies of the path,
// the SID and the session id (0xFFFFFFFF included) and answers at once; the job reports only
// through its record. Bounded per user (hotupdate/job_storage.h): refused while the caller
// keeps kMaxStoredJobsPerUser other jobs with package data (kTooManyStoredJobs) or has
// kMaxQueuedJobsPerUser prepares waiting (kTooManyQueuedJobs); a prepare of the same job
// (same job id) that is still waiting takes this request's place, and the answer is OK.
[[nodiscard]] bool RunHotUpdatePrepare(const std::vector<std::u16string>& args,
                                       const RequestContext& context, std::u16string* failure);

// "hot-update-commit": the checks, then the session must be known ("caller session
// unavailable") and the job "staged" (CheckJobStatus's message); then queues HotUpdateCommit
// with copies of the path, the SID and the session id and answers at once.
[[nodiscard]] bool RunHotUpdateCommit(const std::vector<std::u16string>& args,
                                      const RequestContext& context, std::u16string* failure);

// "hot-update-confirm": after the checks, HotUpdateConfirm inline under JobQueueLock.
[[nodiscard]] bool RunHotUpdateConfirm(const std::vector<std::u16string>& args,
                                       const RequestContext& context, std::u16string* failure);

// "hot-update-cancel": after the checks, HotUpdateCancel inline under JobQueueLock.
[[nodiscard]] bool RunHotUpdateCancel(const std::vector<std::u16string>& args,
                                      const RequestContext& context, std::u16string* failure);

}  // namespace vovu
