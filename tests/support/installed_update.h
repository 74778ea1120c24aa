// An installation with the three replaceable files and a hot-update job record, for the
// tests of commit, confirm, rollback and recovery. Each installed file holds a line naming
// its generation ("old" or "new") and its own path, so the installation's state can be read
// back as one word.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/sync.h"
#include "state/hot_update_job.h"
#include "support/test_machine.h"

namespace vovu::testing {

inline constexpr char16_t kUpdateSid[] = u"S-1-5-21-1-2-3-1001";
inline constexpr char16_t kUpdateJobFile[] =
    u"C:\\Users\\Ann\\.zodezevadororuza\\updates\\hotupdate\\job.json";

// The bytes generation `generation` has for the installed file `relative`.
[[nodiscard]] std::string GenerationBytes(const std::string& generation,
                                          const std::u16string& relative);

// Writes generation `generation` of the three files into the installation directory
// (GetInstallDirectory), making the folders.
void PlaceGeneration(const std::string& generation);

// Writes generation `generation` as ".bak" files beside the installed ones.
void PlaceBackups(const std::string& generation);

// Records in `jobDir` that its job swapped all three installed files (swap_record.h), as
// commit does before each swap.
void RecordAllSwaps(const std::u16string& jobDir);

// "old" or "new" when all three files are of one generation, else a description such as
// "mixed: old,new,missing" (in the installed-files order).
[[nodiscard]] std::string InstalledGeneration();

// How many of the three ".bak" files exist, and their generation ("old", "none", "mixed").
[[nodiscard]] std::string BackupGeneration();

// A record of `jobFile` for `sid` in `status`, version 2.11.0 over 2.10.0, stored as the
// protected copy (the directories made); its job directory and protected file.
struct StoredJob {
  HotUpdateJob job;
  std::u16string jobDir;
  std::u16string serviceJobFile;
};
StoredJob StoreUpdateJob(const std::u16string& status,
                         const std::u16string& jobFile = kUpdateJobFile,
                         const std::u16string& sid = kUpdateSid);

// The protected record's status (and message after ": " when there is one); "none" when it
// cannot be read.
[[nodiscard]] std::string RecordedStatus(const std::u16string& serviceJobFile);

// The installed-version record's current version, "unreadable" when it cannot be read.
[[nodiscard]] std::string RecordedInstalledVersion();

// A test machine with the desktop application installed (version 2.10.0), the installed-
// version record fresh, and the job lock: the set-up of the confirm, rollback and recovery
// suites. Faults and the step hook are cleared after each test.
class InstalledUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  TestMachine machine_;
  platform::CriticalSection lock_{1024};
};

}  // namespace vovu::testing
