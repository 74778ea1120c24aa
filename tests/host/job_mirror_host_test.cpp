// The user's job file is written as the user logged on to the job's session: the user's own
// rights govern the write, and the service's identity is restored afterwards. Prepare's claim
// mirrors its first status that way, and only when the caller's session is known.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "hotupdate/prepare_claim.h"
#include "state/hot_update_job.h"
#include "support/host/other_user.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::kNobody;
using testing::TestMachine;

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
  job.jobFile = machine.Path(u"userdir\\job.json");

  ASSERT_TRUE(PersistJob(job, protectedCopy));
  struct stat st;
  ASSERT_EQ(stat(TestMachine::Native(job.jobFile).c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(TestMachine::ReadBytes(job.jobFile), TestMachine::ReadBytes(protectedCopy));
  // The service is itself again: a root-only place is writable.
  const std::u16string rootOnly = machine.Path(u"root-only");
  std::filesystem::create_directory(TestMachine::Native(rootOnly));
  chmod(TestMachine::Native(rootOnly).c_str(), 0700);
  EXPECT_TRUE(PersistJob(job, rootOnly + u"\\service-job.json"));

  // A session without any process: no one to write as.
  std::filesystem::remove(TestMachine::Native(job.jobFile));
  HotUpdateJob orphan = job;
  orphan.sessionId = 0x7FFFFFF0;
  ASSERT_TRUE(PersistJob(orphan, protectedCopy));
  EXPECT_FALSE(TestMachine::Exists(job.jobFile));

  // A user folder the user cannot write into: the result is the protected write's.
  ASSERT_EQ(chown(userDir.c_str(), 0, 0), 0);
  std::filesystem::remove(TestMachine::Native(protectedCopy));
  ASSERT_TRUE(PersistJob(job, protectedCopy));
  EXPECT_TRUE(TestMachine::Exists(protectedCopy));
  EXPECT_FALSE(TestMachine::Exists(job.jobFile));

  // A job file turned into a link to a file of root's: the write never goes through it.
  ASSERT_EQ(chown(userDir.c_str(), kNobody, kNobody), 0);
  const std::u16string secret = machine.Path(u"secret.txt");
  TestMachine::WriteBytes(secret, "root's");
  chmod(TestMachine::Native(secret).c_str(), 0600);
  std::filesystem::create_symlink(TestMachine::Native(secret), TestMachine::Native(job.jobFile));
  ASSERT_TRUE(PersistJob(job, protectedCopy));
  EXPECT_EQ(TestMachine::ReadBytes(secret), "root's");
  EXPECT_FALSE(std::filesystem::is_symlink(TestMachine::Native(job.jobFile)));
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

  // Unknown session: the progress stays in the protected copy.
  TestMachine::WriteBytes(jobFile, kRequest);
  ASSERT_TRUE(
      ClaimJobForPrepare(jobFile, u"S-1-5-21-1-2-3-65534", platform::kNoSession, lock, &claimed));
  EXPECT_EQ(TestMachine::ReadBytes(jobFile), kRequest);

  // The caller's session: the user's file is rewritten, by that user.
  testing::UserSession session;
  ASSERT_TRUE(session.ok());
  ASSERT_TRUE(ClaimJobForPrepare(jobFile, u"S-1-5-21-1-2-3-65534", session.id(), lock, &claimed));
  HotUpdateJob mirrored;
  ASSERT_TRUE(ReadJobFile(jobFile, &mirrored));
  EXPECT_EQ(mirrored.status, u"verifying");
  EXPECT_EQ(mirrored.statusMessage, u"official manifest");
  struct stat st;
  ASSERT_EQ(stat(TestMachine::Native(jobFile).c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
}

}  // namespace
}  // namespace vovu
