// Start-up recovery over a hot-update directory holding jobs in every status and things that
// are not jobs: what is rolled back, what is failed, and what is left byte for byte alone.
#include "hotupdate/recovery.h"

#include <gtest/gtest.h>

#include "foundation/diagnostics.h"
#include "foundation/service_stop.h"
#include "foundation/text.h"
#include "hotupdate/job_status.h"
#include "platform/fault_injection.h"
#include "state/installed_version.h"
#include "state/protected_storage.h"
#include "support/desktop_app.h"
#include "support/installed_update.h"
#include "support/korvacf_standin.h"
#include "support/test_machine.h"
#include "system/file_replacement.h"

namespace vovu {
namespace {

using namespace testing;

std::u16string JobFileNamed(const std::u16string& folder) {
  return u"C:\\Users\\Ann\\.zodezevadororuza\\updates\\hotupdate\\" + folder + u"\\job.json";
}

class Recovery : public InstalledUpdateTest {
 protected:
  void Recover() { RecoverHotUpdateJobs(GetHotUpdateDir(), lock_); }
};

TEST_F(Recovery, EachStatusGetsItsActionAndEverythingElseIsLeftAlone) {
  struct Case {
    std::u16string status;
    std::string after;  // "" when the record must stay byte for byte
  } const cases[] = {
      {kStatusReplacing, "rolledback: service restart"},
      {kStatusRelaunching, "rolledback: service restart"},
      {kStatusRollingBack, "rolledback: service restart"},
      {kStatusCommitting, "failed: service restarted mid-operation"},
      {kStatusDownloading, "failed: service restarted mid-operation"},
      {kStatusVerifying, "failed: service restarted mid-operation"},
      {kStatusStaged, ""},
      {kStatusFailed, ""},
      {kStatusRolledBack, ""},
      {kStatusDone, ""},
      {kStatusCancelled, ""},
      {u"Relaunching", ""},  // status words are compared exactly
  };
  std::vector<StoredJob> stored;
  std::vector<std::string> before;
  for (const Case& c : cases) {
    stored.push_back(
        StoreUpdateJob(c.status, JobFileNamed(Utf8ToWide(std::to_string(stored.size())))));
    before.push_back(TestMachine::ReadBytes(stored.back().serviceJobFile));
    TestMachine::WriteBytes(JoinPath(stored.back().jobDir, u"package.zip"), "partial");
  }
  // Things in the hot-update directory that are not jobs.
  const std::u16string dir = GetHotUpdateDir();
  TestMachine::WriteBytes(JoinPath(dir, u"stray.json"), "{\"status\": \"relaunching\"}");
  std::u16string error;
  ASSERT_TRUE(EnsureProtectedDirectory(JoinPath(dir, u"empty"), &error));
  ASSERT_TRUE(EnsureProtectedDirectory(JoinPath(dir, u"unreadable"), &error));
  TestMachine::WriteBytes(JoinPath(dir, u"unreadable\\service-job.json"), "{\"status\": ");
  ASSERT_TRUE(EnsureProtectedDirectory(JoinPath(dir, u"folder"), &error));
  ASSERT_TRUE(EnsureProtectedDirectory(JoinPath(dir, u"folder\\service-job.json"), &error));

  Recover();

  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(WideToUtf8(cases[i].status));
    if (cases[i].after.empty()) {
      EXPECT_EQ(TestMachine::ReadBytes(stored[i].serviceJobFile), before[i]);
    } else {
      EXPECT_EQ(RecordedStatus(stored[i].serviceJobFile), cases[i].after);
    }
    // A job keeps its directory, partial package included.
    EXPECT_EQ(TestMachine::ReadBytes(JoinPath(stored[i].jobDir, u"package.zip")), "partial");
  }
  EXPECT_EQ(TestMachine::ReadBytes(JoinPath(dir, u"stray.json")), "{\"status\": \"relaunching\"}");
  EXPECT_EQ(TestMachine::ReadBytes(JoinPath(dir, u"unreadable\\service-job.json")),
            "{\"status\": ");
  // The three rollbacks recorded 2.10.0 again: the record was rewritten, not left alone.
  EXPECT_EQ(RecordedInstalledVersion(), "2.10.0");
}

TEST_F(Recovery, ABackupThatCannotMoveFailsTheJobAndTheNextStartFinishesIt) {
  PlaceGeneration("new");
  PlaceBackups("old");
  const std::u16string stuck = BackupPathOf(JoinPath(GetInstallDirectory(), kInstalledFiles[1]));
  platform::InjectFault(platform::FaultPoint::kMoveFile, stuck, platform::kErrorSharingViolation);
  std::u16string error;
  ASSERT_TRUE(RecordConfirmedVersion(u"2.11.0", &error));  // as if confirm had got that far
  const StoredJob stored = StoreUpdateJob(kStatusReplacing);
  RecordAllSwaps(stored.jobDir);
  Recover();
  EXPECT_EQ(RecordedStatus(stored.serviceJobFile), "failed: service restart rollback failed");
  EXPECT_EQ(InstalledGeneration(), "mixed: old,new,old");
  EXPECT_TRUE(TestMachine::Exists(stuck));
  EXPECT_EQ(RecordedInstalledVersion(), "2.11.0");

  // The job's record still names the row whose ".bak" did not go back: the next start puts
  // it back with the old version, without starting anything, and the one after has nothing
  // left to do.
  platform::ClearFaults();
  Recover();
  EXPECT_EQ(RecordedStatus(stored.serviceJobFile), "rolledback: service restart");
  EXPECT_EQ(InstalledGeneration(), "old");
  EXPECT_EQ(BackupGeneration(), "none");
  EXPECT_EQ(RecordedInstalledVersion(), "2.10.0");
  const std::string settled = TestMachine::ReadBytes(stored.serviceJobFile);
  Recover();
  EXPECT_EQ(TestMachine::ReadBytes(stored.serviceJobFile), settled);
}

// A stop while the rollback waits for the application to exit: nothing is written, the job
// stays "rollingback", and the next start finishes the restore.
TEST_F(Recovery, AStopDuringTheRollbacksWaitLeavesItToTheNextStart) {
  PlaceGeneration("new");
  PlaceBackups("old");
  const StoredJob stored = StoreUpdateJob(kStatusRelaunching);
  RecordAllSwaps(stored.jobDir);
  auto stop = std::make_unique<platform::Event>();
  ASSERT_TRUE(platform::Event::Create(true, true, stop.get()));
  ReplaceServiceStopEvent(std::move(stop));
  {
    RunningHelpers application;
    application.Start(JoinPath(GetInstallDirectory(), u"resources\\helper.exe"));
    Recover();
  }
  ReplaceServiceStopEvent(nullptr);
  EXPECT_EQ(RecordedStatus(stored.serviceJobFile), "rollingback: service restart");
  EXPECT_EQ(InstalledGeneration(), "new");
  Recover();
  EXPECT_EQ(RecordedStatus(stored.serviceJobFile), "rolledback: service restart");
  EXPECT_EQ(InstalledGeneration(), "old");
  EXPECT_EQ(BackupGeneration(), "none");
}

TEST_F(Recovery, AtStartupTheProtectedDirectoriesAreMadeFirst) {
  EXPECT_FALSE(TestMachine::Exists(JoinPath(GetHotUpdateDir(), u"x")));
  RecoverHotUpdatesAtStartup(lock_);
  EXPECT_TRUE(TestMachine::Exists(GetHotUpdateDir()));
  const StoredJob stored = StoreUpdateJob(kStatusVerifying);
  RecoverHotUpdatesAtStartup(lock_);
  EXPECT_EQ(RecordedStatus(stored.serviceJobFile), "failed: service restarted mid-operation");
}

}  // namespace
}  // namespace vovu
