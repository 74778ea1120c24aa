// The claim that starts prepare, as an ordinary user's job meets it: the first status is
// mirrored to the user's file as the user of the caller's session, and only when that
// session is known.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "hotupdate/prepare_claim.h"
#include "support/host/other_user.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::kNobody;
using testing::TestMachine;

constexpr char kRequest[] =
    "{\"version\": \"2.11.0\", \"request\": {\"packageSha256\": "
    "\"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\", \"packageSize\": 10}}";

// A session led by a process of uid 65534, alive until the object goes.
class NobodySession {
 public:
  NobodySession() {
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
  ~NobodySession() { close(end_); }
  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] std::uint32_t id() const { return static_cast<std::uint32_t>(child_->pid()); }

 private:
  int end_ = -1;
  bool ok_ = false;
  std::optional<testing::UserChild> child_;
};

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
  NobodySession session;
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
