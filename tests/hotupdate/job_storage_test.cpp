// What one user may keep in the protected hot-update directory, and the removal at start of
// jobs left at rest for a week: counted per owner from the protected records, package data
// being the package, its ".part" or anything extracted.
#include "hotupdate/job_storage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "foundation/text.h"
#include "hotupdate/job_status.h"
#include "state/hot_update_job.h"
#include "state/protected_storage.h"
#include "support/debug_capture.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::DebugCapture;
using testing::TestMachine;

constexpr char16_t kAlice[] = u"S-1-5-21-1-2-3-1001";
constexpr char16_t kBob[] = u"S-1-5-21-1-2-3-1002";
constexpr std::int64_t kDayMs = 24ll * 60 * 60 * 1000;

enum class Data { kNone, kPackage, kPart, kPayload };

class JobStorage : public ::testing::Test {
 protected:
  void SetUp() override {
    std::u16string error;
    ASSERT_TRUE(EnsureHotUpdateDirectories(&error)) << WideToUtf8(error);
  }

  // A job directory `name` with its record and `data`.
  static std::u16string MakeJob(const std::u16string& name, const std::u16string& sid,
                                const std::u16string& status, std::int64_t updatedAt, Data data) {
    const std::u16string dir = JoinPath(GetHotUpdateDir(), name);
    std::u16string error;
    EXPECT_TRUE(EnsureProtectedDirectory(dir, &error));
    EXPECT_TRUE(EnsureProtectedDirectory(JoinPath(dir, u"payload"), &error));
    HotUpdateJob job;
    job.sid = sid;
    job.status = status;
    job.updatedAt = updatedAt;
    EXPECT_TRUE(WriteJobFile(job, JoinPath(dir, u"service-job.json")));
    if (data == Data::kPackage)
      TestMachine::WriteBytes(JoinPath(dir, u"package.zip"), "package");
    if (data == Data::kPart)
      TestMachine::WriteBytes(JoinPath(dir, u"package.zip.part"), "pack");
    if (data == Data::kPayload)
      TestMachine::WriteBytes(JoinPath(dir, u"payload\\app.asar"), "asar");
    return dir;
  }

  TestMachine machine_;
  platform::CriticalSection lock_{1024};
};

TEST_F(JobStorage, OnlyTheOwnersJobsWithPackageDataCount) {
  const std::u16string a1 = MakeJob(u"a1", kAlice, kStatusStaged, 0, Data::kPackage);
  MakeJob(u"a2", kAlice, kStatusFailed, 0, Data::kPart);
  MakeJob(u"a3", kAlice, kStatusStaged, 0, Data::kPayload);
  MakeJob(u"a4", kAlice, kStatusFailed, 0, Data::kNone);
  MakeJob(u"b1", kBob, kStatusStaged, 0, Data::kPackage);
  // A directory without a record is nobody's.
  std::u16string error;
  ASSERT_TRUE(EnsureProtectedDirectory(JoinPath(GetHotUpdateDir(), u"stray"), &error));
  TestMachine::WriteBytes(JoinPath(GetHotUpdateDir(), u"stray\\package.zip"), "x");

  EXPECT_EQ(CountStoredJobsOf(kAlice, u""), 3u);
  EXPECT_EQ(CountStoredJobsOf(kBob, u""), 1u);
  // A fourth job of Alice's is refused; a prepare that replaces one of hers is not, nor Bob's.
  EXPECT_FALSE(MayStoreAnotherJob(kAlice, JoinPath(GetHotUpdateDir(), u"a4")));
  EXPECT_TRUE(MayStoreAnotherJob(kAlice, a1));
  EXPECT_TRUE(MayStoreAnotherJob(kBob, JoinPath(GetHotUpdateDir(), u"b2")));
}

TEST_F(JobStorage, JobsAtRestForAWeekAreRemovedAndSaidSo) {
  const std::int64_t now = 1000 * kDayMs;
  const std::int64_t week = 7 * kDayMs;
  struct {
    const char16_t* name;
    const char16_t* status;
    std::int64_t age;
    bool removed;
  } const cases[] = {
      {u"staged-old", kStatusStaged, week + 1, true},
      {u"failed-old", kStatusFailed, 30 * kDayMs, true},
      {u"cancelled-old", kStatusCancelled, week + kDayMs, true},
      {u"staged-a-week", kStatusStaged, week, false},
      {u"failed-recent", kStatusFailed, kDayMs, false},
      // Not at rest: the installed files may depend on these records.
      {u"relaunching-old", kStatusRelaunching, 30 * kDayMs, false},
      {u"rollingback-old", kStatusRollingBack, 30 * kDayMs, false},
      {u"downloading-old", kStatusDownloading, 30 * kDayMs, false},
  };
  for (const auto& c : cases)
    MakeJob(c.name, kAlice, c.status, now - c.age, Data::kPackage);
  std::u16string error;
  ASSERT_TRUE(EnsureProtectedDirectory(JoinPath(GetHotUpdateDir(), u"no-record"), &error));

  DebugCapture capture;
  EXPECT_EQ(RemoveStaleJobs(lock_, now), 3u);
  for (const auto& c : cases) {
    EXPECT_EQ(TestMachine::Exists(JoinPath(GetHotUpdateDir(), c.name)), !c.removed)
        << WideToUtf8(c.name);
  }
  EXPECT_TRUE(TestMachine::Exists(JoinPath(GetHotUpdateDir(), u"no-record")));
  if (DebugCapture::Supported()) {
    ASSERT_TRUE(capture.Available());
    const std::vector<std::string> lines = capture.Lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                              return line.rfind(
                                         "[VovudIdavUda] hot-update job removed after 7 days "
                                         "at rest: ",
                                         0) == 0;
                            }),
              3);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "[VovudIdavUda] hot-update job removed after 7 days at rest: staged-old "
                        "(staged)\n"),
              lines.end());
  }
}

}  // namespace
}  // namespace vovu
