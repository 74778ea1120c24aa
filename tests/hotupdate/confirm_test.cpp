// Confirming a relaunched update: the new version is recorded, the backups and the job go;
// every refusal leaves the record, the files and the installed version as they were; and a
// confirm racing the rollbacks never wins together with them.
#include "hotupdate/confirm.h"

#include <gtest/gtest.h>

#include <thread>

#include "foundation/step_hook.h"
#include "foundation/text.h"
#include "hotupdate/job_status.h"
#include "hotupdate/recovery.h"
#include "hotupdate/rollback.h"
#include "platform/fault_injection.h"
#include "state/installed_version.h"
#include "state/protected_storage.h"
#include "support/installed_update.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using namespace testing;

// The new version installed over its backups, awaiting the caller's confirmation.
class Confirm : public InstalledUpdateTest {
 protected:
  void SetUp() override {
    InstalledUpdateTest::SetUp();
    PlaceGeneration("new");
    PlaceBackups("old");
    caller_.userSid = kUpdateSid;
  }

  std::string Run(const std::u16string& jobFile = kUpdateJobFile) {
    std::u16string failure;
    return HotUpdateConfirm(jobFile, caller_, lock_, &failure) ? "OK" : WideToUtf8(failure);
  }

  // Runs Run() once, when `step` is reached.
  std::string* ConfirmAt(HotUpdateStep step) {
    SetHotUpdateStepHook([this, step](HotUpdateStep reached, int) {
      if (reached == step && answer_.empty())
        answer_ = Run();
    });
    return &answer_;
  }

  RequestContext caller_;
  std::string answer_;
};

// The races between the pipe thread's confirm and the worker's rollbacks, each made to happen
// through the step seam: the competing request runs exactly at the step where, without the
// lock and the re-read under it, both sides would act on the same job.
class JobRaces : public Confirm {
 protected:
  // The timer's switch: true when it was made and written.
  bool SwitchFromRelaunching(const std::u16string& serviceJobFile, HotUpdateJob* job) {
    std::unique_lock held(lock_, std::defer_lock);
    return SwitchToRollingBack(
               serviceJobFile,
               [](const HotUpdateJob& fresh) { return fresh.status == kStatusRelaunching; },
               u"confirmation timeout", &held, job) == SwitchResult::kSwitched;
  }
};

TEST_F(Confirm, RecordsTheVersionDeletesTheBackupsAndTheJobOnce) {
  const StoredJob stored = StoreUpdateJob(kStatusRelaunching);
  EXPECT_EQ(Run(ToLower(kUpdateJobFile)), "OK");
  EXPECT_EQ(RecordedInstalledVersion(), "2.11.0");
  EXPECT_EQ(InstalledGeneration(), "new");
  EXPECT_EQ(BackupGeneration(), "none");
  EXPECT_FALSE(TestMachine::Exists(stored.jobDir));
  EXPECT_EQ(Run(), "protected state mismatch");
}

TEST_F(Confirm, RefusalsLeaveEverythingAsItWas) {
  struct Case {
    std::u16string status;
    std::u16string version;
    std::string expected;
  } const cases[] = {
      {kStatusRollingBack, u"2.11.0", "not in relaunching state (=rollingback)"},
      {kStatusStaged, u"2.11.0", "not in relaunching state (=staged)"},
      {kStatusDone, u"2.11.0", "not in relaunching state (=done)"},
      {u"", u"2.11.0", "not in relaunching state (=)"},
      // Below Korvadesk.exe's own 2.10.0: the installed-version record refuses it.
      {kStatusRelaunching, u"2.9.0",
       "cannot persist confirmed installed version: invalid confirmed hot-update version: "
       "2.9.0"},
  };
  for (const Case& c : cases) {
    StoredJob stored = StoreUpdateJob(c.status);
    stored.job.version = c.version;
    ASSERT_TRUE(WriteJobFile(stored.job, stored.serviceJobFile));
    EXPECT_EQ(Run(), c.expected);
    EXPECT_EQ(RecordedStatus(stored.serviceJobFile), WideToUtf8(c.status));
    EXPECT_EQ(RecordedInstalledVersion(), "2.10.0");
    EXPECT_EQ(BackupGeneration(), "old");
  }
  EXPECT_EQ(Run(u"C:\\Users\\Ann\\.zodezevadororuza\\updates\\hotupdate\\other\\job.json"),
            "protected state mismatch");
  caller_.userSid.clear();
  EXPECT_EQ(Run(), "cannot derive protected hot-update job id");
}

TEST_F(Confirm, AnotherCallersRecordIsNotConfirmed) {
  StoredJob stored = StoreUpdateJob(kStatusRelaunching);
  stored.job.sid = u"S-1-5-21-1-2-3-1002";
  ASSERT_TRUE(WriteJobFile(stored.job, stored.serviceJobFile));
  EXPECT_EQ(Run(), "protected state mismatch");
  EXPECT_EQ(RecordedStatus(stored.serviceJobFile), "relaunching");
}

TEST_F(Confirm, AnUnwritableConfirmationPutsTheInstalledVersionBack) {
  const StoredJob stored = StoreUpdateJob(kStatusRelaunching);
  platform::InjectFault(platform::FaultPoint::kCreateFileForWrite, stored.serviceJobFile + u".tmp",
                        platform::kErrorAccessDenied);
  EXPECT_EQ(Run(), "cannot persist confirmation");
  platform::ClearFaults();
  EXPECT_EQ(RecordedStatus(stored.serviceJobFile), "relaunching");
  EXPECT_EQ(RecordedInstalledVersion(), "2.10.0");
  EXPECT_EQ(BackupGeneration(), "old");
}

// Recovery found the job "relaunching"; the confirm gets the lock first and wins: the new
// version stays with its record, and recovery, re-reading under the lock, finds nothing.
TEST_F(JobRaces, AConfirmBeforeRecoveryTakesTheLockWins) {
  const StoredJob stored = StoreUpdateJob(kStatusRelaunching);
  const std::string* answer = ConfirmAt(HotUpdateStep::kRecoveryJobFound);
  RecoverHotUpdateJobs(GetHotUpdateDir(), lock_);
  EXPECT_EQ(*answer, "OK");
  EXPECT_EQ(InstalledGeneration(), "new");
  EXPECT_EQ(RecordedInstalledVersion(), "2.11.0");
  EXPECT_FALSE(TestMachine::Exists(stored.jobDir));
}

// Recovery switched the job first; the confirm that comes during the rollback is refused and
// the old version comes back whole.
TEST_F(JobRaces, AConfirmDuringRecoverysRollbackIsRefused) {
  const StoredJob stored = StoreUpdateJob(kStatusRelaunching);
  RecordAllSwaps(stored.jobDir);
  const std::string* answer = ConfirmAt(HotUpdateStep::kRollbackSwitched);
  RecoverHotUpdateJobs(GetHotUpdateDir(), lock_);
  EXPECT_EQ(*answer, "not in relaunching state (=rollingback)");
  EXPECT_EQ(InstalledGeneration(), "old");
  EXPECT_EQ(RecordedInstalledVersion(), "2.10.0");
  EXPECT_EQ(RecordedStatus(stored.serviceJobFile), "rolledback: service restart");
}

// The timer's switch attempted on the worker while a confirm holds the lock between its
// check and its write: the switch waits for the lock, then finds no record and does nothing.
TEST_F(JobRaces, TheTimersSwitchWaitsForAConfirmInProgressAndLoses) {
  const StoredJob stored = StoreUpdateJob(kStatusRelaunching);
  platform::Event switchStarting;
  ASSERT_TRUE(platform::Event::Create(true, false, &switchStarting));
  bool switched = true;
  std::thread worker;
  SetHotUpdateStepHook([&](HotUpdateStep reached, int) {
    if (reached != HotUpdateStep::kConfirmChecked)
      return;
    worker = std::thread([&] {
      switchStarting.Set();
      HotUpdateJob job;
      switched = SwitchFromRelaunching(stored.serviceJobFile, &job);
    });
    ASSERT_EQ(switchStarting.Wait(platform::kInfiniteWait), platform::WaitResult::kSignalled);
  });
  EXPECT_EQ(Run(), "OK");
  worker.join();
  EXPECT_FALSE(switched);
  EXPECT_EQ(RecordedInstalledVersion(), "2.11.0");
  EXPECT_EQ(InstalledGeneration(), "new");
  EXPECT_FALSE(TestMachine::Exists(stored.jobDir));
}

// The other order: the switch is made first, and the confirm that follows is refused.
TEST_F(JobRaces, AConfirmAfterTheTimersSwitchIsRefused) {
  const StoredJob stored = StoreUpdateJob(kStatusRelaunching);
  HotUpdateJob job;
  ASSERT_TRUE(SwitchFromRelaunching(stored.serviceJobFile, &job));
  EXPECT_EQ(Run(), "not in relaunching state (=rollingback)");
  EXPECT_EQ(RecordedInstalledVersion(), "2.10.0");
}

}  // namespace
}  // namespace vovu
