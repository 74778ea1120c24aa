#include "state/rollout_cohort.h"

#include <gtest/gtest.h>

#include "support/machine_guid.h"
#include "support/machine_rights.h"
#include "support/outcome.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::Outcome;

TEST(RolloutBucket, DigestWordMapsOntoZeroToHundred) {
  double bucket = -1;
  ASSERT_EQ(Outcome(BucketFromDigest, u"00000000ffff", &bucket), u"ok");
  EXPECT_EQ(bucket, 0.0);
  ASSERT_EQ(Outcome(BucketFromDigest, u"ffffffff", &bucket), u"ok");
  EXPECT_LT(bucket, 100.0);
  EXPECT_GT(bucket, 99.99999997);
  ASSERT_EQ(Outcome(BucketFromDigest, u"80000000", &bucket), u"ok");
  EXPECT_EQ(bucket, 50.0);
  for (const char16_t* bad : {u"8000000", u"8000000g"})
    EXPECT_EQ(Outcome(BucketFromDigest, bad, &bucket), u"invalid rollout digest");
}

TEST(RolloutBucket, TheSameMachineAndVersionAlwaysDrawTheSameBucket) {
  REQUIRE_MACHINE_KEY_RIGHTS();
  testing::TestMachine machine;
  std::u16string guid;
  // A fresh machine root has no identity yet; a Windows machine always has one.
  if (Outcome(ReadMachineGuid, &guid) != u"ok")
    testing::StoreMachineGuid(u"3f1e2d4c-5b6a-4798-8a9b-0c1d2e3f4a5b");
  ASSERT_EQ(Outcome(ReadMachineGuid, &guid), u"ok");
  double first = -1;
  double again = -1;
  double other = -1;
  ASSERT_EQ(Outcome(ComputeRolloutBucket, u"2.0.0", &first), u"ok");
  ASSERT_EQ(Outcome(ComputeRolloutBucket, u"2.0.0", &again), u"ok");
  ASSERT_EQ(Outcome(ComputeRolloutBucket, u"2.0.1", &other), u"ok");
  EXPECT_EQ(first, again);
  EXPECT_NE(first, other);
  EXPECT_GE(first, 0.0);
  EXPECT_LT(first, 100.0);
}

}  // namespace
}  // namespace vovu
