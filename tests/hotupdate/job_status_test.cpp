#include "hotupdate/job_status.h"

#include <gtest/gtest.h>

#include "foundation/text.h"
#include "platform/profile.h"
#include "state/protected_storage.h"
#include "support/installed_update.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::TestMachine;

class JobGuards : public ::testing::Test {
 protected:
  void SetUp() override {
    context_ = BuildLocalContext();
    ASSERT_TRUE(context_.hasToken);
    ASSERT_TRUE(platform::GetUserProfileDirectoryOf(context_.token, &profile_, 260));
    folder_ = profile_ + kHotUpdateJobDirName;
  }

  std::u16string Refusal(const std::u16string& path, const RequestContext& context) {
    std::u16string failure;
    return ValidateJobFile(path, context, &failure) ? u"accepted" : failure;
  }

  TestMachine machine_;
  RequestContext context_;
  std::u16string profile_;
  std::u16string folder_;
};

TEST_F(JobGuards, OnlyPathsInTheCallersOwnHotUpdateFolderPass) {
  EXPECT_EQ(Refusal(folder_ + u"job.json", context_), u"accepted");
  EXPECT_EQ(Refusal(ToLower(folder_) + u"JOB.JSON", context_), u"accepted");
  EXPECT_EQ(Refusal(folder_ + u"sub\\deeper\\job.json", context_), u"accepted");

  EXPECT_EQ(Refusal(u"", context_), u"empty jobFile");
  EXPECT_EQ(Refusal(folder_ + u"a..b\\job.json", context_), u"jobFile contains path traversal");
  EXPECT_EQ(Refusal(folder_ + u"job.json/..", context_), u"jobFile contains path traversal");
  EXPECT_EQ(Refusal(folder_ + u"x/job.json", context_), u"jobFile must end with job.json");
  EXPECT_EQ(Refusal(folder_ + u"myjob.json", context_), u"jobFile must end with job.json");
  EXPECT_EQ(Refusal(profile_ + u"\\job.json", context_), u"jobFile outside caller profile");
  EXPECT_EQ(Refusal(u"C:\\Users\\Someone Else\\.zodezevadororuza\\updates\\hotupdate\\job.json",
                    context_),
            u"jobFile outside caller profile");
  // The folder name itself must be complete: a sibling that only starts alike is outside.
  EXPECT_EQ(Refusal(profile_ + u"\\.zodezevadororuza\\updates\\hotupdate2\\job.json", context_),
            u"jobFile outside caller profile");

  // Without a token the profile cannot be known, but the text checks come first.
  const RequestContext anonymous;
  EXPECT_EQ(Refusal(folder_ + u"job.json", anonymous),
            u"cannot validate caller profile for jobFile");
  EXPECT_EQ(Refusal(folder_ + u"..\\job.json", anonymous), u"jobFile contains path traversal");
  EXPECT_EQ(Refusal(folder_ + u"job.txt", anonymous), u"jobFile must end with job.json");
}

TEST_F(JobGuards, StatusGuardChecksOwnershipBeforeStatus) {
  const std::u16string jobFile = folder_ + u"job.json";
  const std::u16string sid = u"S-1-5-21-1000-1000-1000-1001";
  std::u16string failure;
  EXPECT_FALSE(CheckJobStatus(jobFile, sid, kStatusStaged, &failure));
  EXPECT_EQ(failure, u"protected state mismatch");
  EXPECT_FALSE(CheckJobStatus(jobFile, u"", kStatusStaged, &failure));
  EXPECT_EQ(failure, u"cannot derive protected hot-update job id");

  testing::StoreUpdateJob(kStatusFailed, jobFile, sid);
  EXPECT_FALSE(CheckJobStatus(jobFile, sid, kStatusStaged, &failure));
  EXPECT_EQ(failure, u"job status is failed, expected staged");
  // The same job id through another letter case of the path: still the caller's job.
  EXPECT_FALSE(CheckJobStatus(ToLower(jobFile), sid, kStatusStaged, &failure));
  EXPECT_EQ(failure, u"job status is failed, expected staged");

  // A record that names another owner is a mismatch, whatever its status.
  testing::StoredJob other = testing::StoreUpdateJob(kStatusStaged, jobFile, sid);
  other.job.sid = u"S-1-5-21-1000-1000-1000-1002";
  ASSERT_TRUE(WriteJobFile(other.job, other.serviceJobFile));
  EXPECT_FALSE(CheckJobStatus(jobFile, sid, kStatusStaged, &failure));
  EXPECT_EQ(failure, u"protected state mismatch");

  testing::StoreUpdateJob(kStatusStaged, jobFile, sid);
  EXPECT_TRUE(CheckJobStatus(jobFile, sid, kStatusStaged, &failure));

  // Ownership: the SID exactly, the path ignoring case.
  HotUpdateJob job;
  job.sid = u"S-1-5-21-1-2-3-1001";
  job.jobFile = u"C:\\Users\\A\\job.json";
  EXPECT_TRUE(JobOwnedByCaller(job, u"S-1-5-21-1-2-3-1001", u"c:\\users\\a\\JOB.json"));
  EXPECT_FALSE(JobOwnedByCaller(job, u"s-1-5-21-1-2-3-1001", u"C:\\Users\\A\\job.json"));
  EXPECT_FALSE(JobOwnedByCaller(job, u"S-1-5-21-1-2-3-1001", u"C:\\Users\\B\\job.json"));
}

TEST(JobStatusWrites, SetJobStatusStampsAndPersists) {
  TestMachine machine;
  HotUpdateJob job;
  job.status = kStatusVerifying;
  const std::u16string path = machine.Path(u"service-job.json");
  const std::int64_t before = NowMilliseconds();
  SetJobStatus(&job, path, kStatusFailed, u"download failed: timeout");
  HotUpdateJob back;
  ASSERT_TRUE(ReadJobFile(path, &back));
  EXPECT_EQ(back.status, u"failed");
  EXPECT_EQ(back.statusMessage, u"download failed: timeout");
  EXPECT_GE(back.updatedAt, before);
  EXPECT_EQ(back.updatedAt, job.updatedAt);
}

}  // namespace
}  // namespace vovu
