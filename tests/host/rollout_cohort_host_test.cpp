// The rollout cohort on the host, with MachineGuid written into the machine's registry.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "platform/registry.h"
#include "shell/registry_snapshot.h"
#include "state/rollout_cohort.h"
#include "support/machine_guid.h"
#include "support/machine_rights.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using testing::StoreMachineGuid;

TEST(RolloutCohortHost, MachineGuidIsReadNormalisedOrRefusedAndDrawsTheKnownBuckets) {
  REQUIRE_MACHINE_KEY_RIGHTS();
  testing::TestMachine machine;
  std::u16string guid;
  std::u16string error;
  EXPECT_FALSE(ReadMachineGuid(&guid, &error));
  EXPECT_EQ(error, u"cannot query MachineGuid, error=2");

  // What ReadMachineGuid gives for each stored value: the identity, or "error: " and why.
  const std::u16string id = u"3f2504e0-4f89-11d3-9a0c-0305e82c3301";
  const std::tuple<std::uint32_t, std::string, std::u16string> cases[] = {
      {platform::kRegSz, testing::WideBytes(u"  3F2504E0-4F89-11D3-9A0C-0305E82C3301 "), id},
      {platform::kRegSz, testing::WideBytes(id), id},
      {platform::kRegDword, std::string("\7\0\0\0", 4),
       u"error: cannot query MachineGuid, error=0"},
      {platform::kRegSz, "", u"error: cannot query MachineGuid, error=0"},
      {platform::kRegSz, testing::WideBytes(u" \t "), u"error: MachineGuid is empty"},
      // An expandable string is taken as it is; text after a NUL is not part of it.
      {platform::kRegExpandSz, testing::WideBytes(std::u16string(u"%ID%\0tail", 9), false),
       u"%id%"},
      // An odd byte count leaves no terminator in the buffer; the read stops at its end
      // (the last byte is a unit of its own).
      {platform::kRegSz, std::string("A\0B\0C", 5), u"abc"}};
  for (const auto& [type, bytes, expected] : cases) {
    StoreMachineGuid(type, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    EXPECT_EQ(ReadMachineGuid(&guid, &error) ? guid : u"error: " + error, expected);
    if (expected != id)
      continue;
    double bucket = 0;
    ASSERT_TRUE(ComputeRolloutBucket(u"2.0.0", &bucket, &error));
    EXPECT_DOUBLE_EQ(bucket, 69.8706926079467);
    ASSERT_TRUE(ComputeRolloutBucket(u"2.0.1", &bucket, &error));
    EXPECT_DOUBLE_EQ(bucket, 72.4736635107547);
  }
}

}  // namespace
}  // namespace vovu
