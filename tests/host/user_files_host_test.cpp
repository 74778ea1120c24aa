// The user's files as a hostile user prepares them: a folder of the job path that is a link
// into another user's folder, a FIFO or a lease where the service reads or writes, and a
// stop meanwhile. The job file is read as the caller, the mirror written as the user, and
// neither holds a service thread past the bound nor the job lock at all.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "foundation/service_stop.h"
#include "foundation/text.h"
#include "hotupdate/cancel.h"
#include "hotupdate/confirm.h"
#include "hotupdate/job_status.h"
#include "hotupdate/prepare_claim.h"
#include "platform/session_user.h"
#include "state/hot_update_job.h"
#include "state/job_mirror.h"
#include "state/protected_storage.h"
#include "state/user_file_access.h"
#include "support/host/other_user.h"
#include "support/installed_update.h"
#include "support/stop_event.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::kNobody;
using testing::kNobodySid;
using testing::LeaseHolder;
using testing::TestMachine;

constexpr uid_t kOtherUser = 65533;

constexpr char kRequest[] =
    "{\"version\": \"2.11.0\", \"request\": {\"packageSha256\": "
    "\"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\", \"packageSize\": 10}}";

void OwnedBy(const std::u16string& path, uid_t uid, mode_t mode) {
  const std::filesystem::path native = TestMachine::Native(path);
  ASSERT_EQ(chown(native.c_str(), uid, uid), 0) << native;
  ASSERT_EQ(chmod(native.c_str(), mode), 0) << native;
}

class UserFilesHost : public testing::InstalledUpdateTest {
 protected:
  void SetUp() override {
    InstalledUpdateTest::SetUp();
    REQUIRE_ROOT_FOR_OTHER_USERS();
    ASSERT_TRUE(session_.ok());
    // The machine's folders are open to everyone, as a profile's parents are.
    for (std::filesystem::path p = TestMachine::Native(machine_.Dir()); p != p.root_path();
         p = p.parent_path()) {
      struct stat st;
      if (stat(p.c_str(), &st) == 0 && (st.st_mode & 0001) == 0)
        chmod(p.c_str(), st.st_mode | 0011);
    }
    folder_ = machine_.Path(u"profile");
    std::filesystem::create_directories(TestMachine::Native(folder_));
    OwnedBy(folder_, kNobody, 0755);
    jobFile_ = folder_ + u"\\job.json";
    token_ = std::make_shared<const platform::TokenHandle>(
        platform::QuerySessionUserToken(session_.id()));
    std::u16string error;
    ASSERT_TRUE(DeriveJobPaths(jobFile_, kNobodySid, &jobDir_, &serviceJobFile_, &error));
  }

  // The claim's outcome: "claimed" or "refused", and whether any record of it exists.
  std::string Claim(const std::u16string& jobFile) {
    ClaimedJob claimed;
    const bool goesOn =
        ClaimJobForPrepare(jobFile, kNobodySid, session_.id(), token_, lock_, &claimed);
    std::u16string jobDir;
    std::u16string serviceJobFile;
    std::u16string error;
    EXPECT_TRUE(DeriveJobPaths(jobFile, kNobodySid, &jobDir, &serviceJobFile, &error));
    return std::string(goesOn ? "claimed" : "refused") +
           (TestMachine::Exists(serviceJobFile) ? ", recorded" : ", no record");
  }

  // A job of the user's in `status`, with its record.
  void StoreUsersJob(const std::u16string& status) {
    testing::StoredJob stored = testing::StoreUpdateJob(status, jobFile_);
    stored.job.sid = kNobodySid;
    stored.job.sessionId = session_.id();
    std::u16string error;
    ASSERT_TRUE(EnsureProtectedDirectory(jobDir_, &error));
    ASSERT_TRUE(WriteJobFile(stored.job, serviceJobFile_));
  }

  testing::UserSession session_;
  std::u16string folder_;
  std::u16string jobFile_;
  std::u16string jobDir_;
  std::u16string serviceJobFile_;
  std::shared_ptr<const platform::TokenHandle> token_;
};

// The caller's own file is read; one that only a link into another user's folder reaches is
// refused, and nothing of it reaches a record or the mirror.
TEST_F(UserFilesHost, AJobPathThroughALinkToAnotherUsersFolderIsReadWithTheCallersRights) {
  TestMachine::WriteBytes(jobFile_, kRequest);
  OwnedBy(jobFile_, kNobody, 0644);
  EXPECT_EQ(Claim(jobFile_), "claimed, recorded");

  const std::u16string theirs = machine_.Path(u"theirs");
  std::filesystem::create_directories(TestMachine::Native(theirs));
  TestMachine::WriteBytes(theirs + u"\\job.json", kRequest);
  OwnedBy(theirs + u"\\job.json", kOtherUser, 0644);
  OwnedBy(theirs, kOtherUser, 0700);
  const std::u16string linked = folder_ + u"\\linked";
  std::filesystem::create_directory_symlink(TestMachine::Native(theirs),
                                            TestMachine::Native(linked));
  EXPECT_EQ(Claim(linked + u"\\job.json"), "refused, no record");
  EXPECT_EQ(TestMachine::ReadBytes(theirs + u"\\job.json"), kRequest);
}

// Something of the user's where the service reads the job file: the read ends within the
// bound, or at once on a stop, and prepare ends without a record.
TEST_F(UserFilesHost, AJobFileThatHoldsTheReadUpEndsPrepareWithinTheBound) {
  struct Row {
    const char* obstacle;
    bool stopping;
  };
  // The lease comes first: a reader that a FIFO row abandoned before its open could open
  // the next row's file at the same path, and a file open elsewhere takes no lease.
  for (const Row& row : {Row{"lease", false}, Row{"fifo", false}, Row{"fifo", true}}) {
    SCOPED_TRACE(row.obstacle + std::string(row.stopping ? ", stopping" : ""));
    std::filesystem::remove(TestMachine::Native(jobFile_));
    const std::string native = TestMachine::Native(jobFile_).string();
    const bool fifo = std::string(row.obstacle) == "fifo";
    if (fifo) {
      ASSERT_EQ(mkfifo(native.c_str(), 0666), 0);
      OwnedBy(jobFile_, kNobody, 0666);
    } else {
      TestMachine::WriteBytes(jobFile_, kRequest);
      OwnedBy(jobFile_, kNobody, 0644);
    }
    std::optional<LeaseHolder> lease;
    if (!fifo) {
      lease.emplace(native);
      ASSERT_TRUE(lease->held());
    }
    testing::InstallStopEvent(row.stopping);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(Claim(jobFile_), "refused, no record");
    // A figure for the record, not a check: how long the worker was held.
    std::cout << "[ figure ] prepare with a " << row.obstacle << (row.stopping ? " (stopping)" : "")
              << " at the job file ended after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - began)
                     .count()
              << " ms\n";
    ReplaceServiceStopEvent(nullptr);
    // A reader left waiting at the FIFO (its cancel came before its open) is let go.
    if (fifo) {
      const int writer = open(native.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0)
        close(writer);
    }
  }
}

// Something of the user's where the mirror is written: cancel and confirm answer, outside
// the job lock, and their record is the truth; the user's copy follows when it can be written.
TEST_F(UserFilesHost, AFileHeldByTheUserHoldsNeitherCancelNorConfirmNorTheJobLock) {
  const std::string temporary = TestMachine::Native(jobFile_ + u".tmp").string();
  struct Row {
    const char* operation;
    const char* obstacle;
  };
  for (const Row& row : {Row{"cancel", "fifo"}, Row{"cancel", "lease"}, Row{"confirm", "fifo"},
                         Row{"confirm", "lease"}}) {
    SCOPED_TRACE(std::string(row.operation) + " with a " + row.obstacle);
    const bool cancel = std::string(row.operation) == "cancel";
    const bool fifo = std::string(row.obstacle) == "fifo";
    StoreUsersJob(cancel ? kStatusStaged : kStatusRelaunching);
    TestMachine::WriteBytes(jobFile_, kRequest);
    OwnedBy(jobFile_, kNobody, 0644);
    std::optional<LeaseHolder> lease;
    if (fifo) {
      // At the temporary file: an open of it for writing would wait for a reader for good.
      ASSERT_EQ(mkfifo(temporary.c_str(), 0666), 0);
      OwnedBy(jobFile_ + u".tmp", kNobody, 0666);
    } else {
      lease.emplace(TestMachine::Native(jobFile_).string());
      ASSERT_TRUE(lease->held());
    }
    RequestContext caller;
    caller.userSid = kNobodySid;
    std::u16string failure;
    ASSERT_TRUE(cancel ? HotUpdateCancel(jobFile_, caller, lock_, &failure)
                       : HotUpdateConfirm(jobFile_, caller, lock_, &failure))
        << WideToUtf8(failure);
    EXPECT_FALSE(TestMachine::Exists(serviceJobFile_));
    // The job lock is free while the user's copy waits.
    { std::lock_guard free(lock_); }
    if (!fifo) {
      EXPECT_FALSE(AwaitJobMirror(jobFile_, kMirrorReplyWaitMs));
      lease.reset();  // let go within the bound: the held write goes through
    }
    EXPECT_TRUE(AwaitJobMirror(jobFile_, 2 * kUserFileLimitMs));
    HotUpdateJob mirrored;
    ASSERT_TRUE(ReadJobFile(jobFile_, &mirrored));
    EXPECT_EQ(mirrored.status, cancel ? kStatusCancelled : kStatusDone);
    EXPECT_FALSE(TestMachine::Exists(jobFile_ + u".tmp"));
  }
}

}  // namespace
}  // namespace vovu
