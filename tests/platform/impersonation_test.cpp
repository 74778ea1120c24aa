// The impersonation scope: its end reverts, whatever way the scope is left, and a revert
// that fails ends the process rather than letting the thread go on as someone else.
#include "platform/impersonation.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/fault_injection.h"

namespace vovu::platform {
namespace {

bool ThreadImpersonates() {
  return OpenCurrentThreadToken().valid();
}

TEST(ImpersonationScope, LeavingTheScopeRevertsAlsoThroughAnException) {
  const TokenHandle self = OpenCurrentProcessToken();
  ASSERT_TRUE(self.valid());
  {
    const ImpersonationScope scope(self);
    ASSERT_TRUE(scope.active());
    EXPECT_TRUE(ThreadImpersonates());
  }
  EXPECT_FALSE(ThreadImpersonates());
  EXPECT_EQ(LastError(), kErrorNoToken);

  EXPECT_THROW(
      {
        const ImpersonationScope scope(self);
        ASSERT_TRUE(scope.active());
        throw std::runtime_error("an allocation failed");
      },
      std::runtime_error);
  EXPECT_FALSE(ThreadImpersonates());
}

TEST(ImpersonationScopeDeathTest, AFailedRevertEndsTheProcessAtOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const TokenHandle self = OpenCurrentProcessToken();
        InjectFault(FaultPoint::kRevertToSelf, u"", kErrorAccessDenied, 1);
        { const ImpersonationScope scope(self); }
        std::exit(0);  // not reached when the revert failed
      },
      ::testing::ExitedWithCode(static_cast<int>(kRevertFailedExitCode)), "");
}

}  // namespace
}  // namespace vovu::platform
