// The restore that the rollback timer and start-up recovery share, the timer's switch under
// the lock, and the timer's early ends.
#include "hotupdate/rollback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "foundation/service_stop.h"
#include "foundation/text.h"
#include "hotupdate/job_status.h"
#include "hotupdate/swap_record.h"
#include "platform/fault_injection.h"
#include "state/installed_version.h"
#include "support/debug_capture.h"
#include "support/desktop_app.h"
#include "support/installed_update.h"
#include "support/stop_event.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using namespace testing;

class Rollback : public InstalledUpdateTest {
 protected:
  void SetUp() override {
    InstalledUpdateTest::SetUp();
    std::u16string error;
    ASSERT_TRUE(RecordConfirmedVersion(u"2.11.0", &error));
    PlaceGeneration("new");
    PlaceBackups("old");
  }
  void TearDown() override {
    InstalledUpdateTest::TearDown();
    ReplaceServiceStopEvent(nullptr);
  }
};

TEST_F(Rollback, RestoresTheFilesAndTheVersionTheJobStartedFrom) {
  const StoredJob stored = StoreUpdateJob(kStatusRollingBack);
  RecordAllSwaps(stored.jobDir);
  EXPECT_EQ(RollBackInstalledFiles(stored.job, stored.jobDir, u"prefix: "),
            RollbackOutcome::kRestored);
  EXPECT_EQ(InstalledGeneration(), "old");
  EXPECT_EQ(BackupGeneration(), "none");
  EXPECT_EQ(RecordedInstalledVersion(), "2.10.0");
  EXPECT_FALSE(HasAnySwapRow(stored.jobDir));
}

// A ".bak" beside a file the job never swapped (another job's, or one a failed delete left)
// stays where it is: only the rows the job recorded go back.
TEST_F(Rollback, OnlyTheRowsTheJobSwappedGoBack) {
  const StoredJob stored = StoreUpdateJob(kStatusRollingBack);
  ASSERT_TRUE(RecordSwapRow(stored.jobDir, 0));
  ASSERT_TRUE(RecordSwapRow(stored.jobDir, 2));
  EXPECT_EQ(RollBackInstalledFiles(stored.job, stored.jobDir, u"prefix: "),
            RollbackOutcome::kRestored);
  EXPECT_EQ(InstalledGeneration(), "mixed: old,new,old");
  EXPECT_EQ(BackupGeneration(), "mixed: none,old,none");
}

TEST_F(Rollback, AVersionTheRecordRefusesIsLoggedAndTheFilesStillCountAsRestored) {
  DebugCapture capture;
  StoredJob stored = StoreUpdateJob(kStatusRollingBack);
  RecordAllSwaps(stored.jobDir);
  stored.job.currentVersion = u"2.9.0";
  EXPECT_EQ(RollBackInstalledFiles(stored.job, stored.jobDir,
                                   u"cannot restore installed version state after rollback: "),
            RollbackOutcome::kRestored);
  EXPECT_EQ(InstalledGeneration(), "old");
  EXPECT_EQ(RecordedInstalledVersion(), "2.11.0");
  if (capture.Available()) {
    const std::vector<std::string> lines = capture.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "[VovudIdavUda] cannot restore installed version state after rollback: "
                        "invalid confirmed hot-update version: 2.9.0\n"),
              lines.end());
  }
}

TEST_F(Rollback, ABackupThatCannotMoveMeansNotRestoredAndTheVersionUntouched) {
  const StoredJob stored = StoreUpdateJob(kStatusRollingBack);
  RecordAllSwaps(stored.jobDir);
  platform::InjectFault(platform::FaultPoint::kMoveFile, u"", platform::kErrorSharingViolation);
  EXPECT_EQ(RollBackInstalledFiles(stored.job, stored.jobDir, u"prefix: "),
            RollbackOutcome::kNotRestored);
  platform::ClearFaults();
  EXPECT_EQ(InstalledGeneration(), "new");
  EXPECT_EQ(BackupGeneration(), "old");
  EXPECT_EQ(RecordedInstalledVersion(), "2.11.0");
  EXPECT_TRUE(HasSwapRow(stored.jobDir, 1));  // kept for the next attempt
}

TEST_F(Rollback, TheSwitchIsMadeOnlyFromTheNamedStatusesAndHoldsTheLockWhenUnwritten) {
  const auto relaunching = [](const HotUpdateJob& job) { return job.status == kStatusRelaunching; };
  struct Case {
    std::u16string status;
    SwitchResult result;
  } const cases[] = {
      {kStatusRelaunching, SwitchResult::kSwitched},
      {kStatusDone, SwitchResult::kNotSwitchable},
      {kStatusRolledBack, SwitchResult::kNotSwitchable},
      {kStatusCancelled, SwitchResult::kNotSwitchable},
      {kStatusStaged, SwitchResult::kNotSwitchable},
      {kStatusRollingBack, SwitchResult::kNotSwitchable},
  };
  for (const Case& c : cases) {
    const StoredJob stored = StoreUpdateJob(c.status);
    HotUpdateJob job;
    std::unique_lock held(lock_, std::defer_lock);
    EXPECT_EQ(SwitchToRollingBack(stored.serviceJobFile, relaunching, u"confirmation timeout",
                                  &held, &job),
              c.result)
        << WideToUtf8(c.status);
    EXPECT_FALSE(held.owns_lock());
    EXPECT_EQ(RecordedStatus(stored.serviceJobFile), c.result == SwitchResult::kSwitched
                                                         ? "rollingback: confirmation timeout"
                                                         : WideToUtf8(c.status));
  }
  // The switch cannot be written: the record still says "relaunching", so the lock stays
  // held for the rollback and a confirm waits until it is over.
  const StoredJob stored = StoreUpdateJob(kStatusRelaunching);
  HotUpdateJob job;
  platform::InjectFault(platform::FaultPoint::kCreateFileForWrite, stored.serviceJobFile + u".tmp",
                        platform::kErrorAccessDenied);
  std::unique_lock held(lock_, std::defer_lock);
  EXPECT_EQ(
      SwitchToRollingBack(stored.serviceJobFile, relaunching, u"confirmation timeout", &held, &job),
      SwitchResult::kSwitchedUnwritten);
  EXPECT_TRUE(held.owns_lock());
  held.unlock();
  platform::ClearFaults();
  EXPECT_EQ(RecordedStatus(stored.serviceJobFile), "relaunching");
  // No record at all: nothing to switch.
  EXPECT_EQ(SwitchToRollingBack(stored.serviceJobFile + u"x", relaunching, u"confirmation timeout",
                                &held, &job),
            SwitchResult::kNotSwitchable);
}

TEST_F(Rollback, TheTimerEndsWithoutWritingWhenTheServiceStopsOrTheJobMovedOn) {
  const StoredJob stored = StoreUpdateJob(kStatusRelaunching);
  const std::string before = TestMachine::ReadBytes(stored.serviceJobFile);
  InstallStopEvent(/*set=*/true);
  HotUpdateRollbackTimer(stored.serviceJobFile, lock_);
  EXPECT_EQ(TestMachine::ReadBytes(stored.serviceJobFile), before);
  EXPECT_EQ(InstalledGeneration(), "new");

  // A job confirmed (or cancelled, or replaced) before the first check: one wait, no write.
  InstallStopEvent(/*set=*/false);
  const StoredJob done = StoreUpdateJob(kStatusDone);
  const std::string doneBefore = TestMachine::ReadBytes(done.serviceJobFile);
  HotUpdateRollbackTimer(done.serviceJobFile, lock_);
  EXPECT_EQ(TestMachine::ReadBytes(done.serviceJobFile), doneBefore);
  EXPECT_EQ(InstalledGeneration(), "new");
  EXPECT_EQ(BackupGeneration(), "old");
}

}  // namespace
}  // namespace vovu
