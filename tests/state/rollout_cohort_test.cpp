#include "state/rollout_cohort.h"

#include <gtest/gtest.h>

#include "foundation/text.h"
#include "support/machine_guid.h"
#include "support/machine_rights.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

TEST(RolloutBucket, DigestWordMapsOntoZeroToHundred) {
  double bucket = -1;
  std::u16string error;
  ASSERT_TRUE(BucketFromDigest(u"00000000ffff", &bucket, &error));
  EXPECT_EQ(bucket, 0.0);
  ASSERT_TRUE(BucketFromDigest(u"ffffffff", &bucket, &error));
  EXPECT_LT(bucket, 100.0);
  EXPECT_GT(bucket, 99.99999997);
  ASSERT_TRUE(BucketFromDigest(u"80000000", &bucket, &error));
  EXPECT_EQ(bucket, 50.0);
  EXPECT_FALSE(BucketFromDigest(u"8000000", &bucket, &error));
  EXPECT_EQ(error, u"invalid rollout digest");
  EXPECT_FALSE(BucketFromDigest(u"8000000g", &bucket, &error));
}

TEST(RolloutBucket, TheSameMachineAndVersionAlwaysDrawTheSameBucket) {
  REQUIRE_MACHINE_KEY_RIGHTS();
  testing::TestMachine machine;
  std::u16string guid;
  std::u16string error;
  // A fresh machine root has no identity yet; a Windows machine always has one.
  if (!ReadMachineGuid(&guid, &error))
    testing::StoreMachineGuid(u"3f1e2d4c-5b6a-4798-8a9b-0c1d2e3f4a5b");
  ASSERT_TRUE(ReadMachineGuid(&guid, &error)) << WideToUtf8(error);
  double first = -1;
  double again = -1;
  double other = -1;
  ASSERT_TRUE(ComputeRolloutBucket(u"2.0.0", &first, &error));
  ASSERT_TRUE(ComputeRolloutBucket(u"2.0.0", &again, &error));
  ASSERT_TRUE(ComputeRolloutBucket(u"2.0.1", &other, &error));
  EXPECT_EQ(first, again);
  EXPECT_NE(first, other);
  EXPECT_GE(first, 0.0);
  EXPECT_LT(first, 100.0);
}

}  // namespace
}  // namespace vovu
