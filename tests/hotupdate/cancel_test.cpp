// Cancelling a job: refused in an operation status, otherwise the record says "cancelled"
// once more and the job directory goes.
#include "hotupdate/cancel.h"

#include <gtest/gtest.h>

#include "foundation/text.h"
#include "hotupdate/job_status.h"
#include "platform/files.h"
#include "state/protected_storage.h"
#include "support/installed_update.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using namespace testing;

class Cancel : public ::testing::Test {
 protected:
  void SetUp() override { caller_.userSid = kUpdateSid; }

  // The caller's job in `status`, owned by `owner`, with a package beside its record.
  void StoreJob(const std::u16string& status, const std::u16string& owner = kUpdateSid) {
    StoredJob stored = StoreUpdateJob(status);
    stored.job.sid = owner;
    ASSERT_TRUE(WriteJobFile(stored.job, stored.serviceJobFile));
    TestMachine::WriteBytes(JoinPath(stored.jobDir, u"package.zip"), "zip");
    jobDir_ = stored.jobDir;
    serviceJobFile_ = stored.serviceJobFile;
  }

  std::u16string Run(const std::u16string& jobFile, const RequestContext& context) {
    std::u16string failure;
    return HotUpdateCancel(jobFile, context, lock_, &failure) ? u"OK" : failure;
  }

  TestMachine machine_;
  platform::CriticalSection lock_{1024};
  RequestContext caller_;
  std::u16string jobDir_;
  std::u16string serviceJobFile_;
};

TEST_F(Cancel, RefusedWhileAnOperationRunsAndTheRecordStaysAsItWas) {
  for (const char16_t* status : {kStatusDownloading, kStatusVerifying, kStatusCommitting,
                                 kStatusReplacing, kStatusRelaunching, kStatusRollingBack}) {
    StoreJob(status);
    EXPECT_EQ(Run(kUpdateJobFile, caller_),
              std::u16string(u"job cannot be cancelled in status ") + status);
    HotUpdateJob job;
    ASSERT_TRUE(ReadJobFile(serviceJobFile_, &job));
    EXPECT_EQ(job.status, status);
    EXPECT_TRUE(TestMachine::Exists(JoinPath(jobDir_, u"package.zip")));
  }
}

TEST_F(Cancel, AcceptedAtRestRemovesTheJobDirectoryAndOnlyOnce) {
  for (const char16_t* status : {kStatusStaged, kStatusFailed, kStatusRolledBack, u"", u"odd"}) {
    StoreJob(status);
    // The path in another letter case names the same job.
    EXPECT_EQ(Run(ToLower(kUpdateJobFile), caller_), u"OK") << WideToUtf8(status);
    EXPECT_FALSE(TestMachine::Exists(jobDir_));
    EXPECT_EQ(Run(kUpdateJobFile, caller_), u"protected state mismatch");
  }
}

TEST_F(Cancel, OnlyTheOwnersRecordIsCancelled) {
  EXPECT_EQ(Run(kUpdateJobFile, caller_), u"protected state mismatch");  // never prepared
  EXPECT_EQ(Run(kUpdateJobFile, RequestContext()), u"cannot derive protected hot-update job id");

  StoreJob(kStatusStaged, u"S-1-5-21-1-2-3-1002");
  EXPECT_EQ(Run(kUpdateJobFile, caller_), u"protected state mismatch");
  EXPECT_TRUE(TestMachine::Exists(serviceJobFile_));

  // A record that cannot be read is no record.
  TestMachine::WriteBytes(serviceJobFile_, "{ not json");
  EXPECT_EQ(Run(kUpdateJobFile, caller_), u"protected state mismatch");
  EXPECT_TRUE(TestMachine::Exists(serviceJobFile_));
}

}  // namespace
}  // namespace vovu
