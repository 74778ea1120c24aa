// The user's job file is written as the user logged on to the job's session: the user's own
// rights govern the write, and the service's identity is restored afterwards.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "foundation/text.h"
#include "state/hot_update_job.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::TestMachine;

constexpr uid_t kNobody = 65534;

// A process of uid 65534 leading a session of its own, alive until the object goes.
class UserSession {
 public:
  UserSession() {
    int ready[2];
    if (pipe(ready) != 0 || pipe(hold_) != 0)
      return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(hold_[1]);
      if (setsid() < 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
        _exit(1);
      char byte = 'r';
      if (write(ready[1], &byte, 1) != 1)
        _exit(1);
      (void)read(hold_[0], &byte, 1);  // until the parent closes its end
      _exit(0);
    }
    close(ready[1]);
    close(hold_[0]);
    char byte = 0;
    ok_ = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
  }
  ~UserSession() {
    close(hold_[1]);
    if (pid_ > 0)
      waitpid(pid_, nullptr, 0);
  }
  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] std::uint32_t session() const { return static_cast<std::uint32_t>(pid_); }

 private:
  int hold_[2] = {-1, -1};
  pid_t pid_ = -1;
  bool ok_ = false;
};

class JobMirrorHost : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0)
      GTEST_SKIP() << "needs root to act as another user";
    ASSERT_TRUE(session_.ok());
    userDir_ = machine_.Path(u"userdir");
    std::filesystem::create_directory(TestMachine::Native(userDir_));
    ASSERT_EQ(chown(TestMachine::Native(userDir_).c_str(), kNobody, kNobody), 0);
    job_.status = u"verifying";
    job_.sessionId = session_.session();
    job_.jobFile = userDir_ + u"\\job.json";
    protectedCopy_ = machine_.Path(u"service-job.json");
  }

  TestMachine machine_;
  UserSession session_;
  std::u16string userDir_;
  std::u16string protectedCopy_;
  HotUpdateJob job_;
};

TEST_F(JobMirrorHost, TheMirrorIsWrittenAsTheSessionUser) {
  ASSERT_TRUE(PersistJob(job_, protectedCopy_));
  struct stat st;
  ASSERT_EQ(stat(TestMachine::Native(job_.jobFile).c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(TestMachine::ReadBytes(job_.jobFile), TestMachine::ReadBytes(protectedCopy_));
  // The service is itself again: a root-only place is writable.
  const std::u16string rootOnly = machine_.Path(u"root-only");
  std::filesystem::create_directory(TestMachine::Native(rootOnly));
  chmod(TestMachine::Native(rootOnly).c_str(), 0700);
  EXPECT_TRUE(PersistJob(job_, rootOnly + u"\\service-job.json"));
}

TEST_F(JobMirrorHost, WhatTheUserMayNotWriteIsNotWrittenAndTheResultIsTheProtectedWrite) {
  // A user folder the user cannot write into.
  ASSERT_EQ(chown(TestMachine::Native(userDir_).c_str(), 0, 0), 0);
  ASSERT_TRUE(PersistJob(job_, protectedCopy_));
  EXPECT_TRUE(TestMachine::Exists(protectedCopy_));
  EXPECT_FALSE(TestMachine::Exists(job_.jobFile));

  // A job file turned into a link to a file of root's: the write never goes through it.
  ASSERT_EQ(chown(TestMachine::Native(userDir_).c_str(), kNobody, kNobody), 0);
  const std::u16string secret = machine_.Path(u"secret.txt");
  TestMachine::WriteBytes(secret, "root's");
  chmod(TestMachine::Native(secret).c_str(), 0600);
  std::filesystem::create_symlink(TestMachine::Native(secret), TestMachine::Native(job_.jobFile));
  ASSERT_TRUE(PersistJob(job_, protectedCopy_));
  EXPECT_EQ(TestMachine::ReadBytes(secret), "root's");
}

TEST_F(JobMirrorHost, ASessionWithoutAnyProcessGetsNoMirror) {
  job_.sessionId = 0x7FFFFFF0;  // no such session
  ASSERT_TRUE(PersistJob(job_, protectedCopy_));
  EXPECT_FALSE(TestMachine::Exists(job_.jobFile));
}

}  // namespace
}  // namespace vovu
