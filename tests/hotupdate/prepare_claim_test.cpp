// The start of prepare: the user's job file read once, the request's form checked, the job
// directory made anew under the job lock, and the first status persisted; and what a cancel
// arriving at the same time finds.
#include "hotupdate/prepare_claim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

#include "foundation/text.h"
#include "hotupdate/cancel.h"
#include "hotupdate/job_status.h"
#include "hotupdate/job_storage.h"
#include "hotupdate/swap_record.h"
#include "platform/files.h"
#include "state/protected_storage.h"
#include "support/debug_capture.h"
#include "support/start_gate.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::DebugCapture;
using testing::TestMachine;

constexpr char16_t kSid[] = u"S-1-5-21-1-2-3-1001";
// No session: the claims here keep to the protected copy (the mirror has its own tests).
constexpr std::uint32_t kSession = platform::kNoSession;
constexpr char kSha[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// A job file as an application writes it: `version`, `sha256` and the JSON text of `size`.
std::string RequestText(const std::string& version, const std::string& sha256,
                        const std::string& size) {
  return "{\"version\": \"" + version + "\", \"status\": \"whatever\", \"error\": \"app\", " +
         "\"statusMessage\": \"mine\", \"updatedAt\": 9, " +
         "\"relaunch\": {\"pidHint\": 4321, \"startedAt\": 5, \"deadlineAt\": 6}, " +
         "\"staging\": {\"dir\": \"C:\\\\x\", \"serviceDir\": \"C:\\\\y\"}, " +
         "\"createdAt\": 7, \"request\": {\"packageUrl\": \"https://u.example/p.zip\", " +
         "\"packageSha256\": \"" + sha256 + "\", \"expectedPublisher\": \"Korva\", " +
         "\"packageSize\": " + size + ", \"currentVersion\": \"2.10.0\"}}";
}

class PrepareClaim : public ::testing::Test {
 protected:
  void SetUp() override {
    jobFile_ = machine_.Path(u"hotupdate\\job.json");
    ASSERT_TRUE(platform::CreateDirectoryAt(machine_.Path(u"hotupdate")));
    std::u16string error;
    ASSERT_TRUE(DeriveJobPaths(jobFile_, kSid, &jobDir_, &serviceJobFile_, &error));
    caller_.userSid = kSid;
  }

  // Claims the job from the user's file holding `text`: "claimed", or the record's
  // "status / statusMessage" when prepare ended, or "nothing" when no record exists.
  std::u16string Claim(const std::string& text) {
    TestMachine::WriteBytes(jobFile_, text);
    ClaimedJob claimed;
    const bool goesOn = ClaimJobForPrepare(jobFile_, kSid, kSession, self_, lock_, &claimed);
    HotUpdateJob record;
    if (!ReadJobFile(serviceJobFile_, &record))
      return u"nothing";
    EXPECT_EQ(goesOn, record.status == kStatusVerifying);
    return goesOn ? u"claimed" : record.status + u" / " + record.statusMessage;
  }

  // An earlier job in `status` with a package and a payload file.
  void StoreEarlierJob(const std::u16string& status) {
    std::u16string error;
    ASSERT_TRUE(EnsureHotUpdateDirectories(&error));
    ASSERT_TRUE(EnsureProtectedDirectory(jobDir_, &error));
    ASSERT_TRUE(EnsureProtectedDirectory(JoinPath(jobDir_, u"payload"), &error));
    HotUpdateJob job;
    job.sid = kSid;
    job.jobFile = jobFile_;
    job.status = status;
    ASSERT_TRUE(WriteJobFile(job, serviceJobFile_));
    TestMachine::WriteBytes(JoinPath(jobDir_, u"package.zip"), "old package");
    TestMachine::WriteBytes(JoinPath(jobDir_, u"payload\\app.asar"), "old payload");
  }

  TestMachine machine_;
  // The caller is the test itself: its job file is read as the test process.
  std::shared_ptr<const platform::TokenHandle> self_ =
      std::make_shared<const platform::TokenHandle>(platform::OpenCurrentProcessToken());
  platform::CriticalSection lock_{1024};
  RequestContext caller_;
  std::u16string jobFile_;
  std::u16string jobDir_;
  std::u16string serviceJobFile_;
};

TEST_F(PrepareClaim, TheRequestsFormDecidesBetweenVerifyingAndFailed) {
  const std::u16string invalid = u"failed / invalid hot-update request metadata";
  const std::string longest = std::string(61, 'a') + "1._";
  struct Case {
    std::string version;
    std::string sha256;
    std::string size;
    std::u16string outcome;
  };
  const Case cases[] = {
      {"2.11.0", kSha, "1024", u"claimed"},
      {longest, kSha, "1024", u"claimed"},
      {"2.11.0-Beta_1", "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF",
       "2147483648", u"claimed"},
      {longest + "4", kSha, "1024", invalid},
      {"2..11", kSha, "1024", invalid},
      {"2.11.0+b7", kSha, "1024", invalid},
      {"", kSha, "1024", invalid},
      {"2.11 .0", kSha, "1024", invalid},
      {"2.11.0", std::string(kSha).substr(1), "1024", invalid},
      {"2.11.0", std::string(63, 'a') + "g", "1024", invalid},
      {"2.11.0", kSha, "2147483649", invalid},
      {"2.11.0", kSha, "0", invalid},
      {"2.11.0", kSha, "-1", invalid},
      {"2.11.0", kSha, "10.5", invalid},
      {"2.11.0", kSha, "\"1024\"", invalid},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Claim(RequestText(c.version, c.sha256, c.size)), c.outcome)
        << c.version << " " << c.sha256 << " " << c.size;
  }

  // The record is the caller's, in a fresh job directory with an empty payload directory;
  // what the application wrote of its request is kept, nothing the service sets.
  ASSERT_EQ(Claim(RequestText("2.11.0", kSha, "1024")), u"claimed");
  HotUpdateJob record;
  ASSERT_TRUE(ReadJobFile(serviceJobFile_, &record));
  EXPECT_EQ(record.sid, kSid);
  EXPECT_EQ(record.sessionId, kSession);
  EXPECT_EQ(record.jobFile, jobFile_);
  EXPECT_EQ(record.serviceDir, jobDir_);
  EXPECT_EQ(record.dir, jobDir_ + u"\\payload");
  EXPECT_EQ(record.statusMessage, u"official manifest");
  EXPECT_EQ(record.error, u"app");
  EXPECT_EQ(record.createdAt, 7);
  EXPECT_EQ(record.expectedPublisher, u"Korva");
  EXPECT_GT(record.updatedAt, 0);
  // The relaunch values are the service's alone: a rollback acts on them.
  EXPECT_EQ(record.pidHint, 0u);
  EXPECT_EQ(record.startedAt, 0);
  EXPECT_EQ(record.deadlineAt, 0);
  EXPECT_EQ(platform::GetAttributes(record.dir) & platform::kFileAttributeDirectory,
            platform::kFileAttributeDirectory);
}

TEST_F(PrepareClaim, BeyondThreeStoredJobsOfTheUserAPrepareFailsAndStoresNothing) {
  // The same user's earlier job of this file is replaced, so it never counts.
  StoreEarlierJob(kStatusStaged);
  std::u16string error;
  for (int i = 0; i < 3; ++i) {
    const std::u16string other = JoinPath(GetHotUpdateDir(), u"other" + ToDecimal(i * 1ll));
    ASSERT_TRUE(EnsureProtectedDirectory(other, &error));
    HotUpdateJob job;
    job.sid = kSid;
    job.status = kStatusStaged;
    ASSERT_TRUE(WriteJobFile(job, JoinPath(other, u"service-job.json")));
    TestMachine::WriteBytes(JoinPath(other, u"package.zip"), "package");
    if (i < 2) {
      EXPECT_EQ(Claim(RequestText("2.11.0", kSha, "1024")), u"claimed");
    }
  }
  EXPECT_EQ(Claim(RequestText("2.11.0", kSha, "1024")),
            u"failed / " + std::u16string(kTooManyStoredJobs));
  EXPECT_FALSE(HoldsPackageData(jobDir_));
}

TEST_F(PrepareClaim, AnEarlierJobAtRestIsDiscardedOneSwappingFilesIsKept) {
  DebugCapture capture;
  for (const char16_t* status : {kStatusStaged, kStatusFailed, kStatusRolledBack, kStatusDone,
                                 kStatusVerifying, kStatusDownloading, kStatusCommitting}) {
    StoreEarlierJob(status);
    EXPECT_EQ(Claim(RequestText("2.11.0", kSha, "1024")), u"claimed") << WideToUtf8(status);
    EXPECT_FALSE(TestMachine::Exists(JoinPath(jobDir_, u"package.zip")));
    EXPECT_FALSE(TestMachine::Exists(JoinPath(jobDir_, u"payload\\app.asar")));
  }
  for (const char16_t* status : {kStatusReplacing, kStatusRelaunching, kStatusRollingBack}) {
    StoreEarlierJob(status);
    EXPECT_EQ(Claim(RequestText("2.11.0", kSha, "1024")), std::u16string(status) + u" / ");
    EXPECT_TRUE(TestMachine::Exists(JoinPath(jobDir_, u"package.zip")));
    EXPECT_TRUE(TestMachine::Exists(JoinPath(jobDir_, u"payload\\app.asar")));
    if (capture.Available()) {
      const std::vector<std::string> lines = capture.Lines();
      const std::string expected = "[VovudIdavUda] hot-update-prepare: job is " +
                                   WideToUtf8(status) + ", previous update not settled\n";
      EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end());
    }
  }
  // A job that ended with a swapped file still waiting for its ".bak" is not settled either.
  StoreEarlierJob(kStatusFailed);
  ASSERT_TRUE(RecordSwapRow(jobDir_, 1));
  EXPECT_EQ(Claim(RequestText("2.11.0", kSha, "1024")), u"failed / ");
  EXPECT_TRUE(HasSwapRow(jobDir_, 1));
}

TEST_F(PrepareClaim, AnUnreadableJobFileLeavesNothingAtAll) {
  DebugCapture capture;
  StoreEarlierJob(kStatusStaged);
  const std::string tooLarge = RequestText("2.11.0", kSha, "1024") + std::string(1048577, ' ');
  for (const std::string& text : {std::string("{ not json"), tooLarge}) {
    EXPECT_EQ(Claim(text), u"staged / ");
    EXPECT_TRUE(TestMachine::Exists(JoinPath(jobDir_, u"package.zip")));
  }
  ASSERT_TRUE(platform::DeleteFileAt(jobFile_));
  ClaimedJob claimed;
  EXPECT_FALSE(ClaimJobForPrepare(jobFile_, kSid, kSession, self_, lock_, &claimed));
  EXPECT_TRUE(TestMachine::Exists(JoinPath(jobDir_, u"package.zip")));
  if (capture.Available()) {
    const std::vector<std::string> lines = capture.Lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                              return line.starts_with(
                                  "[VovudIdavUda] hot-update-prepare: load job failed: ");
                            }),
              3);
  }
}

// A cancel racing a prepare of the same job: whichever takes the job lock first, the other
// sees a whole job. Either the cancel removed the earlier job and the prepare started anew,
// or the cancel found the new job "verifying" and was refused; never a job directory that
// the cancel removed under a prepare that goes on.
TEST_F(PrepareClaim, ACancelAtTheSameTimeSeesTheEarlierJobOrTheNewOneNeverHalfOfIt) {
  int cancelledFirst = 0;
  for (int round = 0; round < 40; ++round) {
    StoreEarlierJob(kStatusStaged);
    TestMachine::WriteBytes(jobFile_, RequestText("2.11.0", kSha, "1024"));
    testing::StartGate start(2);
    bool claimed = false;
    std::u16string cancel;
    std::thread preparer([&] {
      start.ArriveAndWait();
      ClaimedJob job;
      claimed = ClaimJobForPrepare(jobFile_, kSid, kSession, self_, lock_, &job);
    });
    std::thread canceller([&] {
      start.ArriveAndWait();
      std::u16string failure;
      cancel = HotUpdateCancel(jobFile_, caller_, lock_, &failure) ? u"OK" : failure;
    });
    preparer.join();
    canceller.join();
    ASSERT_TRUE(claimed);
    HotUpdateJob record;
    ASSERT_TRUE(ReadJobFile(serviceJobFile_, &record)) << "round " << round;
    EXPECT_EQ(record.status, kStatusVerifying);
    EXPECT_EQ(platform::GetAttributes(record.dir) & platform::kFileAttributeDirectory,
              platform::kFileAttributeDirectory);
    EXPECT_FALSE(TestMachine::Exists(JoinPath(jobDir_, u"package.zip")));
    if (cancel == u"OK")
      ++cancelledFirst;
    else
      EXPECT_EQ(cancel, u"job cannot be cancelled in status verifying");
  }
  RecordProperty("cancelledFirst", cancelledFirst);
}

}  // namespace
}  // namespace vovu
