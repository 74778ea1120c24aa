// The dispatcher can be started once per process, so the console run of the executable
// without arguments is checked here on the host, and by the smoke test under wine.
#include <gtest/gtest.h>

#include "service/command_line.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

TEST(CommandLineHost, NoArgumentFromAConsoleExitsZero) {
  testing::TestMachine machine;
  EXPECT_EQ(RunCommandLine({u"vovudidavuda.exe"}), 0);
}

}  // namespace
}  // namespace vovu
