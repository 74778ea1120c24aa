// The restore that the rollback timer and start-up recovery share, the timer's switch under
// the lock, and the timer's early ends.
#include "hotupdate/rollback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "foundation/service_stop.h"
#include "foundation/text.h"
#include "hotupdate/job_status.h"
#include "platform/fault_injection.h"
#include "state/installed_version.h"
#include "support/debug_capture.h"
#include "support/desktop_app.h"
#include "support/installed_update.h"
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

  // Installs a ServiceStopEvent, set or not.
  static void InstallStopEvent(bool set) {
    auto event = std::make_unique<platform::Event>();
    ASSERT_TRUE(platform::Event::Create(true, set, event.get()));
    ReplaceServiceStopEvent(std::move(event));
  }
};

TEST_F(Rollback, RestoresTheFilesAndTheVersionTheJobStartedFrom) {
  HotUpdateJob job = StoreUpdateJob(kStatusRollingBack).job;
  EXPECT_TRUE(RollBackInstalledFiles(job, u"prefix: "));
  EXPECT_EQ(InstalledGeneration(), "old");
  EXPECT_EQ(BackupGeneration(), "none");
  EXPECT_EQ(RecordedInstalledVersion(), "2.10.0");
}

TEST_F(Rollback, AVersionTheRecordRefusesIsLoggedAndTheFilesStillCountAsRestored) {
  DebugCapture capture;
  HotUpdateJob job = StoreUpdateJob(kStatusRollingBack).job;
  job.currentVersion = u"2.9.0";
  EXPECT_TRUE(
      RollBackInstalledFiles(job, u"cannot restore installed version state after rollback: "));
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
  HotUpdateJob job = StoreUpdateJob(kStatusRollingBack).job;
  platform::InjectFault(platform::FaultPoint::kMoveFile, u"", platform::kErrorSharingViolation);
  EXPECT_FALSE(RollBackInstalledFiles(job, u"prefix: "));
  platform::ClearFaults();
  EXPECT_EQ(InstalledGeneration(), "new");
  EXPECT_EQ(BackupGeneration(), "old");
  EXPECT_EQ(RecordedInstalledVersion(), "2.11.0");
}

TEST_F(Rollback, TheSwitchIsMadeOnlyFromTheNamedStatusesAndOnlyWhenWritten) {
  struct Case {
    std::u16string status;
    bool switched;
  } const cases[] = {
      {kStatusRelaunching, true}, {kStatusDone, false},   {kStatusRolledBack, false},
      {kStatusCancelled, false},  {kStatusStaged, false}, {kStatusRollingBack, false},
  };
  for (const Case& c : cases) {
    const StoredJob stored = StoreUpdateJob(c.status);
    HotUpdateJob job;
    EXPECT_EQ(SwitchToRollingBack(stored.serviceJobFile, {kStatusRelaunching},
                                  u"confirmation timeout", lock_, &job),
              c.switched)
        << WideToUtf8(c.status);
    EXPECT_EQ(RecordedStatus(stored.serviceJobFile),
              c.switched ? "rollingback: confirmation timeout" : WideToUtf8(c.status));
  }
  const StoredJob stored = StoreUpdateJob(kStatusRelaunching);
  HotUpdateJob job;
  platform::InjectFault(platform::FaultPoint::kCreateFileForWrite, stored.serviceJobFile + u".tmp",
                        platform::kErrorAccessDenied);
  EXPECT_FALSE(SwitchToRollingBack(stored.serviceJobFile, {kStatusRelaunching},
                                   u"confirmation timeout", lock_, &job));
  platform::ClearFaults();
  EXPECT_EQ(RecordedStatus(stored.serviceJobFile), "relaunching");
  // No record at all: nothing to switch.
  EXPECT_FALSE(SwitchToRollingBack(stored.serviceJobFile + u"x", {kStatusRelaunching},
                                   u"confirmation timeout", lock_, &job));
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
