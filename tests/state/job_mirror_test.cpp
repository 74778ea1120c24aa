// The user's copy of a job while the application reads it the way an older reader did:
// opened without sharing delete, over and over. The service's replacement then fails now and
// then (5 or 32 on Windows); retried, the final status still lands, and the reader sees it.
#include "state/job_mirror.h"

#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <set>
#include <string>
#include <thread>

#include "foundation/text.h"
#include "platform/files.h"
#include "platform/identity.h"
#include "platform/session_user.h"
#include "platform/sync.h"
#include "state/hot_update_job.h"
#include "state/user_file_access.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::TestMachine;

// The status in the file as a reader that does not share delete reads it; empty when the
// read failed.
std::u16string ReadHoldingTheFile(const std::u16string& path) {
  const platform::FileHandle file = platform::OpenFileForRead(path, platform::kShareRead);
  HotUpdateJob job;
  return file && ReadJobFromOpenFile(file, &job) ? job.status : u"";
}

TEST(JobMirror, AReaderThatDoesNotShareDeleteStillSeesTheFinalStatus) {
  TestMachine machine;
  const platform::TokenHandle self = platform::OpenCurrentProcessToken();
  std::uint32_t session = platform::kNoSession;
  ASSERT_TRUE(platform::GetTokenSessionId(self, &session));
  const platform::TokenHandle sessionUser = platform::QuerySessionUserToken(session);
  std::u16string sid;
  if (!sessionUser.valid() || !platform::GetTokenUserSidString(sessionUser, &sid))
    GTEST_SKIP() << "no user logged on to this process's session";
  HotUpdateJob job;
  job.sessionId = session;
  job.sid = sid;
  job.jobFile = machine.Path(u"job.json");
  const std::u16string protectedCopy = machine.Path(u"service-job.json");

  std::atomic<bool> done{false};
  std::set<std::u16string> seen;
  std::thread reader([&] {
    // After the last status, a few more reads: the application's next polls. An application
    // polls with a pause between its reads; one that held the file without a break would
    // defeat any bounded retry.
    for (int after = 0; after < 20;) {
      const std::u16string status = ReadHoldingTheFile(job.jobFile);
      if (!status.empty())
        seen.insert(status);
      after += done.load() ? 1 : 0;
      platform::SleepMilliseconds(5);
    }
  });
  constexpr int kStatuses = 50;
  int settled = 0;
  for (int i = 1; i <= kStatuses; ++i) {
    job.status = i == kStatuses ? u"done" : u"step " + ToDecimal(static_cast<long long>(i));
    ASSERT_TRUE(PersistJob(job, protectedCopy));
    settled += AwaitJobMirror(job.jobFile, kUserFileLimitMs) ? 1 : 0;
  }
  done.store(true);
  reader.join();
  EXPECT_EQ(settled, kStatuses);
  EXPECT_EQ(ReadHoldingTheFile(job.jobFile), u"done");
  // A figure for the record: how many of the statuses the reader saw.
  std::cout << "[ figure ] a reader not sharing delete saw " << seen.size() << " of " << kStatuses
            << " statuses, the final one " << (seen.count(u"done") ? "included" : "missing")
            << "\n";
}

}  // namespace
}  // namespace vovu
