#include "state/hot_update_job.h"

#include <cmath>

#include "foundation/file_io.h"
#include "foundation/json.h"
#include "foundation/sha256.h"
#include "foundation/text.h"
#include "platform/files.h"
#include "platform/session_user.h"
#include "state/protected_storage.h"

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
  std::uint32_t attributes = 0;
  std::uint64_t size = 0;
  if (!platform::GetAttributesAndSize(path, &attributes, &size) || size > kMaxJobFileBytes) {
    return false;
  }

  std::u16string text;
  if (!ReadUtf8TextFile(path, &text))
    return false;
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
  if (!job.jobFile.empty() && job.sessionId != platform::kNoSession) {
    platform::TokenHandle token = platform::QuerySessionUserToken(job.sessionId);
    if (token.valid() && platform::ImpersonateLoggedOnUserToken(token)) {
      (void)WriteJobFile(job, job.jobFile);
      (void)platform::RevertToSelfIdentity();
    }
  }
  return persisted;
}

}  // namespace vovu
