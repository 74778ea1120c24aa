// Debugger output on the host reaches a listener bound in the machine root.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/diagnostics.h"
#include "platform/error.h"
#include "support/debug_capture.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

TEST(DebugOutputHost, LogDebugSendsOnePrefixedLineAndKeepsTheLastError) {
  testing::TestMachine machine;
  LogDebug(u"nobody listens");  // dropped without a listener

  testing::DebugCapture debug;
  ASSERT_TRUE(debug.Available());
  platform::SetLastErrorCode(1063);
  LogDebug(u"cannot persist: \u00E9");
  EXPECT_EQ(platform::LastError(), 1063u);
  EXPECT_EQ(debug.Lines(), std::vector<std::string>{"[VovudIdavUda] cannot persist: \xC3\xA9\n"});
}

}  // namespace
}  // namespace vovu
