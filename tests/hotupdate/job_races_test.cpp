// The races between the pipe thread's confirm and the worker's rollbacks, each made to happen
// through the step seam: the competing request runs exactly at the step where, without the
// lock and the re-read under it, both sides would act on the same job.
#include <gtest/gtest.h>

#include <thread>

#include "foundation/step_hook.h"
#include "foundation/text.h"
#include "hotupdate/confirm.h"
#include "hotupdate/job_status.h"
#include "hotupdate/recovery.h"
#include "hotupdate/rollback.h"
#include "platform/sync.h"
#include "state/installed_version.h"
#include "state/protected_storage.h"
#include "support/desktop_app.h"
#include "support/installed_update.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using namespace testing;

class JobRaces : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallDesktopApp(machine_.Dir());
    std::u16string version;
    std::u16string error;
    ASSERT_TRUE(LoadInstalledVersion(&version, &error, /*reset=*/true)) << WideToUtf8(error);
    PlaceGeneration("new");
    PlaceBackups("old");
    caller_.userSid = kUpdateSid;
  }
  void TearDown() override { SetHotUpdateStepHook(nullptr); }

  std::string Confirm() {
    std::u16string failure;
    return HotUpdateConfirm(kUpdateJobFile, caller_, lock_, &failure) ? "OK" : WideToUtf8(failure);
  }

  // Runs Confirm() once, when `step` is reached.
  std::string* ConfirmAt(HotUpdateStep step) {
    SetHotUpdateStepHook([this, step](HotUpdateStep reached, int) {
      if (reached == step && answer_.empty())
        answer_ = Confirm();
    });
    return &answer_;
  }

  TestMachine machine_;
  platform::CriticalSection lock_{1024};
  RequestContext caller_;
  std::string answer_;
};

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
      switched = SwitchToRollingBack(stored.serviceJobFile, {kStatusRelaunching},
                                     u"confirmation timeout", lock_, &job);
    });
    ASSERT_EQ(switchStarting.Wait(platform::kInfiniteWait), platform::WaitResult::kSignalled);
  });
  EXPECT_EQ(Confirm(), "OK");
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
  ASSERT_TRUE(SwitchToRollingBack(stored.serviceJobFile, {kStatusRelaunching},
                                  u"confirmation timeout", lock_, &job));
  EXPECT_EQ(Confirm(), "not in relaunching state (=rollingback)");
  EXPECT_EQ(RecordedInstalledVersion(), "2.10.0");
}

}  // namespace
}  // namespace vovu
