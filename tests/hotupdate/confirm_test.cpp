// Confirming a relaunched update: the new version is recorded, the backups and the job go;
// every refusal leaves the record, the files and the installed version as they were.
#include "hotupdate/confirm.h"

#include <gtest/gtest.h>

#include "foundation/text.h"
#include "hotupdate/job_status.h"
#include "platform/fault_injection.h"
#include "state/installed_version.h"
#include "support/desktop_app.h"
#include "support/installed_update.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using namespace testing;

class Confirm : public ::testing::Test {
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
  void TearDown() override { platform::ClearFaults(); }

  std::string Run(const std::u16string& jobFile = kUpdateJobFile) {
    std::u16string failure;
    return HotUpdateConfirm(jobFile, caller_, lock_, &failure) ? "OK" : WideToUtf8(failure);
  }

  TestMachine machine_;
  platform::CriticalSection lock_{1024};
  RequestContext caller_;
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

}  // namespace
}  // namespace vovu
