#include "state/hot_update_job.h"

#include <cmath>
#include <vector>

#include "foundation/file_io.h"
#include "foundation/json.h"
#include "foundation/sha256.h"
#include "foundation/text.h"
#include "platform/files.h"
#include "platform/impersonation.h"
#include "platform/user_file.h"
#include "state/job_mirror.h"
#include "state/protected_storage.h"
#include "state/user_file_access.h"

namespace vovu {
namespace {

std::int64_t ToInt64(double value) {
  if (std::isnan(value))
    return 0;
  if (value >= 9223372036854775807.0)
    return INT64_MAX;
  if (value <= -9223372036854775808.0)
    return INT64_MIN;
  return static_cast<std::int64_t>(value);  // truncates toward zero
}

// The low 32 bits of the number truncated toward zero.
std::uint32_t ToUint32(double value) {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ToInt64(value)));
}

void AppendString(std::u16string* text, const char16_t* key, const std::u16string& value) {
  *text += u"\"";
  *text += key;
  *text += u"\": \"";
  EscapeJsonString(value, text);
  *text += u"\"";
}

void AppendNumber(std::u16string* text, const char16_t* key, const std::u16string& digits) {
  *text += u"\"";
  *text += key;
  *text += u"\": " + digits;
}

std::u16string Signed(std::int64_t value) {
  return ToDecimal(static_cast<long long>(value));
}
std::u16string Unsigned(std::uint64_t value) {
  return ToDecimal(static_cast<unsigned long long>(value));
}

}  // namespace

bool ComputeJobId(const std::u16string& jobFile, const std::u16string& callerSid,
                  std::u16string* jobId) {
  return Sha256HexOfWideText(ToLower(callerSid + u"|" + jobFile), jobId);
}

bool DeriveJobPaths(const std::u16string& jobFile, const std::u16string& callerSid,
                    std::u16string* jobDir, std::u16string* serviceJobFile, std::u16string* error) {
  std::u16string jobId;
  if (callerSid.empty() || !ComputeJobId(jobFile, callerSid, &jobId)) {
    *error = u"cannot derive protected hot-update job id";
    return false;
  }
  *jobDir = JoinPath(GetHotUpdateDir(), jobId);
  *serviceJobFile = JoinPath(*jobDir, u"service-job.json");
  return true;
}

bool ReadJobFile(const std::u16string& path, HotUpdateJob* job) {
  // Shared for reading, writing and deleting: a reader never holds up the file's writer.
  const platform::FileHandle file = platform::OpenFileForRead(
      path, platform::kShareRead | platform::kShareWrite | platform::kShareDelete);
  return file && ReadJobFromOpenFile(file, job);
}

bool ReadJobFromOpenFile(const platform::FileHandle& file, HotUpdateJob* job) {
  std::vector<char> bytes;
  if (!ReadOpenFileUpTo(file, kMaxJobFileBytes, &bytes))
    return false;
  const std::u16string text = Utf8ToWide(bytes.data(), bytes.size());
  JsonValue root;
  std::u16string parseError;
  if (!ParseJson(text, &root, &parseError))
    return false;

  job->version = GetStringMember(root, u"version");
  job->status = GetStringMember(root, u"status");
  job->statusMessage = GetStringMember(root, u"statusMessage");
  job->error = GetStringMember(root, u"error");
  job->createdAt = ToInt64(GetNumberMember(root, u"createdAt", 0));
  job->updatedAt = ToInt64(GetNumberMember(root, u"updatedAt", 0));

  // A section that is present but not an object reads as an empty one.
  const JsonValue empty;
  auto section = [&](const char16_t* name) -> const JsonValue* {
    const JsonValue* member = FindMember(root, name);
    if (member == nullptr)
      return nullptr;
    return member->kind == JsonKind::Object ? member : &empty;
  };
  if (const JsonValue* request = section(u"request")) {
    job->packageUrl = GetStringMember(*request, u"packageUrl");
    job->packageSha256 = GetStringMember(*request, u"packageSha256");
    job->expectedPublisher = GetStringMember(*request, u"expectedPublisher");
    job->packageSize = GetNumberMember(*request, u"packageSize", 0);
    job->currentVersion = GetStringMember(*request, u"currentVersion");
  }
  if (const JsonValue* staging = section(u"staging")) {
    job->dir = GetStringMember(*staging, u"dir");
    job->serviceDir = GetStringMember(*staging, u"serviceDir");
  }
  if (const JsonValue* owner = section(u"owner")) {
    job->sid = GetStringMember(*owner, u"sid");
    job->jobFile = GetStringMember(*owner, u"jobFile");
    job->sessionId = ToUint32(GetNumberMember(*owner, u"sessionId", 4294967295.0));
  }
  if (const JsonValue* relaunch = section(u"relaunch")) {
    job->pidHint = ToUint32(GetNumberMember(*relaunch, u"pidHint", 0));
    job->startedAt = ToInt64(GetNumberMember(*relaunch, u"startedAt", 0));
    job->deadlineAt = ToInt64(GetNumberMember(*relaunch, u"deadlineAt", 0));
  }
  return true;
}

std::u16string FormatJobFile(const HotUpdateJob& job) {
  std::u16string t = u"{\n  ";
  AppendNumber(&t, u"schemaVersion", u"1");
  t += u",\n  ";
  AppendString(&t, u"version", job.version);
  t += u",\n  ";
  AppendNumber(&t, u"createdAt", Signed(job.createdAt));
  t += u",\n  ";
  AppendNumber(&t, u"updatedAt", Signed(job.updatedAt));
  t += u",\n  \"request\": {\n    ";
  AppendString(&t, u"packageUrl", job.packageUrl);
  t += u",\n    ";
  AppendString(&t, u"packageSha256", job.packageSha256);
  t += u",\n    ";
  AppendString(&t, u"expectedPublisher", job.expectedPublisher);
  t += u",\n    ";
  AppendNumber(&t, u"packageSize", Signed(ToInt64(job.packageSize)));
  t += u",\n    ";
  AppendString(&t, u"currentVersion", job.currentVersion);
  t += u"\n  },\n  ";
  AppendString(&t, u"status", job.status);
  t += u",\n  ";
  AppendString(&t, u"statusMessage", job.statusMessage);
  t += u",\n  ";
  AppendString(&t, u"error", job.error);
  t += u",\n  \"owner\": { ";
  AppendNumber(&t, u"sessionId", Unsigned(job.sessionId));
  t += u", ";
  AppendString(&t, u"sid", job.sid);
  t += u", ";
  AppendString(&t, u"jobFile", job.jobFile);
  t += u" },\n  \"staging\": { ";
  AppendString(&t, u"dir", job.dir);
  t += u", ";
  AppendString(&t, u"serviceDir", job.serviceDir);
  t += u" },\n  \"relaunch\": { ";
  AppendNumber(&t, u"pidHint", Unsigned(job.pidHint));
  t += u", ";
  AppendNumber(&t, u"startedAt", Signed(job.startedAt));
  t += u", ";
  AppendNumber(&t, u"deadlineAt", Signed(job.deadlineAt));
  t += u" }\n}\n";
  return t;
}

bool WriteJobFile(const HotUpdateJob& job, const std::u16string& path) {
  return WriteFileAtomic(path, WideToUtf8(FormatJobFile(job)));
}

bool PersistJob(const HotUpdateJob& job, const std::u16string& serviceJobFile) {
  const bool persisted = WriteJobFile(job, serviceJobFile);
  PostJobMirror(job);
  return persisted;
}

bool ReadUserJobFile(const std::u16string& jobFile, const std::u16string& callerSid,
                     const std::shared_ptr<const platform::TokenHandle>& callerToken,
                     HotUpdateJob* job, std::u16string* reason) {
  struct Read {
    bool ok = false;
    HotUpdateJob job;
    std::u16string reason;
  };
  if (!callerToken || !callerToken->valid()) {
    *reason = u"no token of the caller";
    return false;
  }
  auto read = std::make_shared<Read>();
  const BoundedOutcome outcome =
      RunWithinBound(callerSid, kUserFileLimitMs, [jobFile, callerToken, read] {
        const platform::ImpersonationScope scope(*callerToken);
        if (!scope.active()) {
          read->reason = u"cannot act as the caller (error=" +
                         ToDecimal(static_cast<long long>(platform::LastError())) + u")";
          return;
        }
        const platform::FileHandle file = platform::OpenUserFileForRead(jobFile);
        if (!file || !ReadJobFromOpenFile(file, &read->job)) {
          read->reason = u"error=" + ToDecimal(static_cast<long long>(platform::LastError()));
          return;
        }
        read->ok = true;
      });
  if (outcome != BoundedOutcome::kFinished) {
    *reason = DescribeOutcome(outcome);
    return false;
  }
  if (!read->ok) {
    *reason = read->reason;
    return false;
  }
  *job = std::move(read->job);
  return true;
}

}  // namespace vovu
