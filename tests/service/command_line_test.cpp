#include "service/command_line.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/pipe.h"
#include "service/dispatcher.h"
#include "service/pipe_client.h"
#include "service/pipe_server.h"
#include "service/service_names.h"
#include "support/debug_capture.h"
#include "support/pipe_wait.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

using Lines = std::vector<std::string>;

TEST(CommandLine, RequestTextIsTheVerbThenEachArgumentOnItsOwnLine) {
  EXPECT_EQ(BuildPipeRequest(u"hot-update-prepare", {u"C:\\a b\\job.json"}),
            u"hot-update-prepare\nC:\\a b\\job.json");
  EXPECT_EQ(BuildPipeRequest(u"x", {}), u"x");
  EXPECT_EQ(BuildPipeRequest(u"x", {u"", u"--Keep"}), u"x\n\n--Keep");
}

TEST(CommandLine, WithoutTheServiceHotUpdateAbortsAndOtherWordsRunHereElseItsRepliesDecide) {
  testing::TestMachine machine;
  testing::DebugCapture debug;
  EXPECT_EQ(RunCommandLine({u"vovudidavuda.exe", u"hot-update-prepare", u"C:\\job.json"}), 1);
  EXPECT_EQ(RunCommandLine({u"vovudidavuda.exe", u"/Frob", u"arg"}), 1);

  platform::Event stop;
  ASSERT_TRUE(platform::Event::Create(true, false, &stop));
  std::thread server([&stop] { RunPipeServer(stop, ExecuteWhitelistedCommand); });
  EXPECT_TRUE(testing::WaitUntilPipeListens());
  // The service's refusal of a hot-update word is passed on as received.
  EXPECT_EQ(RunCommandLine({u"vovudidavuda.exe", u"hot-update-cancel", u"C:\\job.json"}), 1);
  EXPECT_TRUE(testing::WaitUntilPipeListens());
  // Another word is refused by the service, then by this process's own run, whose text wins.
  EXPECT_EQ(RunCommandLine({u"vovudidavuda.exe", u"--Frob"}), 1);
  stop.Set();
  server.join();
  if (testing::DebugCapture::Supported()) {
    ASSERT_TRUE(debug.Available());
    EXPECT_EQ(debug.Lines(),
              Lines({"[VovudIdavUda] Korva Sync Service is unavailable; hot-update aborted.\n",
                     "[VovudIdavUda] unknown command: frob\n",
                     "[VovudIdavUda] ERROR jobFile outside caller profile\n",
                     "[VovudIdavUda] unknown command: frob\n"}));
  }
}

}  // namespace
}  // namespace vovu
