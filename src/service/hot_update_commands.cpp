#include "service/hot_update_commands.h"

#include "foundation/text.h"
#include "hotupdate/cancel.h"
#include "hotupdate/commit.h"
#include "hotupdate/confirm.h"
#include "hotupdate/job_status.h"
#include "hotupdate/job_storage.h"
#include "hotupdate/prepare.h"
#include "service/work_queue.h"
#include "state/hot_update_job.h"

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

bool AnswerAsUnknown(const char16_t* word, std::u16string* failure) {
  *failure = std::u16string(u"unknown command: ") + word;
  return false;
}

}  // namespace

bool RunHotUpdatePrepare(const std::vector<std::u16string>& args, const RequestContext& context,
                         std::u16string* failure) {
  if (!AcceptJobFile(args, context, failure))
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
  const WorkQueue::Outcome outcome = queue->EnqueueOwned(
      [jobFile = args.front(), sid = context.userSid, session = context.sessionId, lock] {
        HotUpdatePrepare(jobFile, sid, session, *lock);
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
  if (!AcceptJobFile(args, context, failure))
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
  return HotUpdateConfirm(args.front(), context, *lock, failure);
}

bool RunHotUpdateCancel(const std::vector<std::u16string>& args, const RequestContext& context,
                        std::u16string* failure) {
  if (!AcceptJobFile(args, context, failure))
    return false;
  platform::CriticalSection* lock = JobQueueLock();
  if (lock == nullptr)
    return AnswerAsUnknown(u"hot-update-cancel", failure);
  return HotUpdateCancel(args.front(), context, *lock, failure);
}

}  // namespace vovu
