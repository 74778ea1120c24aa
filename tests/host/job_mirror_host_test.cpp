// The user's job file is written as the user logged on to the job's session: the user's own
// rights govern the write, and the service's identity is restored afterwards. Prepare's claim
// mirrors its first status that way, and only when the caller's session is known.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "foundation/text.h"
#include "hotupdate/prepare_claim.h"
#include "hotupdate/recovery.h"
#include "platform/fault_injection.h"
#include "platform/session_user.h"
#include "state/hot_update_job.h"
#include "state/job_mirror.h"
#include "state/protected_storage.h"
#include "state/user_file_access.h"
#include "support/host/other_user.h"
#include "support/installed_update.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::kNobody;
using testing::kNobodySid;
using testing::TestMachine;

// PersistJob, then the user's copy settled.
bool PersistAndSettle(const HotUpdateJob& job, const std::u16string& serviceJobFile) {
  const bool persisted = PersistJob(job, serviceJobFile);
  EXPECT_TRUE(AwaitJobMirror(job.jobFile, kUserFileLimitMs));
  return persisted;
}

constexpr char kRequest[] =
    "{\"version\": \"2.11.0\", \"request\": {\"packageSha256\": "
    "\"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\", \"packageSize\": 10}}";

TEST(JobMirrorHost, TheMirrorIsWrittenAsTheSessionUserAndOnlyWhereThatUserMayWrite) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  TestMachine machine;
  testing::UserSession session;
  ASSERT_TRUE(session.ok());
  const std::filesystem::path userDir = TestMachine::Native(machine.Path(u"userdir"));
  std::filesystem::create_directory(userDir);
  ASSERT_EQ(chown(userDir.c_str(), kNobody, kNobody), 0);
  const std::u16string protectedCopy = machine.Path(u"service-job.json");
  HotUpdateJob job;
  job.status = u"verifying";
  job.sessionId = session.id();
  job.sid = kNobodySid;
  job.jobFile = machine.Path(u"userdir\\job.json");

  ASSERT_TRUE(PersistAndSettle(job, protectedCopy));
  struct stat st;
  ASSERT_EQ(stat(TestMachine::Native(job.jobFile).c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(TestMachine::ReadBytes(job.jobFile), TestMachine::ReadBytes(protectedCopy));
  // The service is itself again: a root-only place is writable.
  const std::u16string rootOnly = machine.Path(u"root-only");
  std::filesystem::create_directory(TestMachine::Native(rootOnly));
  chmod(TestMachine::Native(rootOnly).c_str(), 0700);
  EXPECT_TRUE(PersistAndSettle(job, rootOnly + u"\\service-job.json"));

  // A session without any process: no one to write as.
  std::filesystem::remove(TestMachine::Native(job.jobFile));
  HotUpdateJob orphan = job;
  orphan.sessionId = 0x7FFFFFF0;
  ASSERT_TRUE(PersistAndSettle(orphan, protectedCopy));
  EXPECT_FALSE(TestMachine::Exists(job.jobFile));

  // A user folder the user cannot write into: the result is the protected write's.
  ASSERT_EQ(chown(userDir.c_str(), 0, 0), 0);
  std::filesystem::remove(TestMachine::Native(protectedCopy));
  ASSERT_TRUE(PersistAndSettle(job, protectedCopy));
  EXPECT_TRUE(TestMachine::Exists(protectedCopy));
  EXPECT_FALSE(TestMachine::Exists(job.jobFile));

  // A job file turned into a link to a file of root's: the write never goes through it.
  ASSERT_EQ(chown(userDir.c_str(), kNobody, kNobody), 0);
  const std::u16string secret = machine.Path(u"secret.txt");
  TestMachine::WriteBytes(secret, "root's");
  chmod(TestMachine::Native(secret).c_str(), 0600);
  std::filesystem::create_symlink(TestMachine::Native(secret), TestMachine::Native(job.jobFile));
  ASSERT_TRUE(PersistAndSettle(job, protectedCopy));
  EXPECT_EQ(TestMachine::ReadBytes(secret), "root's");
  EXPECT_FALSE(std::filesystem::is_symlink(TestMachine::Native(job.jobFile)));

  // Another user logged on to the job's session now: nothing is written as them.
  std::filesystem::remove(TestMachine::Native(job.jobFile));
  HotUpdateJob someoneElses = job;
  someoneElses.sid = u"S-1-5-21-1000-1000-1000-1001";
  ASSERT_TRUE(PersistAndSettle(someoneElses, protectedCopy));
  EXPECT_FALSE(TestMachine::Exists(job.jobFile));
}

TEST(PrepareClaimHost, TheFirstStatusReachesTheUsersFileOnlyThroughAKnownSession) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  TestMachine machine;
  const std::u16string folder = machine.Path(u"hotupdate");
  std::filesystem::create_directories(TestMachine::Native(folder));
  ASSERT_EQ(chown(TestMachine::Native(folder).c_str(), kNobody, kNobody), 0);
  const std::u16string jobFile = folder + u"\\job.json";
  platform::CriticalSection lock(1024);
  ClaimedJob claimed;
  testing::UserSession session;
  ASSERT_TRUE(session.ok());
  // The caller's token: the claim reads the job file as that user.
  auto token =
      std::make_shared<const platform::TokenHandle>(platform::QuerySessionUserToken(session.id()));

  // Unknown session: the progress stays in the protected copy.
  TestMachine::WriteBytes(jobFile, kRequest);
  ASSERT_TRUE(ClaimJobForPrepare(jobFile, kNobodySid, platform::kNoSession, token, lock, &claimed));
  EXPECT_EQ(TestMachine::ReadBytes(jobFile), kRequest);

  // The caller's session: the user's file is rewritten, by that user.
  ASSERT_TRUE(ClaimJobForPrepare(jobFile, kNobodySid, session.id(), token, lock, &claimed));
  ASSERT_TRUE(AwaitJobMirror(jobFile, kUserFileLimitMs));
  HotUpdateJob mirrored;
  ASSERT_TRUE(ReadJobFile(jobFile, &mirrored));
  EXPECT_EQ(mirrored.status, u"verifying");
  EXPECT_EQ(mirrored.statusMessage, u"official manifest");
  struct stat st;
  ASSERT_EQ(stat(TestMachine::Native(jobFile).c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
}

// A reader that holds the user's file without sharing delete makes the rename fail with 5 or
// 32 for a while: the replacement is tried again, a few times, and then given up whole.
TEST(JobMirrorHost, AReplacementRefusedWhileTheFileIsInUseIsTriedAgainAFewTimes) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  TestMachine machine;
  testing::UserSession session;
  ASSERT_TRUE(session.ok());
  const std::filesystem::path userDir = TestMachine::Native(machine.Path(u"userdir"));
  std::filesystem::create_directory(userDir);
  ASSERT_EQ(chown(userDir.c_str(), kNobody, kNobody), 0);
  const std::u16string protectedCopy = machine.Path(u"service-job.json");
  HotUpdateJob job;
  job.sessionId = session.id();
  job.sid = kNobodySid;
  job.jobFile = machine.Path(u"userdir\\job.json");
  struct Row {
    platform::Win32Error code;
    int failures;
    bool written;
  };
  const Row rows[] = {{platform::kErrorSharingViolation, kMirrorReplaceTries - 1, true},
                      {platform::kErrorSharingViolation, kMirrorReplaceTries, false},
                      {platform::kErrorFileNotFound, 1, false}};
  int round = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE("error " + std::to_string(row.code) + " x" + std::to_string(row.failures));
    TestMachine::WriteBytes(job.jobFile, "old");
    job.status = u"round " + ToDecimal(static_cast<long long>(++round));
    platform::InjectFault(platform::FaultPoint::kMoveFile, job.jobFile, row.code, row.failures);
    ASSERT_TRUE(PersistAndSettle(job, protectedCopy));
    platform::ClearFaults();
    HotUpdateJob mirrored;
    if (row.written) {
      ASSERT_TRUE(ReadJobFile(job.jobFile, &mirrored));
      EXPECT_EQ(mirrored.status, job.status);
    } else {
      EXPECT_EQ(TestMachine::ReadBytes(job.jobFile), "old");
    }
    EXPECT_FALSE(TestMachine::Exists(job.jobFile + u".tmp"));
  }
}

// At start-up the copy of a job at rest is written again from its record (the service may
// have ended between the two writes), but only over the job's own request: a new request the
// application wrote into the same file meanwhile stays for its prepare.
TEST(JobMirrorHost, AtStartARestingJobsCopyIsWrittenAgainOnlyOverItsOwnRequest) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  TestMachine machine;
  testing::UserSession session;
  ASSERT_TRUE(session.ok());
  const std::u16string folder = machine.Path(u"userdir");
  std::filesystem::create_directory(TestMachine::Native(folder));
  ASSERT_EQ(chown(TestMachine::Native(folder).c_str(), kNobody, kNobody), 0);
  const std::u16string jobFile = folder + u"\\job.json";
  testing::StoredJob stored = testing::StoreUpdateJob(u"done", jobFile, kNobodySid);
  stored.job.sessionId = session.id();
  stored.job.createdAt = 13'000'000'000'000;
  ASSERT_TRUE(WriteJobFile(stored.job, stored.serviceJobFile));
  HotUpdateJob stale = stored.job;
  stale.status = u"relaunching";
  HotUpdateJob newRequest = stored.job;
  newRequest.version = u"2.12.0";
  newRequest.createdAt = 0;
  struct Row {
    const char* what;
    std::string before;  // empty: no file
    bool rewritten;
  };
  const Row rows[] = {
      {"the job's request at an older status", WideToUtf8(FormatJobFile(stale)), true},
      {"a new request of the application", WideToUtf8(FormatJobFile(newRequest)), false},
      {"a request in the application's own layout", kRequest, false},
      {"no file", "", false},
  };
  platform::CriticalSection lock(1024);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::filesystem::remove(TestMachine::Native(jobFile));
    if (!row.before.empty())
      TestMachine::WriteBytes(jobFile, row.before);
    RecoverHotUpdateJobs(GetHotUpdateDir(), lock);
    ASSERT_TRUE(AwaitJobMirror(jobFile, kUserFileLimitMs));
    if (row.rewritten)
      EXPECT_EQ(TestMachine::ReadBytes(jobFile), TestMachine::ReadBytes(stored.serviceJobFile));
    else if (row.before.empty())
      EXPECT_FALSE(TestMachine::Exists(jobFile));
    else
      EXPECT_EQ(TestMachine::ReadBytes(jobFile), row.before);
    EXPECT_EQ(testing::RecordedStatus(stored.serviceJobFile), "done");
  }
}

}  // namespace
}  // namespace vovu
