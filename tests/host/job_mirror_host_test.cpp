// The user's job file is written as the user logged on to the job's session: the user's own
// rights govern the write, and the service's identity is restored afterwards.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "state/hot_update_job.h"
#include "support/host/other_user.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::kNobody;
using testing::TestMachine;

// A process of uid 65534 leading a session of its own, alive until the object goes: it
// reports once it is that user, then waits for this end of their socket pair to close.
class UserSession {
 public:
  UserSession() {
    int link[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link) != 0)
      return;
    child_.emplace(testing::OtherUser{}, [&] {
      close(link[0]);
      char byte = 'r';
      if (write(link[1], &byte, 1) == 1)
        (void)!read(link[1], &byte, 1);
      return std::string();
    });
    close(link[1]);
    end_ = link[0];
    char byte = 0;
    ok_ = read(end_, &byte, 1) == 1;
  }
  ~UserSession() { close(end_); }  // before the child is waited for
  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] std::uint32_t session() const { return static_cast<std::uint32_t>(child_->pid()); }

 private:
  int end_ = -1;
  bool ok_ = false;
  std::optional<testing::UserChild> child_;
};

TEST(JobMirrorHost, TheMirrorIsWrittenAsTheSessionUserAndOnlyWhereThatUserMayWrite) {
  REQUIRE_ROOT_FOR_OTHER_USERS();
  TestMachine machine;
  UserSession session;
  ASSERT_TRUE(session.ok());
  const std::filesystem::path userDir = TestMachine::Native(machine.Path(u"userdir"));
  std::filesystem::create_directory(userDir);
  ASSERT_EQ(chown(userDir.c_str(), kNobody, kNobody), 0);
  const std::u16string protectedCopy = machine.Path(u"service-job.json");
  HotUpdateJob job;
  job.status = u"verifying";
  job.sessionId = session.session();
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
}

}  // namespace
}  // namespace vovu
