#include "support/installed_update.h"

#include <gtest/gtest.h>

#include "foundation/diagnostics.h"
#include "foundation/step_hook.h"
#include "foundation/text.h"
#include "hotupdate/swap_record.h"
#include "platform/fault_injection.h"
#include "state/installed_version.h"
#include "state/protected_storage.h"
#include "support/desktop_app.h"
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

// The generations of the three files (or of their backups) as one word, or a description.
std::string Generations(bool backups) {
  std::string joined;
  std::string first;
  bool same = true;
  for (const char16_t* relative : kInstalledFiles) {
    const std::u16string path = JoinPath(GetInstallDirectory(), relative);
    std::string one = GenerationOf(backups ? BackupPathOf(path) : path, relative);
    if (backups && one == "missing")
      one = "none";
    joined += (joined.empty() ? "" : ",") + one;
    if (first.empty())
      first = one;
    same = same && one == first;
  }
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

void RecordAllSwaps(const std::u16string& jobDir) {
  for (std::size_t row = 0; row < kInstalledFiles.size(); ++row)
    EXPECT_TRUE(RecordSwapRow(jobDir, row));
}

std::string InstalledGeneration() {
  return Generations(/*backups=*/false);
}

std::string BackupGeneration() {
  return Generations(/*backups=*/true);
}

StoredJob StoreUpdateJob(const std::u16string& status, const std::u16string& jobFile,
                         const std::u16string& sid) {
  StoredJob stored;
  std::u16string error;
  EXPECT_TRUE(DeriveJobPaths(jobFile, sid, &stored.jobDir, &stored.serviceJobFile, &error));
  EXPECT_TRUE(EnsureHotUpdateDirectories(&error)) << WideToUtf8(error);
  EXPECT_TRUE(EnsureProtectedDirectory(stored.jobDir, &error)) << WideToUtf8(error);
  HotUpdateJob& job = stored.job;
  job.sid = sid;
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

void InstalledUpdateTest::SetUp() {
  InstallDesktopApp(machine_.Dir());
  std::u16string version;
  std::u16string error;
  ASSERT_TRUE(LoadInstalledVersion(&version, &error, /*reset=*/true)) << WideToUtf8(error);
}

void InstalledUpdateTest::TearDown() {
  platform::ClearFaults();
  SetHotUpdateStepHook(nullptr);
}

}  // namespace vovu::testing
