#include "state/job_mirror.h"

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "foundation/diagnostics.h"
#include "foundation/service_stop.h"
#include "foundation/text.h"
#include "platform/background_thread.h"
#include "platform/files.h"
#include "platform/impersonation.h"
#include "platform/session_user.h"
#include "platform/sync.h"
#include "platform/user_file.h"
#include "state/user_file_access.h"

namespace vovu {
namespace {

// One text to write, and what it is written as.
struct MirrorText {
  std::string bytes;
  std::u16string path;
  std::uint32_t sessionId = platform::kNoSession;
  std::u16string sid;
  std::uint64_t generation = 0;
  // When set, the write happens only over a file that holds this request.
  std::optional<HotUpdateJob> onlyOverRequestOf;
};

// The writer of one path. `posted` and `settled` count texts: the newest handed over, and
// the newest written or given up.
struct Slot {
  std::uint64_t posted = 0;
  std::uint64_t settled = 0;
  bool running = false;
  std::optional<MirrorText> next;
  std::vector<const platform::Event*> waiters;
};

// Never destroyed: a writer may still run while the process exits.
struct Mirrors {
  std::mutex mutex;
  std::map<std::u16string, Slot> slots;  // by the path in lower case
};

Mirrors& AllMirrors() {
  static auto* mirrors = new Mirrors();
  return *mirrors;
}

// Under the lock: a slot that nobody writes or waits for goes.
void ForgetIfIdle(Mirrors& mirrors, const std::u16string& key) {
  const auto found = mirrors.slots.find(key);
  if (found != mirrors.slots.end() && !found->second.running && !found->second.next &&
      found->second.waiters.empty()) {
    mirrors.slots.erase(found);
  }
}

bool PauseUnlessStopping(std::uint32_t milliseconds) {
  const platform::Event* stop = ServiceStopEvent();
  if (stop == nullptr) {
    platform::SleepMilliseconds(milliseconds);
    return true;
  }
  return stop->Wait(milliseconds) == platform::WaitResult::kTimeout;
}

// Renames the written ".tmp" over the mirror; a rename refused because a reader holds the
// file is tried again after 20, 40, 80 and 160 ms.
bool ReplaceWithRetries(const std::u16string& temporary, const std::u16string& path) {
  std::uint32_t pause = kMirrorRetrySpanMs / 15;
  for (int attempt = 1;; ++attempt) {
    if (platform::MoveFileReplacing(temporary, path))
      return true;
    const platform::Win32Error error = platform::LastError();
    const bool inUse =
        error == platform::kErrorAccessDenied || error == platform::kErrorSharingViolation;
    if (!inUse || attempt == kMirrorReplaceTries || !PauseUnlessStopping(pause)) {
      platform::SetLastErrorCode(error);
      return false;
    }
    pause *= 2;
  }
}

bool SameRequest(const HotUpdateJob& a, const HotUpdateJob& b) {
  return a.version == b.version && a.packageUrl == b.packageUrl &&
         a.packageSha256 == b.packageSha256 && a.expectedPublisher == b.expectedPublisher &&
         a.packageSize == b.packageSize && a.currentVersion == b.currentVersion &&
         a.createdAt == b.createdAt;
}

// As the user: does the file still hold `job`'s request? The handle is closed on return, so
// it cannot keep the rename that follows from replacing the file.
bool StillHoldsRequestOf(const std::u16string& path, const HotUpdateJob& job) {
  const platform::FileHandle file = platform::OpenUserFileForRead(path);
  HotUpdateJob found;
  return file && ReadJobFromOpenFile(file, &found) && SameRequest(found, job);
}

std::u16string ErrorText(const char16_t* what) {
  return what + (u" (error=" + ToDecimal(static_cast<long long>(platform::LastError())) + u")");
}

// One write, on its own thread, as the job's user.
bool WriteAsUser(const MirrorText& text, std::u16string* reason) {
  const platform::TokenHandle token = platform::QuerySessionUserToken(text.sessionId);
  if (!token.valid()) {
    *reason = ErrorText(u"no user in the job's session");
    return false;
  }
  std::u16string sid;
  if (!platform::GetTokenUserSidString(token, &sid) || sid != text.sid) {
    *reason = u"the session's user is not the job's owner";
    return false;
  }
  const platform::ImpersonationScope scope(token);
  if (!scope.active()) {
    *reason = ErrorText(u"cannot act as the user");
    return false;
  }
  if (text.onlyOverRequestOf && !StillHoldsRequestOf(text.path, *text.onlyOverRequestOf)) {
    *reason = u"the file no longer holds the job's request";
    return false;
  }
  const std::u16string temporary = text.path + u".tmp";
  // Whatever is at the temporary name goes first: it is never opened as it was found.
  (void)platform::DeleteFileAt(temporary);
  {
    platform::FileHandle file =
        platform::CreateFileForWrite(temporary, platform::kShareNone, /*createAlways=*/false);
    if (!file) {
      *reason = ErrorText(u"cannot create the temporary file");
      return false;
    }
    if (!platform::WriteToFile(file, text.bytes.data(),
                               static_cast<std::uint32_t>(text.bytes.size()))) {
      *reason = ErrorText(u"cannot write the temporary file");
      file.reset();
      (void)platform::DeleteFileAt(temporary);
      return false;
    }
    (void)platform::FlushFile(file);
  }
  if (!ReplaceWithRetries(temporary, text.path)) {
    *reason = ErrorText(u"cannot replace the file");
    (void)platform::DeleteFileAt(temporary);
    return false;
  }
  return true;
}

// What a write's thread hands back.
struct WriteResult {
  platform::Event ended;
  bool written = false;
  std::u16string reason;
};

// One text, within the bound. A write given up is waited for before the writer goes on, so
// that it cannot land after a newer one.
void WriteWithinBound(const MirrorText& text) {
  auto result = std::make_shared<WriteResult>();
  if (!platform::Event::Create(/*manualReset=*/true, /*initiallySet=*/false, &result->ended)) {
    LogDebug(u"job file mirror not written: " + text.path);
    return;
  }
  platform::BackgroundThread abandoned;
  const BoundedOutcome outcome = RunWithinBound(
      text.sid, kUserFileLimitMs,
      [text, result] {
        result->written = WriteAsUser(text, &result->reason);
        (void)result->ended.Set();
      },
      &abandoned);
  if (outcome == BoundedOutcome::kFinished) {
    if (!result->written)
      LogDebug(u"job file mirror not written: " + text.path + u": " + result->reason);
    return;
  }
  LogDebug(u"job file mirror not written: " + text.path + u": " + DescribeOutcome(outcome));
  if (outcome == BoundedOutcome::kNotStarted)
    return;
  // The first cancel may have come before the write reached its blocking call.
  while (result->ended.Wait(kUserFileLimitMs) == platform::WaitResult::kTimeout)
    abandoned.CancelBlockingCall();
}

void RunWriter(const std::u16string& key) {
  Mirrors& mirrors = AllMirrors();
  for (;;) {
    MirrorText text;
    {
      std::lock_guard lock(mirrors.mutex);
      Slot& slot = mirrors.slots[key];
      if (!slot.next) {
        slot.running = false;
        ForgetIfIdle(mirrors, key);
        return;
      }
      text = std::move(*slot.next);
      slot.next.reset();
    }
    WriteWithinBound(text);
    std::lock_guard lock(mirrors.mutex);
    Slot& slot = mirrors.slots[key];
    slot.settled = text.generation;
    for (const platform::Event* waiter : slot.waiters)
      (void)waiter->Set();
  }
}

}  // namespace

namespace {

void Post(const HotUpdateJob& job, bool onlyOverItsRequest) {
  if (job.jobFile.empty() || job.sessionId == platform::kNoSession)
    return;
  const std::u16string key = ToLower(job.jobFile);
  MirrorText text;
  text.bytes = WideToUtf8(FormatJobFile(job));
  text.path = job.jobFile;
  text.sessionId = job.sessionId;
  text.sid = job.sid;
  if (onlyOverItsRequest)
    text.onlyOverRequestOf = job;
  Mirrors& mirrors = AllMirrors();
  std::lock_guard lock(mirrors.mutex);
  Slot& slot = mirrors.slots[key];
  text.generation = ++slot.posted;
  slot.next = std::move(text);
  if (slot.running)
    return;
  platform::BackgroundThread writer;
  slot.running = platform::BackgroundThread::Start([key] { RunWriter(key); }, &writer);
  if (!slot.running) {
    slot.next.reset();
    slot.settled = slot.posted;
    LogDebug(u"job file mirror not written: " + job.jobFile + u": no thread");
  }
}

}  // namespace

void PostJobMirror(const HotUpdateJob& job) {
  Post(job, /*onlyOverItsRequest=*/false);
}

void RepostJobMirrorOverItsRequest(const HotUpdateJob& job) {
  Post(job, /*onlyOverItsRequest=*/true);
}

bool AwaitJobMirror(const std::u16string& jobFile, std::uint32_t limitMs) {
  using Clock = std::chrono::steady_clock;
  const std::u16string key = ToLower(jobFile);
  Mirrors& mirrors = AllMirrors();
  platform::Event woken;
  if (!platform::Event::Create(/*manualReset=*/false, /*initiallySet=*/false, &woken))
    return false;
  std::uint64_t target = 0;
  {
    std::lock_guard lock(mirrors.mutex);
    const auto found = mirrors.slots.find(key);
    if (found == mirrors.slots.end() || found->second.settled >= found->second.posted)
      return true;
    target = found->second.posted;
    found->second.waiters.push_back(&woken);
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  const platform::Event* stop = ServiceStopEvent();
  const platform::Event* events[] = {&woken, stop};
  bool settled = false;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    std::size_t index = 0;
    const platform::WaitResult waited =
        left <= 0 ? platform::WaitResult::kTimeout
                  : platform::WaitForAnyEvent(std::span(events, stop != nullptr ? 2 : 1),
                                              static_cast<std::uint32_t>(left), &index);
    std::lock_guard lock(mirrors.mutex);
    const auto found = mirrors.slots.find(key);
    settled = found == mirrors.slots.end() || found->second.settled >= target;
    if (settled || waited != platform::WaitResult::kSignalled || index != 0) {
      if (found != mirrors.slots.end()) {
        std::erase(found->second.waiters, &woken);
        ForgetIfIdle(mirrors, key);
      }
      break;
    }
  }
  return settled;
}

}  // namespace vovu
