// The hot-update words through the whitelist: the checks every word starts with, commit's
// session and status guard, and cancel inline under the queue's lock.
#include <gtest/gtest.h>

#include "foundation/text.h"
#include "hotupdate/job_status.h"
#include "hotupdate/job_storage.h"
#include "platform/profile.h"
#include "service/dispatcher.h"
#include "service/installation_folder.h"
#include "service/work_queue.h"
#include "state/protected_storage.h"
#include "support/installed_update.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::TestMachine;

constexpr const char16_t* kHotUpdateWords[] = {u"hot-update-prepare", u"hot-update-commit",
                                               u"hot-update-confirm", u"hot-update-cancel"};

class HotUpdateCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    caller_ = BuildLocalContext();
    ASSERT_TRUE(caller_.hasToken);
    caller_.sessionId = 3;
    std::u16string profile;
    ASSERT_TRUE(platform::GetUserProfileDirectoryOf(caller_.token, &profile, 260));
    jobFile_ = profile + kHotUpdateJobDirName + u"job.json";
  }

  static std::u16string Run(const std::u16string& word, const std::vector<std::u16string>& args,
                            const RequestContext& context) {
    std::u16string failure;
    return ExecuteWhitelistedCommand(word, args, context, &failure) ? u"OK" : failure;
  }

  // The caller's protected record in `status`; its job directory.
  std::u16string StoreJob(const std::u16string& status) {
    return testing::StoreUpdateJob(status, jobFile_, caller_.userSid).jobDir;
  }

  TestMachine machine_;
  RequestContext caller_;
  std::u16string jobFile_;
};

// The running service's queue as the dispatcher finds it, with nothing running it.
struct ServiceQueue {
  ServiceQueue() { EXPECT_TRUE(platform::Event::Create(true, false, &stop)); }
  platform::Event stop;
  WorkQueue queue{stop};
  PublishedWorkQueue published{queue};
};

// The job-file rules are the guard's (tests/hotupdate/job_status_test.cpp); here, that each
// word reaches them, and checks the caller's SID after them.
TEST_F(HotUpdateCommands, EveryWordChecksItsJobFileThenTheCallersSid) {
  RequestContext anonymous = BuildLocalContext();
  anonymous.userSid.clear();
  for (const char16_t* word : kHotUpdateWords) {
    EXPECT_EQ(Run(word, {}, caller_), u"missing jobFile") << WideToUtf8(word);
    EXPECT_EQ(Run(word, {u"C:\\Users\\Other\\.zodezevadororuza\\updates\\hotupdate\\job.json"},
                  anonymous),
              u"jobFile outside caller profile");
    EXPECT_EQ(Run(word, {jobFile_, u"ignored"}, anonymous), u"caller SID unavailable");
  }
}

TEST_F(HotUpdateCommands, CommitNeedsAKnownSessionAndAStagedJobAndTheService) {
  EXPECT_EQ(Run(u"hot-update-commit", {jobFile_}, caller_), u"protected state mismatch");
  StoreJob(kStatusRelaunching);
  EXPECT_EQ(Run(u"hot-update-commit", {jobFile_}, caller_),
            u"job status is relaunching, expected staged");
  StoreJob(kStatusStaged);
  RequestContext sessionless = BuildLocalContext();
  sessionless.sessionId = platform::kNoSession;
  EXPECT_EQ(Run(u"hot-update-commit", {jobFile_}, sessionless), u"caller session unavailable");
  // Without the service's queue (the command line's own run) they are unknown past their checks.
  EXPECT_EQ(Run(u"hot-update-commit", {jobFile_}, caller_), u"unknown command: hot-update-commit");
  EXPECT_EQ(Run(u"hot-update-confirm", {jobFile_}, caller_),
            u"unknown command: hot-update-confirm");
}

TEST_F(HotUpdateCommands, CancelRunsInlineOnlyWhereTheServiceQueueExists) {
  const std::u16string jobDir = StoreJob(kStatusStaged);
  EXPECT_EQ(Run(u"hot-update-cancel", {jobFile_}, caller_), u"unknown command: hot-update-cancel");
  EXPECT_TRUE(TestMachine::Exists(jobDir));

  ServiceQueue service;  // the refusals are the cancel suite's
  EXPECT_EQ(Run(u"hot-update-cancel", {jobFile_}, caller_), u"OK");
  EXPECT_FALSE(TestMachine::Exists(jobDir));
}

TEST_F(HotUpdateCommands, PrepareIsQueuedAndAnsweredAtOnceWhateverTheSession) {
  EXPECT_EQ(Run(u"hot-update-prepare", {jobFile_}, caller_),
            u"unknown command: hot-update-prepare");
  ServiceQueue service;
  RequestContext sessionless = BuildLocalContext();
  sessionless.sessionId = platform::kNoSession;
  // Nothing runs the queue here: both requests wait in it, in order, and nothing is written.
  EXPECT_EQ(Run(u"hot-update-prepare", {jobFile_}, caller_), u"OK");
  EXPECT_EQ(Run(u"hot-update-prepare", {jobFile_, u"ignored"}, sessionless), u"OK");
  // The second is the same job, still waiting: merged into the first.
  EXPECT_EQ(service.queue.QueuedCount(), 1u);
  EXPECT_FALSE(TestMachine::Exists(GetHotUpdateDir()));
}

// While the service holds its installation folder open to others, nothing that replaces
// files in it is taken; confirm and cancel, which only settle a job, still are.
TEST_F(HotUpdateCommands, PrepareAndCommitAreRefusedWhileTheInstallationFolderIsOpen) {
  ServiceQueue service;
  StoreJob(kStatusStaged);
  const std::u16string refusal =
      std::u16string(kOpenInstallationFolder) + u"C:\\Korva: S-1-5-32-545 may write";
  SetInstallationFolderRefusal(refusal);
  EXPECT_EQ(Run(u"hot-update-prepare", {jobFile_}, caller_), refusal);
  EXPECT_EQ(Run(u"hot-update-commit", {jobFile_}, caller_), refusal);
  EXPECT_EQ(service.queue.QueuedCount(), 0u);
  EXPECT_EQ(Run(u"hot-update-cancel", {jobFile_}, caller_), u"OK");
  // The checks of the words come first.
  EXPECT_EQ(Run(u"hot-update-prepare", {}, caller_), u"missing jobFile");
  SetInstallationFolderRefusal(u"");
  EXPECT_EQ(Run(u"hot-update-prepare", {jobFile_}, caller_), u"OK");
}

TEST_F(HotUpdateCommands, AThousandPreparesOfOneUserKeepTheQueueWithinItsBound) {
  ServiceQueue service;
  const std::u16string folder = jobFile_.substr(0, jobFile_.size() - 8);  // without "job.json"
  std::size_t accepted = 0;
  std::size_t refused = 0;
  for (int i = 0; i < 1000; ++i) {
    const std::u16string outcome =
        Run(u"hot-update-prepare", {folder + ToDecimal(i * 1ll) + u"\\job.json"}, caller_);
    accepted += outcome == u"OK" ? 1 : 0;
    refused += outcome == kTooManyQueuedJobs ? 1 : 0;
  }
  EXPECT_EQ(accepted, kMaxQueuedJobsPerUser);
  EXPECT_EQ(refused, 1000 - kMaxQueuedJobsPerUser);
  EXPECT_EQ(service.queue.QueuedCount(), kMaxQueuedJobsPerUser);
  // A job already waiting is still merged; another user's prepare is queued.
  EXPECT_EQ(Run(u"hot-update-prepare", {folder + u"0\\job.json"}, caller_), u"OK");
  RequestContext other = BuildLocalContext();
  other.userSid = u"S-1-5-21-9-9-9-1234";
  EXPECT_EQ(Run(u"hot-update-prepare", {jobFile_}, other), u"OK");
  EXPECT_EQ(service.queue.QueuedCount(), kMaxQueuedJobsPerUser + 1);
  EXPECT_EQ(service.queue.QueuedCountOf(other.userSid), 1u);
}

TEST_F(HotUpdateCommands, APrepareBeyondThreeStoredJobsIsRefusedWithWhatToDo) {
  ServiceQueue service;
  std::u16string error;
  ASSERT_TRUE(EnsureHotUpdateDirectories(&error));
  for (int i = 0; i < 3; ++i) {
    const std::u16string dir = JoinPath(GetHotUpdateDir(), u"stored" + ToDecimal(i * 1ll));
    ASSERT_TRUE(EnsureProtectedDirectory(dir, &error));
    HotUpdateJob job;
    job.sid = caller_.userSid;
    job.status = kStatusStaged;
    ASSERT_TRUE(WriteJobFile(job, JoinPath(dir, u"service-job.json")));
    TestMachine::WriteBytes(JoinPath(dir, u"package.zip"), "package");
  }
  EXPECT_EQ(Run(u"hot-update-prepare", {jobFile_}, caller_), kTooManyStoredJobs);
  EXPECT_EQ(service.queue.QueuedCount(), 0u);
  // Replacing one of the three is allowed, and so is another user's job.
  const std::u16string jobDir = StoreJob(kStatusStaged);
  TestMachine::WriteBytes(JoinPath(jobDir, u"package.zip"), "package");
  RemoveTree(JoinPath(GetHotUpdateDir(), u"stored0"));
  EXPECT_EQ(Run(u"hot-update-prepare", {jobFile_}, caller_), u"OK");
  RequestContext other = BuildLocalContext();
  other.userSid = u"S-1-5-21-9-9-9-1234";
  EXPECT_EQ(Run(u"hot-update-prepare", {jobFile_}, other), u"OK");
  EXPECT_EQ(service.queue.QueuedCount(), 2u);
}

}  // namespace
}  // namespace vovu
