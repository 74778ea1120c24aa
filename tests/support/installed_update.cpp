#include "support/installed_update.h"

#include <gtest/gtest.h>

#include "foundation/diagnostics.h"
#include "foundation/text.h"
#include "state/installed_version.h"
#include "state/protected_storage.h"
#include "support/test_machine.h"
#include "system/file_replacement.h"

namespace vovu::testing {
namespace {

void WriteMakingFolders(const std::u16string& path, const std::string& bytes) {
  std::filesystem::create_directories(TestMachine::Native(path).parent_path());
  TestMachine::WriteBytes(path, bytes);
}

std::string GenerationOf(const std::u16string& path, const std::u16string& relative) {
  if (!TestMachine::Exists(path))
    return "missing";
  const std::string bytes = TestMachine::ReadBytes(path);
  for (const char* generation : {"old", "new"}) {
    if (bytes == GenerationBytes(generation, relative))
      return generation;
  }
  return "other";
}

std::string Summarise(const std::string& joined, const std::string& first, bool same) {
  return same ? first : "mixed: " + joined;
}

}  // namespace

std::string GenerationBytes(const std::string& generation, const std::u16string& relative) {
  return generation + " " + WideToUtf8(relative) + "\n";
}

void PlaceGeneration(const std::string& generation) {
  for (const char16_t* relative : kInstalledFiles)
    WriteMakingFolders(JoinPath(GetInstallDirectory(), relative),
                       GenerationBytes(generation, relative));
}

void PlaceBackups(const std::string& generation) {
  for (const char16_t* relative : kInstalledFiles)
    WriteMakingFolders(BackupPathOf(JoinPath(GetInstallDirectory(), relative)),
                       GenerationBytes(generation, relative));
}

std::string InstalledGeneration() {
  std::string joined;
  std::string first;
  bool same = true;
  for (const char16_t* relative : kInstalledFiles) {
    const std::string one = GenerationOf(JoinPath(GetInstallDirectory(), relative), relative);
    joined += (joined.empty() ? "" : ",") + one;
    if (first.empty())
      first = one;
    same = same && one == first;
  }
  return Summarise(joined, first, same);
}

std::string BackupGeneration() {
  std::string joined;
  std::string first;
  bool same = true;
  for (const char16_t* relative : kInstalledFiles) {
    std::string one =
        GenerationOf(BackupPathOf(JoinPath(GetInstallDirectory(), relative)), relative);
    if (one == "missing")
      one = "none";
    joined += (joined.empty() ? "" : ",") + one;
    if (first.empty())
      first = one;
    same = same && one == first;
  }
  return Summarise(joined, first, same);
}

StoredJob StoreUpdateJob(const std::u16string& status, const std::u16string& jobFile) {
  StoredJob stored;
  std::u16string error;
  EXPECT_TRUE(DeriveJobPaths(jobFile, kUpdateSid, &stored.jobDir, &stored.serviceJobFile, &error));
  EXPECT_TRUE(EnsureHotUpdateDirectories(&error)) << WideToUtf8(error);
  EXPECT_TRUE(EnsureProtectedDirectory(stored.jobDir, &error)) << WideToUtf8(error);
  HotUpdateJob& job = stored.job;
  job.sid = kUpdateSid;
  job.jobFile = jobFile;
  job.version = u"2.11.0";
  job.currentVersion = u"2.10.0";
  job.status = status;
  job.dir = JoinPath(stored.jobDir, u"payload");
  EXPECT_TRUE(WriteJobFile(job, stored.serviceJobFile));
  return stored;
}

std::string RecordedStatus(const std::u16string& serviceJobFile) {
  HotUpdateJob job;
  if (!ReadJobFile(serviceJobFile, &job))
    return "none";
  return WideToUtf8(job.status) + (job.statusMessage.empty() ? "" : ": ") +
         WideToUtf8(job.statusMessage);
}

std::string RecordedInstalledVersion() {
  std::u16string baseline;
  std::u16string current;
  if (!ReadInstalledVersionState(&baseline, &current))
    return "unreadable";
  return WideToUtf8(current);
}

}  // namespace vovu::testing
