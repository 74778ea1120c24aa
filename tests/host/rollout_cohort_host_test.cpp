// The rollout cohort on the host, with MachineGuid written into the machine's registry.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/registry.h"
#include "state/rollout_cohort.h"
#include "support/machine_guid.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::StoreMachineGuid;

TEST(RolloutCohortHost, NormalisedIdentityGivesTheKnownBuckets) {
  testing::TestMachine machine;
  std::u16string error;
  std::u16string guid;
  EXPECT_FALSE(ReadMachineGuid(&guid, &error));
  EXPECT_EQ(error, u"cannot query MachineGuid, error=2");

  StoreMachineGuid(u"  3F2504E0-4F89-11D3-9A0C-0305E82C3301 ");
  ASSERT_TRUE(ReadMachineGuid(&guid, &error));
  EXPECT_EQ(guid, u"3f2504e0-4f89-11d3-9a0c-0305e82c3301");
  double bucket = 0;
  ASSERT_TRUE(ComputeRolloutBucket(u"2.0.0", &bucket, &error));
  EXPECT_DOUBLE_EQ(bucket, 69.8706926079467);
  ASSERT_TRUE(ComputeRolloutBucket(u"2.0.1", &bucket, &error));
  EXPECT_DOUBLE_EQ(bucket, 72.4736635107547);
  // Already normalised: the same bucket.
  StoreMachineGuid(u"3f2504e0-4f89-11d3-9a0c-0305e82c3301");
  ASSERT_TRUE(ComputeRolloutBucket(u"2.0.0", &bucket, &error));
  EXPECT_DOUBLE_EQ(bucket, 69.8706926079467);
}

TEST(RolloutCohortHost, ValuesThatAreNotAUsableStringAreRefused) {
  testing::TestMachine machine;
  std::u16string guid;
  std::u16string error;
  const std::uint32_t dword = 7;
  StoreMachineGuid(platform::kRegDword, &dword, sizeof(dword));
  EXPECT_FALSE(ReadMachineGuid(&guid, &error));
  EXPECT_EQ(error, u"cannot query MachineGuid, error=0");

  StoreMachineGuid(platform::kRegSz, "", 0);
  EXPECT_FALSE(ReadMachineGuid(&guid, &error));
  EXPECT_EQ(error, u"cannot query MachineGuid, error=0");

  StoreMachineGuid(u" \t ");
  EXPECT_FALSE(ReadMachineGuid(&guid, &error));
  EXPECT_EQ(error, u"MachineGuid is empty");

  // An expandable string is taken as it is; text after a NUL is not part of it.
  const std::u16string expandable = std::u16string(u"%ID%\0tail", 9);
  StoreMachineGuid(platform::kRegExpandSz, expandable.c_str(),
                   static_cast<std::uint32_t>(expandable.size() * 2));
  ASSERT_TRUE(ReadMachineGuid(&guid, &error));
  EXPECT_EQ(guid, u"%id%");
}

}  // namespace
}  // namespace vovu
