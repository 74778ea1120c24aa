#include "state/rollout_cohort.h"

#include <gtest/gtest.h>

#include "foundation/text.h"
#include "platform/registry.h"
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
  testing::TestMachine machine;
  std::u16string guid;
  std::u16string error;
  if (!ReadMachineGuid(&guid, &error)) {
    // A fresh machine root has no identity yet; give it one the way machine setup does.
    platform::RegistryKey key;
    bool created = false;
    ASSERT_EQ(platform::CreateRegistryKey(platform::kRegistryLocalMachine,
                                          u"SOFTWARE\\Microsoft\\Cryptography",
                                          platform::kKeyAllAccess, &key, &created),
              0u);
    const std::u16string value = u"3f1e2d4c-5b6a-4798-8a9b-0c1d2e3f4a5b";
    ASSERT_EQ(platform::SetRegistryValue(key.get(), u"MachineGuid", platform::kRegSz, value.c_str(),
                                         static_cast<std::uint32_t>((value.size() + 1) * 2)),
              0u);
    ASSERT_TRUE(ReadMachineGuid(&guid, &error)) << WideToUtf8(error);
  }
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
