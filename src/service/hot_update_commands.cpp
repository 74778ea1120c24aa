#include "service/hot_update_commands.h"

#include "foundation/text.h"
#include "hotupdate/cancel.h"
#include "hotupdate/commit.h"
#include "hotupdate/confirm.h"
#include "hotupdate/job_status.h"
#include "hotupdate/job_storage.h"
#include "hotupdate/prepare.h"
#include "platform/process.h"
#include "service/installation_folder.h"
#include "service/work_queue.h"
#include "state/hot_update_job.h"
#include "state/job_mirror.h"
#include "state/user_file_access.h"

namespace vovu {
namespace {

// The checks every hot-update word starts with.
bool AcceptJobFile(const std::vector<std::u16string>& args, const RequestContext& context,
                   std::u16string* failure) {
  if (args.empty()) {
    *failure = u"missing jobFile";
    return false;
  }
  if (!ValidateJobFile(args.front(), context, failure))
    return false;
  if (context.userSid.empty()) {
    *failure = u"caller SID unavailable";
    return false;
  }
  return true;
}

// While the installation folder is open to non-administrators, nothing is replaced in it.
bool FolderRefused(std::u16string* failure) {
  *failure = InstallationFolderRefusal();
  return !failure->empty();
}

bool AnswerAsUnknown(const char16_t* word, std::u16string* failure) {
  *failure = std::u16string(u"unknown command: ") + word;
  return false;
}

}  // namespace

bool RunHotUpdatePrepare(const std::vector<std::u16string>& args, const RequestContext& context,
                         std::u16string* failure) {
  if (!AcceptJobFile(args, context, failure) || FolderRefused(failure))
    return false;
  WorkQueue* queue = ServiceWorkQueue();
  if (queue == nullptr)
    return AnswerAsUnknown(u"hot-update-prepare", failure);
  std::u16string jobDir;
  std::u16string serviceJobFile;
  if (!DeriveJobPaths(args.front(), context.userSid, &jobDir, &serviceJobFile, failure))
    return false;
  // Checked again by the prepare itself, under the job lock; refused here at once, so the
  // caller reads why.
  if (!MayStoreAnotherJob(context.userSid, jobDir)) {
    *failure = kTooManyStoredJobs;
    return false;
  }
  platform::CriticalSection* lock = &queue->Lock();
  // The job file is read later, on the worker, as the caller: a copy of the caller's token
  // goes with the job.
  auto token = std::make_shared<const platform::TokenHandle>(
      context.hasToken ? platform::DuplicatePrimaryToken(context.token) : platform::TokenHandle());
  const WorkQueue::Outcome outcome = queue->EnqueueOwned(
      [jobFile = args.front(), sid = context.userSid, session = context.sessionId, token, lock] {
        HotUpdatePrepare(jobFile, sid, session, token, *lock);
        (void)AwaitJobMirror(jobFile, kUserFileLimitMs);
      },
      context.userSid, FileNameOf(jobDir), kMaxQueuedJobsPerUser);
  if (outcome == WorkQueue::Outcome::kOwnerFull) {
    *failure = kTooManyQueuedJobs;
    return false;
  }
  return true;
}

bool RunHotUpdateCommit(const std::vector<std::u16string>& args, const RequestContext& context,
                        std::u16string* failure) {
  if (!AcceptJobFile(args, context, failure) || FolderRefused(failure))
    return false;
  if (context.sessionId == platform::kNoSession) {
    *failure = u"caller session unavailable";
    return false;
  }
  if (!CheckJobStatus(args.front(), context.userSid, kStatusStaged, failure))
    return false;
  WorkQueue* queue = ServiceWorkQueue();
  if (queue == nullptr)
    return AnswerAsUnknown(u"hot-update-commit", failure);
  queue->Enqueue(
      [jobFile = args.front(), sid = context.userSid, session = context.sessionId, queue] {
        HotUpdateCommit(jobFile, sid, session, queue->Lock(),
                        [queue](std::function<void()> job) { queue->Enqueue(std::move(job)); });
        (void)AwaitJobMirror(jobFile, kUserFileLimitMs);
      });
  return true;
}

bool RunHotUpdateConfirm(const std::vector<std::u16string>& args, const RequestContext& context,
                         std::u16string* failure) {
  if (!AcceptJobFile(args, context, failure))
    return false;
  platform::CriticalSection* lock = JobQueueLock();
  if (lock == nullptr)
    return AnswerAsUnknown(u"hot-update-confirm", failure);
  const bool confirmed = HotUpdateConfirm(args.front(), context, *lock, failure);
  // Outside the job lock: the reply waits a little for the user's copy, never longer.
  (void)AwaitJobMirror(args.front(), kMirrorReplyWaitMs);
  return confirmed;
}

bool RunHotUpdateCancel(const std::vector<std::u16string>& args, const RequestContext& context,
                        std::u16string* failure) {
  if (!AcceptJobFile(args, context, failure))
    return false;
  platform::CriticalSection* lock = JobQueueLock();
  if (lock == nullptr)
    return AnswerAsUnknown(u"hot-update-cancel", failure);
  const bool cancelled = HotUpdateCancel(args.front(), context, *lock, failure);
  (void)AwaitJobMirror(args.front(), kMirrorReplyWaitMs);
  return cancelled;
}

}  // namespace vovu
