// Cancelling a job: refused in an operation status, otherwise the record says "cancelled"
// once more and the job directory goes.
#include "hotupdate/cancel.h"

#include <gtest/gtest.h>

#include "foundation/text.h"
#include "hotupdate/job_status.h"
#include "platform/files.h"
#include "state/protected_storage.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::TestMachine;

constexpr char16_t kSid[] = u"S-1-5-21-1-2-3-1001";
constexpr char16_t kJobFile[] = u"C:\\Users\\Ann\\.zodezevadororuza\\updates\\hotupdate\\job.json";

class Cancel : public ::testing::Test {
 protected:
  void SetUp() override {
    std::u16string error;
    ASSERT_TRUE(DeriveJobPaths(kJobFile, kSid, &jobDir_, &serviceJobFile_, &error));
    caller_.userSid = kSid;
  }

  // A job directory with a record in `status`, owned by `owner`, and a package beside it.
  void StoreJob(const std::u16string& status, const std::u16string& owner = kSid) {
    std::u16string error;
    ASSERT_TRUE(EnsureHotUpdateDirectories(&error));
    ASSERT_TRUE(EnsureProtectedDirectory(jobDir_, &error));
    HotUpdateJob job;
    job.sid = owner;
    job.jobFile = kJobFile;
    job.status = status;
    job.statusMessage = u"kept";
    ASSERT_TRUE(WriteJobFile(job, serviceJobFile_));
    TestMachine::WriteBytes(JoinPath(jobDir_, u"package.zip"), "zip");
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
    EXPECT_EQ(Run(kJobFile, caller_),
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
    EXPECT_EQ(Run(ToLower(kJobFile), caller_), u"OK") << WideToUtf8(status);
    EXPECT_FALSE(TestMachine::Exists(jobDir_));
    EXPECT_EQ(Run(kJobFile, caller_), u"protected state mismatch");
  }
}

TEST_F(Cancel, OnlyTheOwnersRecordIsCancelled) {
  EXPECT_EQ(Run(kJobFile, caller_), u"protected state mismatch");  // never prepared
  EXPECT_EQ(Run(kJobFile, RequestContext()), u"cannot derive protected hot-update job id");

  StoreJob(kStatusStaged, u"S-1-5-21-1-2-3-1002");
  EXPECT_EQ(Run(kJobFile, caller_), u"protected state mismatch");
  EXPECT_TRUE(TestMachine::Exists(serviceJobFile_));

  // A record that cannot be read is no record.
  TestMachine::WriteBytes(serviceJobFile_, "{ not json");
  EXPECT_EQ(Run(kJobFile, caller_), u"protected state mismatch");
  EXPECT_TRUE(TestMachine::Exists(serviceJobFile_));
}

}  // namespace
}  // namespace vovu
