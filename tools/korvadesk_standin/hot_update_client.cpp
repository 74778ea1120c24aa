#include "hot_update_client.h"

#include <chrono>
#include <cstdio>

#include "caller/request_context.h"
#include "foundation/file_io.h"
#include "foundation/text.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/sync.h"
#include "service/command_line.h"
#include "service/pipe_client.h"

namespace vovu::standin {
namespace {

// The service rewrites the mirror at each step; a short poll sees every step that lasts
// longer than it. A desktop application would watch the folder instead.
constexpr std::uint32_t kPollMs = 5;
constexpr std::uint32_t kProfileCapacity = 260;

bool IsResting(const std::u16string& status) {
  return status == u"staged" || status == u"failed" || status == u"cancelled" ||
         status == u"rolledback" || status == u"done";
}

using Seen = JobFollower::Seen;

// Reads the job file as docs/integration.md tells an application to: opened once, sharing
// read, write and delete (ReadJobFile does), closed at once, so the service's replacement of
// the file never fails because of this reader.
Seen ReadSeen(const std::u16string& jobFile) {
  HotUpdateJob job;
  Seen seen;
  seen.read = ReadJobFile(jobFile, &job);
  if (seen.read) {
    seen.status = job.status;
    seen.message = job.statusMessage;
    seen.updatedAt = job.updatedAt;
  }
  return seen;
}

}  // namespace

std::u16string HotUpdateFolder(const std::u16string& subfolder) {
  const RequestContext self = BuildLocalContext();
  std::u16string profile;
  if (!self.hasToken ||
      !platform::GetUserProfileDirectoryOf(self.token, &profile, kProfileCapacity)) {
    return u"";
  }
  std::u16string folder = profile + u"\\.zodezevadororuza\\updates\\hotupdate";
  return subfolder.empty() ? folder : JoinPath(folder, subfolder);
}

bool MakeFolders(const std::u16string& folder) {
  const std::uint32_t attributes = platform::GetAttributes(folder);
  if (attributes != platform::kInvalidFileAttributes)
    return (attributes & platform::kFileAttributeDirectory) != 0;
  const std::u16string parent = DirectoryOf(folder);
  if (parent.empty() || parent == folder || !MakeFolders(parent))
    return false;
  return platform::CreateDirectoryAt(folder) ||
         platform::LastError() == platform::kErrorAlreadyExists;
}

bool WriteRequest(const HotUpdateJob& request, const std::u16string& jobFile) {
  return WriteJobFile(request, jobFile);
}

bool NoteEvent(const std::string& line, const char16_t* fileName) {
  const std::u16string folder = HotUpdateFolder(u"");
  if (folder.empty() || !MakeFolders(folder))
    return false;
  const std::u16string path = JoinPath(folder, fileName);
  std::vector<char> bytes;
  std::string text;
  if (ReadFileBytes(path, &bytes))
    text.assign(bytes.begin(), bytes.end());
  text += line + "\n";
  return WriteFileAtomic(path, text);
}

std::u16string SendJobCommandForReply(const std::u16string& word, const std::u16string& jobFile) {
  std::u16string reply;
  if (!SendPipeRequest(BuildPipeRequest(word, {jobFile}), &reply))
    return u"no exchange";
  return reply;
}

bool SendJobCommand(const std::u16string& word, const std::u16string& jobFile) {
  std::u16string reply;
  if (!SendPipeRequest(BuildPipeRequest(word, {jobFile}), &reply)) {
    std::printf("%s: no exchange with the service\n", WideToUtf8(word).c_str());
    return false;
  }
  std::printf("%s: %s\n", WideToUtf8(word).c_str(), WideToUtf8(reply).c_str());
  std::fflush(stdout);
  return reply == u"OK";
}

JobFollower::JobFollower(std::u16string jobFile)
    : jobFile_(std::move(jobFile)), last_(ReadSeen(jobFile_)) {}

bool JobFollower::Follow(std::uint32_t limitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (std::chrono::steady_clock::now() < deadline) {
    platform::SleepMilliseconds(kPollMs);
    const Seen now = ReadSeen(jobFile_);
    if (!now.read || now == last_)
      continue;
    last_ = now;
    std::printf("%s%s\n", WideToUtf8(now.status).c_str(),
                now.message.empty() ? "" : (": " + WideToUtf8(now.message)).c_str());
    std::fflush(stdout);
    if (IsResting(now.status))
      return now.status == u"staged" || now.status == u"done";
  }
  std::printf("no further change within %u ms\n", limitMs);
  return false;
}

}  // namespace vovu::standin
